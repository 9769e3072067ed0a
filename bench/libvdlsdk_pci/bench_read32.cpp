// The cost the driver interface adds to one BAR read: vdlcard_Read32 against
// an ioctl of the same command packet on the same descriptor.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <sys/ioctl.h>

#include "vdlsdk/vdlcard.h"
#include "vdlsim.h"

namespace {

constexpr uint32_t kBar = 0;
constexpr uint64_t kOffset = 0x40;

vdlcard_handle* card()
{
    static vdlcard_handle* h = [] {
        // The request log would measure the stand-in's bookkeeping, not the request.
        vdlsim_log_enable(0);
        vdlcard_handle* opened = vdlcard_Open(0, VDLCARD_OPEN_FLAGS);
        if (opened == nullptr) {
            std::fprintf(stderr, "card 0 did not open\n");
            std::exit(1);
        }
        return opened;
    }();
    return h;
}

void BM_RawIoctl(benchmark::State& state)
{
    vdlcard_handle* h = card();
    uint32_t value = 0;
    for (auto _ : state) {
        vdlcard_command cmd{};
        cmd.command = VDLCARD_CMD_BAR_READ32 | kBar;
        cmd.readCount = 1;
        cmd.readBuffer = &value;
        cmd.address = kOffset;
        if (::ioctl(h->fd, VDLCARD_REQ_COMMAND, &cmd) != 0)
            state.SkipWithError("request failed");
        benchmark::DoNotOptimize(value);
    }
}

void BM_vdlcard_Read32(benchmark::State& state)
{
    vdlcard_handle* h = card();
    uint32_t value = 0;
    for (auto _ : state) {
        if (vdlcard_Read32(h, kBar, &value, kOffset) != sizeof(value))
            state.SkipWithError("request failed");
        benchmark::DoNotOptimize(value);
    }
}

} // namespace

BENCHMARK(BM_RawIoctl);
BENCHMARK(BM_vdlcard_Read32);
BENCHMARK(BM_RawIoctl);
BENCHMARK(BM_vdlcard_Read32);

BENCHMARK_MAIN();

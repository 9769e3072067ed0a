// What the exported memory-space functions add to the driver's request: BAR
// words (1, 256 and 4096 per call) and configuration words read and written
// with vdlpci_ms_read32s / vdlpci_ms_write32s against the bare command
// request of the same words, both on the stand-in driver and timed in the
// same loop. "ratio" is the library's time over the bare request's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include <sys/ioctl.h>

#include "bench_support.hpp"

namespace {

using pcibench::interleaved;

constexpr uint32_t kBar = 0;
constexpr uint32_t kConfig = 0x10000;
constexpr uint64_t kBarOffset = 0x40;
// Interrupt Line: a register the card lets software write.
constexpr uint64_t kConfigOffset = 0x3C;
// Single-word calls run in batches so that the clock is read rarely.
constexpr int kBatch = 64;

// The request the library sends for one word, built the same way.
inline bool rawCommand(int fd, uint32_t command, uint64_t address, uint32_t* word, bool barWrite)
{
    vdlcard_command cmd{};
    cmd.command = command;
    if (barWrite) {
        cmd.writeCount = 1;
        cmd.writeBuffer = word;
    } else {
        cmd.readCount = 1;
        cmd.readBuffer = word;
    }
    cmd.address = address;
    return ::ioctl(fd, VDLCARD_REQ_COMMAND, &cmd) == 0;
}

struct Side {
    uint32_t ms;
    uint32_t command;
    uint64_t offset;
    bool write;
    bool bar;
};

void compare(benchmark::State& state, const Side& side)
{
    const int fd = pcibench::driverCard()->fd;
    void* card = pcibench::libraryCard();
    const int count = static_cast<int>(state.range(0));
    const int calls = count == 1 ? kBatch : 1;
    std::vector<uint32_t> words(static_cast<std::size_t>(count), 0x5A5A0000u);
    bool ok = true;
    auto raw = [&] {
        for (int c = 0; c < calls; ++c)
            for (int i = 0; i < count; ++i)
                ok &= rawCommand(fd, side.command, side.offset + 4u * static_cast<uint64_t>(i),
                                 &words[static_cast<std::size_t>(i)], side.write && side.bar);
        benchmark::ClobberMemory();
    };
    auto library = [&] {
        for (int c = 0; c < calls; ++c)
            ok &= (side.write ? vdlpci_ms_write32s(card, side.ms, side.offset, words.data(), count)
                              : vdlpci_ms_read32s(card, side.ms, side.offset, words.data(),
                                                  count)) == count;
        benchmark::ClobberMemory();
    };
    interleaved(state, static_cast<int64_t>(calls) * count, raw, library);
    if (!ok)
        state.SkipWithError("a request failed");
}

void BM_BarRead(benchmark::State& state)
{
    compare(state, {kBar, VDLCARD_CMD_BAR_READ32 | kBar, kBarOffset, false, true});
}

void BM_BarWrite(benchmark::State& state)
{
    compare(state, {kBar, VDLCARD_CMD_BAR_WRITE32 | kBar, kBarOffset, true, true});
}

void BM_ConfigRead(benchmark::State& state)
{
    compare(state, {kConfig, VDLCARD_CMD_CFG_READ32, kConfigOffset, false, false});
}

void BM_ConfigWrite(benchmark::State& state)
{
    compare(state, {kConfig, VDLCARD_CMD_CFG_WRITE32, kConfigOffset, true, false});
}

} // namespace

BENCHMARK(BM_BarRead)->Arg(1)->Arg(256)->Arg(4096)->Apply(pcibench::spread);
BENCHMARK(BM_BarWrite)->Arg(1)->Arg(256)->Arg(4096)->Apply(pcibench::spread);
BENCHMARK(BM_ConfigRead)->Arg(1)->Apply(pcibench::spread);
BENCHMARK(BM_ConfigWrite)->Arg(1)->Apply(pcibench::spread);

int main(int argc, char** argv)
{
    pcibench::prepare();
    pcibench::libraryCard();
    pcibench::driverCard();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

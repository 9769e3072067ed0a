// What the exported memory-space read adds to the driver interface: one and
// 256 BAR words with vdlpci_ms_read32s against vdlcard_Read32 of the same
// words, both on the stand-in driver.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "vdlsdk/vdlcard.h"
#include "vdlsdk/vdlsdk_pci.h"
#include "vdlsim.h"

namespace {

constexpr uint32_t kBar = 0;
constexpr uint64_t kOffset = 0x40;
constexpr int kManyWords = 256;

std::string g_configDir;

void removeConfigDir()
{
    std::error_code ec;
    std::filesystem::remove_all(g_configDir, ec);
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::exit(1);
}

void* libraryCard()
{
    static void* handle = [] {
        void* opened = nullptr;
        if (vdlpci_dev_open(0, &opened) != 0)
            fail("card 0 did not open through the library");
        return opened;
    }();
    return handle;
}

vdlcard_handle* driverCard()
{
    static vdlcard_handle* handle = [] {
        vdlcard_handle* opened = vdlcard_Open(0, VDLCARD_OPEN_FLAGS);
        if (opened == nullptr)
            fail("card 0 did not open through the driver interface");
        return opened;
    }();
    return handle;
}

void BM_vdlcard_Read32(benchmark::State& state)
{
    vdlcard_handle* h = driverCard();
    const int count = static_cast<int>(state.range(0));
    uint32_t words[kManyWords] = {};
    for (auto _ : state) {
        for (int i = 0; i < count; ++i) {
            if (vdlcard_Read32(h, kBar, &words[i], kOffset + 4u * static_cast<uint64_t>(i)) !=
                sizeof(uint32_t))
                state.SkipWithError("request failed");
        }
        benchmark::DoNotOptimize(words);
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void BM_vdlpci_ms_read32s(benchmark::State& state)
{
    void* h = libraryCard();
    const int count = static_cast<int>(state.range(0));
    uint32_t words[kManyWords] = {};
    for (auto _ : state) {
        if (vdlpci_ms_read32s(h, kBar, kOffset, words, count) != count)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(words);
    }
    state.SetItemsProcessed(state.iterations() * count);
}

} // namespace

BENCHMARK(BM_vdlcard_Read32)->Arg(1)->Arg(kManyWords);
BENCHMARK(BM_vdlpci_ms_read32s)->Arg(1)->Arg(kManyWords);

int main(int argc, char** argv)
{
    // The library object keeps its option file in VDLSDK_CONFIG: a temporary
    // directory, so a run by hand leaves the host's files alone.
    if (std::getenv("VDLSDK_CONFIG") == nullptr) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/vdlsdk-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            fail("no temporary option directory");
        g_configDir = pattern;
        setenv("VDLSDK_CONFIG", g_configDir.c_str(), 1);
        // Registered before the library object exists, so it runs after the
        // object's destructor has written the option file.
        std::atexit(removeConfigDir);
    }
    // The request log would measure the stand-in's bookkeeping, not the request.
    vdlsim_log_enable(0);
    libraryCard();
    driverCard();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

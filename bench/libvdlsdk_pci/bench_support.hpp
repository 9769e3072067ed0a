#pragma once
// Pieces shared by the PCIe benchmarks: a temporary option directory, the
// card opened through the library and through the driver interface, and the
// interleaved timing of two sides of one comparison.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vdlsdk/vdlcard.h"
#include "vdlsdk/vdlsdk_pci.h"
#include "vdlsim.h"

namespace pcibench {

[[noreturn]] inline void fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::exit(1);
}

inline std::string& configDir()
{
    static std::string dir;
    return dir;
}

inline void removeConfigDir()
{
    std::error_code ec;
    std::filesystem::remove_all(configDir(), ec);
}

// The library object keeps its option file in VDLSDK_CONFIG: a temporary
// directory, so a run by hand leaves the host's files alone. The request log
// would measure the stand-in's bookkeeping, not the request.
inline void prepare()
{
    if (std::getenv("VDLSDK_CONFIG") == nullptr) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/vdlsdk-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            fail("no temporary option directory");
        configDir() = pattern;
        setenv("VDLSDK_CONFIG", configDir().c_str(), 1);
        // Registered before the library object exists, so it runs after the
        // object's destructor has written the option file.
        std::atexit(removeConfigDir);
    }
    vdlsim_log_enable(0);
}

inline void* libraryCard()
{
    static void* handle = [] {
        void* opened = nullptr;
        if (vdlpci_dev_open(0, &opened) != 0)
            fail("card 0 did not open through the library");
        return opened;
    }();
    return handle;
}

inline vdlcard_handle* driverCard()
{
    static vdlcard_handle* handle = [] {
        vdlcard_handle* opened = vdlcard_Open(0, VDLCARD_OPEN_FLAGS);
        if (opened == nullptr)
            fail("card 0 did not open through the driver interface");
        return opened;
    }();
    return handle;
}

// Times `a` and `b` alternately in the same loop (the order swapped on every
// iteration, so that neither side always runs on what the other left in the
// caches) and reports their times per item and b / a as "ratio".
template <typename A, typename B>
void interleaved(benchmark::State& state, int64_t items, A&& a, B&& b)
{
    using Clock = std::chrono::steady_clock;
    Clock::duration ta{};
    Clock::duration tb{};
    bool aFirst = true;
    for (auto _ : state) {
        for (int side = 0; side < 2; ++side) {
            const bool runA = (side == 0) == aFirst;
            const auto start = Clock::now();
            if (runA)
                a();
            else
                b();
            const auto took = Clock::now() - start;
            (runA ? ta : tb) += took;
        }
        aFirst = !aFirst;
    }
    const double n = static_cast<double>(state.iterations()) * static_cast<double>(items);
    const double na = std::chrono::duration<double, std::nano>(ta).count();
    const double nb = std::chrono::duration<double, std::nano>(tb).count();
    state.counters["a_ns"] = na / n;
    state.counters["b_ns"] = nb / n;
    state.counters["ratio"] = nb / na;
}

inline double minimum(const std::vector<double>& v)
{
    return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}

inline double maximum(const std::vector<double>& v)
{
    return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
}

// Repetitions report min and max next to the median: ->Apply(pcibench::spread).
inline void spread(benchmark::internal::Benchmark* b)
{
    b->ComputeStatistics("min", minimum)->ComputeStatistics("max", maximum);
}

} // namespace pcibench

// vdlpci_get_next_option_key and vdlusb_get_next_option_key on an option file
// of 10,000 keys: one call from the middle, and a whole walk from the first key
// to the end (per key). The copy of the document that each call once made is
// measured alongside for reference.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <vector>
#include <filesystem>
#include <fstream>
#include <string>

#include "vdlsdk/vdl_util.hpp"
#include "vdlsdk/vdlsdk_pci.h"
#include "vdlsdk/vdlsdk_usb.h"
#include "vdlsdk/vdlsdk_util.h"

namespace {

constexpr int kKeys = 10000;
constexpr int kEndOfIteration = -27;
constexpr int kLevelError = 4;
constexpr int kKeySize = 128;

using NextKey = int (*)(const char*, char*, int);

std::string keyName(int i) { return "device" + std::to_string(i) + "/saved_pciedata"; }

// Both libraries' option files with kKeys keys, written before either loads.
class BenchDir {
public:
    BenchDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/vdlsdk-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        m_dir = pattern;
        setenv("VDLSDK_CONFIG", m_dir.c_str(), 1);
        set_log_verbosity(0, kLevelError);
        nlohmann::json doc = nlohmann::json::object();
        for (int i = 0; i < kKeys; ++i)
            doc[keyName(i)] = "1f 0 2010 10 0 0 0 ";
        // Compact: pretty printed, 10,000 such keys pass the option file's size
        // limit (512 KiB) and the file would not load.
        for (const char* name : {"vdlpci_config.json", "vdlusb_config.json"})
            std::ofstream(m_dir + "/" + name) << doc.dump();
    }
    ~BenchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

private:
    std::string m_dir;
};

void setUp()
{
    static BenchDir dir;
}

void nextFromTheMiddle(benchmark::State& state, NextKey next)
{
    setUp();
    const std::string middle = keyName(kKeys / 2);
    char key[kKeySize];
    for (auto _ : state) {
        if (next(middle.c_str(), key, sizeof key) != 0) {
            state.SkipWithError("no next key");
            break;
        }
        benchmark::DoNotOptimize(key);
    }
}

void wholeWalk(benchmark::State& state, NextKey next)
{
    setUp();
    char key[2][kKeySize];
    int keys = 0;
    for (auto _ : state) {
        keys = 0;
        int rc = next(nullptr, key[0], kKeySize);
        while (rc == 0) {
            ++keys;
            rc = next(key[(keys - 1) & 1], key[keys & 1], kKeySize);
        }
        if (rc != kEndOfIteration || keys != kKeys) {
            state.SkipWithError("walk ended early");
            break;
        }
    }
    state.counters["per_key"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * keys,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_PciNextKey(benchmark::State& state) { nextFromTheMiddle(state, vdlpci_get_next_option_key); }
void BM_UsbNextKey(benchmark::State& state) { nextFromTheMiddle(state, vdlusb_get_next_option_key); }
void BM_PciWalk(benchmark::State& state) { wholeWalk(state, vdlpci_get_next_option_key); }
void BM_UsbWalk(benchmark::State& state) { wholeWalk(state, vdlusb_get_next_option_key); }

// What one call cost when it copied the whole document first.
void BM_NextKeyWithACopy(benchmark::State& state)
{
    nlohmann::json doc = nlohmann::json::object();
    for (int i = 0; i < kKeys; ++i)
        doc[keyName(i)] = "1f 0 2010 10 0 0 0 ";
    const std::string middle = keyName(kKeys / 2);
    char key[kKeySize];
    for (auto _ : state) {
        const nlohmann::json copy = doc;
        iterateKeys(copy, middle.c_str(), key, sizeof key);
        benchmark::DoNotOptimize(key);
    }
}

double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double maximum(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

#define VDL_REPEATED(b, unit)                                                                      \
    BENCHMARK(b)                                                                                   \
        ->Unit(benchmark::unit)                                                                    \
        ->Repetitions(5)                                                                           \
        ->ReportAggregatesOnly(true)                                                               \
        ->ComputeStatistics("min", minimum)                                                        \
        ->ComputeStatistics("max", maximum)

VDL_REPEATED(BM_PciNextKey, kNanosecond);
VDL_REPEATED(BM_UsbNextKey, kNanosecond);
VDL_REPEATED(BM_PciWalk, kMillisecond);
VDL_REPEATED(BM_UsbWalk, kMillisecond);
BENCHMARK(BM_NextKeyWithACopy)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

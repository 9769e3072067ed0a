// setOption (serialise, temporary file, fsync, rename) on documents of 10 and
// 1000 keys, against writing the same serialised bytes with plain stdio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "vdlsdk/VdlLibraryOptions.hpp"
#include "vdlsdk/vdlsdk_util.h"

namespace {

constexpr int kLevelError = 4;
constexpr const char* kFileName = "vdlpci_config.json";

// A temporary option directory for the whole run, removed at the end.
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
        // The group warning would only clutter the report.
        set_log_verbosity(0, kLevelError);
    }
    ~BenchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    std::string file(const char* name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
};

BenchDir& benchDir()
{
    static BenchDir dir;
    return dir;
}

// Keys and values shaped like the saved link state of a card.
nlohmann::json document(int keys)
{
    nlohmann::json doc = nlohmann::json::object();
    for (int i = 0; i < keys; ++i)
        doc["device" + std::to_string(i) + "/saved_pciedata"] = "1f 0 2010 10 0 0 0 ";
    return doc;
}

void BM_SetOption(benchmark::State& state)
{
    benchDir();
    Vandrel::LibraryOptions options(kFileName, document(static_cast<int>(state.range(0))));
    const std::string values[] = {"1 2 3 ", "4 5 6 "};
    int turn = 0;
    for (auto _ : state)
        options.setOption("device0/saved_pciedata", values[turn ^= 1]);
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(options.getData().dump(4).size()));
}

void writeWithStdio(benchmark::State& state, bool sync)
{
    const std::string path = benchDir().file("stdio.json");
    const std::string text = document(static_cast<int>(state.range(0))).dump(4);
    for (auto _ : state) {
        FILE* file = std::fopen(path.c_str(), "w");
        if (file == nullptr) {
            state.SkipWithError("cannot open the file");
            break;
        }
        std::fwrite(text.data(), 1, text.size(), file);
        if (sync) {
            std::fflush(file);
            fsync(fileno(file));
        }
        std::fclose(file);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_StdioWrite(benchmark::State& state) { writeWithStdio(state, false); }

// The same with an fsync, to show what durability alone costs.
void BM_StdioWriteFsync(benchmark::State& state) { writeWithStdio(state, true); }

// Serialising alone, the share of the work that is not file I/O.
void BM_Serialise(benchmark::State& state)
{
    const nlohmann::json doc = document(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(doc.dump(4));
}

// The group lookup that follows every save (a scan of the group database).
void BM_GroupLookup(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(get_group());
}

BENCHMARK(BM_SetOption)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StdioWrite)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StdioWriteFsync)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Serialise)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GroupLookup)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();

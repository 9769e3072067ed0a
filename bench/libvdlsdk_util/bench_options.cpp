// setOption against a minimal durable save of the same bytes (serialise, write a
// temporary, fsync, rename), the two interleaved in one loop so that both see the
// same disk and the same load. Run with repetitions to get min/median/max:
//   bench_util_options --benchmark_report_aggregates_only=true
// With --with-group (root only) the run sees a group "vandrel" through a
// private mount namespace, as on an installed host, where each process looks
// the group up once; without it, the host as it is (a missing group is looked
// up at every save).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <cstring>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include "vdlsdk/VdlLibraryOptions.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdlsdk_util.h"
#include "worst_option_files.hpp"

namespace {

constexpr int kLevelError = 4;
constexpr const char* kFileName = "vdlpci_config.json";
constexpr int kRepetitions = 9;
constexpr gid_t kBenchGroup = 64123;

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

// The least a durable replacement of a file can do; `syncDirectory` adds the
// fsync of the directory that makes the rename itself durable.
void durableSave(const nlohmann::json& doc, const std::string& path, const std::string& temporary,
                 bool syncDirectory)
{
    const std::string text = doc.dump(4);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        ::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0)
        std::abort();
    if (syncDirectory) {
        const std::string dir = path.substr(0, path.rfind('/'));
        const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0 || ::fsync(dirFd) != 0 || ::close(dirFd) != 0)
            std::abort();
    }
}

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Counters per save: set_us (setOption), durable_us (the minimal durable save),
// durable_dir_us (the same with the directory synced), ratio = set / durable,
// ratio_dir = set / durable with the directory synced. The three take turns
// going first, so none always follows another's fsync.
void BM_SetOptionVsDurableSave(benchmark::State& state)
{
    benchDir();
    const int keys = static_cast<int>(state.range(0));
    Vandrel::LibraryOptions options(kFileName, document(keys));
    options.saveConfig(true);
    nlohmann::json mirror = document(keys);
    const std::string path = benchDir().file("durable.json");
    const std::string temporary = path + ".tmp";
    const std::string values[] = {"1 2 3 ", "4 5 6 "};
    int turn = 0;
    double time[3] = {0, 0, 0};
    using Clock = std::chrono::steady_clock;
    auto run = [&](int side, const std::string& value) {
        const auto start = Clock::now();
        if (side == 0) {
            options.setOption("device0/saved_pciedata", value);
        } else {
            mirror["device0/saved_pciedata"] = value;
            durableSave(mirror, path, temporary, side == 2);
        }
        time[side] += seconds(Clock::now() - start);
    };
    for (auto _ : state) {
        const std::string& value = values[turn & 1];
        for (int i = 0; i < 3; ++i)
            run((turn + i) % 3, value);
        ++turn;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["set_us"] = time[0] / n * 1e6;
    state.counters["durable_us"] = time[1] / n * 1e6;
    state.counters["durable_dir_us"] = time[2] / n * 1e6;
    state.counters["ratio"] = time[1] > 0 ? time[0] / time[1] : 0;
    state.counters["ratio_dir"] = time[2] > 0 ? time[0] / time[2] : 0;
}

// Serialising alone, the share of the work that is not file I/O.
void BM_Serialise(benchmark::State& state)
{
    const nlohmann::json doc = document(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(doc.dump(4));
}

// The worst option files within the size limit (512 KiB), in the shapes that
// cost most per byte, and a file as the kit writes it for comparison.
enum Shape { kEmptyObjects, kShortKeys, kNestedToTheLimit, kShortKeysPretty, kCardState };
constexpr std::size_t kSizeLimit = std::size_t{512} << 10;

std::string shapeText(int shape)
{
    switch (shape) {
    case kEmptyObjects:
        return worstfiles::repeated("[", "{}", ",", "]", kSizeLimit);
    case kShortKeys:
        return worstfiles::shortKeys(false, kSizeLimit);
    case kNestedToTheLimit:
        return worstfiles::repeated("[", std::string(255, '[') + std::string(255, ']'), ",", "]",
                                    kSizeLimit);
    case kShortKeysPretty:
        return worstfiles::shortKeys(true, kSizeLimit - 64);
    default:
        return document(16).dump(4);
    }
}

const char* const kShapeNames[] = {"empty objects", "short keys", "nested to the limit",
                                   "short keys pretty printed", "16 cards' state"};

// A load of the file (a fresh object each time), and a save of one key on
// top of it; the save of a document whose text passes the limit fails (-14)
// as soon as its text reaches the limit.
void BM_WorstFile(benchmark::State& state)
{
    const int shape = static_cast<int>(state.range(0));
    const bool save = state.range(1) != 0;
    const std::string text = shapeText(shape);
    state.SetLabel(std::string(kShapeNames[shape]) + (save ? ", save" : ", load"));
    const std::string path = benchDir().file(kFileName);
    for (auto _ : state) {
        state.PauseTiming();
        std::ofstream(path, std::ios::trunc) << text;
        Vandrel::LibraryOptions options(kFileName);
        if (save)
            options.loadConfig();
        state.ResumeTiming();
        if (!save) {
            options.loadConfig();
            continue;
        }
        try {
            options.setOption("k", "v");
        } catch (const VDLException<-14>&) {
        }
    }
    state.counters["file_kib"] = static_cast<double>(text.size()) / 1024;
}

// One scan of the group database.
void BM_GroupLookup(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(get_group());
}

double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double maximum(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

BENCHMARK(BM_SetOptionVsDurableSave)
    ->Arg(10)
    ->Arg(1000)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.5)
    ->Repetitions(kRepetitions)
    ->ComputeStatistics("min", minimum)
    ->ComputeStatistics("max", maximum);
BENCHMARK(BM_Serialise)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GroupLookup)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WorstFile)
    ->ArgsProduct({{kEmptyObjects, kShortKeys, kNestedToTheLimit, kShortKeysPretty, kCardState},
                   {0, 1}})
    ->Unit(benchmark::kMillisecond);

// Bind-mounts a copy of the group database with "vandrel" added over
// /etc/group, visible to this process only.
bool addGroupPrivately()
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    std::ifstream in("/etc/group");
    std::string groups((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!groups.empty() && groups.back() != '\n')
        groups += '\n';
    groups += "vandrel:x:" + std::to_string(kBenchGroup) + ":root\n";
    const std::string copy = benchDir().file("group");
    std::ofstream(copy) << groups;
    return mount(copy.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--with-group") != 0)
            continue;
        if (!addGroupPrivately()) {
            std::perror("cannot add the group in a private mount namespace");
            return 1;
        }
        std::copy(argv + i + 1, argv + argc + 1, argv + i);
        --argc;
        break;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

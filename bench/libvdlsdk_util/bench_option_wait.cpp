// How long a save waits for the lock when many processes save one option file at
// once: N processes (8, 64, 128) start together and each sets 30 keys of its
// own; every set is timed. Counters: the longest set (max_ms), the 99th
// percentile (p99_ms), the median (p50_ms), and the sets that failed. A set's
// time is nearly all wait: the save itself takes well under a millisecond.
// Run it on a busy host too, e.g. beside 16 `yes >/dev/null`:
//   bench_util_option_wait --benchmark_repetitions=3
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vdlsdk/VdlLibraryOptions.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdlsdk_util.h"

namespace {

constexpr int kLevelError = 4;
constexpr const char* kFileName = "vdlpci_config.json";
constexpr int kSetsPerProcess = 30;

// A fresh option directory per run, removed afterwards.
class WaitDir {
public:
    WaitDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/vdlsdk-wait-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        m_dir = pattern;
        setenv("VDLSDK_CONFIG", m_dir.c_str(), 1);
    }
    ~WaitDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

private:
    std::string m_dir;
};

// Each child's set times in microseconds (negative: the set failed), in memory
// shared with the parent.
class SharedTimes {
public:
    explicit SharedTimes(std::size_t count) : m_count(count)
    {
        void* p = mmap(nullptr, count * sizeof(double), PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            std::abort();
        m_times = static_cast<double*>(p);
    }
    ~SharedTimes() { munmap(m_times, m_count * sizeof(double)); }
    double* data() { return m_times; }

private:
    std::size_t m_count;
    double* m_times;
};

void BM_SaveWait(benchmark::State& state)
{
    set_log_verbosity(0, kLevelError);
    const int processes = static_cast<int>(state.range(0));
    std::vector<double> all;
    long failed = 0;
    for (auto _ : state) {
        WaitDir dir;
        SharedTimes times(static_cast<std::size_t>(processes) * kSetsPerProcess);
        int go[2];
        if (pipe(go) != 0)
            std::abort();
        std::vector<pid_t> children;
        for (int p = 0; p < processes; ++p) {
            const pid_t pid = fork();
            if (pid == 0) {
                close(go[1]);
                Vandrel::LibraryOptions options(kFileName);
                char byte;
                if (read(go[0], &byte, 1) != 1)
                    _exit(2);
                double* mine = times.data() + static_cast<std::size_t>(p) * kSetsPerProcess;
                for (int i = 0; i < kSetsPerProcess; ++i) {
                    const auto start = std::chrono::steady_clock::now();
                    bool ok = true;
                    try {
                        options.setOption(std::to_string(p) + "/" + std::to_string(i), "1 2 3 ");
                    } catch (const VDLBaseException&) {
                        ok = false;
                    }
                    const double us = std::chrono::duration<double, std::micro>(
                                          std::chrono::steady_clock::now() - start)
                                          .count();
                    mine[i] = ok ? us : -us;
                }
                _exit(0);
            }
            children.push_back(pid);
        }
        const std::string start(static_cast<std::size_t>(processes), 'g');
        if (write(go[1], start.data(), start.size()) != processes)
            std::abort();
        close(go[1]);
        close(go[0]);
        for (const pid_t pid : children)
            waitpid(pid, nullptr, 0);
        for (int i = 0; i < processes * kSetsPerProcess; ++i) {
            const double t = times.data()[i];
            if (t < 0)
                ++failed;
            all.push_back(t < 0 ? -t : t);
        }
    }
    std::sort(all.begin(), all.end());
    auto at = [&](double q) {
        return all[std::min(all.size() - 1, static_cast<std::size_t>(q * all.size()))] / 1000;
    };
    state.counters["max_ms"] = all.back() / 1000;
    state.counters["p99_ms"] = at(0.99);
    state.counters["p50_ms"] = at(0.5);
    state.counters["failed"] = static_cast<double>(failed);
}

BENCHMARK(BM_SaveWait)
    ->Arg(8)
    ->Arg(64)
    ->Arg(128)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();

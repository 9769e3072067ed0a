// dlopen (RTLD_NOW) and dlclose of each library, each sample in a fresh
// process (a library that stays mapped after dlclose cannot be loaded twice in
// one). Two cases per library: "cold", where the program has nothing loaded
// but libc, so the time includes the C++ runtime and the third-party
// libraries; and "deps", where those are loaded first and the time is the
// kit's own relocations and initialisers. The unloaded counter is 1 when the
// dlclose unmapped the library.
//
//   bench_library_load --benchmark_repetitions=20 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Sample {
    double openNs = 0;
    double closeNs = 0;
    int unloaded = 0;
};

bool runOnce(const std::vector<std::string>& args, Sample& sample)
{
    int out[2];
    if (pipe(out) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return false;
    }
    char text[128] = {};
    ssize_t n = 0, got = 0;
    while (got < static_cast<ssize_t>(sizeof text) - 1 &&
           (n = read(out[0], text + got, sizeof text - 1 - got)) > 0)
        got += n;
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    long long openNs = 0, closeNs = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(text, "%lld %lld %d", &openNs, &closeNs, &sample.unloaded) != 3)
        return false;
    sample.openNs = static_cast<double>(openNs);
    sample.closeNs = static_cast<double>(closeNs);
    return true;
}

// The third-party libraries (Debian 12 sonames) each kit library pulls in.
const std::vector<std::string> kCommonDeps = {"libstdc++.so.6", "libfmt.so.9",
                                              "libspdlog.so.1.10"};

void BM_Load(benchmark::State& state, std::string library, std::vector<std::string> deps,
             bool preload)
{
    std::vector<std::string> args = {VDLSDK_LOAD_ONCE, library};
    if (preload) {
        args.push_back("--");
        args.insert(args.end(), kCommonDeps.begin(), kCommonDeps.end());
        args.insert(args.end(), deps.begin(), deps.end());
    }
    double closeTotal = 0;
    int unloaded = 1;
    for (auto _ : state) {
        Sample sample;
        if (!runOnce(args, sample)) {
            state.SkipWithError("the load helper failed");
            return;
        }
        state.SetIterationTime(sample.openNs * 1e-9);
        closeTotal += sample.closeNs;
        unloaded = std::min(unloaded, sample.unloaded);
    }
    state.counters["close_us"] =
        benchmark::Counter(closeTotal * 1e-3 / static_cast<double>(state.iterations()));
    state.counters["unloaded"] = unloaded;
}

void addLibrary(const char* name, const char* path, std::vector<std::string> deps)
{
    for (bool preload : {false, true}) {
        const std::string title = std::string("BM_Load/") + name + (preload ? "/deps" : "/cold");
        benchmark::RegisterBenchmark(title.c_str(), BM_Load, path, deps, preload)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond)
            ->Iterations(20)
            ->ComputeStatistics("min", [](const std::vector<double>& v) {
                return *std::min_element(v.begin(), v.end());
            })
            ->ComputeStatistics("max", [](const std::vector<double>& v) {
                return *std::max_element(v.begin(), v.end());
            });
    }
}

} // namespace

int main(int argc, char** argv)
{
    addLibrary("util", VDLSDK_LIB_UTIL, {});
    addLibrary("pci", VDLSDK_LIB_PCI, {});
    addLibrary("usb", VDLSDK_LIB_USB, {"libusb-1.0.so.0"});
    addLibrary("bmc", VDLSDK_LIB_BMC, {"libpython3.11.so.1.0"});
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

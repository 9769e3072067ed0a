// Host programs that use the board-management library the way a C program
// would, each in its own process; the test runs them with a time limit and
// checks how they end.
//
//   worker          one worker thread connects, reads, disconnects and ends;
//                   main then returns: the process exits with 0.
//   exit_elsewhere  main connects; another thread calls exit(7) while main
//                   waits for it: the process exits with 7.
//   sigint          main connects, the package imports the signal module,
//                   then SIGINT is raised: its default action ends the process.
//   sigint_ignored_first, sigint_handled_first
//                   as sigint, but SIGINT is ignored, or handled by the host,
//                   at the connect and set back to its default before the
//                   package first imports the signal module.
//
// The package imports threading in each (as any package that logs does), so
// that a finalisation from the wrong thread would wait for ever.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "vdlsdk/vdlsdk_bmc.h"

namespace {

constexpr int kExitElsewhereStatus = 7;
constexpr int kFailed = 2;
constexpr int kSurvivedSigint = 3;

// A handle left connected at exit, reachable so that it is not a leak.
VdlbmcHandle* g_kept = nullptr;

// Connects, lets the package import `modules`, reads a sensor and disconnects
// unless `keep` (then the handle is kept in g_kept); exits with kFailed on any
// failure.
void use(const char* modules, bool keep)
{
    VdlbmcHandle* handle = nullptr;
    if (vdlbmc_connect("sim", 0, nullptr, &handle) != 0) {
        std::fprintf(stderr, "connect failed\n");
        std::_Exit(kFailed);
    }
    const std::string imports = std::string("import ") + modules;
    double value = 0;
    if (PyRun_SimpleString(imports.c_str()) != 0 ||
        vdlbmc_read_numeric_sensor_value(handle, "FPGA Temp", &value, nullptr, 0) != 0) {
        std::fprintf(stderr, "use failed\n");
        std::_Exit(kFailed);
    }
    if (keep)
        g_kept = handle;
    else
        vdlbmc_disconnect(handle);
}

void hostSigintHandler(int) {}

// Raises SIGINT, which is to end the program; survived, the program says so.
int raiseSigint()
{
    std::raise(SIGINT);
    std::fprintf(stderr, "SIGINT did not end the program\n");
    vdlbmc_disconnect(g_kept);
    return kSurvivedSigint;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: %s worker|exit_elsewhere|sigint|sigint_ignored_first|"
                     "sigint_handled_first\n",
                     argv[0]);
        return kFailed;
    }
    const std::string mode = argv[1];
    if (mode == "worker") {
        std::thread([] { use("threading", false); }).join();
        return 0;
    }
    if (mode == "exit_elsewhere") {
        use("threading", true);
        std::thread([] { std::exit(kExitElsewhereStatus); }).join();
        return kFailed; // not reached: the exit ends the process
    }
    if (mode == "sigint") {
        use("threading, signal, subprocess", true);
        return raiseSigint();
    }
    if (mode == "sigint_ignored_first" || mode == "sigint_handled_first") {
        std::signal(SIGINT, mode == "sigint_ignored_first" ? SIG_IGN : hostSigintHandler);
        use("threading", true);
        std::signal(SIGINT, SIG_DFL);
        if (PyRun_SimpleString("import subprocess") != 0)
            return kFailed;
        return raiseSigint();
    }
    std::fprintf(stderr, "unknown mode %s\n", argv[1]);
    return kFailed;
}

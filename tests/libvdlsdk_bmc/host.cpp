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

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s worker|exit_elsewhere|sigint\n", argv[0]);
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
        std::raise(SIGINT);
        std::fprintf(stderr, "SIGINT did not end the program\n");
        vdlbmc_disconnect(g_kept);
        return kSurvivedSigint;
    }
    std::fprintf(stderr, "unknown mode %s\n", argv[1]);
    return kFailed;
}

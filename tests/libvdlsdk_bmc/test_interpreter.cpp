// The embedded interpreter: start with and without a virtual environment, kit
// activation, finalisation, signals and host programs, and reference hygiene
// over many calls. Each TEST runs in its own process, so each one is a first
// start.
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bmc_test_support.hpp"

using namespace bmctest;

namespace {

// A handle the process never disconnects, reachable so that it is not
// reported as a leak of the test itself.
VdlbmcHandle* g_neverDisconnected = nullptr;

// The standard library of the system's CPython, which the library links.
constexpr const char* kSystemStdlib = "/usr/lib/python3.11";

// A virtual environment of the system interpreter in `dir`; empty on failure.
std::string makeVenv(const vdltest::TempDir& dir)
{
    const std::string root = dir.file("venv");
    const std::string command =
        std::string(VDLBMC_SYSTEM_PYTHON) + " -m venv --without-pip " + root;
    if (std::system(command.c_str()) != 0)
        return {};
    return root;
}

// Another installation of the same Python version in `dir`, put first on
// PATH: a python3 program (it never runs) beside a lib/python3.11 that an
// interpreter could start from. Its directory on success.
std::string plantPythonFirstOnPath(const vdltest::TempDir& dir)
{
    const std::string bin = dir.file("bin");
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(dir.file("lib"));
    std::filesystem::create_directory_symlink(kSystemStdlib, dir.file("lib/python3.11"));
    const std::string program = bin + "/python3";
    std::ofstream(program) << "#!/bin/sh\nexit 1\n";
    if (chmod(program.c_str(), 0755) != 0)
        return {};
    const char* path = std::getenv("PATH");
    setenv("PATH", (bin + ":" + (path ? path : "/usr/bin")).c_str(), 1);
    return dir.path();
}

} // namespace

TEST(bmcInterpreter, PlainStartWithoutVirtualEnv)
{
    unsetenv("VIRTUAL_ENV");
    VdlbmcHandle* handle = connect();
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ("/usr", evalText("sys.base_prefix"));
    EXPECT_EQ(evalText("sys.base_prefix"), evalText("sys.prefix"));
    EXPECT_EQ(VDLBMC_SYSTEM_PYTHON, evalText("sys.executable"));
    vdlbmc_disconnect(handle);
}

TEST(bmcInterpreter, EmptyVirtualEnvIsAnEmptyHome)
{
    setenv("VIRTUAL_ENV", "", 1);
    VdlbmcHandle* handle = connect();
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ("/usr", evalText("sys.prefix"));
    vdlbmc_disconnect(handle);
}

// Another python3 first on PATH does not change which installation the
// interpreter starts from, on either start: it links the system's.
TEST(bmcInterpreter, PlainStartIgnoresAnotherPythonOnPath)
{
    unsetenv("VIRTUAL_ENV");
    const vdltest::TempDir dir("bmc-path");
    ASSERT_FALSE(plantPythonFirstOnPath(dir).empty());
    VdlbmcHandle* handle = connect();
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ("/usr", evalText("sys.prefix"));
    EXPECT_EQ("/usr", evalText("sys.exec_prefix"));
    EXPECT_EQ(VDLBMC_SYSTEM_PYTHON, evalText("sys.executable"));
    vdlbmc_disconnect(handle);
}

TEST(bmcInterpreter, EmptyVirtualEnvIgnoresAnotherPythonOnPath)
{
    setenv("VIRTUAL_ENV", "", 1);
    const vdltest::TempDir dir("bmc-path");
    ASSERT_FALSE(plantPythonFirstOnPath(dir).empty());
    VdlbmcHandle* handle = connect();
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ("/usr", evalText("sys.prefix"));
    EXPECT_EQ(VDLBMC_SYSTEM_PYTHON, evalText("sys.executable"));
    vdlbmc_disconnect(handle);
}

TEST(bmcInterpreter, PlainDirectoryAsHomeFailsOnceAndForAll)
{
    const vdltest::TempDir homeDir("bmc-home");
    const std::string& home = homeDir.path();
    setenv("VIRTUAL_ENV", home.c_str(), 1);
    LogCapture log;
    VdlbmcHandle* handle = reinterpret_cast<VdlbmcHandle*>(0x1);
    EXPECT_EQ(-1, vdlbmc_connect("sim", 0, nullptr, &handle));
    EXPECT_EQ(nullptr, handle);
    ASSERT_EQ(1u, log.messages(LOGGER_BMC).size());
    EXPECT_EQ(0u, log.messages(LOGGER_BMC)[0].find("Could not start the Python interpreter"));
    EXPECT_FALSE(Py_IsInitialized());
    // Later connects of either kind fail at once, without a second start or log line.
    EXPECT_EQ(-1, vdlbmc_connect("sim", 0, nullptr, &handle));
    EXPECT_EQ(-1, vdlbmc_connect_low_level("vdl_bmc.transport", "handler", nullptr, &handle));
    initalize();
    use_kits();
    EXPECT_TRUE(get_interfaces().empty());
    EXPECT_EQ(1u, log.messages(LOGGER_BMC).size());
    EXPECT_FALSE(Py_IsInitialized());
}

TEST(bmcInterpreter, RealVirtualEnvironmentIsStartedAsOne)
{
    const vdltest::TempDir dir("bmc-venv");
    const std::string venv = makeVenv(dir);
    ASSERT_FALSE(venv.empty()) << "python3 -m venv failed";
    const std::string sitePackages = venv + "/lib/python3.11/site-packages";
    ASSERT_TRUE(std::filesystem::is_directory(sitePackages));
    std::ofstream(sitePackages + "/bmc_venv_marker.py") << "WHERE = 'venv'\n";
    setenv("VIRTUAL_ENV", venv.c_str(), 1);

    LogCapture log;
    VdlbmcHandle* handle = connect();
    ASSERT_NE(nullptr, handle);
    EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
    EXPECT_EQ(venv, evalText("sys.prefix"));
    EXPECT_EQ("/usr", evalText("sys.base_prefix"));
    EXPECT_EQ("venv", evalText("__import__('bmc_venv_marker').WHERE"));
    vdlbmc_disconnect(handle);
}

TEST(bmcInterpreter, InitalizeTwiceStartsAndActivatesOnce)
{
    unsetenv("VIRTUAL_ENV");
    use_kits(); // before any start: nothing, and the activation is not used up
    EXPECT_FALSE(Py_IsInitialized());
    initalize();
    ASSERT_TRUE(Py_IsInitialized());
    ASSERT_TRUE(py("import builtins\nbuiltins.bmc_marker = 1"));
    initalize();
    EXPECT_EQ(1, evalLong("__import__('builtins').bmc_marker")) << "same interpreter";
    EXPECT_EQ(1, evalLong("__import__('vdl_bmc.control').control.use_kits_count()"));
    EXPECT_EQ(3u, get_interfaces().size());
    VdlbmcHandle* handle = connect();
    EXPECT_EQ(1, evalLong("c.use_kits_count()"));
    vdlbmc_disconnect(handle);
}

TEST(bmcInterpreter, DisconnectAfterFinalisationOnlyFreesTheHandle)
{
    unsetenv("VIRTUAL_ENV");
    VdlbmcHandle* first = connect();
    VdlbmcHandle* second = connect();
    fini();
    EXPECT_FALSE(Py_IsInitialized());
    double value = 0;
    char text[16];
    EXPECT_EQ(-1, vdlbmc_read_numeric_sensor_value(second, "FPGA Temp", &value, nullptr, 0));
    EXPECT_EQ(-1, vdlbmc_fpga_reset(second, nullptr));
    EXPECT_EQ(-1, vdlbmc_get_mfg_info(second, text, sizeof text));
    EXPECT_FALSE(vdlbmc_effecter_is_settable(second, "Identify LED", "On"));
    vdlbmc_disconnect(first);
    vdlbmc_disconnect(second);
    // Never started again in this process.
    VdlbmcHandle* handle = nullptr;
    EXPECT_EQ(-1, vdlbmc_connect("sim", 0, nullptr, &handle));
    EXPECT_FALSE(Py_IsInitialized());
    fini();
}

TEST(bmcInterpreter, ExitWithAHandleNeverDisconnected)
{
    unsetenv("VIRTUAL_ENV");
    g_neverDisconnected = connect();
    ASSERT_NE(nullptr, g_neverDisconnected);
    // The process exit finalises the interpreter after releasing the interface
    // table; the handle's references are the caller's and stay unreleased.
}

TEST(bmcInterpreter, OtherThreadsAreRefused)
{
    unsetenv("VIRTUAL_ENV");
    VdlbmcHandle* handle = connect();
    int result = 0;
    VdlbmcHandle* other = reinterpret_cast<VdlbmcHandle*>(0x1);
    std::thread([&] { result = vdlbmc_connect("sim", 0, nullptr, &other); }).join();
    EXPECT_EQ(-1, result);
    EXPECT_EQ(nullptr, other);
    vdlbmc_disconnect(handle);
}

namespace {

// Every signal's handler and flags.
std::vector<std::pair<void*, int>> dispositions()
{
    std::vector<std::pair<void*, int>> all;
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) != 0)
            all.emplace_back(nullptr, -1);
        else
            all.emplace_back(reinterpret_cast<void*>(action.sa_handler), action.sa_flags);
    }
    return all;
}

void hostSigintHandler(int) {}

} // namespace

TEST(bmcInterpreter, SignalsStayTheHosts)
{
    unsetenv("VIRTUAL_ENV");
    std::signal(SIGINT, SIG_DFL);
    const auto before = dispositions();
    VdlbmcHandle* handle = connect();
    ASSERT_NE(nullptr, handle);
    EXPECT_TRUE(before == dispositions()) << "changed by the start";
    // A package that imports the signal module (subprocess and asyncio do)
    // does not take SIGINT either.
    ASSERT_TRUE(py("import signal, subprocess, asyncio"));
    EXPECT_TRUE(before == dispositions()) << "changed by the signal module";
    EXPECT_TRUE(evalTrue("signal.getsignal(signal.SIGINT) == signal.SIG_DFL"));
    vdlbmc_disconnect(handle);
    // Nor does the finalisation take back a handler the host set since.
    std::signal(SIGINT, hostSigintHandler);
    const auto hosts = dispositions();
    fini();
    EXPECT_FALSE(Py_IsInitialized());
    EXPECT_TRUE(hosts == dispositions()) << "changed by the finalisation";
}

namespace {

// Runs the host program (host.cpp) in `mode` in its own process, with SIGINT
// at its default, and gives how it ended (a waitpid status); a program that
// does not end within the time limit is killed and the test fails.
int runHost(const char* mode)
{
    constexpr auto kTimeLimit = std::chrono::seconds(60);
    posix_spawnattr_t attributes;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::string program = VDLBMC_HOST_PROGRAM;
    std::string argument = mode;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot run " << program;
        return -1;
    }
    // The child's end is the event waited for; the limit only catches a hang.
    int status = 0;
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd watch{ended, POLLIN, 0};
    int ready = -1;
    if (ended >= 0) {
        do
            ready = poll(&watch, 1, static_cast<int>(kTimeLimit.count() * 1000));
        while (ready < 0 && errno == EINTR);
        close(ended);
    }
    if (ready == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << mode << ": the program did not end";
        return -1;
    }
    waitpid(pid, &status, 0);
    return status;
}

} // namespace

TEST(bmcInterpreter, HostProgramsEndAsTheySay)
{
    struct Row {
        const char* mode;
        bool exited; // else ended by a signal
        int code;    // exit status or signal
    };
    const Row rows[] = {
        {"worker", true, 0},         // main returns after the worker thread ended
        {"exit_elsewhere", true, 7}, // exit(7) from a thread that never used the library
        {"sigint", false, SIGINT},   // Ctrl+C still ends the host
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mode);
        const int status = runHost(row.mode);
        if (row.exited) {
            ASSERT_TRUE(WIFEXITED(status)) << status;
            EXPECT_EQ(row.code, WEXITSTATUS(status));
        } else {
            ASSERT_TRUE(WIFSIGNALED(status)) << status;
            EXPECT_EQ(row.code, WTERMSIG(status));
        }
    }
}

TEST(bmcInterpreter, InterfaceTableIsNotFilledFromAnotherThread)
{
    unsetenv("VIRTUAL_ENV");
    // The low-level connect starts the interpreter but leaves the table unfilled.
    VdlbmcHandle* handle = nullptr;
    ASSERT_EQ(0, vdlbmc_connect_low_level("vdl_bmc.transport", "handler", nullptr, &handle));
    std::size_t otherThreadSize = 1;
    std::thread([&] {
        use_kits();
        otherThreadSize = get_interfaces().size();
    }).join();
    EXPECT_EQ(0u, otherThreadSize);
    EXPECT_EQ(3u, get_interfaces().size()) << "still to be filled by the interpreter's thread";
    vdlbmc_disconnect(handle);
}

TEST(bmcInterpreter, NoReferenceLeaksOverManyCalls)
{
    unsetenv("VIRTUAL_ENV");
    VdlbmcHandle* handle = connect();
    ASSERT_NE(nullptr, handle);
    // Each member gives a distinct object of its own; their reference counts,
    // and those of the script objects, must not move over many calls.
    ASSERT_TRUE(py(R"(
c.set_recording(False)
R = {
    'FPGA Temp.get_reading': float('45.5'),
    'FPGA Temp.units': ''.join(['de', 'gC']),
    'BMC Status.get_value': ''.join(['O', 'K']),
    'VCCINT.get_thresholds': {'upperThresholdWarning': float('1.5'), 'lowerThresholdFatal': math.nan},
    'Inlet Temp.operational_state': ''.join(['en', 'abled']),
    'Inlet Temp.display_level': ''.join(['nor', 'mal']),
    'Power Limit.get_value': float('80.5'),
    'Identify LED.get_value': ''.join(['O', 'n']),
    'Identify LED.settable_states': [''.join(['O', 'n']), ''.join(['O', 'ff'])],
    'FPGA Configuration.get_value': ''.join(['Configured ', 'Backup']),
    'FPGA.core_override_value': float('0.95'),
    'FPGA.get_boot_source': ''.join(['Nor', 'mal']),
    'CLK0.frequency': ''.join(['1 ', 'MHz']),
    'CLK0.information': {'out0': [''.join(['1 ', 'MHz']), 'on'], 'out1': []},
    'BMC.last_error': {'lastError': ''.join(['E', '1']), 'resetCause': ''.join(['W', 'D'])},
    'MFG_PROM.prom_serial_number': [1, 2, 3],
    'card.mfg_info': {'model': ''.join(['X', '1']), 'rev': 3},
    'BMC.version': {'fw': ''.join(['1.', '0'])},
    'I2C Channel 1 Override.get_value': ''.join(['Ho', 'st']),
    'I2C Channel 1 Override.operational_state': ''.join(['ena', 'bled']),
}
for target, value in R.items():
    c.fault(target, returns=value)
objects = [c.lookup(n) for n in ('FPGA Temp', 'BMC Status', 'VCCINT', 'Inlet Temp', 'Power Limit',
           'Identify LED', 'FPGA Configuration', 'FPGA', 'CLK0', 'BMC', 'MFG_PROM',
           'I2C Channel 1 Override', 'I2C PCIe')] + [c.card()]
def counts():
    gc.collect()
    return [sys.getrefcount(v) for v in R.values()] + [sys.getrefcount(o) for o in objects]
)"));
    constexpr int kCalls = 300;
    auto exercise = [&] {
        bool flag = false;
        double value = 0;
        char text[128];
        char units[16];
        std::uint8_t mask = 0;
        std::uint8_t serial[4];
        int load = 0;
        VdlbmcThresholds record{};
        for (int i = 0; i < kCalls; ++i) {
            vdlbmc_sensor_is_numeric(handle, "FPGA Temp", &flag);
            vdlbmc_read_numeric_sensor_value(handle, "FPGA Temp", &value, units, sizeof units);
            vdlbmc_read_sensor_value(handle, "FPGA Temp", text, sizeof text, units, sizeof units);
            vdlbmc_read_sensor_value(handle, "BMC Status", text, sizeof text, units, sizeof units);
            vdlbmc_get_sensor_thresholds(handle, "VCCINT", &mask, &record);
            vdlbmc_set_sensor_thresholds(handle, "VCCINT", 0x3F, &record);
            vdlbmc_sensor_enable(handle, "Inlet Temp", 1);
            vdlbmc_is_sensor_enabled(handle, "Inlet Temp", &flag);
            vdlbmc_get_sensor_display_level(handle, "Inlet Temp", text, sizeof text);
            vdlbmc_read_numeric_effecter_value(handle, "Power Limit", &value);
            vdlbmc_read_effecter_value(handle, "Power Limit", text, sizeof text);
            vdlbmc_read_effecter_value(handle, "Identify LED", text, sizeof text);
            vdlbmc_set_numeric_effecter(handle, "Power Limit", 100.0);
            vdlbmc_set_effecter(handle, "Identify LED", "On");
            vdlbmc_get_effecter_settable_values(handle, "Identify LED", text, sizeof text);
            vdlbmc_effecter_is_settable(handle, "Identify LED", "On");
            vdlbmc_get_fpga_load(handle, &load);
            vdlbmc_fpga_get_corev(handle, nullptr, &flag, &value);
            vdlbmc_get_boot_src(handle, nullptr, text, sizeof text);
            vdlbmc_clock_frequency(handle, "CLK0", 0, text, sizeof text);
            vdlbmc_clock_information(handle, "CLK0", text, sizeof text);
            vdlbmc_is_power_on(handle, &flag);
            vdlbmc_read_last_error(handle, text, 64, text + 64, 64);
            vdlbmc_read_mgmt_prom_serial(handle, serial, sizeof serial);
            vdlbmc_get_i2c_channel_ownership(handle, 1, &flag, text, sizeof text);
            vdlbmc_enable_pcie_i2c(handle, 1);
            vdlbmc_get_mfg_info(handle, text, sizeof text);
            vdlbmc_firmware_version(handle, text, sizeof text);
            // Failing paths too: a raising member and a copy that does not fit.
            vdlbmc_fpga_reset(handle, nullptr);
            vdlbmc_get_mfg_info(handle, text, 4);
            vdlbmc_read_sensor_value(handle, "BMC Status", text, 2, nullptr, 0);
        }
    };
    LogCapture quiet; // the raising reset writes a line per call
    ASSERT_TRUE(py("c.fault('FPGA.reset', raises=RuntimeError)"));
    exercise(); // warm-up: caches, interned names
    const std::string before = evalText("counts()");
    exercise();
    EXPECT_EQ(before, evalText("counts()"));
    EXPECT_TRUE(noPendingError());

    // A second handle to the same card adds table references; disconnecting
    // it takes back exactly those.
    const std::string withOne = evalText("counts()");
    VdlbmcHandle* second = connect();
    EXPECT_NE(withOne, evalText("counts()"));
    vdlbmc_disconnect(second);
    EXPECT_EQ(withOne, evalText("counts()"));

    vdlbmc_disconnect(handle);
    ASSERT_TRUE(py("del objects\nc.reset()\ngc.collect()"));
    EXPECT_EQ(0, evalLong(kLeftOver)) << evalText("c.live_objects()");
}

TEST(bmcInterpreter, InterfaceKeysAreNotLeakedByConnects)
{
    unsetenv("VIRTUAL_ENV");
    VdlbmcHandle* handle = connect();
    vdlbmc_disconnect(handle);
    ASSERT_TRUE(py("from vdl_common.vdlk import kit\nkey = kit.KitInterface.SIM\nc.set_recording(False)"));
    const long before = evalLong("sys.getrefcount(key)");
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(0, vdlbmc_connect("sim", 0, nullptr, &handle));
        vdlbmc_disconnect(handle);
        EXPECT_EQ(3u, get_interfaces().size());
    }
    EXPECT_EQ(before, evalLong("sys.getrefcount(key)"));
}

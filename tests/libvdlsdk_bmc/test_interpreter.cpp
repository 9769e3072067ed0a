// The embedded interpreter: start with and without a virtual environment, kit
// activation, finalisation, signals and host programs, and reference hygiene
// over many calls. Each TEST runs in its own process, so each one is a first
// start.
#include <dlfcn.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bmc_test_support.hpp"
#include "vdltest_process.hpp"

using namespace bmctest;

namespace {

// A handle the process never disconnects, reachable so that it is not
// reported as a leak of the test itself.
VdlbmcHandle* g_neverDisconnected = nullptr;

// How long a process that could hang is given to end: far beyond what any of
// them needs, even on a loaded host.
constexpr auto kTimeLimit = std::chrono::seconds(60);

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

// A call from a thread that does not hold the interpreter is refused without
// reaching the package, whatever the call; the handle goes on working on the
// interpreter's thread. A disconnect there frees the handle but cannot release
// its script objects.
TEST(bmcInterpreter, OtherThreadsAreRefused)
{
    unsetenv("VIRTUAL_ENV");
    VdlbmcHandle* handle = connect();
    ASSERT_NE(nullptr, handle);
    VdlbmcHandle* second = connect();
    ASSERT_TRUE(py("c.clear_calls()\ntemp = c.lookup('FPGA Temp')"));
    const long held = evalLong("sys.getrefcount(temp)");

    struct {
        int connect = 0, read = 0, set = 0, reset = 0, states = 0;
        bool settable = true;
        double value = -1;
        char text[64] = "untouched";
        VdlbmcHandle* other = reinterpret_cast<VdlbmcHandle*>(0x1);
    } r;
    LogCapture log;
    std::thread([&] {
        r.connect = vdlbmc_connect("sim", 0, nullptr, &r.other);
        r.read = vdlbmc_read_numeric_sensor_value(handle, "FPGA Temp", &r.value, nullptr, 0);
        r.set = vdlbmc_set_numeric_effecter(handle, "Power Limit", 100.0);
        r.reset = vdlbmc_fpga_reset(handle, nullptr);
        r.states = vdlbmc_get_effecter_settable_values(handle, "Identify LED", r.text, sizeof r.text);
        r.settable = vdlbmc_effecter_is_settable(handle, "Identify LED", "On");
        vdlbmc_disconnect(second);
    }).join();
    EXPECT_EQ(-1, r.connect);
    EXPECT_EQ(nullptr, r.other);
    EXPECT_EQ(-1, r.read);
    EXPECT_EQ(-1, r.value);
    EXPECT_EQ(-1, r.set);
    EXPECT_EQ(-1, r.reset);
    EXPECT_EQ(-1, r.states);
    EXPECT_STREQ("untouched", r.text);
    EXPECT_FALSE(r.settable);
    EXPECT_EQ("", evalText("c.dump_calls()")) << "the package was called";
    EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
    EXPECT_EQ(held, evalLong("sys.getrefcount(temp)")) << "released from another thread";

    double value = 0;
    EXPECT_EQ(0, vdlbmc_read_numeric_sensor_value(handle, "FPGA Temp", &value, nullptr, 0));
    EXPECT_EQ(45.0, value);
    EXPECT_EQ(0, vdlbmc_fpga_reset(handle, nullptr));
    vdlbmc_disconnect(handle);
}

// A host that forks after connecting, while the package keeps a thread of its
// own (as a keep-alive poller does): the child's calls are refused and logged,
// and its exit neither finalises the interpreter nor waits for that thread,
// which does not exist there. The parent goes on as before.
TEST(bmcInterpreter, ForkedChildLeavesTheInterpreterAlone)
{
    unsetenv("VIRTUAL_ENV");
    VdlbmcHandle* handle = connect();
    ASSERT_NE(nullptr, handle);
    ASSERT_TRUE(py("import threading\nstop = threading.Event()\n"
                   "poller = threading.Thread(target=stop.wait)\npoller.start()"));
    constexpr int kChildExit = 3;
    const pid_t child = vdltest::startChild(
        [&] {
            LogCapture log;
            double value = -1;
            VdlbmcHandle* other = reinterpret_cast<VdlbmcHandle*>(0x1);
            const int calls[] = {
                vdlbmc_read_numeric_sensor_value(handle, "FPGA Temp", &value, nullptr, 0),
                vdlbmc_fpga_reset(handle, nullptr),
                vdlbmc_connect("sim", 0, nullptr, &other),
            };
            int told = 0;
            for (const auto& line : log.messages(LOGGER_BMC))
                told += line.find("was forked from it") != std::string::npos;
            for (int result : calls) {
                if (result != -1) {
                    std::fprintf(stderr, "a call in the child gave %d\n", result);
                    return 1;
                }
            }
            if (value != -1 || other != nullptr || told != 3) {
                std::fprintf(stderr, "value %g, handle %p, %d refusals logged\n", value,
                             static_cast<void*>(other), told);
                return 2;
            }
            vdlbmc_disconnect(handle); // the child's copy: freed, nothing released
            return kChildExit;
        },
        vdltest::ChildExit::Normal);
    EXPECT_EQ(kChildExit, vdltest::waitChild(child, kTimeLimit));

    double value = 0;
    EXPECT_EQ(0, vdlbmc_read_numeric_sensor_value(handle, "FPGA Temp", &value, nullptr, 0));
    EXPECT_EQ(45.0, value);
    ASSERT_TRUE(py("stop.set()\npoller.join()"));
    vdlbmc_disconnect(handle);
}

namespace {

// Calls the library back through ctypes, with the interpreter's lock held (as
// a helper of the package that checks the controller would), and keeps what
// the call gave.
constexpr const char* kCallBackModule = R"(import ctypes
RESULTS = []
def call_back():
    handle = ctypes.c_void_p()
    library = ctypes.PyDLL(None)
    RESULTS.append(library.vdlbmc_connect(b'sim', 0, None, ctypes.byref(handle)))
)";

// A kit of the package's form around one controller with an empty card, whose
// activation runs `activation` and whose interface key's value calls back
// when `valueCallsBack` is "True".
std::string kitModule(const char* valueCallsBack)
{
    return std::string("import callback\nVALUE_CALLS_BACK = ") + valueCallsBack + R"(
class Card:
    components = {}
    sensors = {}
    effecters = {}
class Controller:
    def discover(self):
        pass
    def card(self):
        return Card()
class Key:
    @property
    def value(self):
        if VALUE_CALLS_BACK:
            callback.call_back()
        return 'sim'
KitInterfaces = {Key(): 'the one interface'}
def bmc_for_card(card, key, **options):
    return Controller()
)";
}

struct CallBackRow {
    const char* where;
    const char* sitecustomize; // null: none
    const char* activation;    // the body of use_kits(); null: the simulated package
    const char* valueCallsBack;
    const char* refusal; // what the line says
};

// Writes the row's package into `dir`.
void writePackage(const std::string& dir, const CallBackRow& row)
{
    std::ofstream(dir + "/callback.py") << kCallBackModule;
    if (row.sitecustomize != nullptr)
        std::ofstream(dir + "/sitecustomize.py") << row.sitecustomize;
    if (row.activation == nullptr)
        return;
    std::filesystem::create_directories(dir + "/vdl_common/vdlk");
    std::ofstream(dir + "/vdl_common/__init__.py");
    std::ofstream(dir + "/vdl_common/vdlk/__init__.py")
        << "import callback, threading\ndef use_kits():\n    " << row.activation << "\n";
    std::ofstream(dir + "/vdl_common/vdlk/kit.py") << kitModule(row.valueCallsBack);
}

// The first connect with the row's package, in a child process: 0 when the
// connect succeeded, the call back failed with -1 and one line says why.
int connectCallingBack(const std::string& dir, const std::string& refusal)
{
    const std::string path = dir + ":" + VDLBMC_TEST_PYTHONPATH;
    setenv("PYTHONPATH", path.c_str(), 1);
    LogCapture log;
    VdlbmcHandle* handle = nullptr;
    const int result = vdlbmc_connect("sim", 0, nullptr, &handle);
    const std::string calledBack = evalText("__import__('callback').RESULTS");
    const auto lines = log.messages(LOGGER_BMC);
    vdlbmc_disconnect(handle);
    if (result != 0 || calledBack != "[-1]" || lines.size() != 1 ||
        lines[0].find(refusal) == std::string::npos) {
        std::fprintf(stderr, "connect %d, call back %s, %zu lines:\n", result, calledBack.c_str(),
                     lines.size());
        for (const auto& line : lines)
            std::fprintf(stderr, "  %s\n", line.c_str());
        return 1;
    }
    return 0;
}

} // namespace

// A package that calls the library back while the start-up it would need is
// still running cannot hang the host: the call fails with -1 and a line, and
// the connect that started it all goes on. Each row is a first start in a
// child process of its own, with a time limit.
TEST(bmcInterpreter, CallsBackDuringTheStartUpAreRefused)
{
    unsetenv("VIRTUAL_ENV");
    const CallBackRow rows[] = {
        // code the interpreter's start runs
        {"start", "import callback\ncallback.call_back()\n", nullptr, "False",
         "A call from inside the interpreter start cannot wait for it to end: refused"},
        {"kit activation", nullptr, "callback.call_back()", "False",
         "A call from inside the kit activation cannot wait for it to end: refused"},
        // a thread of the package's, waited for by the activation: it holds
        // the interpreter's lock while the activation runs on another thread
        {"kit activation, package thread", nullptr,
         "t = threading.Thread(target=callback.call_back); t.start(); t.join()", "False",
         "The kit activation runs on another thread"},
        {"interface value", nullptr, "pass", "True",
         "A call from inside the interface table cannot wait for it to end: refused"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.where);
        const vdltest::TempDir dir("bmc-callback");
        writePackage(dir.path(), row);
        const pid_t child =
            vdltest::startChild([&] { return connectCallingBack(dir.path(), row.refusal); });
        EXPECT_EQ(0, vdltest::waitChild(child, kTimeLimit));
    }
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
    // Set for Python programs; the host's fatal signals stay its own.
    setenv("PYTHONFAULTHANDLER", "1", 1);
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
// at its default, and gives how it ended (as vdltest::waitChild); a program
// that does not end within the time limit is killed and the test fails.
int runHost(const char* mode)
{
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
    const int status = vdltest::waitChild(pid, kTimeLimit);
    if (status == vdltest::kChildHung)
        ADD_FAILURE() << mode << ": the program did not end";
    return status;
}

} // namespace

TEST(bmcInterpreter, HostProgramsEndAsTheySay)
{
    struct Row {
        const char* mode;
        int status; // as vdltest::waitChild gives it
    };
    constexpr int kEndedBySigint = 128 + SIGINT;
    const Row rows[] = {
        {"worker", 0},         // main returns after the worker thread ended
        {"exit_elsewhere", 7}, // exit(7) from a thread that never used the library
        // Ctrl+C still ends the host, whatever SIGINT was at the first connect,
        // when the package imports the signal module later.
        {"sigint", kEndedBySigint},
        {"sigint_ignored_first", kEndedBySigint},
        {"sigint_handled_first", kEndedBySigint},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mode);
        EXPECT_EQ(row.status, runHost(row.mode));
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

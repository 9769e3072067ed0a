// The embedded interpreter: start, kit activation, the interface table,
// finalisation, and the error report every function uses.
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "VdlbmcInternal.hpp"
#include "vdlsdk/vdl_logger.hpp"

namespace {

constexpr const char* kDefaultBmcModule = "vdl_bmc";
std::string VDL_BMC = kDefaultBmcModule;
const std::string VDL_COMMON_VDLK = "vdl_common.vdlk";
const std::string VDL_COMMON_KIT = "vdl_common.vdlk.kit";

struct ThresholdRow {
    const char* name;
    std::uint64_t offset;
};
constexpr std::array<ThresholdRow, 6> kThresholdRows{{
    {"upperThresholdWarning", offsetof(VdlbmcThresholds, upperThresholdWarning)},
    {"upperThresholdCritical", offsetof(VdlbmcThresholds, upperThresholdCritical)},
    {"upperThresholdFatal", offsetof(VdlbmcThresholds, upperThresholdFatal)},
    {"lowerThresholdWarning", offsetof(VdlbmcThresholds, lowerThresholdWarning)},
    {"lowerThresholdCritical", offsetof(VdlbmcThresholds, lowerThresholdCritical)},
    {"lowerThresholdFatal", offsetof(VdlbmcThresholds, lowerThresholdFatal)},
}};

std::vector<thresholdNameType> makeThresholdNames()
{
    std::vector<thresholdNameType> rows;
    for (const auto& row : kThresholdRows)
        rows.push_back({row.name, row.offset});
    return rows;
}

// Who runs the interpreter. Only an interpreter the library started is
// finalised by it; a failed start leaves the library unusable for the process.
enum class Interpreter { NotStarted, Owned, Foreign, StartFailed, Finalised };
std::atomic<Interpreter> g_interpreter{Interpreter::NotStarted};
// The thread state of the thread that started the interpreter (and holds it).
PyThreadState* g_starter = nullptr;
// The process that started it. A process forked from it has a copy of the
// interpreter whose other threads do not exist there: it is not used there,
// and never finalised (that would wait for those threads for ever).
std::atomic<pid_t> g_owner{0};

bool forkedFromOwner() noexcept
{
    return g_interpreter.load(std::memory_order_relaxed) == Interpreter::Owned &&
           g_owner.load(std::memory_order_relaxed) != getpid();
}

// True when this thread holds the interpreter's lock.
bool holdsInterpreterLock() noexcept
{
    // Null before the start and after the finalisation, when the check
    // itself would answer yes.
    return PyGILState_GetThisThreadState() != nullptr && PyGILState_Check();
}

// One start-up step of the process (the interpreter start, the kit activation,
// the interface table), run once. Unlike std::call_once it knows who runs it,
// so a call that must not wait for it is refused instead of hanging the host:
// a call from inside the step on its own thread (the package calling the
// library back), and a call from a thread that holds the interpreter's lock
// while another thread runs the step (which may need that lock back). Any
// other thread waits for the step to end. A step begun in the process this
// one was forked from is never waited for: its thread does not exist here.
class StartUpStep {
public:
    explicit StartUpStep(const char* name) : m_name(name) {}

    // True once the step has run, now or before; false (logged) when this
    // call may not wait for it. An exception from `work` leaves the step to be
    // run again by the next call.
    template <typename Work>
    bool run(Work&& work)
    {
        const pid_t self = getpid();
        pid_t begun = 0;
        // The process is noted before the lock is first taken: a copy of the
        // lock made while another thread held it is never touched.
        if (!m_process.compare_exchange_strong(begun, self) && begun != self) {
            if (m_done.load())
                return true;
            VDL_ERROR(LOGGER_BMC,
                      "The {} began in process {}, which this process was forked from: refused",
                      m_name, begun);
            return false;
        }
        std::unique_lock<std::mutex> lock(m_lock);
        while (m_state == State::Running) {
            if (m_runner == std::this_thread::get_id()) {
                lock.unlock();
                VDL_ERROR(LOGGER_BMC, "A call from inside the {} cannot wait for it to end: refused",
                          m_name);
                return false;
            }
            if (holdsInterpreterLock()) {
                lock.unlock();
                VDL_ERROR(LOGGER_BMC,
                          "The {} runs on another thread, which this one would keep from the "
                          "interpreter's lock: refused",
                          m_name);
                return false;
            }
            m_ended.wait(lock);
        }
        if (m_state == State::Done)
            return true;
        m_state = State::Running;
        m_runner = std::this_thread::get_id();
        lock.unlock();
        try {
            work();
        } catch (...) {
            end(State::Idle);
            throw;
        }
        end(State::Done);
        return true;
    }

private:
    enum class State { Idle, Running, Done };

    void end(State state)
    {
        {
            const std::lock_guard<std::mutex> lock(m_lock);
            m_state = state;
            m_runner = {};
        }
        m_done = state == State::Done;
        m_ended.notify_all();
    }

    const char* m_name;
    std::atomic<pid_t> m_process{0}; // where the step was first asked for
    std::atomic<bool> m_done{false};
    std::mutex m_lock;
    std::condition_variable m_ended;
    State m_state = State::Idle; // guarded by m_lock
    std::thread::id m_runner;    // guarded by m_lock
};

StartUpStep g_start("interpreter start");
StartUpStep g_kits("kit activation");
StartUpStep g_interfaceTable("interface table");

using vdlbmc_detail::InterfaceTable;
// Heap-held and released by fini, not by a static destructor: at dlclose the
// library's finalisation functions run before its static destructors, and the
// references must go before the interpreter does, in either order.
InterfaceTable* g_interfaces = nullptr;

constexpr const char* kVenvMarker = "/pyvenv.cfg";
constexpr const char* kVenvInterpreter = "/bin/python3";
// The interpreter program whose library this one links: its installation is
// the standard library the interpreter must use, whatever python3 comes first
// on the host's PATH.
constexpr const char* kSystemInterpreter = VDLBMC_PYTHON_PROGRAM;

bool isVirtualEnvironment(const char* directory)
{
    struct stat info {};
    const std::string marker = std::string(directory) + kVenvMarker;
    return stat(marker.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void logStartFailure(const PyStatus& status)
{
    VDL_ERROR(LOGGER_BMC, "Could not start the Python interpreter: {}{}{}",
              status.func ? status.func : "", status.func ? ": " : "",
              status.err_msg ? status.err_msg : "exit requested");
}

// What every start shares: no signal handlers of the interpreter's own (the
// host's SIGINT, SIGPIPE and SIGXFSZ stay as the host set them, and a
// PYTHONFAULTHANDLER in the host's environment does not take SIGSEGV, SIGFPE,
// SIGABRT, SIGBUS and SIGILL), and the installation is the one this library
// links unless a virtual environment names its own.
PyStatus prepare(PyConfig& config, const char* program)
{
    PyConfig_InitPythonConfig(&config);
    config.install_signal_handlers = 0;
    config.faulthandler = 0;
    return PyConfig_SetBytesString(&config, &config.program_name, program);
}

// The start that Py_Initialize makes, but with its status returned: the
// legacy locale handling (no UTF-8 mode, no C-locale coercion) is kept.
PyStatus startPlain()
{
    PyPreConfig preconfig;
    PyPreConfig_InitPythonConfig(&preconfig);
    preconfig.utf8_mode = 0;
    preconfig.coerce_c_locale = 0;
    preconfig.coerce_c_locale_warn = 0;
    PyStatus status = Py_PreInitialize(&preconfig);
    if (PyStatus_Exception(status))
        return status;

    PyConfig config;
    status = prepare(config, kSystemInterpreter);
    if (!PyStatus_Exception(status))
        status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    return status;
}

// A virtual environment is started as its own interpreter starts: from its
// bin/python3, so the environment's pyvenv.cfg names the base installation
// and its site-packages are found. Any other value is the home directory.
PyStatus startWithHome(const char* virtualEnv)
{
    const bool venv = isVirtualEnvironment(virtualEnv);
    const std::string program =
        venv ? std::string(virtualEnv) + kVenvInterpreter : std::string(kSystemInterpreter);
    PyConfig config;
    PyStatus status = prepare(config, program.c_str());
    if (!PyStatus_Exception(status))
        status = PyConfig_Read(&config);
    if (!venv && !PyStatus_Exception(status))
        status = PyConfig_SetBytesString(&config, &config.home, virtualEnv);
    if (!PyStatus_Exception(status))
        status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    return status;
}

// The signal module, when it is made, takes SIGINT for KeyboardInterrupt if
// SIGINT is at its default at that moment, whoever imports it and whenever
// (subprocess and asyncio do). So it is made here, right after the start, whatever
// the host's SIGINT is (found ignored or handled, it takes nothing), and it is
// not made again by a later import. Where the host left SIGINT at its default,
// the module is told that it stays there. Either way the host's setting from
// before the start is put back as it was.
void keepHostSigint(const struct sigaction& host)
{
    using vdlbmc_detail::PyRef;
    PyRef module(PyImport_ImportModule("_signal"));
    const bool atDefault = (host.sa_flags & SA_SIGINFO) == 0 && host.sa_handler == SIG_DFL;
    PyRef result;
    if (module && atDefault)
        result.reset(PyObject_CallMethod(module.get(), "signal", "ii", SIGINT, 0));
    if (!module || (atDefault && !result))
        PyErr_Clear();
    sigaction(SIGINT, &host, nullptr);
}

// A reference of the library's own to the interpreter's library, taken at the
// start and given back when the interpreter is finalised: an interpreter left
// running keeps its code although this library goes.
void* g_interpreterLibrary = nullptr;

void* holdInterpreterLibrary()
{
    Dl_info info {};
    if (dladdr(reinterpret_cast<void*>(&Py_IsInitialized), &info) == 0 || info.dli_fname == nullptr)
        return nullptr;
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

void startInterpreter()
{
    if (Py_IsInitialized()) {
        g_interpreter = Interpreter::Foreign;
        return;
    }
    // Read before the start: code the start runs (a sitecustomize) may
    // already import the signal module.
    struct sigaction hostSigint {};
    const bool sigintRead = sigaction(SIGINT, nullptr, &hostSigint) == 0;
    const char* virtualEnv = std::getenv("VIRTUAL_ENV");
    const PyStatus status = virtualEnv ? startWithHome(virtualEnv) : startPlain();
    if (PyStatus_Exception(status) || !Py_IsInitialized()) {
        g_interpreter = Interpreter::StartFailed;
        logStartFailure(status);
        return;
    }
    g_starter = PyGILState_GetThisThreadState();
    g_owner = getpid();
    g_interpreterLibrary = holdInterpreterLibrary();
    if (sigintRead)
        keepHostSigint(hostSigint);
    g_interpreter = Interpreter::Owned;
}

// `name` of the imported `module`; null (logged) when either is missing.
vdlbmc_detail::PyRef moduleAttribute(const std::string& module, const char* name)
{
    using vdlbmc_detail::log_traceback;
    using vdlbmc_detail::PyRef;

    PyRef imported(PyImport_ImportModule(module.c_str()));
    if (!imported) {
        log_traceback();
        return PyRef();
    }
    PyRef attribute(PyObject_GetAttrString(imported.get(), name));
    imported.reset();
    if (!attribute)
        log_traceback();
    return attribute;
}

void fillInterfaces(InterfaceTable& table)
{
    using vdlbmc_detail::log_traceback;
    using vdlbmc_detail::PyRef;

    PyRef interfaces = moduleAttribute(VDL_COMMON_KIT, "KitInterfaces");
    if (!interfaces)
        return;
    if (!PyDict_Check(interfaces.get())) {
        PyErr_SetString(PyExc_TypeError, "KitInterfaces is not a dictionary");
        log_traceback();
        return;
    }
    PyRef keys(PyDict_Keys(interfaces.get()));
    if (!keys) {
        log_traceback();
        return;
    }
    const Py_ssize_t count = PyList_Size(keys.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Held while its "value" is read, which may run script code.
        PyRef key(Py_XNewRef(PyList_GetItem(keys.get(), i)));
        if (!key) {
            log_traceback();
            return;
        }
        PyRef value(PyObject_GetAttrString(key.get(), "value"));
        std::string_view name;
        if (!value || !vdlbmc_detail::textOf(value.get(), name)) {
            // One unusable key does not hide the others.
            log_traceback();
            continue;
        }
        table[std::string(name)] = make_py_object_container(key.release());
    }
}

} // namespace

std::vector<thresholdNameType> thresholdNames = makeThresholdNames();

namespace vdlbmc_detail {

const std::string& bmcModuleName() { return VDL_BMC; }
const std::string& commonVdlkModuleName() { return VDL_COMMON_VDLK; }
const std::string& commonKitModuleName() { return VDL_COMMON_KIT; }

bool interpreterRunning() noexcept
{
    const Interpreter state = g_interpreter.load(std::memory_order_relaxed);
    // Only the thread that holds the interpreter's lock may touch it: a call from
    // any other thread is refused (and a release there leaks rather than races).
    return (state == Interpreter::Foreign || (state == Interpreter::Owned && !forkedFromOwner())) &&
           Py_IsInitialized() && PyGILState_Check();
}

bool interpreterUsable() noexcept
{
    if (interpreterRunning())
        return true;
    if (forkedFromOwner())
        VDL_ERROR(LOGGER_BMC,
                  "The Python interpreter belongs to process {}, which started it; this process "
                  "({}) was forked from it and does not use it",
                  g_owner.load(), getpid());
    return false;
}

bool startUp()
{
    return g_start.run(startInterpreter) && activateKits();
}

bool activateKits()
{
    // The step is spent only once there is an interpreter to activate them in,
    // reached from a thread that holds its lock (a foreign interpreter's
    // program may call without it).
    if (!interpreterRunning())
        return true;
    return g_kits.run([] {
        PyRef activate = moduleAttribute(VDL_COMMON_VDLK, "use_kits");
        if (!activate)
            return;
        PyRef result(PyObject_CallObject(activate.get(), nullptr));
        if (!result)
            log_traceback();
    });
}

bool interfaces(InterfaceTable& copy)
{
    copy.clear();
    if (!interpreterRunning())
        return true;
    const bool filled = g_interfaceTable.run([] {
        auto table = std::make_unique<InterfaceTable>();
        fillInterfaces(*table);
        g_interfaces = table.release();
    });
    if (filled && g_interfaces != nullptr)
        copy = *g_interfaces;
    return filled;
}

void clearPendingError() noexcept
{
    if (interpreterRunning())
        PyErr_Clear();
}

namespace {

constexpr const char* kUnprintable = "<unprintable>";

// str() of an object for a log line; never fails and leaves no error.
std::string printable(PyObject* object)
{
    if (object == nullptr)
        return "None";
    PyRef text(PyObject_Str(object));
    // Its whole text, a NUL included: a log line is not C text.
    Py_ssize_t size = 0;
    const char* data = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        return kUnprintable;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

} // namespace

void log_traceback() noexcept
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr)
        return;
    // Errors raised from C are fetched unnormalised; normalising gives every
    // line the same "<class '...'>:str(instance)" form.
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef typeRef(type), valueRef(value), tracebackRef(traceback);
    try {
        const std::string message = printable(type) + ":" + printable(value);
        VDL_ERROR(LOGGER_BMC, "{}", message);
    } catch (...) {
        // Out of memory for the line: the error is still cleared.
    }
    PyErr_Clear();
}

int failCall(Report report) noexcept
{
    if (report == Report::Log)
        log_traceback();
    else
        PyErr_Clear();
    return kFailed;
}

int failType(Report report, const char* expected) noexcept
{
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "expected %s", expected);
    return failCall(report);
}

bool textOf(PyObject* object, std::string_view& text) noexcept
{
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %.100s", Py_TYPE(object)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr)
        return false;
    const std::string_view utf8(data, static_cast<std::size_t>(size));
    // C text ends at its first NUL: such a text would reach the caller cut
    // short, under a length that is not its own.
    if (utf8.find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return false;
    }
    text = utf8;
    return true;
}

} // namespace vdlbmc_detail

void initalize()
{
    vdlbmc_detail::startUp();
}

void use_kits()
{
    vdlbmc_detail::activateKits();
}

std::map<std::string, std::shared_ptr<PyObject>> get_interfaces()
{
    InterfaceTable table;
    vdlbmc_detail::interfaces(table);
    return table;
}

std::shared_ptr<PyObject> make_py_object_container(PyObject* object)
{
    // When the shared state cannot be allocated, the deleter runs on the object
    // before bad_alloc propagates, so the reference is not lost.
    return std::shared_ptr<PyObject>(object, [](PyObject* owned) {
        if (vdlbmc_detail::interpreterRunning())
            Py_DecRef(owned);
    });
}

void set_vdl_bmc_python_module(const char* name)
{
    try {
        VDL_BMC = name ? name : kDefaultBmcModule;
    } catch (...) {
        // Out of memory: the previous name stays.
    }
}

void fini()
{
    // The table's owners release their references only while the interpreter
    // runs and this thread holds it (elsewhere they let them go with it), so
    // clearing it first is what keeps the order safe.
    delete g_interfaces;
    g_interfaces = nullptr;
    // Only the thread that started the interpreter, and holds it, can finalise
    // it: anywhere else (exit() from another thread, or from main after the
    // thread that used the library ended) the finalisation would wait for a
    // lock that is never given back. There the interpreter is left running,
    // as one the program started is; the library only stops using it.
    // Nor is it finalised in a process forked from the one that started it.
    const bool onItsThread = Py_IsInitialized() && g_starter != nullptr && !forkedFromOwner() &&
                             PyGILState_GetThisThreadState() == g_starter && PyGILState_Check();
    Interpreter expected = Interpreter::Owned;
    if (g_interpreter.compare_exchange_strong(expected, Interpreter::Finalised)) {
        if (!onItsThread)
            return;
        Py_FinalizeEx();
        // At unload it then goes with this library; at exit nothing is unloaded.
        if (g_interpreterLibrary != nullptr)
            dlclose(g_interpreterLibrary);
        g_interpreterLibrary = nullptr;
        return;
    }
    // A foreign interpreter is its program's to finalise; only stop using it.
    expected = Interpreter::Foreign;
    g_interpreter.compare_exchange_strong(expected, Interpreter::Finalised);
}

namespace {
// Runs at library unload and at process exit, after the exit-time static
// destructors but before the dlclose-time ones; fini is safe in both orders.
__attribute__((destructor)) void finiAtUnload() { fini(); }
} // namespace

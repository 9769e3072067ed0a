#pragma once
// Shared by the library's sources only: the connection handle, reference
// owners and the conventions every exported function follows.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "vdlsdk/VdlbmcPython.hpp"
#include "vdlsdk/vdl_exception.hpp"
#include "vdlsdk/vdlsdk_bmc.h"

// One connection to a card's controller. Every table entry and the two object
// fields own one reference each; the destructor releases none of them (the
// functions that free a handle do, while the interpreter still runs).
class VdlbmcHandle {
public:
    // Byte-wise order; transparent so a lookup by C text allocates nothing.
    using Table = std::map<std::string, PyObject*, std::less<>>;

    ~VdlbmcHandle();

    PyObject* controller = nullptr;
    PyObject* card = nullptr;
    Table components;
    Table sensors;
    Table effecters;

    // Calls of the library under way on this handle (the package may call
    // back into the library from a script call), and whether the handle was
    // disconnected during one: it is then freed when the outermost call ends,
    // so that no call under way is left with freed objects.
    unsigned int callsUnderWay = 0;
    bool disconnectAsked = false;
};

namespace vdlbmc_detail __attribute__((visibility("hidden"))) {

// Owns one reference; released exactly once, on every path.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* object) noexcept : m_object(object) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : m_object(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(m_object); }

    PyObject* get() const noexcept { return m_object; }
    explicit operator bool() const noexcept { return m_object != nullptr; }
    PyObject* release() noexcept
    {
        PyObject* object = m_object;
        m_object = nullptr;
        return object;
    }
    void reset(PyObject* object = nullptr) noexcept
    {
        PyObject* old = m_object;
        m_object = object;
        Py_XDECREF(old);
    }

private:
    PyObject* m_object = nullptr;
};

// The module names; the controller module can be replaced by the caller.
const std::string& bmcModuleName();
const std::string& commonVdlkModuleName();
const std::string& commonKitModuleName();

// True while an interpreter that the library may use is running (started by
// the library in this process, or found running, and not finalised) and the
// calling thread holds its lock.
bool interpreterRunning() noexcept;
// The same for a call that fails without it: in a process forked from the
// one that started the interpreter, the refusal is logged.
bool interpreterUsable() noexcept;

// The start-up a connect needs: the interpreter started and the kits
// activated, once per process. False (logged) when this call may not wait for
// them: it comes from inside them (the package calling the library back), or
// from a thread that holds the interpreter's lock while another one runs them.
bool startUp();
// The kit activation alone, as above; true when there is no interpreter to
// activate them in.
bool activateKits();

using InterfaceTable = std::map<std::string, std::shared_ptr<PyObject>>;
// A copy of the interface table, filled on first use; false (logged, the copy
// empty) as for startUp. Empty when there is no interpreter to fill it from.
bool interfaces(InterfaceTable& copy);

// Logs the pending interpreter error on "vdlsdk_bmc" as "type:value" and
// clears it; nothing pending logs nothing.
void log_traceback() noexcept;

// How a function answers a failed script call: log it, or clear it silently.
enum class Report { Log, Clear };

// Ends a failed script call: reports the pending error and gives -1.
int failCall(Report report) noexcept;
// Raises a TypeError naming what was expected, then as failCall.
int failType(Report report, const char* expected) noexcept;

// The UTF-8 text of a str object. False, with an error pending, for anything
// else, for text that cannot be encoded, and for text holding a NUL (it cannot
// travel as C text).
bool textOf(PyObject* object, std::string_view& text) noexcept;

// Copies text into a caller's buffer: 0, -33 unlogged, any other copy code
// logged on "general".
int copyOut(std::string_view text, char* buffer, int size);
// The same, with -33 logged as well.
int copyOutLogged(std::string_view text, char* buffer, int size);

// The object under `name`, or null.
PyObject* findIn(const VdlbmcHandle::Table& table, const char* name) noexcept;

using TableMember = VdlbmcHandle::Table VdlbmcHandle::*;

// The common start of every function that works on one named object: -5 for
// a null handle or name, -1 when there is no interpreter to call, -13 for a
// name that is not in the table.
int lookUp(VdlbmcHandle* handle, TableMember table, const char* name, PyObject*& object) noexcept;

// The number a method with no arguments gives; -1 (logged) when the call
// fails or its result is not a number.
int numericResult(PyObject* object, const char* method, double& number);

// Releases every reference the handle owns (when the interpreter still runs)
// and frees it.
void destroyHandle(VdlbmcHandle* handle) noexcept;

// Counts one call under way on a handle for as long as it lives.
class CallUnderWay {
public:
    explicit CallUnderWay(VdlbmcHandle* handle) noexcept : m_handle(handle)
    {
        ++m_handle->callsUnderWay;
    }
    CallUnderWay(const CallUnderWay&) = delete;
    CallUnderWay& operator=(const CallUnderWay&) = delete;
    ~CallUnderWay() { --m_handle->callsUnderWay; }

private:
    VdlbmcHandle* m_handle;
};

// After a call on `handle` has ended: true when the handle was disconnected
// during it. The call then ends with an error; the outermost one logs that
// on "vdlsdk_bmc" and carries the disconnect out (the handle is freed).
bool disconnectedDuringCall(VdlbmcHandle* handle) noexcept;

// Exactly "NumericSensor" / "NumericEffecter": a subclass does not count.
bool isNumericSensor(PyObject* sensor) noexcept;
bool isNumericEffecter(PyObject* effecter) noexcept;

// Clears an interpreter error that an unexpected C++ exception left behind.
void clearPendingError() noexcept;

// Runs the body of an exported function so that no exception leaves it: a
// VDLBaseException is logged with log() and gives its code, anything else
// gives `fallback`.
template <typename R, typename F>
R guarded(R fallback, F&& body) noexcept
{
    try {
        return body();
    } catch (const VDLBaseException& e) {
        clearPendingError();
        try {
            e.log();
        } catch (...) {
        }
        if constexpr (std::is_same_v<R, int>)
            return e.code;
        else
            return fallback;
    } catch (...) {
        clearPendingError();
        return fallback;
    }
}

// Codes of this library's results.
inline constexpr int kOk = 0;
inline constexpr int kFailed = -1;
inline constexpr int kNullPointer = -5;
inline constexpr int kBadValue = -6;
inline constexpr int kNotFound = -13;
inline constexpr int kEndOfIteration = -27;
inline constexpr int kTooSmall = -33;

// Runs `body` as one call on a non-null `handle`, guarded as every exported
// function is. A disconnect of the handle from inside it (the package calling
// back) ends it with `failed`; the handle and the script objects it holds stay
// until the outermost call ends.
template <typename R, typename Body>
R onHandle(VdlbmcHandle* handle, R failed, Body&& body) noexcept
{
    // A thread that does not hold the interpreter is refused before any script
    // call, and leaves the handle as it is (it may be in use on its own thread).
    if (!interpreterRunning())
        return guarded(failed, std::forward<Body>(body));
    R result = failed;
    {
        CallUnderWay call(handle);
        result = guarded(failed, std::forward<Body>(body));
    }
    return disconnectedDuringCall(handle) ? failed : result;
}

// Runs `body` on the object under `name` (see lookUp) as one call on the
// handle (see onHandle).
template <typename Body>
int onObject(VdlbmcHandle* handle, TableMember table, const char* name, Body&& body) noexcept
{
    if (handle == nullptr)
        return kNullPointer;
    return onHandle(handle, kFailed, [&] {
        PyObject* object = nullptr;
        if (int code = lookUp(handle, table, name, object); code != kOk)
            return code;
        return body(object);
    });
}

} // namespace vdlbmc_detail

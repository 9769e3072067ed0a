#pragma once
// Helpers for the board-management tests: connecting to the simulated
// controller, running Python in the same interpreter, and capturing the
// library's log lines.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "vdlsdk/VdlbmcPython.hpp"
#include "vdlsdk/vdlsdk_bmc.h"
#include "vdltest.hpp"
#include "vdltest_log.hpp"

namespace bmctest {

// Points the interpreter at the simulated package before any test runs, and
// keeps the package's own environment switches out unless a test sets them.
inline bool prepareEnvironment()
{
    setenv("PYTHONPATH", VDLBMC_TEST_PYTHONPATH, 1);
    setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    unsetenv("VDLSIM_FAULTS");
    unsetenv("VDLSIM_KIT");
#if defined(VDLTEST_ASAN)
    // Objects from the system allocator, so that a reference released once
    // too often shows as a use after free.
    setenv("PYTHONMALLOC", "malloc", 1);
#endif
    return true;
}
inline const bool kEnvironmentPrepared = prepareEnvironment();

// What the "vdlsdk_bmc" and "general" loggers write while it lives:
// messages(LOGGER_BMC), messages(LOGGER_GENERAL). Their levels stay as a host
// has them, so that a failure logged below them counts as not logged.
class LogCapture : public vdltest::LogCapture {
public:
    LogCapture() : vdltest::LogCapture({LOGGER_BMC, LOGGER_GENERAL}, vdltest::kKeepLevel) {}
};

// Runs statements in __main__; true when they ran without an exception.
inline bool py(const std::string& code)
{
    return PyRun_SimpleString(code.c_str()) == 0;
}

// Evaluates an expression in __main__ and returns it as the given type; a
// failed evaluation fails the test and gives the default.
inline PyObject* evalObject(const std::string& expression)
{
    PyObject* main = PyImport_AddModule("__main__"); // borrowed
    PyObject* globals = PyModule_GetDict(main);     // borrowed
    PyObject* result = PyRun_String(expression.c_str(), Py_eval_input, globals, globals);
    if (result == nullptr) {
        PyErr_Print();
        ADD_FAILURE() << "evaluation failed: " << expression;
    }
    return result;
}

inline long evalLong(const std::string& expression)
{
    PyObject* result = evalObject(expression);
    if (result == nullptr)
        return 0;
    const long value = PyLong_AsLong(result);
    Py_DECREF(result);
    if (PyErr_Occurred()) {
        PyErr_Print();
        ADD_FAILURE() << "not an int: " << expression;
    }
    return value;
}

inline std::string evalText(const std::string& expression)
{
    PyObject* result = evalObject(expression);
    if (result == nullptr)
        return {};
    PyObject* text = PyObject_Str(result);
    Py_DECREF(result);
    std::string value = text ? PyUnicode_AsUTF8(text) : "";
    Py_XDECREF(text);
    return value;
}

inline bool evalTrue(const std::string& expression)
{
    PyObject* result = evalObject(expression);
    if (result == nullptr)
        return false;
    const int truth = PyObject_IsTrue(result);
    Py_DECREF(result);
    return truth == 1;
}

// The number of simulated objects still alive, besides the transport
// module's own ready-made handler.
inline const char* const kLeftOver =
    "len([o for o in c.live_objects() if o is not __import__('vdl_bmc.transport').transport.handler])";

// True when no interpreter error is pending (and so none leaked out of a call).
inline bool noPendingError()
{
    if (PyErr_Occurred() == nullptr)
        return true;
    PyErr_Print();
    return false;
}

// The references a SelfRemoving value (of the simulated package) counts while
// `convert` runs on it from a caller that holds one reference of its own: what
// the library's conversion of an item it took from a container must count too.
// Needs `c` (the control module) in __main__.
inline long referencesWhenHeld(void (*convert)(PyObject*))
{
    PyObject* value = evalObject("c.SelfRemoving({}, 'k', 'not a number')");
    if (value == nullptr)
        return -1;
    convert(value);
    PyErr_Clear();
    Py_DECREF(value);
    return evalLong("c.SelfRemoving.references[-1]");
}

// The process environment of these tests must not pick an interpreter home.
inline void plainInterpreterEnvironment()
{
    unsetenv("VIRTUAL_ENV");
}

// A connect to the simulated card 0 over interface "sim", and the control
// module imported into __main__ as `c`.
inline VdlbmcHandle* connect(const char* options = nullptr, unsigned int card = 0)
{
    VdlbmcHandle* handle = nullptr;
    const int result = vdlbmc_connect("sim", card, options, &handle);
    EXPECT_EQ(0, result) << "connect with options " << (options ? options : "(null)");
    EXPECT_TRUE(py("from vdl_bmc import control as c\nimport sys, gc, math"));
    return handle;
}

// Installs a fault spec on a target, e.g. fault("FPGA.reset", "raise:KeyError").
inline void fault(const std::string& target, const std::string& spec)
{
    PyObject* control = PyImport_ImportModule("vdl_bmc.control");
    ASSERT_NE(nullptr, control);
    PyObject* result =
        PyObject_CallMethod(control, "fault_spec", "(ss)", target.c_str(), spec.c_str());
    Py_DECREF(control);
    if (result == nullptr)
        PyErr_Print();
    ASSERT_NE(nullptr, result) << target << "=" << spec;
    Py_DECREF(result);
}

inline void clearFaults() { ASSERT_TRUE(py("c.clear_faults()\nc.clear_calls()")); }

} // namespace bmctest

#pragma once
// Helpers for the board-management tests: connecting to the simulated
// controller, running Python in the same interpreter, and capturing the
// library's log lines.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>

#include "vdlsdk/VdlbmcPython.hpp"
#include "vdlsdk/vdl_logger.hpp"
#include "vdlsdk/vdlsdk_bmc.h"
#include "vdltest.hpp"

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

// A fresh temporary directory, removed with all it holds when it goes, also
// when the test fails.
class TempDir {
public:
    explicit TempDir(const std::string& prefix) : m_path(vdltest::makeTempDir(prefix)) {}
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Collects what the "vdlsdk_bmc" and "general" loggers write while it lives.
class LogCapture {
public:
    LogCapture()
    {
        attach(VDLLogger<LOGGER_BMC>::_logger, m_bmc, m_bmcSink);
        attach(VDLLogger<LOGGER_GENERAL>::_logger, m_general, m_generalSink);
    }
    ~LogCapture()
    {
        detach(VDLLogger<LOGGER_BMC>::_logger, m_bmcSink);
        detach(VDLLogger<LOGGER_GENERAL>::_logger, m_generalSink);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> bmcLines() const { return lines(m_bmc); }
    std::vector<std::string> generalLines() const { return lines(m_general); }
    void clear()
    {
        m_bmc.str({});
        m_general.str({});
    }

private:
    static void attach(const std::shared_ptr<spdlog::logger>& logger, std::ostringstream& out,
                       spdlog::sink_ptr& sink)
    {
        sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out, true);
        sink->set_pattern("%v");
        logger->sinks().push_back(sink);
    }
    static void detach(const std::shared_ptr<spdlog::logger>& logger, const spdlog::sink_ptr& sink)
    {
        if (!logger)
            return;
        auto& sinks = logger->sinks();
        for (auto it = sinks.begin(); it != sinks.end(); ++it) {
            if (*it == sink) {
                sinks.erase(it);
                return;
            }
        }
    }
    static std::vector<std::string> lines(const std::ostringstream& out)
    {
        std::vector<std::string> result;
        std::istringstream in(out.str());
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }

    std::ostringstream m_bmc;
    std::ostringstream m_general;
    spdlog::sink_ptr m_bmcSink;
    spdlog::sink_ptr m_generalSink;
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

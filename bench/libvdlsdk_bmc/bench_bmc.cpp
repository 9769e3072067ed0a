// vdlbmc_read_numeric_sensor_value against get_reading() called from Python in
// the same interpreter, on the simulated controller (call log off, so both
// sides pay only for the simulation's own member dispatch); and what a connect
// costs for card layouts that make discovery work hard, up to the walk's
// bounds and past them (a connect that fails).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "vdlsdk/vdlsdk_bmc.h"
#include "vdlsdk/vdlsdk_util.h"

namespace {

constexpr const char* kSensor = "FPGA Temp";
constexpr int kPythonBatch = 1000; // calls per iteration of the Python loop

VdlbmcHandle* g_handle = nullptr;
PyObject* g_globals = nullptr;      // __main__'s dictionary, borrowed
PyObject* g_sensor = nullptr;       // owned
PyObject* g_singleCall = nullptr;   // code object of one Python-level call, owned
PyObject* g_loop = nullptr;         // Python function running kPythonBatch calls, owned

bool setUp()
{
    setenv("PYTHONPATH", VDLBMC_BENCH_PYTHONPATH, 1);
    setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    if (vdlbmc_connect("sim", 0, nullptr, &g_handle) != 0)
        return false;
    const char* prepare = "from vdl_bmc import control\n"
                          "control.set_recording(False)\n"
                          "sensor = control.lookup('FPGA Temp')\n"
                          "def loop(n):\n"
                          "    s = sensor\n"
                          "    for _ in range(n):\n"
                          "        s.get_reading()\n";
    if (PyRun_SimpleString(prepare) != 0)
        return false;
    g_globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    g_sensor = Py_XNewRef(PyDict_GetItemString(g_globals, "sensor"));
    g_loop = Py_XNewRef(PyDict_GetItemString(g_globals, "loop"));
    g_singleCall = Py_CompileString("sensor.get_reading()", "<bench>", Py_eval_input);
    return g_sensor && g_loop && g_singleCall;
}

void tearDown()
{
    Py_XDECREF(g_singleCall);
    Py_XDECREF(g_loop);
    Py_XDECREF(g_sensor);
    vdlbmc_disconnect(g_handle);
}

void BM_vdlbmc_read_numeric_sensor_value(benchmark::State& state)
{
    double value = 0;
    for (auto _ : state) {
        if (vdlbmc_read_numeric_sensor_value(g_handle, kSensor, &value, nullptr, 0) != 0)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_vdlbmc_read_numeric_sensor_value);

void BM_vdlbmc_read_numeric_sensor_value_with_units(benchmark::State& state)
{
    double value = 0;
    char units[16];
    for (auto _ : state) {
        if (vdlbmc_read_numeric_sensor_value(g_handle, kSensor, &value, units, sizeof units) != 0)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_vdlbmc_read_numeric_sensor_value_with_units);

// The same member call made through the C API directly, without the name
// lookup, kind check and conversion the library adds.
void BM_capi_call_get_reading(benchmark::State& state)
{
    for (auto _ : state) {
        PyObject* result = PyObject_CallMethod(g_sensor, "get_reading", nullptr);
        if (result == nullptr) {
            PyErr_Clear();
            state.SkipWithError("call failed");
        }
        benchmark::DoNotOptimize(PyFloat_AsDouble(result));
        Py_XDECREF(result);
    }
}
BENCHMARK(BM_capi_call_get_reading);

// One Python statement "sensor.get_reading()" evaluated per iteration.
void BM_python_get_reading_eval(benchmark::State& state)
{
    for (auto _ : state) {
        PyObject* result = PyEval_EvalCode(g_singleCall, g_globals, g_globals);
        if (result == nullptr) {
            PyErr_Clear();
            state.SkipWithError("eval failed");
        }
        Py_XDECREF(result);
    }
}
BENCHMARK(BM_python_get_reading_eval);

// A Python loop of kPythonBatch calls: the cost of the call from Python code.
void BM_python_get_reading_loop(benchmark::State& state)
{
    PyObject* count = PyLong_FromLong(kPythonBatch);
    for (auto _ : state) {
        PyObject* result = PyObject_CallOneArg(g_loop, count);
        if (result == nullptr) {
            PyErr_Clear();
            state.SkipWithError("loop failed");
        }
        Py_XDECREF(result);
    }
    Py_DECREF(count);
    state.counters["per_call"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kPythonBatch,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_python_get_reading_loop);

// One connect and disconnect with `options`: `connects` says whether the
// layout is one the walk accepts.
void BM_vdlbmc_connect(benchmark::State& state, const char* options, bool connects)
{
    constexpr int kBmcLogger = 4;
    constexpr int kOff = 6;
    set_log_verbosity(kBmcLogger, kOff); // a failed connect logs a line each time
    for (auto _ : state) {
        VdlbmcHandle* handle = nullptr;
        if ((vdlbmc_connect("sim", 0, options, &handle) == 0) != connects)
            state.SkipWithError("unexpected connect result");
        vdlbmc_disconnect(handle);
    }
    set_log_verbosity(kBmcLogger, 2);
}
BENCHMARK_CAPTURE(BM_vdlbmc_connect, default_card, "layout=default", true);
// 1000 levels: as deep as the walk goes.
BENCHMARK_CAPTURE(BM_vdlbmc_connect, chain_1000, "layout=chain:1000", true);
// Endless trees of new wrapper objects, one child and nine per parent: the
// depth bound ends them after 1000 levels, not after every path.
BENCHMARK_CAPTURE(BM_vdlbmc_connect, wrappers_1_fails, "layout=wrappers", false);
BENCHMARK_CAPTURE(BM_vdlbmc_connect, wrappers_9_fails, "layout=wrappers:9", false);
// One component held by 1001 parents: gone into through each, some 13,000 steps.
BENCHMARK_CAPTURE(BM_vdlbmc_connect, shared_1001, "layout=shared:1001", true)
    ->Unit(benchmark::kMillisecond);
// Components sharing one dictionary of them all: 7 are walked along each of
// their paths; from 8 on the walks would take more than the bound of steps,
// and what a refused web costs is the bound's cost.
BENCHMARK_CAPTURE(BM_vdlbmc_connect, web_7, "layout=web:7", true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_vdlbmc_connect, web_8_fails, "layout=web:8", false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_vdlbmc_connect, web_12_fails, "layout=web:12", false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_vdlbmc_connect, web_999_fails, "layout=web:999", false)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (!setUp()) {
        std::fprintf(stderr, "could not connect to the simulated controller\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tearDown();
    return 0;
}

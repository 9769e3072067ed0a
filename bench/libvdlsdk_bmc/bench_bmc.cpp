// vdlbmc_read_numeric_sensor_value against get_reading() called from Python in
// the same interpreter, on the simulated controller (call log off, so both
// sides pay only for the simulation's own member dispatch).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "vdlsdk/vdlsdk_bmc.h"

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

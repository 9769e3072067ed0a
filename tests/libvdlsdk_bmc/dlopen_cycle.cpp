// Loads libvdlsdk_bmc with dlopen, connects, reads a sensor, disconnects (or,
// with "keep", leaves the handle connected) and unloads the library. At
// dlclose the library's finalisation runs before its static destructors; the
// interpreter must be finalised after the library's own references are gone,
// and nothing may touch it afterwards. After dlclose the library is unmapped
// and the interpreter it started is no longer initialised.
//
// With "elsewhere" the library is unloaded from another thread, which cannot
// finalise the interpreter (its lock stays with this thread): the interpreter
// is left running, and its library stays loaded although nothing but the
// unloaded library had loaded it.
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "vdlsdk/vdlsdk_bmc.h"

namespace {

using ConnectFn = int (*)(const char*, uint32_t, const char*, VdlbmcHandle**);
using DisconnectFn = void (*)(VdlbmcHandle*);
using ReadFn = int (*)(VdlbmcHandle*, const char*, double*, char*, int);

constexpr double kExpectedReading = 45.0;

// Reachable to the end, so a kept handle is not a leak of this program.
VdlbmcHandle* g_handle = nullptr;

template <typename T>
T symbol(void* library, const char* name)
{
    void* address = dlsym(library, name);
    if (address == nullptr)
        std::fprintf(stderr, "missing symbol %s: %s\n", name, dlerror());
    return reinterpret_cast<T>(address);
}

int findBmc(struct dl_phdr_info* info, size_t, void*)
{
    return std::strstr(info->dlpi_name, "libvdlsdk_bmc") != nullptr;
}

// The interpreter library, held by this program so that it stays mapped after
// the kit's library is unloaded: the interpreter's state can then be asked,
// and what CPython never frees stays attributed to it (the leak checker's
// suppressions name it).
void* g_python = nullptr;

bool interpreterRunning()
{
    auto isInitialized = symbol<int (*)()>(g_python, "Py_IsInitialized");
    return isInitialized == nullptr || isInitialized() != 0;
}

constexpr const char* kPythonLibrary = "libpython3.11.so.1.0";

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <library> disconnect|keep|elsewhere\n", argv[0]);
        return 2;
    }
    const bool elsewhere = std::strcmp(argv[2], "elsewhere") == 0;
    const bool disconnect = elsewhere || std::strcmp(argv[2], "disconnect") == 0;
    if (!elsewhere) {
        g_python = dlopen(kPythonLibrary, RTLD_NOW | RTLD_LOCAL);
        if (g_python == nullptr) {
            std::fprintf(stderr, "dlopen: %s\n", dlerror());
            return 1;
        }
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    auto connect = symbol<ConnectFn>(library, "vdlbmc_connect");
    auto disconnectFn = symbol<DisconnectFn>(library, "vdlbmc_disconnect");
    auto read = symbol<ReadFn>(library, "vdlbmc_read_numeric_sensor_value");
    if (!connect || !disconnectFn || !read)
        return 1;

    if (connect("sim", 0, nullptr, &g_handle) != 0) {
        std::fprintf(stderr, "connect failed\n");
        return 1;
    }
    double value = 0;
    char units[8];
    if (read(g_handle, "FPGA Temp", &value, units, sizeof units) != 0 || value != kExpectedReading) {
        std::fprintf(stderr, "read failed\n");
        return 1;
    }
    if (disconnect) {
        disconnectFn(g_handle);
        g_handle = nullptr;
    }
    int closed = -1;
    if (elsewhere)
        std::thread([&] { closed = dlclose(library); }).join();
    else
        closed = dlclose(library);
    if (closed != 0) {
        std::fprintf(stderr, "dlclose: %s\n", dlerror());
        return 1;
    }
    if (dl_iterate_phdr(findBmc, nullptr) != 0) {
        std::fprintf(stderr, "libvdlsdk_bmc is still mapped after dlclose\n");
        return 1;
    }
    if (elsewhere) {
        g_python = dlopen(kPythonLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
        if (g_python == nullptr) {
            std::fprintf(stderr, "the running interpreter's library was unloaded\n");
            return 1;
        }
        if (!interpreterRunning()) {
            std::fprintf(stderr, "the interpreter was finalised from another thread\n");
            return 1;
        }
    } else if (interpreterRunning()) {
        std::fprintf(stderr, "the interpreter was not finalised at unload\n");
        return 1;
    }
    std::puts("unloaded");
    return 0;
}

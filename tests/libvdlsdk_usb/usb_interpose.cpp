// Interposed calls of the test executable (exported with -rdynamic, so they come
// before the real ones): libusb context and device-list failures that umockdev
// cannot produce, and device nodes that refuse to open.
#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <new>
#include <stdexcept>

#include <dlfcn.h>
#include <fcntl.h>

#include <libusb.h>

#include "usb_testbed.hpp"

namespace {

template <typename F>
F real(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

int libusb_init(libusb_context** context)
{
    static const auto next = real<int (*)(libusb_context**)>("libusb_init");
    {
        std::lock_guard<std::mutex> lock(usbtest::injectionLock());
        auto& state = usbtest::injection();
        if (!state.bypass) {
            ++state.initCalls;
            if (state.initFailures > 0) {
                --state.initFailures;
                return state.initError;
            }
        }
    }
    return next(context);
}

void libusb_exit(libusb_context* context)
{
    static const auto next = real<void (*)(libusb_context*)>("libusb_exit");
    {
        std::lock_guard<std::mutex> lock(usbtest::injectionLock());
        auto& state = usbtest::injection();
        if (!state.bypass)
            ++state.exitCalls;
    }
    next(context);
}

ssize_t libusb_get_device_list(libusb_context* context, libusb_device*** list)
{
    static const auto next =
        real<ssize_t (*)(libusb_context*, libusb_device***)>("libusb_get_device_list");
    {
        std::lock_guard<std::mutex> lock(usbtest::injectionLock());
        auto& state = usbtest::injection();
        if (!state.bypass && state.listThrows != 0) {
            const int kind = state.listThrows;
            state.listThrows = 0;
            if (kind == 1)
                throw std::bad_alloc();
            throw std::runtime_error("device list exploded");
        }
        if (!state.bypass && state.listFailures > 0) {
            --state.listFailures;
            return state.listError;
        }
    }
    return next(context, list);
}

int __open_2(const char* path, int flags)
{
    static const auto next = real<int (*)(const char*, int)>("__open_2");
    if (const int error = usbtest::openDenied(path)) {
        errno = error;
        return -1;
    }
    return next(path, flags);
}

int open(const char* path, int flags, ...)
{
    static const auto next = real<int (*)(const char*, int, ...)>("open");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (const int error = usbtest::openDenied(path)) {
        errno = error;
        return -1;
    }
    return next(path, flags, mode);
}

} // extern "C"

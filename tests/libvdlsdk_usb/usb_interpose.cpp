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
#include <unistd.h>

#include <libusb.h>

#include "usb_testbed.hpp"

namespace {

template <typename F>
F real(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The shared counters when this is a child of the process that set them:
// the call is then counted there and not made.
usbtest::ForkedCalls* forkedChild()
{
    usbtest::ForkedCalls* forked = usbtest::injection().forked;
    if (forked == nullptr || forked->parent == ::getpid())
        return nullptr;
    return forked;
}

template <typename Call>
bool countedInChild(Call&& call)
{
    usbtest::ForkedCalls* forked = forkedChild();
    if (forked == nullptr)
        return false;
    __atomic_add_fetch(&call(*forked), 1, __ATOMIC_SEQ_CST);
    return true;
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
    if (countedInChild([](usbtest::ForkedCalls& f) -> int& { return f.exit; }))
        return;
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
    if (countedInChild([](usbtest::ForkedCalls& f) -> int& { return f.list; }))
        return LIBUSB_ERROR_OTHER;
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

int libusb_claim_interface(libusb_device_handle* handle, int interface)
{
    static const auto next = real<int (*)(libusb_device_handle*, int)>("libusb_claim_interface");
    if (countedInChild([](usbtest::ForkedCalls& f) -> int& { return f.claim; }))
        return LIBUSB_ERROR_OTHER;
    return next(handle, interface);
}

int libusb_release_interface(libusb_device_handle* handle, int interface)
{
    static const auto next =
        real<int (*)(libusb_device_handle*, int)>("libusb_release_interface");
    if (countedInChild([](usbtest::ForkedCalls& f) -> int& { return f.release; }))
        return 0;
    return next(handle, interface);
}

int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                         unsigned char* data, int length, int* transferred, unsigned int timeout)
{
    static const auto next =
        real<int (*)(libusb_device_handle*, unsigned char, unsigned char*, int, int*,
                     unsigned int)>("libusb_bulk_transfer");
    if (countedInChild([](usbtest::ForkedCalls& f) -> int& { return f.transfer; }))
        return LIBUSB_ERROR_IO;
    return next(handle, endpoint, data, length, transferred, timeout);
}

void libusb_close(libusb_device_handle* handle)
{
    static const auto next = real<void (*)(libusb_device_handle*)>("libusb_close");
    if (countedInChild([](usbtest::ForkedCalls& f) -> int& { return f.close; }))
        return;
    next(handle);
}

// The leak checker of the sanitizer build, in a forked child: it sees none of
// the parent's threads, whose stacks hold what umockdev and GLib allocated, so
// all of that would be reported as leaked at the child's exit.
int __lsan_is_turned_off()
{
    return forkedChild() != nullptr ? 1 : 0;
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

/* The C library calls the simulated driver takes over. Each one first asks, without
 * a lock, whether the path is a node of the driver or the descriptor one of its own;
 * everything else goes straight to the next definition (the C library's, or a
 * sanitizer's interceptor before it). These run before any constructor and from
 * any thread, so the next definitions are found lazily. */
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "vdlsim_internal.h"

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*open2_fn)(const char *, int);
typedef int (*openat2_fn)(int, const char *, int);
typedef int (*close_fn)(int);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef void *(*mmap_fn)(void *, size_t, int, int, int, off_t);
typedef int (*munmap_fn)(void *, size_t);
typedef int (*access_fn)(const char *, int);
typedef int (*faccessat_fn)(int, const char *, int, int);

static void *next_symbol(void **slot, const char *name)
{
    void *fn = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (fn == NULL) {
        fn = dlsym(RTLD_NEXT, name);
        if (fn == NULL) {
            /* Without the C library's definition nothing can go on sensibly. */
            static const char msg[] = "libvdlsim: no next definition of a C library call\n";
            (void)!write(2, msg, sizeof msg - 1);
            abort();
        }
        __atomic_store_n(slot, fn, __ATOMIC_RELEASE);
    }
    return fn;
}

#define NEXT(type, name)                                                                     \
    ({                                                                                       \
        static void *slot_;                                                                  \
        (type) next_symbol(&slot_, #name);                                                   \
    })

static int wants_mode(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

static int is_absolute_node(const char *path)
{
    return path != NULL && vdlsim_is_node_path(path);
}

/* The mode argument is there only when the flags ask for one; a macro, since
 * only the variadic function itself can reach its arguments. */
#define TAKE_MODE(flags, mode)                                                               \
    do {                                                                                     \
        if (wants_mode(flags)) {                                                             \
            va_list ap_;                                                                     \
            va_start(ap_, flags);                                                            \
            (mode) = va_arg(ap_, mode_t);                                                    \
            va_end(ap_);                                                                     \
        }                                                                                    \
    } while (0)

/* openat with a relative path never names a node: the nodes have absolute paths. */

int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    TAKE_MODE(flags, mode);
    if (is_absolute_node(path))
        return vdlsim_driver_open(path, flags);
    return NEXT(open_fn, open)(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    mode_t mode = 0;
    TAKE_MODE(flags, mode);
    if (is_absolute_node(path))
        return vdlsim_driver_open(path, flags);
    return NEXT(open_fn, open64)(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    TAKE_MODE(flags, mode);
    if (is_absolute_node(path))
        return vdlsim_driver_open(path, flags);
    return NEXT(openat_fn, openat)(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    TAKE_MODE(flags, mode);
    if (is_absolute_node(path))
        return vdlsim_driver_open(path, flags);
    return NEXT(openat_fn, openat64)(dirfd, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    if (is_absolute_node(path))
        return vdlsim_driver_open(path, flags);
    return NEXT(open2_fn, __open_2)(path, flags);
}

int __open64_2(const char *path, int flags)
{
    if (is_absolute_node(path))
        return vdlsim_driver_open(path, flags);
    return NEXT(open2_fn, __open64_2)(path, flags);
}

int __openat_2(int dirfd, const char *path, int flags)
{
    if (is_absolute_node(path))
        return vdlsim_driver_open(path, flags);
    return NEXT(openat2_fn, __openat_2)(dirfd, path, flags);
}

int __openat64_2(int dirfd, const char *path, int flags)
{
    if (is_absolute_node(path))
        return vdlsim_driver_open(path, flags);
    return NEXT(openat2_fn, __openat64_2)(dirfd, path, flags);
}

int close(int fd)
{
    if (vdlsim_is_sim_fd(fd))
        return vdlsim_driver_close(fd);
    return NEXT(close_fn, close)(fd);
}

int vdlsim_real_close(int fd) { return NEXT(close_fn, close)(fd); }

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (vdlsim_is_sim_fd(fd))
        return vdlsim_driver_ioctl(fd, request, arg);
    return NEXT(ioctl_fn, ioctl)(fd, request, arg);
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset)
{
    if (!(flags & MAP_ANONYMOUS) && vdlsim_is_sim_fd(fd))
        return vdlsim_driver_mmap(addr, len, prot, flags, fd, offset);
    return NEXT(mmap_fn, mmap)(addr, len, prot, flags, fd, offset);
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off_t offset)
{
    if (!(flags & MAP_ANONYMOUS) && vdlsim_is_sim_fd(fd))
        return vdlsim_driver_mmap(addr, len, prot, flags, fd, offset);
    return NEXT(mmap_fn, mmap64)(addr, len, prot, flags, fd, offset);
}

void *vdlsim_real_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset)
{
    return NEXT(mmap_fn, mmap)(addr, len, prot, flags, fd, offset);
}

int munmap(void *addr, size_t len)
{
    vdlsim_driver_munmap(addr, len);
    return NEXT(munmap_fn, munmap)(addr, len);
}

int vdlsim_real_munmap(void *addr, size_t len) { return NEXT(munmap_fn, munmap)(addr, len); }

int access(const char *path, int mode)
{
    if (is_absolute_node(path))
        return vdlsim_driver_access(path, mode);
    return NEXT(access_fn, access)(path, mode);
}

int faccessat(int dirfd, const char *path, int mode, int flags)
{
    if (is_absolute_node(path))
        return vdlsim_driver_access(path, mode);
    return NEXT(faccessat_fn, faccessat)(dirfd, path, mode, flags);
}

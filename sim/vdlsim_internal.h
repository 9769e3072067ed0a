/* The seam between the interposed C library calls (vdlsim_interpose.c) and the
 * model (C++). Nothing here is exported from the library. */
#ifndef VDLSIM_INTERNAL_H
#define VDLSIM_INTERNAL_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VDLSIM_HIDDEN __attribute__((visibility("hidden")))

/* The C library's definitions, found lazily with dlsym(RTLD_NEXT). */
VDLSIM_HIDDEN int vdlsim_real_close(int fd);
VDLSIM_HIDDEN void *vdlsim_real_mmap(void *addr, size_t len, int prot, int flags, int fd,
                                     off_t offset);
VDLSIM_HIDDEN int vdlsim_real_munmap(void *addr, size_t len);

/* Lock-free tests the interposed calls make before anything else. */
VDLSIM_HIDDEN int vdlsim_is_node_path(const char *path);
VDLSIM_HIDDEN int vdlsim_is_sim_fd(int fd);

/* The driver; each returns what the C library call returns, errno set. */
VDLSIM_HIDDEN int vdlsim_driver_open(const char *path, int flags);
VDLSIM_HIDDEN int vdlsim_driver_close(int fd);
VDLSIM_HIDDEN int vdlsim_driver_ioctl(int fd, unsigned long request, void *arg);
VDLSIM_HIDDEN void *vdlsim_driver_mmap(void *addr, size_t len, int prot, int flags, int fd,
                                       off_t offset);
VDLSIM_HIDDEN void vdlsim_driver_munmap(void *addr, size_t len);
VDLSIM_HIDDEN int vdlsim_driver_access(const char *path, int mode);

#ifdef __cplusplus
}
#endif

#endif

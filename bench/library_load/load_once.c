/* One sample of the library-load benchmark, in a fresh process: dlopen
 * (RTLD_NOW | RTLD_LOCAL) of one library, then dlclose. Libraries named after
 * "--" are loaded first, so that their cost is left out of the figure.
 * Prints the nanoseconds of the dlopen, of the dlclose, and 1 when the library
 * was unmapped by the dlclose (0 when it stayed). Links nothing but libc. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static int find_object(struct dl_phdr_info* info, size_t size, void* data)
{
    (void)size;
    const char* name = data;
    const char* base = strrchr(info->dlpi_name, '/');
    return strcmp(base ? base + 1 : info->dlpi_name, name) == 0;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s LIBRARY [-- PRELOAD...]\n", argv[0]);
        return 2;
    }
    for (int i = 3; i < argc; ++i) {
        if (!dlopen(argv[i], RTLD_NOW | RTLD_GLOBAL)) {
            fprintf(stderr, "preload %s: %s\n", argv[i], dlerror());
            return 1;
        }
    }
    const char* base = strrchr(argv[1], '/');
    base = base ? base + 1 : argv[1];

    long long t0 = now_ns();
    void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    long long t1 = now_ns();
    if (!handle) {
        fprintf(stderr, "dlopen %s: %s\n", argv[1], dlerror());
        return 1;
    }
    long long t2 = now_ns();
    dlclose(handle);
    long long t3 = now_ns();
    int unloaded = !dl_iterate_phdr(find_object, (void*)base);
    printf("%lld %lld %d\n", t1 - t0, t3 - t2, unloaded);
    return 0;
}

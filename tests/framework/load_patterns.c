/* Loads two peer libraries with dlopen (mode "global" or "local") into a program
 * that links none of the kit, and checks that both see one set of loggers and
 * catch the runtime library's exceptions by type. Exit status 0 on success. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef uintptr_t (*logger_fn)(int);
typedef int (*catch_fn)(void);

static int failures;

static void check(int ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

static void* open_peer(const char* path, int mode)
{
    void* handle = dlopen(path, RTLD_NOW | mode);
    if (!handle)
        fprintf(stderr, "dlopen %s: %s\n", path, dlerror());
    return handle;
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s global|local PEER_A PEER_B\n", argv[0]);
        return 2;
    }
    int mode = strcmp(argv[1], "global") == 0 ? RTLD_GLOBAL : RTLD_LOCAL;
    void* a = open_peer(argv[2], mode);
    void* b = open_peer(argv[3], mode);
    if (!a || !b)
        return 1;

    logger_fn loggerA = (logger_fn)dlsym(a, "peer_logger");
    logger_fn loggerB = (logger_fn)dlsym(b, "peer_logger");
    logger_fn registeredA = (logger_fn)dlsym(a, "peer_registered_logger");
    catch_fn catchA = (catch_fn)dlsym(a, "peer_catch_buffer_too_small");
    catch_fn catchB = (catch_fn)dlsym(b, "peer_catch_buffer_too_small");
    if (!loggerA || !loggerB || !registeredA || !catchA || !catchB) {
        fprintf(stderr, "dlsym: %s\n", dlerror());
        return 1;
    }

    for (int type = 0; type < 5; ++type) {
        check(loggerA(type) != 0, "logger exists");
        check(loggerA(type) == loggerB(type), "both libraries write to one logger");
        check(loggerA(type) == registeredA(type), "the registry holds that logger");
    }
    check(catchA() == 3, "first library catches -33 by type and by base");
    check(catchB() == 3, "second library catches -33 by type and by base");

    dlclose(b);
    dlclose(a);
    if (failures == 0)
        printf("load pattern %s: ok\n", argv[1]);
    return failures == 0 ? 0 : 1;
}

/* Loads one library of the kit with dlopen (RTLD_NOW | RTLD_LOCAL) into a
 * program that links none of it, uses it (a log file on every logger, debug
 * level, the library object where it has one), unloads it and checks that no
 * library of the kit is still mapped; then does it all once more, to show that
 * a second load starts afresh (five loggers at info, registered again without
 * a clash). The option directory is a temporary one. Exit status 0 on success. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures;

static void check(int ok, const char* what, int round)
{
    if (!ok) {
        fprintf(stderr, "FAILED (load %d): %s\n", round, what);
        ++failures;
    }
}

static int count_kit_objects(struct dl_phdr_info* info, size_t size, void* data)
{
    (void)size;
    if (strstr(info->dlpi_name, "/libvdlsdk_")) {
        fprintf(stderr, "still mapped: %s\n", info->dlpi_name);
        ++*(int*)data;
    }
    return 0;
}

static int kit_objects_mapped(void)
{
    int count = 0;
    dl_iterate_phdr(count_kit_objects, &count);
    return count;
}

/* Removes the option directory with whatever the libraries made in it (option
 * files, their lock files, the log file). */
static void remove_dir(const char* dir)
{
    DIR* entries = opendir(dir);
    if (entries) {
        const struct dirent* entry;
        while ((entry = readdir(entries)) != NULL) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                unlinkat(dirfd(entries), entry->d_name, 0);
        }
        closedir(entries);
    }
    rmdir(dir);
}

/* One load, use and unload. Functions of libvdlsdk_util are found through the
 * library's handle, which searches its dependencies. */
static void round_trip(const char* path, const char* logFile, int round)
{
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    check(library != NULL, "dlopen", round);
    if (!library) {
        fprintf(stderr, "%s\n", dlerror());
        return;
    }
    int (*get_level)(int) = (int (*)(int))dlsym(library, "get_log_verbosity");
    void (*set_level_all)(int) = (void (*)(int))dlsym(library, "set_log_verbosity_all");
    void (*set_file_all)(const char*) = (void (*)(const char*))dlsym(library, "set_log_file_all");
    check(get_level && set_level_all && set_file_all, "logging functions found", round);
    if (get_level && set_level_all && set_file_all) {
        for (int type = 0; type < 5; ++type)
            check(get_level(type) == 2, "a fresh logger is at info", round);
        set_file_all(logFile);
        set_level_all(1);
    }
    /* The library object, where the library has one: created here, destroyed
     * (option file written, debug traces logged) by the dlclose. */
    int (*pci_count)(void) = (int (*)(void))dlsym(library, "vdlpci_dev_count");
    int (*usb_count)(void) = (int (*)(void))dlsym(library, "vdlusb_dev_count");
    if (pci_count)
        check(pci_count() >= 0, "vdlpci_dev_count", round);
    if (usb_count)
        check(usb_count() >= 0, "vdlusb_dev_count", round);

    check(dlclose(library) == 0, "dlclose", round);
    check(kit_objects_mapped() == 0, "every library of the kit is unmapped after dlclose", round);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
        return 2;
    }
    const char* base = getenv("TMPDIR");
    char dir[4096];
    snprintf(dir, sizeof dir, "%s/vdlsdk-unload-XXXXXX", base && *base ? base : "/tmp");
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    setenv("VDLSDK_CONFIG", dir, 1);
    char logFile[4200];
    snprintf(logFile, sizeof logFile, "%s/kit.log", dir);

    for (int round = 1; round <= 2; ++round)
        round_trip(argv[1], logFile, round);

    remove_dir(dir);
    if (failures == 0)
        printf("unloaded twice: ok\n");
    return failures == 0 ? 0 : 1;
}

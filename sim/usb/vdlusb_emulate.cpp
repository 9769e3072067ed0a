// vdlusb-emulate: runs a program against emulated USB devices.
//
//   vdlusb-emulate --device FILE [--device FILE ...] [--] PROGRAM [ARGS]
//
// Loads umockdev device descriptions (the format umockdev-record writes) into a
// testbed, gives every USB device node in them a usbfs handler that plays the
// device (usb_emulated_device.hpp), and runs PROGRAM under umockdev's preload
// library with the testbed's directory, serving its usbfs requests until it
// exits. The handler answers string descriptors from the sysfs attributes
// "manufacturer", "product" and "serial", as the kernel shows them for a real
// device, at the indexes the device descriptor names. Exits with PROGRAM's exit
// status (128 + the signal's number when a signal ended it), 2 for a wrong call
// (usage on standard error) or when the devices cannot be set up (a description
// that cannot be read or is not one), 127 when PROGRAM cannot be run. --help
// prints the usage on standard output. The testbed's directory is removed on
// every path.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <umockdev.h>

#include "usb_emulated_device.hpp"

extern char** environ;

namespace {

const char* const kPreloadLibrary = "libumockdev-preload.so.0";
constexpr size_t kDeviceDescriptorSize = 18;
constexpr uint8_t kDeviceDescriptorType = 1;
constexpr uint8_t kHubClass = 9;
constexpr int kUsageError = 2;
constexpr int kSpawnFailed = 127;

volatile sig_atomic_t g_child = 0;
volatile sig_atomic_t g_early = 0; // a signal that came before the program started

void forwardSignal(int signal)
{
    if (g_child > 0)
        kill(g_child, signal);
    else
        g_early = signal;
}

const char* const kUsage =
    "usage: vdlusb-emulate --device FILE [--device FILE ...] [--] PROGRAM [ARGS]\n"
    "\n"
    "Runs PROGRAM against emulated USB devices. Each FILE is a device description\n"
    "in the format umockdev-record writes; the devices are served from a temporary\n"
    "testbed that is removed when PROGRAM ends. TERM, INT, HUP and QUIT sent to the\n"
    "launcher go on to PROGRAM.\n"
    "\n"
    "Exit status: PROGRAM's own (128 + N when signal N ended it); 2 for a wrong call\n"
    "or descriptions that cannot be used; 127 when PROGRAM cannot be run.\n"
    "\n"
    "Options:\n"
    "  -d, --device FILE  a device description; give it once for each file\n"
    "  -h, --help         print this text and exit\n";

// A wrong call: the reason, then the usage, on standard error.
int wrongCall(const std::string& reason)
{
    std::fprintf(stderr, "vdlusb-emulate: %s\n", reason.c_str());
    std::fputs(kUsage, stderr);
    return kUsageError;
}

// The whole file; on failure false with errno set (EISDIR for a directory).
bool readFile(const std::string& path, std::string& text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    text.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, size_t(n));
        } else if (n == 0) {
            close(fd);
            return true;
        } else if (errno != EINTR) {
            const int error = errno;
            close(fd);
            errno = error;
            return false;
        }
    }
}

// A text attribute without the line end sysfs gives it; "" when absent.
std::string textAttribute(const std::string& dir, const char* name)
{
    std::string text;
    if (!readFile(dir + "/" + name, text))
        return "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    return text;
}

// The devices' paths ("P: /devices/...") of a device description.
std::vector<std::string> devicePaths(const std::string& description)
{
    std::vector<std::string> paths;
    std::istringstream lines(description);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 3, "P: ") == 0)
            paths.push_back(line.substr(3));
    }
    return paths;
}

std::string property(UMockdevTestbed* testbed, const std::string& syspath, const char* name)
{
    g_autofree gchar* value = umockdev_testbed_get_property(testbed, syspath.c_str(), name);
    return value != nullptr ? value : "";
}

// What the handler needs to play the USB device at `devpath` of the testbed;
// false when it is no USB device with a usbfs node and a device descriptor.
bool usbDevice(UMockdevTestbed* testbed, const std::string& sysDir, const std::string& devpath,
               usbemu::DeviceSpec& spec)
{
    const std::string syspath = "/sys" + devpath;
    if (property(testbed, syspath, "SUBSYSTEM") != "usb" ||
        property(testbed, syspath, "DEVTYPE") != "usb_device")
        return false;
    // uevent names the node relative to /dev, as the kernel does.
    std::string node = property(testbed, syspath, "DEVNAME");
    if (node.compare(0, 5, "/dev/") == 0)
        node.erase(0, 5);
    int bus = 0, address = 0;
    char end = 0;
    if (std::sscanf(node.c_str(), "bus/usb/%d/%d%c", &bus, &address, &end) != 2)
        return false;

    const std::string dir = sysDir + devpath;
    std::string d;
    if (!readFile(dir + "/descriptors", d) || d.size() < kDeviceDescriptorSize ||
        static_cast<uint8_t>(d[1]) != kDeviceDescriptorType)
        return false;
    auto byte = [&](size_t at) { return static_cast<uint8_t>(d[at]); };

    const size_t slash = devpath.rfind('/');
    spec.sysname = devpath.substr(slash + 1);
    spec.parent = slash > 0 ? "/sys" + devpath.substr(0, slash) : "";
    spec.bus = bus;
    spec.address = address;
    spec.hub = byte(4) == kHubClass;
    spec.vendorId = byte(8) | byte(9) << 8;
    spec.productId = byte(10) | byte(11) << 8;
    spec.manufacturerIndex = byte(14);
    spec.productIndex = byte(15);
    spec.serialIndex = byte(16);
    spec.manufacturer = spec.manufacturerIndex ? textAttribute(dir, "manufacturer") : "";
    spec.product = spec.productIndex ? textAttribute(dir, "product") : "";
    spec.serial = spec.serialIndex ? textAttribute(dir, "serial") : "";
    return true;
}

// The caller's environment with umockdev's preload library first and the
// testbed's directory.
std::vector<std::string> childEnvironment(const std::string& root)
{
    std::string preload = kPreloadLibrary;
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.compare(0, 11, "LD_PRELOAD=") == 0) {
            if (text.size() > 11)
                preload += ":" + text.substr(11);
        } else if (text.compare(0, 13, "UMOCKDEV_DIR=") != 0) {
            env.push_back(text);
        }
    }
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("UMOCKDEV_DIR=" + root);
    return env;
}

// Ctrl-C reaches the whole process group; a signal sent to this process alone
// goes on to the program, and one that comes before the program starts ends
// the run. Either way the testbed is removed afterwards.
void handleSignals()
{
    struct sigaction forward = {};
    forward.sa_handler = forwardSignal;
    sigemptyset(&forward.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(signal, &forward, nullptr);
}

int run(char** argv, const std::string& root)
{
    std::vector<std::string> env = childEnvironment(root);
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    if (g_early != 0) {
        posix_spawnattr_destroy(&attributes);
        return 128 + g_early;
    }
    pid_t child = 0;
    const int error = posix_spawnp(&child, argv[0], nullptr, &attributes, argv, envp.data());
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        std::fprintf(stderr, "vdlusb-emulate: cannot run %s: %s\n", argv[0],
                     std::strerror(error));
        return kSpawnFailed;
    }
    g_child = child;
    if (g_early != 0)
        kill(child, g_early);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            std::perror("vdlusb-emulate: waitpid");
            return kSpawnFailed;
        }
    }
    g_child = 0;
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// Loads the device descriptions into the testbed and gives each USB device in
// them its handler; false with a message on standard error otherwise.
bool loadDevices(UMockdevTestbed* testbed, const std::string& sysDir,
                 const std::vector<std::string>& files,
                 std::vector<std::unique_ptr<usbemu::EmulatedDevice>>& devices)
{
    for (const std::string& file : files) {
        std::string description;
        GError* error = nullptr;
        if (!readFile(file, description)) {
            std::fprintf(stderr, "vdlusb-emulate: cannot read %s: %s\n", file.c_str(),
                         std::strerror(errno));
            return false;
        }
        // umockdev would read the text up to a NUL byte, and takes a file
        // without devices as an empty description.
        if (description.find('\0') != std::string::npos) {
            std::fprintf(stderr, "vdlusb-emulate: %s: not a device description (a NUL byte)\n",
                         file.c_str());
            return false;
        }
        if (devicePaths(description).empty()) {
            std::fprintf(stderr, "vdlusb-emulate: %s: describes no device (no \"P: \" line)\n",
                         file.c_str());
            return false;
        }
        if (!umockdev_testbed_add_from_string(testbed, description.c_str(), &error)) {
            std::fprintf(stderr, "vdlusb-emulate: %s: %s\n", file.c_str(), error->message);
            g_error_free(error);
            return false;
        }
        for (const std::string& devpath : devicePaths(description)) {
            usbemu::DeviceSpec spec;
            if (!usbDevice(testbed, sysDir, devpath, spec))
                continue;
            devices.push_back(std::make_unique<usbemu::EmulatedDevice>(spec));
            usbemu::EmulatedDevice& device = *devices.back();
            if (!umockdev_testbed_attach_ioctl(testbed, device.devnode().c_str(),
                                               device.handler(), &error)) {
                std::fprintf(stderr, "vdlusb-emulate: %s: %s\n", device.devnode().c_str(),
                             error->message);
                g_error_free(error);
                return false;
            }
        }
    }
    return true;
}

// The testbed and the devices it plays; the destructor removes the testbed's
// directory.
struct Emulation {
    UMockdevTestbed* testbed = umockdev_testbed_new();
    std::vector<std::unique_ptr<usbemu::EmulatedDevice>> devices;

    Emulation() = default;
    Emulation(const Emulation&) = delete;
    Emulation& operator=(const Emulation&) = delete;
    ~Emulation()
    {
        // The testbed first: it holds the handlers, which the devices own.
        g_object_unref(testbed);
        devices.clear();
    }
};

int emulate(const std::vector<std::string>& files, char** argv)
{
    Emulation emulation;
    g_autofree gchar* root = umockdev_testbed_get_root_dir(emulation.testbed);
    g_autofree gchar* sysDir = umockdev_testbed_get_sys_dir(emulation.testbed);
    try {
        if (!loadDevices(emulation.testbed, sysDir, files, emulation.devices))
            return kUsageError;
        return run(argv, root);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vdlusb-emulate: %s\n", e.what());
        return kUsageError;
    }
}

} // namespace

int main(int argc, char** argv)
{
    // A standard error whose reader is gone must not end this process before
    // it gives its status or removes the testbed: SIGPIPE is ignored (and set
    // back to its default for the program).
    std::signal(SIGPIPE, SIG_IGN);
    static const option options[] = {
        {"device", required_argument, nullptr, 'd'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    std::vector<std::string> files;
    int opt;
    opterr = 0; // the reasons are given here, under this program's name
    while ((opt = getopt_long(argc, argv, "+:d:h", options, nullptr)) != -1) {
        switch (opt) {
        case 'd':
            files.push_back(optarg);
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        case ':':
            return wrongCall(std::string(argv[optind - 1]) + " needs a device description file");
        default:
            // glibc names a long option given a value it does not take by the
            // option's own letter.
            if (optopt == 'h') {
                const std::string word = argv[optind - 1];
                return wrongCall(word.substr(0, word.find('=')) + " takes no value");
            }
            return wrongCall("unknown option " +
                             (optopt != 0 ? std::string("-") + char(optopt) : argv[optind - 1]));
        }
    }
    if (files.empty())
        return wrongCall("no --device given");
    if (optind >= argc)
        return wrongCall("no PROGRAM given");

    handleSignals();
    return emulate(files, argv + optind);
}

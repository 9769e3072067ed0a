// Bulk-send throughput: vdlusb_dev_send against libusb_bulk_transfer, both on
// one emulated device, in one run. Lengths that are not multiples of 64 make
// one transfer on both paths; the multiple-of-64 case compares the library's
// send with a data transfer plus the zero-length packet done by hand.
//
//   usb_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
//
// The emulated device answers on umockdev's thread, so rates are taken over
// real time, not the calling thread's CPU time.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <libusb.h>

#include "usb_testbed.hpp"
#include "vdlsdk/vdlsdk_usb.h"

namespace {

constexpr int kTimeoutMs = 1000;
constexpr uint16_t kProductId = 0x1115; // alternate setting 1, OUT endpoint 2
constexpr unsigned char kOutEndpoint = 2;
constexpr int kInterface = 0;
constexpr int kAltSetting = 1;

VdlusbDevice* g_device = nullptr;
libusb_context* g_context = nullptr;
libusb_device_handle* g_handle = nullptr;
std::string g_configDir;

void removeConfigDir() { std::filesystem::remove_all(g_configDir); }

void sendThroughLibrary(benchmark::State& state)
{
    std::vector<unsigned char> data(state.range(0), 0xA5);
    const int length = static_cast<int>(data.size());
    for (auto _ : state) {
        if (vdlusb_dev_send(g_device, data.data(), length, kTimeoutMs) != length)
            state.SkipWithError("vdlusb_dev_send failed");
    }
    state.SetBytesProcessed(state.iterations() * length);
}

void sendThroughLibusb(benchmark::State& state)
{
    std::vector<unsigned char> data(state.range(0), 0xA5);
    const int length = static_cast<int>(data.size());
    const bool endPacket = length % 64 == 0;
    for (auto _ : state) {
        int sent = 0;
        if (libusb_bulk_transfer(g_handle, kOutEndpoint, data.data(), length, &sent, kTimeoutMs) != 0 ||
            sent != length)
            state.SkipWithError("libusb_bulk_transfer failed");
        if (endPacket &&
            libusb_bulk_transfer(g_handle, kOutEndpoint, nullptr, 0, nullptr, kTimeoutMs) != 0)
            state.SkipWithError("zero-length packet failed");
    }
    state.SetBytesProcessed(state.iterations() * length);
}

bool libraryOnce(unsigned char* data, int length)
{
    return vdlusb_dev_send(g_device, data, length, kTimeoutMs) == length;
}

bool libusbOnce(unsigned char* data, int length)
{
    int sent = 0;
    if (libusb_bulk_transfer(g_handle, kOutEndpoint, data, length, &sent, kTimeoutMs) != 0 ||
        sent != length)
        return false;
    return length % 64 != 0 ||
           libusb_bulk_transfer(g_handle, kOutEndpoint, nullptr, 0, nullptr, kTimeoutMs) == 0;
}

// Both paths in turn within every iteration, alternating which goes first, so
// that the emulator's large run-to-run variation hits both alike; "ratio" is
// the library's throughput over libusb's.
void libraryOverLibusb(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    std::vector<unsigned char> data(state.range(0), 0xA5);
    const int length = static_cast<int>(data.size());
    Clock::duration library{};
    Clock::duration plain{};
    bool libraryFirst = true;
    for (auto _ : state) {
        bool ok = true;
        const auto t0 = Clock::now();
        ok &= libraryFirst ? libraryOnce(data.data(), length) : libusbOnce(data.data(), length);
        const auto t1 = Clock::now();
        ok &= libraryFirst ? libusbOnce(data.data(), length) : libraryOnce(data.data(), length);
        const auto t2 = Clock::now();
        library += libraryFirst ? t1 - t0 : t2 - t1;
        plain += libraryFirst ? t2 - t1 : t1 - t0;
        libraryFirst = !libraryFirst;
        if (!ok)
            state.SkipWithError("transfer failed");
    }
    const double bytes = static_cast<double>(state.iterations()) * length;
    const double librarySeconds = std::chrono::duration<double>(library).count();
    const double plainSeconds = std::chrono::duration<double>(plain).count();
    state.counters["vdlusb_MBps"] = bytes / librarySeconds / 1e6;
    state.counters["libusb_MBps"] = bytes / plainSeconds / 1e6;
    state.counters["ratio"] = plainSeconds / librarySeconds;
}

void lengths(benchmark::internal::Benchmark* b)
{
    for (int length : {1023, 16383, 65535, 1048575, 65536})
        b->Arg(length);
}

BENCHMARK(sendThroughLibrary)->Apply(lengths)->UseRealTime();
BENCHMARK(sendThroughLibusb)->Apply(lengths)->UseRealTime();
BENCHMARK(libraryOverLibusb)->Apply(lengths)->UseRealTime();

bool setUp()
{
    // Never the host's option directory.
    char pattern[] = "/tmp/vdlsdk-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return false;
    g_configDir = pattern;
    setenv("VDLSDK_CONFIG", pattern, 1);
    std::atexit(removeConfigDir);

    usbtest::Testbed& bed = usbtest::Testbed::get();
    usbtest::DeviceSpec spec;
    spec.sysname = "1-4.2";
    spec.parent = bed.addHubs(1, 4, 2);
    spec.address = 5;
    spec.productId = kProductId;
    spec.serial = "BENCH";
    usbtest::EmulatedDevice& device = bed.add(spec);
    device.setRecordData(false);

    if (vdlusb_dev_count() != 1 || vdlusb_dev_open(0, &g_device) != 0)
        return false;

    if (libusb_init(&g_context) != 0)
        return false;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(g_context, &list);
    for (ssize_t i = 0; i < count && g_handle == nullptr; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) == 0 &&
            descriptor.idVendor == VDLUSB_VENDOR_ID && descriptor.idProduct == kProductId)
            libusb_open(list[i], &g_handle);
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    if (g_handle == nullptr || libusb_claim_interface(g_handle, kInterface) != 0)
        return false;
    libusb_set_interface_alt_setting(g_handle, kInterface, kAltSetting);
    return true;
}

void tearDown()
{
    if (g_handle != nullptr) {
        libusb_release_interface(g_handle, kInterface);
        libusb_close(g_handle);
    }
    if (g_context != nullptr)
        libusb_exit(g_context);
    vdlusb_dev_close(g_device);
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!setUp()) {
        std::fprintf(stderr, "usb_bench: emulated device set-up failed\n");
        tearDown();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tearDown();
    return 0;
}

// Element reads and writes of DMA buffers (a contiguous kernel buffer and
// pinned memory) through vdlpci_ms_read*s / vdlpci_ms_write*s against memcpy
// of the same bytes between the same two buffers, timed in the same loop on
// the stand-in driver. "ratio" is memcpy's time over the library's: the
// library's speed as a fraction of memcpy's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "bench_support.hpp"

namespace {

using pcibench::interleaved;

constexpr int64_t kMostElements = 1 << 20;
constexpr uint64_t kBufferBytes = kMostElements * 8;

struct Buffer {
    uint32_t ms = 0;
    unsigned char* mapping = nullptr;
};

Buffer buffer(uint32_t flags)
{
    Buffer b;
    void* address = nullptr;
    if (vdlpci_alloc_mem(pcibench::libraryCard(), kBufferBytes, &address, &b.ms, flags) != 0)
        pcibench::fail("no DMA buffer");
    b.mapping = static_cast<unsigned char*>(address);
    std::memset(b.mapping, 0x3C, kBufferBytes);
    return b;
}

const Buffer& kernelBuffer()
{
    static const Buffer b = buffer(VDLPCI_ALLOC_KERNEL_BUFFER);
    return b;
}

const Buffer& pinnedMemory()
{
    static const Buffer b = buffer(VDLPCI_ALLOC_LOCKED_VMEM);
    return b;
}

template <typename T>
int library(bool write, void* card, uint32_t ms, T* data, int count)
{
    if constexpr (sizeof(T) == 1)
        return write ? vdlpci_ms_write8s(card, ms, 0, data, count)
                     : vdlpci_ms_read8s(card, ms, 0, data, count);
    else if constexpr (sizeof(T) == 2)
        return write ? vdlpci_ms_write16s(card, ms, 0, data, count)
                     : vdlpci_ms_read16s(card, ms, 0, data, count);
    else if constexpr (sizeof(T) == 4)
        return write ? vdlpci_ms_write32s(card, ms, 0, data, count)
                     : vdlpci_ms_read32s(card, ms, 0, data, count);
    else
        return write ? vdlpci_ms_write64s(card, ms, 0, data, count)
                     : vdlpci_ms_read64s(card, ms, 0, data, count);
}

// range(0): elements; range(1): 0 kernel buffer, 1 pinned memory;
// range(2): 0 read, 1 write.
template <typename T>
void BM_Elements(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    const Buffer& b = state.range(1) == 0 ? kernelBuffer() : pinnedMemory();
    const bool write = state.range(2) != 0;
    void* card = pcibench::libraryCard();
    std::vector<T> data(static_cast<std::size_t>(count), static_cast<T>(0x5A));
    const std::size_t bytes = data.size() * sizeof(T);
    bool ok = true;
    auto copy = [&] {
        if (write)
            std::memcpy(b.mapping, data.data(), bytes);
        else
            std::memcpy(data.data(), b.mapping, bytes);
        benchmark::ClobberMemory();
    };
    auto elements = [&] {
        ok &= library<T>(write, card, b.ms, data.data(), count) == count;
        benchmark::ClobberMemory();
    };
    interleaved(state, count, elements, copy);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
    if (!ok)
        state.SkipWithError("an element call failed");
}

void arguments(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"elements", "pinned", "write"});
    for (int64_t count : {int64_t{4096}, kMostElements})
        for (int64_t kind : {0, 1})
            for (int64_t write : {0, 1})
                b->Args({count, kind, write});
    pcibench::spread(b);
}

} // namespace

BENCHMARK_TEMPLATE(BM_Elements, uint8_t)->Apply(arguments);
BENCHMARK_TEMPLATE(BM_Elements, uint16_t)->Apply(arguments);
BENCHMARK_TEMPLATE(BM_Elements, uint32_t)->Apply(arguments);
BENCHMARK_TEMPLATE(BM_Elements, uint64_t)->Apply(arguments);

int main(int argc, char** argv)
{
    pcibench::prepare();
    kernelBuffer();
    pinnedMemory();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

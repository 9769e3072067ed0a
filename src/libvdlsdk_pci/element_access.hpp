#pragma once
// One element of a mapped memory space or one configuration access, shared
// by every space that copies or forwards elements itself.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vdlpci_detail {

// The driver's records carry 32-bit lengths.
inline constexpr unsigned long kMaxDriverLength = 0xFFFFFFFFul;

inline bool isAccessWidth(int width)
{
    return width == 1 || width == 2 || width == 4 || width == 8;
}

// The element of each width, and the same at any address (a packed member is
// still one access of the element's width on this architecture).
template <int W> struct ElementOf;
template <> struct ElementOf<1> { using type = std::uint8_t; };
template <> struct ElementOf<2> { using type = std::uint16_t; };
template <> struct ElementOf<4> { using type = std::uint32_t; };
template <> struct ElementOf<8> { using type = std::uint64_t; };

template <typename Element>
struct __attribute__((packed, may_alias)) Unaligned {
    Element value;
};

// Blocks of whole elements moved as one aligned access each on the buffer's
// side: 32 bytes where the processor has AVX2, 16 otherwise.
using Block16 = long long __attribute__((vector_size(16)));
using UnalignedBlock16 = long long __attribute__((vector_size(16), aligned(1), may_alias));
using Block32 = long long __attribute__((vector_size(32)));
using UnalignedBlock32 = long long __attribute__((vector_size(32), aligned(1), may_alias));

inline bool hasWideBlocks()
{
    static const bool wide = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return wide;
}

template <bool ToDevice>
inline void moveBlocks16(unsigned char* device, unsigned char* user, std::size_t blocks)
{
    for (std::size_t b = 0; b < blocks; ++b) {
        auto* at = reinterpret_cast<volatile Block16*>(device + b * sizeof(Block16));
        auto* mine = reinterpret_cast<UnalignedBlock16*>(user + b * sizeof(Block16));
        if constexpr (ToDevice)
            *at = *mine;
        else
            *mine = *at;
    }
}

template <bool ToDevice>
__attribute__((target("avx2"))) void moveBlocks32(unsigned char* device, unsigned char* user,
                                                  std::size_t blocks)
{
    for (std::size_t b = 0; b < blocks; ++b) {
        auto* at = reinterpret_cast<volatile Block32*>(device + b * sizeof(Block32));
        auto* mine = reinterpret_cast<UnalignedBlock32*>(user + b * sizeof(Block32));
        if constexpr (ToDevice)
            *at = *mine;
        else
            *mine = *at;
    }
}

// Moves `count` elements of W bytes between a DMA buffer (`device`, which the
// card may read or write at the same time) and the caller's memory (`user`).
// Every element of the buffer is read or written exactly once, never in
// pieces: by a volatile access of its own width or, where the elements are
// aligned to their width, by volatile aligned block accesses that hold whole
// elements. Nothing outside the run is touched.
template <int W, bool ToDevice>
inline void moveElements(unsigned char* device, unsigned char* user, std::size_t count)
{
    using Element = typename ElementOf<W>::type;
    auto one = [&](std::size_t i) {
        auto* at = reinterpret_cast<volatile Unaligned<Element>*>(device + i * W);
        Element value;
        if constexpr (ToDevice) {
            std::memcpy(&value, user + i * W, W);
            at->value = value;
        } else {
            value = at->value;
            std::memcpy(user + i * W, &value, W);
        }
    };
    std::size_t i = 0;
    const auto address = reinterpret_cast<std::uintptr_t>(device);
    if (address % W == 0 && count * W >= 2 * sizeof(Block32)) {
        // Single elements up to the first aligned block, blocks, then the rest.
        const bool wide = hasWideBlocks();
        const std::size_t block = wide ? sizeof(Block32) : sizeof(Block16);
        const std::size_t misalign = address % block;
        const std::size_t head = misalign == 0 ? 0 : (block - misalign) / W;
        for (; i < head; ++i)
            one(i);
        const std::size_t blocks = (count - i) * W / block;
        if (wide)
            moveBlocks32<ToDevice>(device + i * W, user + i * W, blocks);
        else
            moveBlocks16<ToDevice>(device + i * W, user + i * W, blocks);
        i += blocks * block / W;
    }
    for (; i < count; ++i)
        one(i);
}

// One element of a DMA buffer, of a width only known at run time.
template <bool ToDevice>
inline void moveElement(unsigned char* device, unsigned char* user, int width)
{
    switch (width) {
    case 1: moveElements<1, ToDevice>(device, user, 1); break;
    case 2: moveElements<2, ToDevice>(device, user, 1); break;
    case 4: moveElements<4, ToDevice>(device, user, 1); break;
    default: moveElements<8, ToDevice>(device, user, 1); break;
    }
}

} // namespace vdlpci_detail

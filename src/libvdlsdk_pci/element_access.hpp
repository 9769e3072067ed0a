#pragma once
// One element of a mapped memory space or one configuration access, shared
// by every space that copies or forwards elements itself.
#include <cstring>

namespace vdlpci_detail {

// The driver's records carry 32-bit lengths.
inline constexpr unsigned long kMaxDriverLength = 0xFFFFFFFFul;

inline bool isAccessWidth(int width)
{
    return width == 1 || width == 2 || width == 4 || width == 8;
}

// One load or store of the element's width: the device may be looking at the
// same memory, so an element is never split into smaller accesses.
inline void copyElement(void* to, const void* from, int width)
{
    switch (width) {
    case 1: std::memcpy(to, from, 1); break;
    case 2: std::memcpy(to, from, 2); break;
    case 4: std::memcpy(to, from, 4); break;
    default: std::memcpy(to, from, 8); break;
    }
}

} // namespace vdlpci_detail

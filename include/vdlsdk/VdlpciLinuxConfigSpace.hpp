#pragma once
// A card's own configuration space, every access one command request to the
// kernel driver (two for 8 bytes); never mapped into the process.
#include "vdlsdk/VdlpciConfigSpace.hpp"

class VdlpciLinuxConfigSpace : public VdlpciConfigSpace {
public:
    explicit VdlpciLinuxConfigSpace(void* handle);
    ~VdlpciLinuxConfigSpace() override;

    // Width 1, 2, 4 or 8. Result: the width, or the negative driver result of
    // a failed request (logged). A bad width (-6) or a register not wholly
    // inside the space (-8) raises before its request; 8 bytes are two dword
    // registers, so one that starts in the last dword moves that dword and
    // raises at the second.
    int write(unsigned long offset, unsigned char* data, int width) override;
    int read(unsigned long offset, unsigned char* data, int width) override;

    // Reads the dwords below min(limit, size) so that each appears as a debug
    // trace; the result of the last read, or 0 when none was read.
    virtual int displayConfigRegisters(unsigned long limit);
    // Writes 0x0002 to the Command register: Memory Space Enable alone.
    // Result: the element count of the write.
    virtual int enableMemorySpace();
};

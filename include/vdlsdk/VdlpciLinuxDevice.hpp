#pragma once
// A PCIe card reached through the kernel driver's device node: opening, link
// save, restore and status, interrupt waits and the card's DMA buffers.
#include <string>

#include "vdlsdk/VdlpciDevice.hpp"

class VdlpciKernelBuffer;
class VdlpciLockedVirtualMemory;

class VdlpciLinuxDevice : public VdlpciDevice {
public:
    // Touches no device; openhandle does the opening.
    explicit VdlpciLinuxDevice(int cardnum);
    ~VdlpciLinuxDevice() override;

    // Does nothing: the card keeps everything until it is destroyed.
    void close() override;
    void location(std::string& out) override;
    // The slot path the driver gave at the opening; empty if it gave none or
    // refused the request (the opening warned then). Asks the driver nothing.
    void slotUid(std::string& out) override;
    // Flags: 0x1 registers, 0x2 Surprise Down, 0x4 link down, 0x8 delete old keys
    // first. Run in the order 0x8, 0x1, 0x2, 0x4.
    void linkSave(unsigned int flags) override;
    // Flags: 0x1 registers, 0x2 Surprise Down, 0x4 link up, 0x8 retrain. Run in
    // the order 0x4, 0x8, 0x2, 0x1.
    void linkRestore(unsigned int flags) override;
    void linkStatus(unsigned int& flags, int& maxSpeed, int& maxWidth, int& currentSpeed,
                    int& currentWidth) override;
    bool recheckPcieLink() override;

    virtual void closeDriver();
    virtual int allocLockedVmem(unsigned long size, VdlpciLockedVirtualMemory*& out);
    virtual void freeLockedVmem(VdlpciLockedVirtualMemory*& mem);
    virtual int allocContiguousKmem(unsigned long size, VdlpciKernelBuffer*& out);
    virtual void freeKernelBuffer(VdlpciKernelBuffer*& mem);

    // Opens the driver handle unless it is open. VDLException<-13> when the
    // node cannot be opened.
    void openDriver();
    // The whole opening: driver, BARs, identity, location, upstream bridge,
    // link state and interrupt set-up. Undoes itself when a BAR window,
    // identity or location request fails; a configuration read that fails
    // leaves the BARs not enumerated or the interrupts on MSI or off instead.
    void openhandle();
    vdlcard_handle* getHandle();
    // Whether the process may read and write the node; VDLException<-13> when
    // the node does not exist.
    bool hasAccess() const;

    // Puts a buffer into the first empty slot (else a new one); its slot.
    int addMem(VdlpciMemorySpace* mem);
    // Deletes a buffer of this card and empties its slot. VDLException<-13>
    // when the buffer is not in the table.
    void freeMem(VdlpciMemorySpace* mem);

    // Blocks until an interrupt on the vector (value: what the driver gives),
    // the time-out (-9) or a cancel (-12).
    void msiWait(int vector, unsigned int timeout, unsigned int& value);
    // VDLException<-34> when the driver refuses the cancel.
    void msiCancelWait(int vector);

private:
    // Deletes what the opening has created so far and closes the driver.
    void undoOpen();
    // undoOpen, then the exception of a failed driver request.
    [[noreturn]] void failOpen(int result, const char* message);
    // VDLException<-13> (after error lines) without both configuration spaces.
    void requireConfigSpaces() const;
    // Refuses a vector outside 0 to the vector count - 1.
    void checkVector(int vector) const;
    // VDLException<-4> when no slot an identifier can carry is free.
    void requireFreeSlot() const;
    template <typename Buffer>
    int allocAndRegister(unsigned long size, Buffer*& out);

    VdlpciConfigSpace* m_upstream;
    std::string m_location;
    std::string m_slotUid;
};

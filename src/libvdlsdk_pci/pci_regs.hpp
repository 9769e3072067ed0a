#pragma once
// Configuration-space registers, capability IDs and bits the library touches,
// named as the PCI and PCI Express standards name them. Offsets of capability
// registers are relative to the capability's header.
#include <cstdint>

namespace pci_regs {

// What a function that does not answer returns for every register.
inline constexpr std::uint32_t ALL_ONES_32 = 0xFFFFFFFFu;
inline constexpr std::uint16_t ALL_ONES_16 = 0xFFFFu;

// Type 0/1 header.
inline constexpr unsigned long VENDOR_ID = 0x00;
inline constexpr unsigned long COMMAND = 0x04;
inline constexpr std::uint16_t COMMAND_MEMORY_SPACE_ENABLE = 0x0002;
inline constexpr unsigned long CAPABILITIES_POINTER = 0x34;
// Capability pointers are dword aligned: their two low bits are reserved and
// must be ignored.
inline constexpr std::uint32_t CAPABILITIES_POINTER_MASK = 0xFC;

// Standard capabilities follow the type 0/1 header: a pointer below this
// points into the header, where no capability can be.
inline constexpr unsigned int CAP_LIST_START = 0x40;
// ... and end where the extended space begins.
inline constexpr unsigned long CAP_LIST_END = 0x100;

// Standard capability header.
inline constexpr std::uint32_t CAP_ID_MASK = 0xFF;
inline constexpr unsigned CAP_NEXT_SHIFT = 8;
inline constexpr std::uint32_t CAP_NEXT_MASK = CAPABILITIES_POINTER_MASK;

inline constexpr unsigned short CAP_ID_MSI = 0x05;
inline constexpr unsigned short CAP_ID_PCI_EXPRESS = 0x10;
inline constexpr unsigned short CAP_ID_MSIX = 0x11;

// Extended capability header; the extended space starts after the first 256
// bytes, and no extended capability lies below it.
inline constexpr unsigned long EXT_CAP_START = 0x100;
inline constexpr std::uint32_t EXT_CAP_ID_MASK = 0xFFFF;
inline constexpr unsigned EXT_CAP_NEXT_SHIFT = 20;
// Bits 1:0 of Next Capability Offset are reserved: pointers are dword aligned.
inline constexpr std::uint32_t EXT_CAP_NEXT_MASK = 0xFFC;
inline constexpr unsigned long EXT_CAP_END = 0x1000;

inline constexpr unsigned short EXT_CAP_ID_AER = 0x0001;

// MSI capability.
inline constexpr unsigned long MSI_MESSAGE_ADDRESS = 0x04;
inline constexpr std::uint32_t MSI_CTRL_ENABLE = 1u << 16;
inline constexpr unsigned MSI_CTRL_MME_SHIFT = 20;
inline constexpr std::uint32_t MSI_CTRL_MME_MASK = 0x7;
// Multiple Message Enable encodes 1 to 32 vectors as 0 to 5.
inline constexpr std::uint32_t MSI_MME_MAX = 5;
inline constexpr std::uint32_t MSI_CTRL_64BIT = 1u << 23;
inline constexpr std::uint32_t MSI_CTRL_PER_VECTOR_MASKING = 1u << 24;
// Header, Message Address, Message Data (read as a dword); the 64-bit form
// adds Message Upper Address, per-vector masking Mask Bits and Pending Bits.
inline constexpr unsigned long MSI_LENGTH_32 = 0x0C;
inline constexpr unsigned long MSI_LENGTH_UPPER_ADDRESS = 0x04;
inline constexpr unsigned long MSI_LENGTH_MASKING = 0x08;
inline constexpr std::uint32_t MSI_DATA_MASK = 0xFFFF;

// MSI-X capability: header, Table Offset/BIR, PBA Offset/BIR.
inline constexpr int MSIX_DWORDS = 3;
inline constexpr unsigned long MSIX_LENGTH = MSIX_DWORDS * 4;
inline constexpr unsigned MSIX_CTRL_TABLE_SIZE_SHIFT = 16;
inline constexpr std::uint32_t MSIX_CTRL_TABLE_SIZE_MASK = 0x7FF;
inline constexpr std::uint32_t MSIX_CTRL_FUNCTION_MASK = 1u << 30;
inline constexpr std::uint32_t MSIX_CTRL_ENABLE = 1u << 31;
inline constexpr std::uint32_t MSIX_BIR_MASK = 0x7;

// PCI Express capability.
inline constexpr unsigned short EXP_DEVICE_STATUS = 0x0A;
inline constexpr unsigned short EXP_LINK_CAPABILITIES = 0x0C;
inline constexpr unsigned short EXP_LINK_CONTROL = 0x10;
inline constexpr unsigned short EXP_LINK_STATUS = 0x12;
// The registers the library uses end with Link Status.
inline constexpr unsigned long EXP_LENGTH_USED = EXP_LINK_STATUS + 2;
// Device Status bits are write-one-to-clear (or read-only): all ones clears them.
inline constexpr std::uint16_t EXP_DEVICE_STATUS_CLEAR_ALL = 0xFFFF;
inline constexpr std::uint16_t EXP_LINK_CONTROL_LINK_DISABLE = 1u << 4;
inline constexpr std::uint16_t EXP_LINK_CONTROL_RETRAIN_LINK = 1u << 5;
inline constexpr std::uint16_t EXP_LINK_STATUS_LINK_TRAINING = 1u << 11;
// Link speed (bits 3:0) and width (bits 9:4) share their layout in Link
// Capabilities and Link Status.
inline constexpr std::uint16_t EXP_LINK_SPEED_MASK = 0xF;
inline constexpr unsigned EXP_LINK_WIDTH_SHIFT = 4;
inline constexpr std::uint16_t EXP_LINK_WIDTH_MASK = 0x3F;

// Advanced Error Reporting extended capability.
inline constexpr unsigned long AER_UNCORRECTABLE_ERROR_MASK = 0x08;
// The registers the library uses end with Uncorrectable Error Mask.
inline constexpr unsigned long AER_LENGTH_USED = AER_UNCORRECTABLE_ERROR_MASK + 4;
inline constexpr std::uint32_t AER_UNCOR_SURPRISE_DOWN = 1u << 5;

} // namespace pci_regs

#ifndef VDLSDK_PCI_H
#define VDLSDK_PCI_H
/* Exported functions of libvdlsdk_pci: the maker's PCIe cards, counted and
 * opened by index, their BAR windows, configuration space and DMA buffers read
 * and written as memory spaces, their interrupts waited on, and their PCIe link
 * reported, saved, restored, disabled, enabled and retrained. Usable from C
 * and C++.
 *
 * Every function returns 0, a count, or a negative error code of the kit.
 * Text is copied into the caller's buffer of `size` bytes, NUL-terminated.
 * A handle is the card object given by vdlpci_dev_open; it stays valid until
 * the library is unloaded. A card is used from one thread at a time, except
 * that vdlpci_int_cancel_wait may end a wait running in another thread. */
#include <stdint.h>

#include "vdlsdk/vdlpci_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Memory-space identifiers: the kind in the high 16 bits, the BAR number or
 * the buffer slot in the low 16 bits. A BAR's identifier is its number. */
#define VDLPCI_MS_ID_BAR 0x00000u
#define VDLPCI_MS_ID_CONFIG 0x10000u
#define VDLPCI_MS_ID_KERNEL_BUFFER 0x20000u
#define VDLPCI_MS_ID_LOCKED_VMEM 0x30000u

/* Flags of vdlpci_link_save. */
#define VDLPCI_LINK_SAVE_REGISTERS 0x1u   /* BAR, MSI and PCI Express registers */
#define VDLPCI_LINK_SAVE_AER 0x2u         /* record Surprise Down, then mask it */
#define VDLPCI_LINK_SAVE_DISABLE 0x4u     /* take the link down */
#define VDLPCI_LINK_SAVE_DELETE_OLD 0x8u  /* delete the saved state first */
/* Flags of vdlpci_link_restore. */
#define VDLPCI_LINK_RESTORE_REGISTERS 0x1u
#define VDLPCI_LINK_RESTORE_AER 0x2u
#define VDLPCI_LINK_RESTORE_ENABLE 0x4u   /* bring the link up */
#define VDLPCI_LINK_RESTORE_RETRAIN 0x8u  /* retrain it and wait for the training */
/* Flags reported by vdlpci_link_status. */
#define VDLPCI_LINK_STATUS_SAVED 0x3u     /* a saved BAR state is present */
#define VDLPCI_LINK_STATUS_UP 0x4u        /* link up: speeds and widths are the card's */

/* Flags of vdlpci_alloc_mem: exactly one of the first two. */
#define VDLPCI_ALLOC_KERNEL_BUFFER 0x1u   /* physically contiguous kernel buffer */
#define VDLPCI_ALLOC_LOCKED_VMEM 0x2u     /* pinned process memory */

/* Directions of vdlpci_flush_cache. */
#define VDLPCI_FLUSH_FOR_DEVICE 0
#define VDLPCI_FLUSH_FOR_CPU 1

/* "2024.1.0". Never creates the library object. */
int vdlpci_version(char* buffer, int size);

/* Number of cards opened; 0 on any failure, which is not logged. */
int vdlpci_dev_count(void);

int vdlpci_dev_id(int index, uint16_t* vendorId, uint16_t* deviceId,
                  uint16_t* subsystemVendorId, uint16_t* subsystemId);
/* "bus:device.function", for example "3b:00.1". */
int vdlpci_dev_location(int index, char* buffer, int size);
/* The slot path the driver gave when the card was opened; empty when it gave
 * none or refused the request then. Asks the driver nothing. */
int vdlpci_dev_slot_uid(int index, char* buffer, int size);

/* The card at `index`, opening it when it is not open yet. The same handle
 * every time; *handle is set to NULL when the open fails. */
int vdlpci_dev_open(int index, void** handle);
int vdlpci_dev_index(void* handle, int* index);
/* Leaves the card open: its handle stays usable. */
int vdlpci_dev_close(void* handle);

int vdlpci_ms_size(void* handle, uint32_t ms, uint64_t* size);

/* `count` elements from byte `offset` of memory space `ms`. The number of
 * elements transferred (a BAR element whose driver request fails is logged and
 * not counted), or a negative code: -39 while the link is down, -40 for a BAR
 * of a card whose BARs are not enumerated. */
int vdlpci_ms_read8s(void* handle, uint32_t ms, uint64_t offset, uint8_t* data, int count);
int vdlpci_ms_read16s(void* handle, uint32_t ms, uint64_t offset, uint16_t* data, int count);
int vdlpci_ms_read32s(void* handle, uint32_t ms, uint64_t offset, uint32_t* data, int count);
int vdlpci_ms_read64s(void* handle, uint32_t ms, uint64_t offset, uint64_t* data, int count);
int vdlpci_ms_write8s(void* handle, uint32_t ms, uint64_t offset, uint8_t* data, int count);
int vdlpci_ms_write16s(void* handle, uint32_t ms, uint64_t offset, uint16_t* data, int count);
int vdlpci_ms_write32s(void* handle, uint32_t ms, uint64_t offset, uint32_t* data, int count);
int vdlpci_ms_write64s(void* handle, uint32_t ms, uint64_t offset, uint64_t* data, int count);

int vdlpci_msi_info(void* handle, int* enabled, uint64_t* address, uint16_t* data,
                    int* vectors);
int vdlpci_msix_info(void* handle, msix_info* info);

/* The card's link: flags (VDLPCI_LINK_STATUS_*), the speed and width both ends
 * can do, and the current ones; speeds are the raw speed codes, widths lanes. */
int vdlpci_link_status(int index, uint32_t* flags, int* maxSpeed, int* maxWidth,
                       int* currentSpeed, int* currentWidth);
/* The card's Device Status bits; cleared afterwards when `clear` is not 0. */
int vdlpci_link_errors(void* handle, int* errors, int clear);
/* The saved state lives in the option file, under "device<index>/...". */
int vdlpci_link_save(int index, uint32_t flags);
int vdlpci_link_restore(int index, uint32_t flags);

/* The library's option file, "vdlpci_config.json" in $VDLSDK_CONFIG. */
int vdlpci_option_count(void);
int vdlpci_set_option(const char* key, const char* value);
int vdlpci_get_option(const char* key, char* buffer, int size);
/* First key for a NULL previousKey, then the key after previousKey; -27 after
 * the last one. */
int vdlpci_get_next_option_key(const char* previousKey, char* buffer, int size);

/* DMA memory of a card: *ms receives the buffer's identifier, *address (when
 * not NULL) its address in the process. The buffer lives until
 * vdlpci_free_mem or the library's unload. */
int vdlpci_alloc_mem(void* handle, uint64_t size, void** address, uint32_t* ms,
                     uint32_t flags);
int vdlpci_free_mem(void* handle, uint32_t ms);
/* Bus address of a byte offset of a BAR or a DMA buffer. */
int vdlpci_ms_phys_addr(void* handle, uint32_t ms, uint64_t offset, uint64_t* address);
/* Cache synchronisation of a DMA buffer, VDLPCI_FLUSH_FOR_CPU or _FOR_DEVICE. */
int vdlpci_flush_cache(void* handle, uint32_t ms, int direction);

/* Blocks until an interrupt on the vector (0), the time-out in the driver's
 * unit (-9) or a cancel from another thread (-12). */
int vdlpci_int_wait(void* handle, int vector, uint32_t timeout, uint32_t* value);
int vdlpci_int_cancel_wait(void* handle, int vector);

/* Opens card 0 and reads its first configuration register: 0 when that works. */
int vdlpci_test(void);

#ifdef __cplusplus
}
#endif

#endif /* VDLSDK_PCI_H */

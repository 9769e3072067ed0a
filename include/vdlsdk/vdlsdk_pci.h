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
 * that vdlpci_int_cancel_wait may end a wait running in another thread.
 *
 * Codes. A check of the arguments that the comments mark "not logged" returns
 * at once; every other failure is first logged on the logger "general" at
 * error level. Besides the codes each function names:
 *  - any function may give -4 when memory runs out, and -1 for a failure
 *    outside the kit's own (its text logged);
 *  - "[L]" marks a function that may create the library object, which opens
 *    every card the driver counts. Creating it may fail with -38 (a card's
 *    node the process may not read and write), -1 (a failed driver request
 *    while a card is set up) or -13 (a card after card 0 that the driver
 *    counts but that cannot be opened; without card 0 the table is empty);
 *    the function then returns that code and the next call tries again;
 *  - an `index` is a position in the table of open cards (positions equal
 *    card numbers while cards are opened in order): -13 for one that is not
 *    in the table;
 *  - text out: -5 for a null buffer, -6 for a negative size or a size of 0
 *    or 1 that cannot hold the text, -33 for a text cut to fit (the buffer
 *    then holds its start, NUL-terminated);
 *  - a report that walks a capability list (MSI, MSI-X, PCI Express, AER)
 *    gives -13 when the card or bridge lacks the capability (a list that
 *    points into the header ends there), -3 for an entry that reads as all
 *    ones, and -1 or -34 when the list or a register of the capability
 *    cannot be read or written. */
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

/* "2024.1.0"; the text-out codes. Never creates the library object. */
int vdlpci_version(char* buffer, int size);

/* [L] Number of cards opened; 0 on any failure, which is not logged. */
int vdlpci_dev_count(void);

/* [L] 0, -5 for a null pointer (not logged), -13. */
int vdlpci_dev_id(int index, uint16_t* vendorId, uint16_t* deviceId,
                  uint16_t* subsystemVendorId, uint16_t* subsystemId);
/* [L] "bus:device.function", for example "3b:00.1"; 0, -13, the text-out
 * codes. */
int vdlpci_dev_location(int index, char* buffer, int size);
/* [L] The slot path the driver gave when the card was opened; empty when it
 * gave none or refused the request then. 0, -13, the text-out codes. Asks the
 * driver nothing. */
int vdlpci_dev_slot_uid(int index, char* buffer, int size);

/* [L] The card at `index`, opening card number `index` when it is not open
 * yet; the same handle every time. 0, or -5 for a null `handle` (not logged).
 * Opening gives -13 "Device ... does not exist" when the card's device node
 * is missing, -38 when the process may not read and write the node, -13 for
 * a card number beyond the next position of the table (open the cards below
 * it first), -13 when the driver will not open the node, and -1 when a driver
 * request setting the card up fails. *handle is set to NULL when the open
 * fails, and left as it was when the library object cannot be created. */
int vdlpci_dev_open(int index, void** handle);
/* [L] The handle's position in the table. 0, -5 for a null pointer (not
 * logged), -13 for a handle that is not a card of the table. */
int vdlpci_dev_index(void* handle, int* index);
/* [L] Leaves the card open: its handle stays usable. 0, or -5 for a null
 * handle. */
int vdlpci_dev_close(void* handle);

/* Looking up a memory space, as the size and element functions do, gives -39
 * while a link that was down when the card was opened is still down (every
 * call tests it again), -40 for a BAR of a card whose BAR registers held no
 * address when it was opened, -13 for a BAR number above 5, a configuration
 * identifier other than VDLPCI_MS_ID_CONFIG or an empty buffer slot, and -6
 * for an identifier of any other kind. */
/* The space's size in bytes. 0, -5 for a null pointer (not logged), or the
 * lookup's code. */
int vdlpci_ms_size(void* handle, uint32_t ms, uint64_t* size);

/* `count` elements from byte `offset` of memory space `ms`. The number of
 * elements transferred, 0 for a count of 0 or less, or a negative code: -5
 * for a null handle (not logged) or a null `data`; the lookup's code; -8 for
 * an element not wholly inside the configuration space or a DMA buffer, with
 * no driver request for it (an 8-byte configuration element is two dwords:
 * a first dword that fits is moved; the elements
 * before it were transferred), a 16-bit BAR element at an odd offset, or a
 * run that would pass the end of the address space; -1 when a driver request
 * of the configuration space fails, which ends the run.
 * A count below `count` comes from a BAR: each element whose driver request
 * fails is logged on "vdlsdk_pci", not counted, and the run goes on. So any
 * result below `count` is a failure; for one element, 0 means it was not read
 * or written. A link this process disabled (vdlpci_link_save with
 * VDLPCI_LINK_SAVE_DISABLE) does not give -39: every BAR element then fails,
 * reported as fewer elements transferred (0 of 1). */
int vdlpci_ms_read8s(void* handle, uint32_t ms, uint64_t offset, uint8_t* data, int count);
int vdlpci_ms_read16s(void* handle, uint32_t ms, uint64_t offset, uint16_t* data, int count);
int vdlpci_ms_read32s(void* handle, uint32_t ms, uint64_t offset, uint32_t* data, int count);
int vdlpci_ms_read64s(void* handle, uint32_t ms, uint64_t offset, uint64_t* data, int count);
int vdlpci_ms_write8s(void* handle, uint32_t ms, uint64_t offset, uint8_t* data, int count);
int vdlpci_ms_write16s(void* handle, uint32_t ms, uint64_t offset, uint16_t* data, int count);
int vdlpci_ms_write32s(void* handle, uint32_t ms, uint64_t offset, uint32_t* data, int count);
int vdlpci_ms_write64s(void* handle, uint32_t ms, uint64_t offset, uint64_t* data, int count);

/* The MSI and MSI-X set-up, read from the card's configuration space (no link
 * test). 0; -5 for a null pointer and -13 for a card without configuration
 * space (both not logged); the capability codes; for MSI -3 for a Multiple
 * Message Enable above 5. vdlpci_msi_info stores *enabled also when it fails:
 * the enable bit when it was read, else 0. */
int vdlpci_msi_info(void* handle, int* enabled, uint64_t* address, uint16_t* data,
                    int* vectors);
int vdlpci_msix_info(void* handle, msix_info* info);

/* [L] The card's link: flags (VDLPCI_LINK_STATUS_*), the speed and width both
 * ends can do, and the current ones; speeds are the raw speed codes, widths
 * lanes. 0; -5 for a null pointer (not logged); -13 (also for a card without
 * an upstream bridge); the capability codes. The flags are written only on
 * success. */
int vdlpci_link_status(int index, uint32_t* flags, int* maxSpeed, int* maxWidth,
                       int* currentSpeed, int* currentWidth);
/* The card's Device Status bits; cleared afterwards when `clear` is not 0. 0;
 * -5 for a null pointer and -13 for a card without configuration space (both
 * not logged); the capability codes (-34 also when the bits cannot be
 * cleared). *errors is written only on success. */
int vdlpci_link_errors(void* handle, int* errors, int clear);
/* [L] The saved state lives in the option file, under "device<index>/...". 0;
 * -13 (also "PCI/Parent PCI Config were not initalized" for a card without an
 * upstream bridge, with nothing done); the capability codes. Save: -1 when
 * the card's BAR registers cannot be read, -3 when none of them holds an
 * address, -14 when the option file cannot be written, -3 when the bridge
 * does not answer as the link is taken down. Restore: -3 for a saved state
 * that is missing or cannot be read, or a bridge that does not answer; -9
 * when the link training does not end; -1 when the card's BAR registers
 * cannot be written. A failure ends the operation; the steps done before it
 * stay done. */
int vdlpci_link_save(int index, uint32_t flags);
int vdlpci_link_restore(int index, uint32_t flags);

/* The library's option file, "vdlpci_config.json" in $VDLSDK_CONFIG. */
/* [L] The number of options, or the code of a library object that cannot be
 * created. */
int vdlpci_option_count(void);
/* [L] Stores the value as text and saves the file. 0; -5 for a null key or
 * value (not logged); -6 for a text that is not valid UTF-8; -14 when the file
 * cannot be written. */
int vdlpci_set_option(const char* key, const char* value);
/* [L] 0; -5 for a null key or buffer (not logged); -13 for a key that is not
 * there; -6 for a value that cannot be given as text; the text-out codes. */
int vdlpci_get_option(const char* key, char* buffer, int size);
/* [L] First key for a NULL previousKey, then the key after previousKey. 0;
 * -27 after the last one (logged as every failure); -13 when previousKey is
 * not a key; the text-out codes. */
int vdlpci_get_next_option_key(const char* previousKey, char* buffer, int size);

/* DMA memory of a card: *ms receives the buffer's identifier, *address (when
 * not NULL) its address in the process. The buffer lives until
 * vdlpci_free_mem or the library's unload. 0; -5 for a null handle or `ms`
 * and -7 for flags that do not name exactly one kind or that hold 0x20 or
 * 0x40 (all not logged); -4 when the card holds 65536 buffers. A kernel
 * buffer: -34 when the driver cannot allocate it or answers a shorter buffer
 * (also for a size of 0 or above 4 GiB - 1). Pinned memory: -4 when process
 * memory cannot be had (also for a size of 0 or above 4 GiB - 1), -5 when the
 * driver will not pin it. */
int vdlpci_alloc_mem(void* handle, uint64_t size, void** address, uint32_t* ms,
                     uint32_t flags);
/* 0; -5 for a null handle, -13 for an empty slot or one holding the other
 * kind, -7 for an identifier of any other kind (all not logged); -34 when the
 * driver will not free the buffer: it stays registered, and a later call may
 * try again (a kernel buffer is unmapped already). */
int vdlpci_free_mem(void* handle, uint32_t ms);
/* Bus address of a byte offset of a BAR or a DMA buffer. 0; -5 for a null
 * pointer, -13 for a BAR number above 5 or a slot without a buffer of that
 * kind, -2 for any other kind, the configuration space included (all not
 * logged); -8 for an offset out of its range. No link test. */
int vdlpci_ms_phys_addr(void* handle, uint32_t ms, uint64_t offset, uint64_t* address);
/* Cache synchronisation of a DMA buffer, VDLPCI_FLUSH_FOR_CPU or _FOR_DEVICE.
 * 0; -5 for a null handle, -7 for another direction, -2 for an identifier
 * that is not a DMA buffer's (all not logged); -34 when the driver's
 * synchronisation fails. A kernel buffer is looked up as a memory space (-39,
 * or -13 for an empty slot, logged; -13 for pinned memory in the slot, not
 * logged); pinned memory: -13 for a slot without it (not logged). */
int vdlpci_flush_cache(void* handle, uint32_t ms, int direction);

/* Blocks until an interrupt on the vector (0), the time-out in the driver's
 * unit (-9) or a cancel from another thread (-12); -34 when the driver ended
 * the wait otherwise. Once the wait was sent, *value holds what the driver
 * reported, whatever the outcome. -5 for a null pointer (not logged); -6 for
 * a vector below 0 or not below the card's vector count, sending nothing. */
int vdlpci_int_wait(void* handle, int vector, uint32_t timeout, uint32_t* value);
/* 0; -5 for a null handle (not logged); -6 for a vector as above; -34 when the
 * driver refuses the cancel (the wait then goes on to its time-out). */
int vdlpci_int_cancel_wait(void* handle, int vector);

/* [L] Opens card 0 and reads its first configuration register: 0 when that
 * works; the codes of opening card 0 (vdlpci_dev_open: -13 when it has no
 * node), -1 when the read fails. */
int vdlpci_test(void);

#ifdef __cplusplus
}
#endif

#endif /* VDLSDK_PCI_H */

#ifndef VDLSDK_VDLCARD_H
#define VDLSDK_VDLCARD_H
/* The driver interface of libvdlsdk_pci: the records, request numbers and
 * command words of the card's kernel driver, and the vdlcard_* functions that
 * are the only code touching a card's device node. Usable from C and C++.
 *
 * Records travel in the host's byte order with the layout of 64-bit Linux.
 * Padding is spelled out as fields so that a record initialised with {0}
 * (C) or {} (C++) reaches the driver with every byte zero. */
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Device node of card N: the prefix followed by N in decimal. */
#define VDLCARD_NODE_PREFIX "/dev/vdlsdk_pci/vdlpci"
#define VDLCARD_NODE_PATH_MAX 100

/* The only flags value vdlcard_Open accepts. */
#define VDLCARD_OPEN_FLAGS 1u

/* ioctl requests (type 'x', numbers 1 to 21); the values are fixed. */
#define VDLCARD_REQ_STATUS_WORD 0x80047801ul     /* 1: uint32_t */
#define VDLCARD_REQ_DEVICE_ID 0x80047802ul       /* 2: uint32_t, vendor 15-0, device 31-16 */
#define VDLCARD_REQ_SUBSYSTEM_ID 0x80047803ul    /* 3: uint32_t, subsystem vendor, subsystem */
#define VDLCARD_REQ_UPSTREAM 0x80087804ul        /* 4: vdlcard_command -> upstream descriptor */
#define VDLCARD_REQ_COMMAND 0xc0087805ul         /* 5: vdlcard_command */
#define VDLCARD_REQ_CONTIG_ALLOC 0x40047806ul    /* 6: vdlcard_contig_request */
#define VDLCARD_REQ_CONTIG_FREE 0x40047807ul     /* 7: vdlcard_contig_request */
#define VDLCARD_REQ_CONTIG_SELECT 0x40047808ul   /* 8: vdlcard_contig_request */
#define VDLCARD_REQ_MAP_MODE 0x40047809ul        /* 9: int32_t mapping mode */
#define VDLCARD_REQ_BAR_SIZE 0xc008780aul        /* 10: vdlcard_bar_query */
#define VDLCARD_REQ_LOCATION 0x8004780bul        /* 11: uint32_t, bus 31-16, dev 15-8, fn 7-0 */
#define VDLCARD_REQ_SLOT_PATH 0x8008780cul       /* 12: vdlcard_slot_path */
#define VDLCARD_REQ_INT_WAIT 0xc008780dul        /* 13: vdlcard_int_wait */
#define VDLCARD_REQ_INT_CANCEL 0x4008780eul      /* 14: int32_t vector */
#define VDLCARD_REQ_LOCK 0xc008780ful            /* 15: vdlcard_lock_record */
#define VDLCARD_REQ_UNLOCK 0x40087810ul          /* 16: vdlcard_lock_record */
#define VDLCARD_REQ_LOCK_SYNC_DEV 0x40087811ul   /* 17: vdlcard_lock_record */
#define VDLCARD_REQ_LOCK_SYNC_CPU 0x40087812ul   /* 18: vdlcard_lock_record */
#define VDLCARD_REQ_CONTIG_SYNC_DEV 0x40087813ul /* 19: vdlcard_contig_request */
#define VDLCARD_REQ_CONTIG_SYNC_CPU 0x40087814ul /* 20: vdlcard_contig_request */
#define VDLCARD_REQ_BAR_ADDRESS 0xc0087815ul     /* 21: vdlcard_bar_query */

/* Mapping modes of request 9. */
#define VDLCARD_MAP_MODE_NONE 0
#define VDLCARD_MAP_MODE_CONTIG 1

/* Command words of request 5 (and the packet of request 4). */
#define VDLCARD_CMD_CARD_COUNT 0x91000100u
#define VDLCARD_CMD_CFG_READ8 0x91000200u
#define VDLCARD_CMD_CFG_READ16 0x91000300u
#define VDLCARD_CMD_CFG_READ32 0x91000400u
#define VDLCARD_CMD_CFG_WRITE8 0x91000500u
#define VDLCARD_CMD_CFG_WRITE16 0x91000600u
#define VDLCARD_CMD_CFG_WRITE32 0x91000700u
#define VDLCARD_CMD_UP_READ8 0x91000800u
#define VDLCARD_CMD_UP_READ16 0x91000900u
#define VDLCARD_CMD_UP_READ32 0x91000A00u
#define VDLCARD_CMD_UP_WRITE8 0x91000B00u
#define VDLCARD_CMD_UP_WRITE16 0x91000C00u
#define VDLCARD_CMD_UP_WRITE32 0x91000D00u
/* BAR commands carry the low 8 bits of the BAR number in bits 7-0. */
#define VDLCARD_CMD_BAR_READ32 0x91003000u
#define VDLCARD_CMD_BAR_READ64 0x91004000u
#define VDLCARD_CMD_BAR_WRITE32 0x91007000u
#define VDLCARD_CMD_BAR_WRITE64 0x91008000u
#define VDLCARD_CMD_BAR_MASK 0xFFu

/* Modes of vdlcard_Status. */
#define VDLCARD_STATUS_WORD 0x11001u
#define VDLCARD_STATUS_DEVICE_ID 0x11002u
#define VDLCARD_STATUS_SUBSYSTEM_ID 0x11003u
#define VDLCARD_STATUS_UPSTREAM 0x11004u
#define VDLCARD_STATUS_COMMAND 0x11005u
#define VDLCARD_STATUS_BAR_SIZE 0x11006u
#define VDLCARD_STATUS_LOCATION 0x11007u
#define VDLCARD_STATUS_SLOT_PATH 0x11008u
#define VDLCARD_STATUS_BAR_ADDRESS 0x11009u

/* Modes of vdlcard_Control; every valid mode has VDLCARD_CONTROL_BIT set. */
#define VDLCARD_CONTROL_BIT 0x10000u
#define VDLCARD_CONTROL_ALLOC 0x10001u
#define VDLCARD_CONTROL_FREE 0x10002u
#define VDLCARD_CONTROL_INT_WAIT 0x10003u
#define VDLCARD_CONTROL_INT_CANCEL 0x10004u
#define VDLCARD_CONTROL_SYNC_FOR_DEV 0x10005u
#define VDLCARD_CONTROL_SYNC_FOR_CPU 0x10006u

/* Outcomes of an interrupt wait (vdlcard_int_wait.status); 0 means the
 * driver did not complete the wait. */
#define VDLCARD_WAIT_NONE 0u
#define VDLCARD_WAIT_TIMEOUT 1u
#define VDLCARD_WAIT_CANCELLED 2u
#define VDLCARD_WAIT_INTERRUPT 3u

#define VDLCARD_UPSTREAM_DESCRIPTOR_SIZE 40u
#define VDLCARD_SLOT_PATH_SIZE 128u

/* The command packet of requests 4 and 5 (40 bytes). Configuration and
 * upstream writes carry their value in readBuffer with readCount 1; BAR
 * writes carry it in writeBuffer with writeCount 1. */
typedef struct vdlcard_command {
    uint32_t command;
    uint32_t writeCount;
    const void* writeBuffer;
    uint32_t readCount;
    uint32_t reserved0;
    void* readBuffer;
    uint64_t address;
} vdlcard_command;

/* The driver's description of the bridge above a card (40 bytes); only the
 * two IDs mean anything to the library, the rest travels back unchanged. */
typedef struct vdlcard_upstream_descriptor {
    uint8_t driver0[8];
    uint16_t vendorId;
    uint16_t deviceId;
    uint8_t driver1[28];
} vdlcard_upstream_descriptor;

/* Requests 10 (size) and 21 (bus address) of one BAR (16 bytes). */
typedef struct vdlcard_bar_query {
    uint32_t bar;
    uint32_t reserved0;
    uint64_t value;
} vdlcard_bar_query;

/* Request 12: the driver writes a NUL-terminated text of at most length
 * bytes into buffer (16 bytes). */
typedef struct vdlcard_slot_path {
    char* buffer;
    uint32_t length;
    uint32_t reserved0;
} vdlcard_slot_path;

/* Index of the address words in vdlcard_contig_request.phys: the driver
 * puts the high word first. */
#define VDLCARD_PHYS_HI 0
#define VDLCARD_PHYS_LO 1

/* A contiguous DMA buffer (24 bytes). The driver does not read vaddr. */
typedef struct vdlcard_contig_request {
    uint32_t phys[2];
    void* vaddr;
    uint32_t len;
    uint32_t reserved0;
} vdlcard_contig_request;

/* One mapped contiguous buffer on a handle's list; process memory only.
 * phys holds the request's two words in the request's order. */
typedef struct vdlcard_contig_node {
    uint64_t phys;
    void* vaddr;
    uint32_t len;
    struct vdlcard_contig_node* next;
    struct vdlcard_contig_node* prev;
} vdlcard_contig_node;

/* The driver handle: allocated by vdlcard_Open, freed by vdlcard_Close. */
typedef struct vdlcard_handle {
    int fd;
    vdlcard_contig_node* head;
    vdlcard_contig_node* tail;
} vdlcard_handle;

/* One page of a pinned region (16 bytes): the driver writes phys. */
typedef struct vdlcard_page_entry {
    uint64_t phys;
    uint64_t reserved0;
} vdlcard_page_entry;

/* A pinned user region with its page table (40 bytes). Entry i describes
 * the i-th page counted from the page that holds addr. */
typedef struct vdlcard_lock_record {
    uint32_t npages;
    uint32_t reserved0;
    vdlcard_page_entry* pages;
    void* addr;
    uint32_t size;
    uint32_t reserved1;
    uint64_t reserved2;
} vdlcard_lock_record;

/* Request 13 (16 bytes). The caller sets status to 0; the driver writes
 * status and, with VDLCARD_WAIT_INTERRUPT, value. */
typedef struct vdlcard_int_wait {
    uint32_t vector;
    uint32_t timeout;
    uint32_t status;
    uint32_t value;
} vdlcard_int_wait;

#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L)
#ifdef __cplusplus
#define VDLCARD_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define VDLCARD_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
VDLCARD_STATIC_ASSERT(sizeof(void*) == 8, "the driver records assume 64-bit Linux");
VDLCARD_STATIC_ASSERT(sizeof(vdlcard_command) == 40, "vdlcard_command is 40 bytes");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_command, writeCount) == 4, "vdlcard_command.writeCount");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_command, writeBuffer) == 8, "vdlcard_command.writeBuffer");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_command, readCount) == 16, "vdlcard_command.readCount");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_command, readBuffer) == 24, "vdlcard_command.readBuffer");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_command, address) == 32, "vdlcard_command.address");
VDLCARD_STATIC_ASSERT(sizeof(vdlcard_upstream_descriptor) == VDLCARD_UPSTREAM_DESCRIPTOR_SIZE,
                      "vdlcard_upstream_descriptor is 40 bytes");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_upstream_descriptor, vendorId) == 8,
                      "vdlcard_upstream_descriptor.vendorId");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_upstream_descriptor, deviceId) == 10,
                      "vdlcard_upstream_descriptor.deviceId");
VDLCARD_STATIC_ASSERT(sizeof(vdlcard_bar_query) == 16, "vdlcard_bar_query is 16 bytes");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_bar_query, value) == 8, "vdlcard_bar_query.value");
VDLCARD_STATIC_ASSERT(sizeof(vdlcard_slot_path) == 16, "vdlcard_slot_path is 16 bytes");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_slot_path, length) == 8, "vdlcard_slot_path.length");
VDLCARD_STATIC_ASSERT(sizeof(vdlcard_contig_request) == 24, "vdlcard_contig_request is 24 bytes");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_contig_request, vaddr) == 8, "vdlcard_contig_request.vaddr");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_contig_request, len) == 16, "vdlcard_contig_request.len");
VDLCARD_STATIC_ASSERT(sizeof(vdlcard_lock_record) == 40, "vdlcard_lock_record is 40 bytes");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_lock_record, pages) == 8, "vdlcard_lock_record.pages");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_lock_record, addr) == 16, "vdlcard_lock_record.addr");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_lock_record, size) == 24, "vdlcard_lock_record.size");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_lock_record, reserved2) == 32, "vdlcard_lock_record.reserved");
VDLCARD_STATIC_ASSERT(sizeof(vdlcard_page_entry) == 16, "vdlcard_page_entry is 16 bytes");
VDLCARD_STATIC_ASSERT(sizeof(vdlcard_int_wait) == 16, "vdlcard_int_wait is 16 bytes");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_int_wait, timeout) == 4, "vdlcard_int_wait.timeout");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_int_wait, status) == 8, "vdlcard_int_wait.status");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_int_wait, value) == 12, "vdlcard_int_wait.value");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_handle, head) == 8, "vdlcard_handle.head");
VDLCARD_STATIC_ASSERT(offsetof(vdlcard_handle, tail) == 16, "vdlcard_handle.tail");
#undef VDLCARD_STATIC_ASSERT
#endif

/* Opens card cardnum's node read-write and synchronous; flags must be
 * VDLCARD_OPEN_FLAGS. Null on failure (logged on "vdlsdk_pci"). */
vdlcard_handle* vdlcard_Open(uint32_t cardnum, uint32_t flags);

/* Closes the node and frees the handle. The buffer list is not walked:
 * free every contiguous buffer first. Null is allowed. */
void vdlcard_Close(vdlcard_handle* hcard);

/* A status request (VDLCARD_STATUS_*): the ioctl result, or -1 for a null
 * handle or record or an unknown mode, without a request. */
int vdlcard_Status(vdlcard_handle* hcard, uint32_t cmdmode, void* value);

/* A control request (VDLCARD_CONTROL_*). Allocation answers 0, the driver's
 * refusal of request 6, or -1 when a later step failed and was undone or the
 * driver gave a shorter buffer than asked (logged, and handed back); a longer
 * one is kept, and its length replaces the record's; free
 * answers -1 for a record that is not a buffer on the handle's list (its
 * mapping, length and bus address as the allocation gave them) and when the
 * driver refuses request 7: the buffer is unmapped first, as the driver
 * expects, and then stays listed with a null vaddr, so a free of the same
 * record with a null vaddr asks the driver again; cancel
 * and the two syncs answer -1 when the driver refuses them; a wait answers 0
 * whatever the driver says (its outcome is its status). */
int vdlcard_Control(vdlcard_handle* hcard, uint32_t cmdmode, void* value);

/* Traces its arguments and answers 0; sends nothing. */
int vdlcard_Readback(vdlcard_handle* hcard, uint32_t device, void* data, uint32_t bytelen,
                     uint64_t offset, uint32_t flags);

/* One BAR register access (the low 8 bits of bar are used): the width in
 * bytes when the driver carried it out, 0 otherwise. Nothing is logged. */
uint64_t vdlcard_Read32(vdlcard_handle* hcard, uint32_t bar, uint32_t* data, uint64_t offset);
uint64_t vdlcard_Read64(vdlcard_handle* hcard, uint32_t bar, uint64_t* data, uint64_t offset);
uint64_t vdlcard_Write32(vdlcard_handle* hcard, uint32_t bar, const uint32_t* data,
                         uint64_t offset);
uint64_t vdlcard_Write64(vdlcard_handle* hcard, uint32_t bar, const uint64_t* data,
                         uint64_t offset);

/* The handle's list of mapped contiguous buffers. */
vdlcard_contig_node* vdlcard_contig_buffer_list_add(vdlcard_handle* hcard,
                                                    const vdlcard_contig_request* request);
void vdlcard_contig_buffer_list_remove(vdlcard_handle* hcard, vdlcard_contig_node* node);
vdlcard_contig_node* vdlcard_find_buffer_from_list(vdlcard_handle* hcard, const void* vaddr);

/* Pinned user memory. vdlcard_lockmem answers null on any failure; the
 * record is the caller's until vdlcard_unlockmem frees it, and its npages,
 * pages, addr and size stay as allocated whatever the driver writes back
 * (it fills at most npages entries of the table). vdlcard_unlockmem
 * answers -1 and keeps the record when the driver refuses to unpin: the
 * region is still pinned and must not be freed; the call may be repeated. */
vdlcard_lock_record* vdlcard_lockmem(vdlcard_handle* hcard, void* addr, uint32_t size);
int vdlcard_unlockmem(vdlcard_handle* hcard, vdlcard_lock_record* record);
int vdlcard_lockedmem_sync_for_dev(vdlcard_handle* hcard, vdlcard_lock_record* record);
int vdlcard_lockedmem_sync_for_cpu(vdlcard_handle* hcard, vdlcard_lock_record* record);

#ifdef __cplusplus
} /* extern "C" */

/* Whether the process may read and write card cardnum's node. Raises
 * VDLException<-13> "Device {} does not exist" when the node does not
 * exist; any other failure of the test answers false. A C++ function, since
 * no exception may cross a C boundary, exported under its plain name. */
bool vdlcard_has_access(int32_t cardnum) __asm__("vdlcard_has_access");
#endif

#endif /* VDLSDK_VDLCARD_H */

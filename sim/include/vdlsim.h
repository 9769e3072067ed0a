/*
 * vdlsim: a user-space stand-in for the card's kernel driver.
 *
 * Loaded into a process (as a needed library or with LD_PRELOAD), libvdlsim takes
 * over open, close, ioctl, mmap, munmap, access and faccessat for the device nodes
 * "/dev/vdlsdk_pci/vdlpci<N>" and for the descriptors it handed out; every other
 * call goes to the C library. Behind the nodes it models cards, the bridge above
 * each card and the link between them, DMA memory and interrupts, and it checks
 * every request against the driver protocol.
 *
 * This header is the control interface for tests and examples. All functions may
 * be called from any thread, at any time (also before the first open of a node);
 * the model is created on first use. Functions that return int answer 0 on
 * success and a negative errno value on failure (-EINVAL for a bad argument, -ENOENT
 * for a card that is not configured) unless their comment says otherwise.
 *
 * Cards are numbered 0 to VDLSIM_MAX_CARDS - 1; card N is served at
 * /dev/vdlsdk_pci/vdlpciN while its node is present.
 */
#ifndef VDLSIM_H
#define VDLSIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VDLSIM_MAX_CARDS 16
#define VDLSIM_NUM_BARS 6
#define VDLSIM_CONFIG_SIZE 4096
#define VDLSIM_DESCRIPTOR_SIZE 40
/* Vectors a wait (request 13) or cancel (request 14) may name: 0 to this - 1. */
#define VDLSIM_MAX_VECTORS 2048
/* Largest contiguous buffer request 6 allocates; larger lengths fail with ENOMEM. */
#define VDLSIM_MAX_CONTIG_LEN (256u * 1024u * 1024u)

/* ------------------------------------------------------------------------ */
/* Scenario and reset                                                        */
/* ------------------------------------------------------------------------ */

/*
 * The start-up scenario, applied on first use and by vdlsim_reset():
 *  - Environment VDLSIM_CARDS=<n> (0 to VDLSIM_MAX_CARDS): cards 0 to n - 1 get the
 *    default model with their node present. Without it: one card, card 0 (also
 *    when the value is not such a number, after a warning on standard error).
 *  - Environment VDLSIM_SCENARIO=<file>: a scenario file (format in sim/README.md),
 *    read after VDLSIM_CARDS; lines such as "cards 2", "count 4", "card 1 absent",
 *    "card 0 load card FILE 01:00.0", "card 0 nobridge".
 *  - Environment VDLSIM_VERBOSE=1: every protocol violation is also printed on
 *    standard error (useful for preloaded programs).
 * The card count that command 0x91000100 answers is, by default, the number of
 * configured cards (see vdlsim_set_card_count_answer).
 */

/*
 * Back to the start-up scenario: every card model, configuration space, mask,
 * link state, DMA buffer and pinned region, pending interrupt, fault rule, BAR
 * callback, the request log and the violation list are discarded and the scenario
 * is applied again. Descriptors opened before stay open, but every request on
 * them fails with ENODEV (close them). Mappings already made stay valid memory
 * of the process but are no longer known to the model.
 * Must not be called while a thread waits in request 13.
 */
void vdlsim_reset(void);

/*
 * Removes every card (no node present, count answer 0): the starting point for a
 * test that builds its own scenario with vdlsim_card_setup().
 */
void vdlsim_clear_cards(void);

/*
 * Applies a scenario text (the format of a VDLSIM_SCENARIO file) on top of the
 * current model. Returns 0, or -EINVAL and sets nothing from the first bad line on
 * (its 1-based line number in *bad_line when bad_line is not null).
 */
int vdlsim_apply_scenario(const char *text, int *bad_line);

/* ------------------------------------------------------------------------ */
/* Card models                                                               */
/* ------------------------------------------------------------------------ */

/*
 * (Re)creates card `card` with the default model and its node present:
 *  - card: PCI Express endpoint, vendor 0x1F3A device 0x0100, subsystem 0x1F3A:0x0001,
 *    class 0x120000; capabilities PM (0x40), MSI (0x50, 64-bit, 32 vectors capable,
 *    disabled), PCI Express (0x70, endpoint, link capable 16 GT/s x16, running
 *    8 GT/s x8), MSI-X (0xB0, 32 vectors, enabled, table BAR 2 offset 0, PBA BAR 2
 *    offset 0x800); extended capabilities AER (0x100) and Device Serial Number (0x148).
 *  - BARs (32-bit memory): BAR0 1 MiB at 0xF0000000, BAR2 64 KiB at 0xF0100000,
 *    BAR4 4 KiB at 0xF0110000; BAR1, BAR3, BAR5 absent (size 0). BAR N of card C
 *    is placed 0x01000000 * C higher. Each BAR has zero-filled memory behind it.
 *  - location word: bus C + 1, device 0, function 0;
 *    slot path "/sys/devices/pci0000:00/0000:00:01.<C>/0000:<bus>:00.0".
 *  - upstream bridge: PCI Express root port, vendor 0x1F3A device 0x0200, class
 *    0x060400; PM (0x40), MSI (0x50), PCI Express (0x60, root port, link capable
 *    8 GT/s x8, Data Link Layer Link Active reporting), AER (0x100, Surprise Down
 *    unmasked); link up at 8 GT/s x8, 2 reads of Link Training after a retrain.
 *  - access allowed, open errno 0.
 * The reset image of the card (see vdlsim_link_set_reset_on_down) is this image
 * with Command and the BAR registers cleared, as a function comes out of reset.
 * Descriptors open on the card go on working on the new model (the DMA buffers and
 * pinned regions they held are dropped). Returns -EINVAL for a card number out of
 * range.
 */
int vdlsim_card_setup(unsigned card);

/* Removes card `card` from the model: its node is absent, as if never configured;
 * requests on descriptors still open on it fail with ENODEV. */
int vdlsim_card_remove(unsigned card);

/*
 * Node present (1) or absent (0) for a configured card: an absent node answers
 * open and access with ENOENT; the model keeps its state.
 */
int vdlsim_card_set_present(unsigned card, int present);

/*
 * access()/faccessat() for R_OK and W_OK answer EACCES when refused (0); the node
 * still exists (F_OK succeeds) and open is not affected (see open errno).
 */
int vdlsim_card_set_access(unsigned card, int allowed);

/* open() of the node fails with this errno (0: open succeeds). */
int vdlsim_card_set_open_errno(unsigned card, int err);

/*
 * Identity words: writes them into the card's configuration space (vendor and
 * device ID at 0x00, subsystem IDs at 0x2C), which requests 2 and 3 report.
 */
int vdlsim_card_set_ids(unsigned card, uint16_t vendor, uint16_t device,
                        uint16_t subsystem_vendor, uint16_t subsystem);

/* Location word of request 11: bus in bits 31-16, device 15-8, function 7-0. */
int vdlsim_card_set_location(unsigned card, uint16_t bus, uint8_t device, uint8_t function);

/* Slot path text of request 12; null makes request 12 fail with ENOENT. */
int vdlsim_card_set_slot_path(unsigned card, const char *path);

/*
 * BAR `bar` (0-5): size in bytes, a power of two from 16 to 2^36 (0: absent;
 * requests 10 and 21 answer 0 and BAR accesses fail with EINVAL) and bus address
 * (request 21). The memory behind it is re-created zero-filled. The BAR register
 * in the configuration space is set to the bus address's low 32 bits (32-bit
 * memory BAR) and its write mask to the size. A BAR access beyond the size fails
 * with EINVAL; an unaligned one within the size is served.
 */
int vdlsim_card_set_bar(unsigned card, unsigned bar, uint64_t size, uint64_t bus_address);

/*
 * The memory behind BAR `bar` (null for an absent BAR or card). Valid until the
 * BAR is set again, the card is set up or removed, or vdlsim_reset().
 */
void *vdlsim_card_bar_memory(unsigned card, unsigned bar);

/*
 * The number of cards command 0x91000100 answers. count >= 0: that number, whatever
 * nodes exist; -1 (the default): the number of configured cards.
 */
void vdlsim_set_card_count_answer(int32_t count);

/* Number of descriptors currently open on card `card` (0 for an unknown card). */
int vdlsim_card_open_count(unsigned card);

/* ------------------------------------------------------------------------ */
/* Configuration spaces                                                      */
/* ------------------------------------------------------------------------ */

/* Which configuration space of a card a call addresses. */
enum vdlsim_space {
    VDLSIM_SPACE_CARD = 0,
    VDLSIM_SPACE_BRIDGE = 1
};

/*
 * Bridge present (1) or absent (0). Without a bridge request 4 and every
 * upstream command fail with ENODEV and the card's link is always up.
 */
int vdlsim_bridge_set_present(unsigned card, int present);

/*
 * Reads `width` (1, 2 or 4) bytes of a configuration image as the model holds it:
 * a card behind a link that is down still shows its registers here; the bridge's
 * Link Status shows the link as a driver read would, without counting the read
 * as one of a training's reads.
 */
int vdlsim_config_peek(unsigned card, int space, unsigned offset, unsigned width,
                       uint32_t *value);

/* Sets bytes of a configuration image directly: no write masks, no Retrain Link.
 * The link follows the bridge's Link Disable bit whatever set it. */
int vdlsim_config_poke(unsigned card, int space, unsigned offset, unsigned width,
                       uint32_t value);

/*
 * Write masks of `len` bytes from `offset`: per byte, the bits in `rw` are
 * read-write, the bits in `w1c` are write-1-to-clear, all other bits are read-only.
 * `rw` and `w1c` are little-endian 32-bit patterns repeated every 4 bytes (so for a
 * 16-bit register at 0x12 pass its mask in bits 31-16, or shift it to bits 15-0 and
 * pass offset 0x12, len 2).
 */
int vdlsim_config_set_masks(unsigned card, int space, unsigned offset, unsigned len,
                            uint32_t rw, uint32_t w1c);

/* Reads back the masks of one byte. */
int vdlsim_config_get_masks(unsigned card, int space, unsigned offset, uint8_t *rw,
                            uint8_t *w1c);

/*
 * Derives the write masks of a whole image from its contents: everything read-only,
 * then the registers this model knows made writable or write-1-to-clear where the
 * image has them (Command, Status, BARs, Cache Line Size, Latency Timer, Interrupt
 * Line, bridge bus numbers and windows, Bridge Control, PM Control/Status, MSI
 * and MSI-X control and message registers, PCI Express Device, Link and Slot
 * Control and Status, AER status, mask, severity and control registers).
 * Loading an image calls this.
 */
int vdlsim_config_default_masks(unsigned card, int space);

/*
 * Loads a configuration image from text in the form `lspci -xxxx` prints
 * ("OFF: bb bb ..." lines under a header line "[[domain:]bus:]dev.fn ..."),
 * lspci's decoded lines being ignored. `function` selects the function by its
 * address ("04:00.0" or "0000:04:00.0"); null takes the first function of the text.
 * Bytes the text does not give (the extended space of a 256-byte dump) read 0.
 * The image also becomes the reset image of the space (with Command and, for an
 * endpoint, the BAR registers cleared), its masks are derived
 * (vdlsim_config_default_masks), and for the card the BAR models keep their sizes
 * (BAR registers writable per those sizes) while the registers keep the dump's
 * values. Loading the bridge's image brings the link up and changes the
 * descriptor request 4 hands out (new IDs).
 * Returns -ENOENT when the function is not in the text, -EINVAL when the text has
 * no hex lines for it or a malformed one.
 */
int vdlsim_config_load_lspci_text(unsigned card, int space, const char *text,
                                  const char *function);

/* As vdlsim_config_load_lspci_text, from a file (-errno of a failed read). */
int vdlsim_config_load_lspci_file(unsigned card, int space, const char *path,
                                  const char *function);

/* ------------------------------------------------------------------------ */
/* Link between bridge and card                                              */
/* ------------------------------------------------------------------------ */

/*
 * The link follows the bridge's Link Control: Link Disable (bit 4) takes it down,
 * clearing it brings it up again; Retrain Link (bit 5) reads back 0 and starts a
 * training, shown by Link Training (Link Status bit 11) for the configured
 * number of configuration reads of the bridge's Link Status; bringing the link up
 * trains as well. While the link is down, configuration reads of the card answer
 * all ones (the request succeeds), configuration writes of the card are dropped,
 * BAR requests fail with EIO, and the bridge's Link Status shows Data Link Layer
 * Link Active (bit 13, when Link Capabilities has Data Link Layer Link Active
 * Reporting Capable) clear. When the link goes down while the bridge's AER
 * Uncorrectable Error Mask has Surprise Down (bit 5) clear, bit 5 of its
 * Uncorrectable Error Status is set (write 1 to clear).
 */

/* Number of Link Status reads that show Link Training after a retrain (default 2);
 * UINT32_MAX: training never ends. */
int vdlsim_link_set_training_reads(unsigned card, uint32_t reads);

/*
 * Takes the link down (0) or up (1) from outside, as a surprise down or a link
 * partner coming back would: Link Disable is not touched; while Link Disable is
 * set the link stays down whatever this says.
 */
int vdlsim_link_set_up(unsigned card, int up);

/* 1 when the link is up, 0 when down, negative errno for an unknown card. */
int vdlsim_link_is_up(unsigned card);

/*
 * When on (default off), a link that goes down resets the card: its configuration
 * image returns to its reset image (the image of setup or load), as a real card
 * behind a disabled link loses BARs and MSI set-up.
 */
int vdlsim_link_set_reset_on_down(unsigned card, int on);

/* ------------------------------------------------------------------------ */
/* DMA memory                                                                */
/* ------------------------------------------------------------------------ */

/*
 * Contiguous buffers (request 6) are memfd-backed; their bus addresses are page
 * aligned, start at 0x0000000180000000 and never repeat within a scenario. Pinned
 * user pages (request 15) get one bus address per page, deliberately not
 * contiguous from one page to the next. The model keeps a bus-to-host map of both,
 * so a device (a BAR callback) can reach host memory by bus address.
 */

/* Copies `len` bytes from host memory at bus address `bus` of card `card`. The whole
 * range must lie in one contiguous buffer, or in one page of a pinned region (the
 * pages' bus addresses are not contiguous), of the card: else -EFAULT. */
int vdlsim_dma_read(unsigned card, uint64_t bus, void *data, size_t len);

/* Copies `len` bytes into host memory at bus address `bus`; as vdlsim_dma_read. */
int vdlsim_dma_write(unsigned card, uint64_t bus, const void *data, size_t len);

/* Host address of bus address `bus` when the `len` bytes from it lie in one
 * contiguous buffer or in one page of a pinned region of the card; else null (also
 * for a pinned page the process has unmapped since: the DMA calls then give -EFAULT). */
void *vdlsim_dma_host_address(unsigned card, uint64_t bus, size_t len);

/* Number of contiguous buffers and of pinned regions the card currently holds. */
int vdlsim_dma_buffer_count(unsigned card);
int vdlsim_dma_pinned_count(unsigned card);

/*
 * A driver that answers other than it was asked, for tests of what the library
 * trusts. Request 6 of the card allocates and answers buffers of `len` bytes
 * whatever length was asked (as a driver that rounds up, or one that gives
 * less); later requests on such a buffer must name that length. 0 (the default)
 * answers the length asked; above VDLSIM_MAX_CONTIG_LEN: -EINVAL.
 */
int vdlsim_dma_set_contig_answer_len(unsigned card, uint32_t len);

/*
 * Request 15 of the card, once it has filled the page table (an entry for every
 * page the region spans, never more), writes `npages` into the record's page
 * count; requests 16 to 18 still name the region by the record it was pinned
 * with. 0 (the default) leaves the count as it came.
 */
int vdlsim_dma_set_lock_answer_npages(unsigned card, uint32_t npages);

/* ------------------------------------------------------------------------ */
/* Interrupts                                                                */
/* ------------------------------------------------------------------------ */

/*
 * Request 13 waits on (card, vector) until the vector is raised (status 3, value),
 * its time-out passes (status 1; the time-out is in milliseconds, 0 only takes an
 * interrupt already pending) or request 14 for the vector arrives on any
 * descriptor of the card (status 2). A raise with no waiter is kept pending and
 * ends the next wait at once; a cancel with no waiter does nothing.
 */

/* Raises the vector: every current waiter gets status 3 and `value`; with none,
 * the interrupt stays pending (a second raise replaces the pending value). */
int vdlsim_irq_raise(unsigned card, unsigned vector, uint32_t value);

/* Drops a pending interrupt of the vector. */
int vdlsim_irq_clear(unsigned card, unsigned vector);

/* Number of threads blocked in request 13 on the vector now. */
int vdlsim_irq_waiters(unsigned card, unsigned vector);

/* Blocks until at least `count` threads are blocked in request 13 on the vector
 * (0), or `timeout_ms` passes (-ETIMEDOUT). */
int vdlsim_irq_wait_for_waiters(unsigned card, unsigned vector, unsigned count,
                                unsigned timeout_ms);

/* ------------------------------------------------------------------------ */
/* Device behaviour                                                          */
/* ------------------------------------------------------------------------ */

/* Results of a BAR callback. */
#define VDLSIM_BAR_HANDLED 0   /* the callback served the access */
#define VDLSIM_BAR_DEFAULT 1   /* carry on with the BAR's memory */
/* any negative value: the request fails with errno = -value */

/*
 * Called for every BAR request of the card that passed the protocol checks and the
 * link and range tests, before the BAR's memory is touched, without any lock of
 * the model held (so it may call every vdlsim_* function, e.g. vdlsim_dma_write and
 * vdlsim_irq_raise). `value` points to the width's bytes: for a read the callback
 * fills it when it answers VDLSIM_BAR_HANDLED; for a write it holds the value
 * written. With VDLSIM_BAR_DEFAULT a write goes to memory afterwards and a read
 * comes from memory. Called from the thread that made the request.
 */
typedef int (*vdlsim_bar_callback)(void *context, unsigned card, unsigned bar, int is_write,
                                   uint64_t offset, void *value, unsigned width);

/* Installs (or with null removes) the callback of a card. */
int vdlsim_set_bar_callback(unsigned card, vdlsim_bar_callback callback, void *context);

/* ------------------------------------------------------------------------ */
/* Request log                                                               */
/* ------------------------------------------------------------------------ */

/* What a log entry records. */
enum vdlsim_event {
    VDLSIM_EV_IOCTL = 0,
    VDLSIM_EV_OPEN = 1,
    VDLSIM_EV_CLOSE = 2,
    VDLSIM_EV_MMAP = 3,
    VDLSIM_EV_MUNMAP = 4,
    VDLSIM_EV_ACCESS = 5
};

/*
 * One logged call, in the order the model served them.
 *  request: the ioctl request value; VDLSIM_FAULT_OPEN for open, VDLSIM_FAULT_MMAP
 *           for mmap; 0 for close, munmap and access.
 *  command: the command word for request 5 (0 otherwise).
 *  address: request 5: the packet's address field; 10, 21: the BAR number;
 *           13, 14: the vector; 6, 7, 8, 19, 20: the record's bus address;
 *           15-18: the region's start address; mmap: the offset; access: the mode.
 *  value:   request 5: the value read (as the driver wrote it) or written, zero
 *           extended (card count: the count; upstream descriptor, request 4: 0);
 *           2, 3, 11: the word answered; 10, 21: the size or bus address answered;
 *           6, 7, 8, 19, 20: the length; 9: the mode; 13: the status written;
 *           15-18: the region's size; 12: the text length; mmap, munmap: the length;
 *           open: the flags.
 *  aux:     13: the time-out; 15-18: npages; mmap: the address handed out;
 *           munmap: the address; else 0.
 *  card:    UINT32_MAX when the call named no card (a bad path, munmap).
 *  result:  0 or -1 as the call answered; err: its errno (0 on success).
 *  violation: 1 when the call was refused as a protocol violation.
 */
typedef struct vdlsim_log_entry {
    uint32_t event;
    uint32_t card;
    int32_t fd;
    uint32_t request;
    uint32_t command;
    uint32_t violation;
    uint64_t address;
    uint64_t value;
    uint64_t aux;
    int32_t result;
    int32_t err;
} vdlsim_log_entry;

/* Capacity of the log; older entries are dropped beyond it (vdlsim_log_dropped). */
#define VDLSIM_LOG_CAPACITY 65536

/* Number of entries held. */
size_t vdlsim_log_count(void);

/* Entry `index` (0 the oldest held); -ENOENT past the end. */
int vdlsim_log_get(size_t index, vdlsim_log_entry *entry);

/* Number of held ioctl entries with this request value (0: any) and, when
 * `command` is not 0, this command word. */
size_t vdlsim_log_count_requests(uint32_t request, uint32_t command);

/* Entries dropped since the last clear because the log was full. */
size_t vdlsim_log_dropped(void);

/* Empties the log. */
void vdlsim_log_clear(void);

/* Logging on (default) or off; off, nothing is recorded (the violation list still is). */
void vdlsim_log_enable(int on);

/* One entry of a shared log (vdlsim_log_share): the entry and the process that
 * made the call. */
typedef struct vdlsim_shared_log_entry {
    int32_t pid;
    uint32_t reserved;
    vdlsim_log_entry entry;
} vdlsim_shared_log_entry;

/*
 * From now on every entry the log records is also written, as one
 * vdlsim_shared_log_entry, to `fd` (a file opened for appending, or a pipe), by
 * this process and by every process it forks afterwards. A forked process has
 * a copy of the model of its own: this is how a test learns what a child sent.
 * -1 (and vdlsim_reset) stops it. 0, or -EBADF for a descriptor that is not open.
 */
int vdlsim_log_share(int fd);

/* ------------------------------------------------------------------------ */
/* Protocol violations                                                       */
/* ------------------------------------------------------------------------ */

/*
 * Every request value, record field, command word, count and buffer pointer the
 * protocol fixes is checked; anything else is answered with -1, errno EINVAL, and
 * recorded here with a text naming the fault (e.g. "request 5 command 0x91003006:
 * BAR number 6 out of range"). Padding and the fields the protocol leaves unset
 * must be zero.
 */

/* Number of violations recorded since the last clear. */
size_t vdlsim_violation_count(void);

/* Copies the text of violation `index` (0 the first) into `buffer` (always
 * NUL-terminated when size > 0); returns its full length, or -ENOENT. */
int vdlsim_violation_text(size_t index, char *buffer, size_t size);

/* Forgets the recorded violations. */
void vdlsim_violation_clear(void);

/* ------------------------------------------------------------------------ */
/* Fault injection                                                           */
/* ------------------------------------------------------------------------ */

/* Pseudo request values for rules on calls that are not ioctl requests. */
#define VDLSIM_FAULT_OPEN 0xFFFF0001u
#define VDLSIM_FAULT_MMAP 0xFFFF0002u
#define VDLSIM_FAULT_ANY_ADDRESS UINT64_MAX
#define VDLSIM_FAULT_ANY_CARD (-1)
#define VDLSIM_FAULT_FOREVER UINT32_MAX

/*
 * A rule: a call matches when its card matches (`card`, or VDLSIM_FAULT_ANY_CARD),
 * its request value equals `request` (0: any request, including the pseudo
 * requests), its command word equals `command` when `command` is not 0 (only
 * request 5 has one), and its address (as the log defines it) equals `address`
 * unless that is VDLSIM_FAULT_ANY_ADDRESS. Of the matching calls the first `skip`
 * pass, the next `count` fail (VDLSIM_FAULT_FOREVER: all of them) with -1 and errno
 * `err` without being carried out, later ones pass. Every matching rule counts the
 * call; when several are in their failing phase the one added first gives the errno
 * and counts the hit. Rules are checked after the protocol checks, so a malformed
 * request is always a violation; close, munmap and access are never failed.
 */
typedef struct vdlsim_fault {
    int32_t card;
    uint32_t request;
    uint32_t command;
    uint64_t address;
    uint32_t skip;
    uint32_t count;
    int32_t err;
} vdlsim_fault;

/* Adds a rule; returns its id (0 or more), or -EINVAL (err must be > 0). */
int vdlsim_fault_add(const vdlsim_fault *rule);

/* Number of calls the rule has failed so far, or -ENOENT. */
int vdlsim_fault_hits(int id);

/* Removes every rule. */
void vdlsim_fault_clear(void);

/* ------------------------------------------------------------------------ */
/* Protocol constants, for tests that issue raw requests                     */
/* ------------------------------------------------------------------------ */

#define VDLSIM_NODE_FORMAT "/dev/vdlsdk_pci/vdlpci%d"

#define VDLSIM_REQ_DRIVER_WORD 0x80047801u
#define VDLSIM_REQ_IDS 0x80047802u
#define VDLSIM_REQ_SUBSYSTEM_IDS 0x80047803u
#define VDLSIM_REQ_UPSTREAM 0x80087804u
#define VDLSIM_REQ_COMMAND 0xc0087805u
#define VDLSIM_REQ_CONTIG_ALLOC 0x40047806u
#define VDLSIM_REQ_CONTIG_FREE 0x40047807u
#define VDLSIM_REQ_CONTIG_SELECT 0x40047808u
#define VDLSIM_REQ_MAP_MODE 0x40047809u
#define VDLSIM_REQ_BAR_SIZE 0xc008780au
#define VDLSIM_REQ_LOCATION 0x8004780bu
#define VDLSIM_REQ_SLOT_PATH 0x8008780cu
#define VDLSIM_REQ_INT_WAIT 0xc008780du
#define VDLSIM_REQ_INT_CANCEL 0x4008780eu
#define VDLSIM_REQ_LOCK 0xc008780fu
#define VDLSIM_REQ_UNLOCK 0x40087810u
#define VDLSIM_REQ_LOCK_SYNC_DEV 0x40087811u
#define VDLSIM_REQ_LOCK_SYNC_CPU 0x40087812u
#define VDLSIM_REQ_CONTIG_SYNC_DEV 0x40087813u
#define VDLSIM_REQ_CONTIG_SYNC_CPU 0x40087814u
#define VDLSIM_REQ_BAR_ADDRESS 0xc0087815u

#define VDLSIM_CMD_CARD_COUNT 0x91000100u
#define VDLSIM_CMD_CFG_READ8 0x91000200u
#define VDLSIM_CMD_CFG_READ16 0x91000300u
#define VDLSIM_CMD_CFG_READ32 0x91000400u
#define VDLSIM_CMD_CFG_WRITE8 0x91000500u
#define VDLSIM_CMD_CFG_WRITE16 0x91000600u
#define VDLSIM_CMD_CFG_WRITE32 0x91000700u
#define VDLSIM_CMD_UP_READ8 0x91000800u
#define VDLSIM_CMD_UP_READ16 0x91000900u
#define VDLSIM_CMD_UP_READ32 0x91000A00u
#define VDLSIM_CMD_UP_WRITE8 0x91000B00u
#define VDLSIM_CMD_UP_WRITE16 0x91000C00u
#define VDLSIM_CMD_UP_WRITE32 0x91000D00u
#define VDLSIM_CMD_BAR_READ32 0x91003000u  /* plus the BAR number */
#define VDLSIM_CMD_BAR_READ64 0x91004000u
#define VDLSIM_CMD_BAR_WRITE32 0x91007000u
#define VDLSIM_CMD_BAR_WRITE64 0x91008000u

/* The word request 1 answers. */
#define VDLSIM_DRIVER_WORD 0x00010000u

#ifdef __cplusplus
}
#endif

#endif /* VDLSIM_H */

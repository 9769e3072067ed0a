/* bar_and_config: read and write a card's BAR registers and its configuration
 * space through the memory-space functions.
 *
 * Every memory space of a card is named by an identifier: 0 to 5 for the BARs,
 * VDLPCI_MS_ID_CONFIG for the configuration space. Each register access is one
 * request to the driver, so the same calls work for one register or a block.
 *
 * Change SCRATCH_BAR and SCRATCH_OFFSET to a scratch area of your card's design
 * before running this on hardware: it writes there. */
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>

#include <vdlsdk/vdlsdk_pci.h>

#define CARD 0
#define SCRATCH_BAR 2
#define SCRATCH_OFFSET 0x100

/* Standard configuration registers (byte offsets). */
#define CFG_VENDOR_ID 0x00
#define CFG_COMMAND 0x04
#define CFG_CLASS_REVISION 0x08
#define CFG_BAR0 0x10
#define CMD_MEMORY_SPACE 0x0002
#define CMD_BUS_MASTER 0x0004

static int show_sizes(void* card)
{
    for (uint32_t bar = 0; bar < 6; ++bar) {
        uint64_t size = 0;
        if (vdlpci_ms_size(card, VDLPCI_MS_ID_BAR + bar, &size) == 0 && size > 0)
            printf("BAR%u: %" PRIu64 " KiB\n", bar, size / 1024);
    }
    uint64_t size = 0;
    int rc = vdlpci_ms_size(card, VDLPCI_MS_ID_CONFIG, &size);
    if (rc < 0) {
        printf("no configuration space (error %d)\n", rc);
        return rc;
    }
    printf("configuration space: %" PRIu64 " bytes\n", size);
    return 0;
}

static int show_config(void* card)
{
    /* The first four dwords: identity, command and status, class and revision. */
    uint32_t header[4];
    int n = vdlpci_ms_read32s(card, VDLPCI_MS_ID_CONFIG, CFG_VENDOR_ID, header, 4);
    if (n != 4) {
        printf("configuration read failed (%d)\n", n);
        return n < 0 ? n : -1;
    }
    printf("config 0x00: vendor %04x device %04x\n", header[0] & 0xFFFF, header[0] >> 16);
    printf("config 0x08: class %06x revision %02x\n", header[2] >> 8, header[2] & 0xFF);

    /* A 16-bit register read on its own. */
    uint16_t command = 0;
    if (vdlpci_ms_read16s(card, VDLPCI_MS_ID_CONFIG, CFG_COMMAND, &command, 1) != 1)
        return -1;
    printf("config 0x04: command %04x (memory space %s, bus master %s)\n", command,
           command & CMD_MEMORY_SPACE ? "on" : "off", command & CMD_BUS_MASTER ? "on" : "off");

    uint32_t bars[6];
    if (vdlpci_ms_read32s(card, VDLPCI_MS_ID_CONFIG, CFG_BAR0, bars, 6) == 6)
        printf("config 0x10: BAR registers %08x %08x %08x %08x %08x %08x\n", bars[0],
               bars[1], bars[2], bars[3], bars[4], bars[5]);
    return 0;
}

static int exercise_bar(void* card)
{
    const uint32_t ms = VDLPCI_MS_ID_BAR + SCRATCH_BAR;

    /* A block of 32-bit registers out and back. */
    uint32_t out[4] = {0x11111111, 0x22222222, 0xC0FFEE00, 0xDEADBEEF};
    uint32_t in[4] = {0};
    int written = vdlpci_ms_write32s(card, ms, SCRATCH_OFFSET, out, 4);
    int read = vdlpci_ms_read32s(card, ms, SCRATCH_OFFSET, in, 4);
    printf("BAR%d 0x%x: wrote %d dwords, read %d back: %08x %08x %08x %08x\n", SCRATCH_BAR,
           SCRATCH_OFFSET, written, read, in[0], in[1], in[2], in[3]);
    int same = written == 4 && read == 4;
    for (int i = 0; i < 4; ++i)
        same = same && in[i] == out[i];

    /* The same registers in other widths: one 64-bit write, bytes read back. */
    uint64_t wide = 0x0123456789ABCDEFull;
    uint8_t bytes[8] = {0};
    vdlpci_ms_write64s(card, ms, SCRATCH_OFFSET, &wide, 1);
    vdlpci_ms_read8s(card, ms, SCRATCH_OFFSET, bytes, 8);
    printf("BAR%d 0x%x: 64-bit write %016" PRIx64 ", bytes read back:", SCRATCH_BAR,
           SCRATCH_OFFSET, wide);
    for (int i = 0; i < 8; ++i)
        printf(" %02x", bytes[i]);
    printf("\n");
    same = same && bytes[0] == 0xEF && bytes[7] == 0x01; /* little-endian */

    printf("BAR round trip: %s\n", same ? "ok" : "MISMATCH");
    return same ? 0 : -1;
}

int main(void)
{
    if (vdlpci_dev_count() <= CARD) {
        printf("card %d not found\n", CARD);
        return 1;
    }
    void* card = NULL;
    int rc = vdlpci_dev_open(CARD, &card);
    if (rc < 0) {
        printf("cannot open card %d (error %d)\n", CARD, rc);
        return 1;
    }
    printf("card %d open\n", CARD);

    if (show_sizes(card) < 0 || show_config(card) < 0 || exercise_bar(card) < 0)
        rc = 1;
    vdlpci_dev_close(card);
    return rc == 0 ? 0 : 1;
}

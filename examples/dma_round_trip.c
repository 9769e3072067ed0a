/* dma_round_trip: a kernel DMA buffer, handed to the card's DMA engine, filled by
 * the card, and an interrupt that says so; then a wait that another thread
 * cancels.
 *
 * The card here is a DMA engine whose registers sit at the start of BAR 0
 * (ENGINE_* below); replace them with your design's. The steps are the ones any
 * card needs:
 *   1. allocate a physically contiguous kernel buffer (vdlpci_alloc_mem);
 *   2. get its bus address (vdlpci_ms_phys_addr) and give it to the card;
 *   3. hand the buffer to the device (vdlpci_flush_cache FOR_DEVICE);
 *   4. ring the doorbell and wait for the interrupt (vdlpci_int_wait);
 *   5. take the buffer back (FOR_CPU) and read what the card wrote.
 * Build with -pthread. */
#include <inttypes.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vdlsdk/vdlsdk_pci.h>
#include <vdlsdk/vdlsdk_util.h>

#define CARD 0
#define ENGINE_BAR 0
#define ENGINE_ID 0x00       /* reads ENGINE_ID_VALUE */
#define ENGINE_STATUS 0x04   /* 1 done, 2 failed */
#define ENGINE_DEST_LO 0x08  /* bus address of the destination */
#define ENGINE_DEST_HI 0x0C
#define ENGINE_LENGTH 0x10   /* bytes */
#define ENGINE_PATTERN 0x14  /* word i receives PATTERN + i */
#define ENGINE_VECTOR 0x18   /* interrupt raised when done */
#define ENGINE_DOORBELL 0x1C /* a write starts the transfer */
#define ENGINE_ID_VALUE 0x444D4131u
#define ENGINE_STATUS_DONE 1u

#define BUFFER_BYTES 8192u
#define PATTERN 0xA5000000u
#define DONE_VECTOR 0
#define IDLE_VECTOR 1          /* a vector the engine never raises */
#define WAIT_TIMEOUT 1000      /* in the driver's unit (milliseconds) */
#define LONG_TIMEOUT 30000

static int reg_write(void* card, uint64_t offset, uint32_t value)
{
    return vdlpci_ms_write32s(card, VDLPCI_MS_ID_BAR + ENGINE_BAR, offset, &value, 1) == 1 ? 0
                                                                                          : -1;
}

static uint32_t reg_read(void* card, uint64_t offset)
{
    uint32_t value = 0xFFFFFFFFu;
    vdlpci_ms_read32s(card, VDLPCI_MS_ID_BAR + ENGINE_BAR, offset, &value, 1);
    return value;
}

static int round_trip(void* card)
{
    /* 1. The buffer: *ms names it for the other calls, host is its mapping here. */
    void* host = NULL;
    uint32_t ms = 0;
    int rc = vdlpci_alloc_mem(card, BUFFER_BYTES, &host, &ms, VDLPCI_ALLOC_KERNEL_BUFFER);
    if (rc < 0) {
        printf("cannot allocate a DMA buffer (error %d)\n", rc);
        return -1;
    }
    uint64_t bus = 0;
    vdlpci_ms_phys_addr(card, ms, 0, &bus);
    printf("allocated %u-byte kernel buffer: memory space 0x%x, bus address 0x%" PRIx64 "\n",
           BUFFER_BYTES, ms, bus);
    memset(host, 0, BUFFER_BYTES);

    /* 2. and 3. Program the transfer and give the buffer to the device. */
    vdlpci_flush_cache(card, ms, VDLPCI_FLUSH_FOR_DEVICE);
    reg_write(card, ENGINE_DEST_LO, (uint32_t)bus);
    reg_write(card, ENGINE_DEST_HI, (uint32_t)(bus >> 32));
    reg_write(card, ENGINE_LENGTH, BUFFER_BYTES);
    reg_write(card, ENGINE_PATTERN, PATTERN);
    reg_write(card, ENGINE_VECTOR, DONE_VECTOR);

    /* 4. Ring the doorbell, then wait. An interrupt that arrives before the wait
     * starts is kept by the driver, so there is no race here. */
    uint64_t started = microseconds_since_epoch();
    reg_write(card, ENGINE_DOORBELL, 1);
    printf("doorbell rung: %u bytes to 0x%" PRIx64 ", interrupt on vector %d\n", BUFFER_BYTES,
           bus, DONE_VECTOR);
    uint32_t value = 0;
    rc = vdlpci_int_wait(card, DONE_VECTOR, WAIT_TIMEOUT, &value);
    if (rc < 0) {
        printf("no interrupt (error %d)\n", rc);
        vdlpci_free_mem(card, ms);
        return -1;
    }
    printf("interrupt on vector %d, value %u, after %" PRIu64 " us\n", DONE_VECTOR, value,
           microseconds_since_epoch() - started);

    /* 5. Take the buffer back and check it: through the mapping and through the
     * memory-space functions, which read the same buffer. */
    vdlpci_flush_cache(card, ms, VDLPCI_FLUSH_FOR_CPU);
    const uint32_t* words = host;
    uint32_t bad = 0;
    for (uint32_t i = 0; i < BUFFER_BYTES / 4; ++i)
        bad += words[i] != PATTERN + i;
    uint32_t last = 0;
    vdlpci_ms_read32s(card, ms, BUFFER_BYTES - 4, &last, 1);
    printf("engine status %u; buffer words 0, 1, last: %08x %08x %08x\n",
           reg_read(card, ENGINE_STATUS), words[0], words[1], last);
    printf("buffer check: %s (%u of %u words wrong)\n", bad == 0 ? "ok" : "FAILED", bad,
           BUFFER_BYTES / 4);

    vdlpci_free_mem(card, ms);
    return bad == 0 && reg_read(card, ENGINE_STATUS) == ENGINE_STATUS_DONE ? 0 : -1;
}

/* A thread that waits for an interrupt that never comes. */
struct waiter {
    void* card;
    int done; /* set with __atomic builtins: read by the main thread */
    int result;
};

static void* wait_forever(void* arg)
{
    struct waiter* w = arg;
    uint32_t value = 0;
    w->result = vdlpci_int_wait(w->card, IDLE_VECTOR, LONG_TIMEOUT, &value);
    __atomic_store_n(&w->done, 1, __ATOMIC_SEQ_CST);
    return NULL;
}

static int cancelled_wait(void* card)
{
    struct waiter w = {card, 0, 0};
    pthread_t thread;
    if (pthread_create(&thread, NULL, wait_forever, &w) != 0)
        return -1;
    printf("thread waiting on vector %d (time-out %d ms)\n", IDLE_VECTOR, LONG_TIMEOUT);

    /* A cancel only ends a wait that has started, and this thread cannot tell when
     * the other one is inside the driver: cancel until the waiter is back. The
     * library logs the cancelled wait on its "general" logger. */
    int cancels = 0;
    while (!__atomic_load_n(&w.done, __ATOMIC_SEQ_CST) && cancels < 500) {
        millisecond_sleep(10);
        vdlpci_int_cancel_wait(card, IDLE_VECTOR);
        ++cancels;
    }
    pthread_join(thread, NULL);
    printf("wait on vector %d returned %d (%s)\n", IDLE_VECTOR, w.result,
           w.result == -12 ? "cancelled" : "not cancelled");
    return w.result == -12 ? 0 : -1;
}

int main(void)
{
    void* card = NULL;
    if (vdlpci_dev_count() <= CARD || vdlpci_dev_open(CARD, &card) < 0) {
        printf("card %d not found\n", CARD);
        return 1;
    }
    uint32_t id = reg_read(card, ENGINE_ID);
    if (id != ENGINE_ID_VALUE) {
        printf("no DMA engine at BAR%d (ID register reads %08x)\n", ENGINE_BAR, id);
        return 1;
    }
    printf("card %d: DMA engine found (ID %08x)\n", CARD, id);

    int failed = round_trip(card) < 0;
    failed |= cancelled_wait(card) < 0;
    vdlpci_dev_close(card);
    printf("%s\n", failed ? "DMA example FAILED" : "DMA example done");
    return failed;
}

/* A program that knows nothing of the simulated driver: it opens card 0 and reads a
 * configuration word and a BAR word with raw requests. Run with LD_PRELOAD=libvdlsim.so
 * it must succeed with no configuration at all; with "absent" it expects no node. */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

struct command {
    uint32_t command;
    uint32_t write_count;
    uint64_t write_buffer;
    uint32_t read_count;
    uint32_t padding;
    uint64_t read_buffer;
    uint64_t address;
};

#define COMMAND_REQUEST 0xc0087805ul
#define CONFIG_READ32 0x91000400u
#define BAR_READ32 0x91003000u
#define BAR_WRITE32 0x91007000u

static int send(int fd, uint32_t word, uint32_t *value, uint64_t address, int write)
{
    struct command c;
    memset(&c, 0, sizeof c);
    c.command = word;
    c.address = address;
    if (write) {
        c.write_count = 1;
        c.write_buffer = (uint64_t)(uintptr_t)value;
    } else {
        c.read_count = 1;
        c.read_buffer = (uint64_t)(uintptr_t)value;
    }
    return ioctl(fd, COMMAND_REQUEST, &c);
}

/* Before main, as a constructor of any library might: the model must be ready. */
static int early_fd = -2;
__attribute__((constructor)) static void open_early(void)
{
    early_fd = open("/dev/vdlsdk_pci/vdlpci0", O_RDWR | O_SYNC);
}

int main(int argc, char **argv)
{
    const char *node = "/dev/vdlsdk_pci/vdlpci0";
    int fd = open(node, O_RDWR | O_SYNC);
    if (argc > 1 && strcmp(argv[1], "absent") == 0) {
        if (fd >= 0 || errno != ENOENT || early_fd != -1) {
            fprintf(stderr, "expected no node %s\n", node);
            return 1;
        }
        return 0;
    }
    if (fd < 0 || early_fd < 0) {
        fprintf(stderr, "open %s: %s\n", node, strerror(errno));
        return 1;
    }
    close(early_fd);
    uint32_t id = 0, word = 0x600DF00D, back = 0;
    if (send(fd, CONFIG_READ32, &id, 0, 0) != 0 || send(fd, BAR_WRITE32, &word, 0x10, 1) != 0 ||
        send(fd, BAR_READ32, &back, 0x10, 0) != 0) {
        fprintf(stderr, "request failed: %s\n", strerror(errno));
        return 1;
    }
    printf("card 0: id %08x, BAR0[0x10] %08x\n", id, back);
    if (id == 0 || id == 0xFFFFFFFFu || back != word)
        return 1;
    return close(fd) == 0 ? 0 : 1;
}

/* A plain C program that knows nothing of the stand-in: run with the stand-in
 * preloaded and no configuration, it opens card 0 and reads a BAR word. */
#include <stdio.h>

#include "vdlsdk/vdlcard.h"

int main(void)
{
    vdlcard_handle* h = vdlcard_Open(0, VDLCARD_OPEN_FLAGS);
    if (h == NULL) {
        fprintf(stderr, "card 0 did not open\n");
        return 1;
    }
    const uint32_t pattern = 0x5EED1234u;
    uint32_t word = 0;
    if (vdlcard_Write32(h, 0, &pattern, 0x10) != sizeof(pattern) ||
        vdlcard_Read32(h, 0, &word, 0x10) != sizeof(word)) {
        fprintf(stderr, "BAR 0 access failed\n");
        vdlcard_Close(h);
        return 1;
    }
    vdlcard_Close(h);
    if (word != pattern) {
        fprintf(stderr, "read %#x, wrote %#x\n", word, pattern);
        return 1;
    }
    printf("card 0 BAR 0 word at 0x10: %#x\n", word);
    return 0;
}

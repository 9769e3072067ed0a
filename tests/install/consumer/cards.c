/* A C program built against an installed kit: counts the cards, reads card 0's
 * identity and the first word of its configuration space. */
#include <stdint.h>
#include <stdio.h>

#include <vdlsdk/vdlsdk_pci.h>

int main(void)
{
    int count = vdlpci_dev_count();
    printf("cards: %d\n", count);
    if (count < 1)
        return 1;
    uint16_t vendor = 0, device = 0, subVendor = 0, subDevice = 0;
    if (vdlpci_dev_id(0, &vendor, &device, &subVendor, &subDevice) != 0)
        return 1;
    printf("card 0: %04x:%04x\n", vendor, device);
    void* handle = NULL;
    if (vdlpci_dev_open(0, &handle) != 0)
        return 1;
    uint32_t word = 0;
    if (vdlpci_ms_read32s(handle, 0x10000, 0, &word, 1) != 1)
        return 1;
    printf("config word 0: %08x\n", (unsigned)word);
    return vdlpci_dev_close(handle) == 0 ? 0 : 1;
}

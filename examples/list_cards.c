/* list_cards: every card the driver knows, with its identity, where it sits, its
 * PCI Express link and its interrupt set-up.
 *
 * The library opens all cards on the first call, so vdlpci_dev_count is the
 * place to start. Index-based calls (identity, location, link) work without a
 * handle; the interrupt set-up is read through the card's handle. */
#include <stdint.h>
#include <stdio.h>

#include <vdlsdk/vdlsdk_pci.h>

/* PCI Express speed codes, as Link Capabilities and Link Status give them. */
static const char* speed_text(int code)
{
    static const char* const names[] = {"?", "2.5 GT/s", "5 GT/s", "8 GT/s", "16 GT/s",
                                        "32 GT/s", "64 GT/s"};
    return code > 0 && code < (int)(sizeof names / sizeof names[0]) ? names[code] : "unknown";
}

static void show_link(int index)
{
    uint32_t flags = 0;
    int maxSpeed = 0, maxWidth = 0, speed = 0, width = 0;
    int rc = vdlpci_link_status(index, &flags, &maxSpeed, &maxWidth, &speed, &width);
    if (rc < 0) {
        printf("  link:       unknown (error %d)\n", rc);
        return;
    }
    if (flags & VDLPCI_LINK_STATUS_UP)
        printf("  link:       up, %s x%d (capable of %s x%d)\n", speed_text(speed), width,
               speed_text(maxSpeed), maxWidth);
    else
        printf("  link:       down\n");
    if ((flags & VDLPCI_LINK_STATUS_SAVED) == VDLPCI_LINK_STATUS_SAVED)
        printf("  link state: saved in the option file\n");
}

static void show_interrupts(int index)
{
    void* card = NULL;
    int rc = vdlpci_dev_open(index, &card);
    if (rc < 0) {
        printf("  open:       failed (error %d)\n", rc);
        return;
    }

    int enabled = 0, vectors = 0;
    uint64_t address = 0;
    uint16_t data = 0;
    rc = vdlpci_msi_info(card, &enabled, &address, &data, &vectors);
    if (rc < 0)
        printf("  MSI:        none (error %d)\n", rc);
    else
        printf("  MSI:        %s, %d vector(s), address 0x%llx, data 0x%04x\n",
               enabled ? "enabled" : "disabled", vectors, (unsigned long long)address, data);

    msix_info msix;
    rc = vdlpci_msix_info(card, &msix);
    if (rc < 0)
        printf("  MSI-X:      none (error %d)\n", rc);
    else
        printf("  MSI-X:      %s%s, %u vector(s), table in BAR%u at 0x%x, "
               "pending bits in BAR%u at 0x%x\n",
               msix.enabled ? "enabled" : "disabled", msix.functionMask ? " (all masked)" : "",
               (unsigned)msix.tableSize, (unsigned)msix.tableBir, (unsigned)msix.tableOffset,
               (unsigned)msix.pbaBir, (unsigned)msix.pbaOffset);

    /* The handle stays valid after close; close says we are done with it. */
    vdlpci_dev_close(card);
}

int main(void)
{
    char version[32];
    vdlpci_version(version, sizeof version);
    printf("libvdlsdk_pci %s\n", version);

    int count = vdlpci_dev_count();
    printf("%d card(s)\n", count);
    if (count == 0) {
        printf("no card found: is the driver loaded and are you in its group?\n");
        return 1;
    }

    for (int i = 0; i < count; ++i) {
        uint16_t vendor = 0, device = 0, subVendor = 0, subsystem = 0;
        char location[32] = "", slot[256] = "";
        if (vdlpci_dev_id(i, &vendor, &device, &subVendor, &subsystem) < 0 ||
            vdlpci_dev_location(i, location, sizeof location) < 0) {
            printf("card %d: cannot be identified\n", i);
            continue;
        }
        vdlpci_dev_slot_uid(i, slot, sizeof slot);

        printf("card %d\n", i);
        printf("  identity:   %04x:%04x, subsystem %04x:%04x\n", vendor, device, subVendor,
               subsystem);
        printf("  location:   %s\n", location);
        printf("  slot:       %s\n", slot[0] ? slot : "(none given)");
        show_link(i);
        show_interrupts(i);
    }
    return 0;
}

/* link_control: save a card's link state, take the link down, bring it up again
 * and restore what was saved, as before and after a reload of the FPGA image,
 * which drops the card off the bus.
 *
 * vdlpci_link_save keeps the BAR, MSI and PCI Express registers (and the
 * bridge's Surprise Down setting) in the library's option file, so a restore
 * also works from another process after a restart. Needs write access to the
 * option directory ($VDLSDK_CONFIG, default /opt/vdlsdk/). */
#include <stdint.h>
#include <stdio.h>

#include <vdlsdk/vdlsdk_pci.h>

#define CARD 0

static const char* speed_text(int code)
{
    static const char* const names[] = {"?", "2.5 GT/s", "5 GT/s", "8 GT/s", "16 GT/s",
                                        "32 GT/s", "64 GT/s"};
    return code > 0 && code < (int)(sizeof names / sizeof names[0]) ? names[code] : "unknown";
}

/* Prints the link as vdlpci_link_status reports it; returns 1 when it is up. */
static int show(const char* when)
{
    uint32_t flags = 0;
    int maxSpeed = 0, maxWidth = 0, speed = 0, width = 0;
    int rc = vdlpci_link_status(CARD, &flags, &maxSpeed, &maxWidth, &speed, &width);
    if (rc < 0) {
        printf("%-16s status unknown (error %d)\n", when, rc);
        return 0;
    }
    int up = (flags & VDLPCI_LINK_STATUS_UP) != 0;
    int saved = (flags & VDLPCI_LINK_STATUS_SAVED) == VDLPCI_LINK_STATUS_SAVED;
    if (up)
        printf("%-16s link up, %s x%d; saved state: %s\n", when, speed_text(speed), width,
               saved ? "yes" : "no");
    else
        printf("%-16s link down; saved state: %s\n", when, saved ? "yes" : "no");
    return up;
}

static void show_saved_keys(void)
{
    /* The option count bounds the walk; the key after the last one is an error. */
    char key[256] = "";
    const int count = vdlpci_option_count();
    for (int i = 0; i < count; ++i) {
        char previous[256];
        snprintf(previous, sizeof previous, "%s", key);
        if (vdlpci_get_next_option_key(i == 0 ? NULL : previous, key, sizeof key) != 0)
            break;
        char value[512] = "";
        vdlpci_get_option(key, value, sizeof value);
        printf("  option %s = %s\n", key, value);
    }
}

int main(void)
{
    void* card = NULL;
    if (vdlpci_dev_count() <= CARD || vdlpci_dev_open(CARD, &card) < 0) {
        printf("card %d not found\n", CARD);
        return 1;
    }
    int failed = !show("at start:");

    /* Save the registers and the bridge's Surprise Down mask, then disable the
     * link: Surprise Down is masked first, so going down raises no error. */
    int rc = vdlpci_link_save(CARD, VDLPCI_LINK_SAVE_DELETE_OLD | VDLPCI_LINK_SAVE_REGISTERS |
                                        VDLPCI_LINK_SAVE_AER | VDLPCI_LINK_SAVE_DISABLE);
    printf("link save and disable: %s (%d)\n", rc == 0 ? "ok" : "failed", rc);
    failed |= rc != 0;
    failed |= show("after disable:");
    printf("saved in the option file:\n");
    show_saved_keys();

    /* ... here the FPGA image would be reloaded ... */

    /* Enable the link, wait for it to train, write the registers back and
     * restore Surprise Down reporting. */
    rc = vdlpci_link_restore(CARD, VDLPCI_LINK_RESTORE_ENABLE | VDLPCI_LINK_RESTORE_RETRAIN |
                                       VDLPCI_LINK_RESTORE_REGISTERS |
                                       VDLPCI_LINK_RESTORE_AER);
    printf("link enable and restore: %s (%d)\n", rc == 0 ? "ok" : "failed", rc);
    failed |= rc != 0;
    failed |= !show("after restore:");

    int errors = 0;
    if (vdlpci_link_errors(card, &errors, 1) == 0)
        printf("device status errors: 0x%x (now cleared)\n", errors);

    vdlpci_dev_close(card);
    printf("%s\n", failed ? "link example FAILED" : "link example done");
    return failed;
}

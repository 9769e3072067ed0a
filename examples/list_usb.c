/* list_usb: the maker's USB devices (vendor id VDLUSB_VENDOR_ID), with their
 * identity, serial number, product name and place on the bus.
 *
 * The list is made on the first call and kept until vdlusb_rescan; a device
 * plugged in later appears after a rescan. */
#include <stdio.h>

#include <vdlsdk/vdlsdk_usb.h>

int main(void)
{
    char version[32];
    vdlusb_version(version, sizeof version);
    printf("libvdlsdk_usb %s\n", version);

    int count = vdlusb_dev_count();
    printf("%d USB device(s) with vendor id %04x\n", count, VDLUSB_VENDOR_ID);

    for (int i = 0; i < count; ++i) {
        unsigned short vendor = 0, product = 0;
        char serial[80] = "", name[80] = "", location[64] = "";
        if (vdlusb_dev_id(i, &vendor, &product) < 0) {
            printf("device %d: gone\n", i);
            continue;
        }
        vdlusb_dev_serial(i, serial, sizeof serial);
        vdlusb_dev_product(i, name, sizeof name);
        vdlusb_dev_location(i, location, sizeof location);
        /* Serial and product come from the device's string descriptors; they are
         * empty when the device was not opened (no permission, or a product id
         * that is listed unopened). */
        printf("device %d: %04x:%04x at %s, serial \"%s\", product \"%s\"\n", i, vendor, product,
               location, serial, name);
    }
    return 0;
}

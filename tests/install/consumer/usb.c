/* A C program built against an installed kit: lists the maker's USB devices. */
#include <stdio.h>

#include <vdlsdk/vdlsdk_usb.h>

int main(void)
{
    int count = vdlusb_dev_count();
    printf("USB devices: %d\n", count);
    if (count < 0)
        return 1;
    for (int i = 0; i < count; ++i) {
        char serial[80] = "", location[64] = "";
        if (vdlusb_dev_serial(i, serial, sizeof serial) < 0 ||
            vdlusb_dev_location(i, location, sizeof location) < 0)
            return 1;
        printf("USB device %d: at %s, serial \"%s\"\n", i, location, serial);
    }
    return 0;
}

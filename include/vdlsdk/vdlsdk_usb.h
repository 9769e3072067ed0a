#ifndef VDLSDK_USB_H
#define VDLSDK_USB_H
/* Exported functions of libvdlsdk_usb: the maker's USB devices, listed by index
 * with their serial, product and location strings, opened, and driven with
 * synchronous bulk transfers. Usable from C and C++.
 *
 * Every function returns 0, a count, or a negative error code of the kit. Text
 * is copied into the caller's buffer of `size` bytes, NUL-terminated. */

#ifdef __cplusplus
class VdlusbDevice;
extern "C" {
#else
/* Opaque device handle. */
typedef struct VdlusbDevice VdlusbDevice;
#endif

/* USB vendor id of the maker's devices: only devices carrying it are listed. */
#define VDLUSB_VENDOR_ID 0x5644

/* "2024.1.0". Never creates the library object. */
int vdlusb_version(char* buffer, int size);

/* Lists the devices again; every handle given out before becomes invalid.
 * Returns the number of devices found. */
int vdlusb_rescan(void);
/* Number of devices listed; 0 on any failure (which is logged). */
int vdlusb_dev_count(void);

int vdlusb_dev_id(int index, unsigned short* vendorId, unsigned short* productId);
int vdlusb_dev_serial(int index, char* buffer, int size);
int vdlusb_dev_product(int index, char* buffer, int size);
/* "[bus-port.port...]", or "[bus]" when no port numbers are known. */
int vdlusb_dev_location(int index, char* buffer, int size);

/* Opens the device at `index` (or gives the same handle again when it is open).
 * -13 with *handle set to NULL when the index is not listed. */
int vdlusb_dev_open(int index, VdlusbDevice** handle);
/* Releases the device; it stays listed and can be opened again. */
int vdlusb_dev_close(VdlusbDevice* handle);

/* Bulk transfers; `timeout` in milliseconds, 0 waits without limit. A time-out
 * is not an error: the number of bytes moved before it is returned. A send
 * whose length is a multiple of 64 is followed by a zero-length packet. */
int vdlusb_dev_send(VdlusbDevice* handle, unsigned char* data, int length, int timeout);
int vdlusb_dev_recv(VdlusbDevice* handle, unsigned char* buffer, int length, int timeout);

/* The library's option file, "vdlusb_config.json" in $VDLSDK_CONFIG. */
int vdlusb_option_count(void);
int vdlusb_set_option(const char* key, const char* value);
int vdlusb_get_option(const char* key, char* buffer, int size);
/* First key for a NULL previousKey, then the key after previousKey; -27 after
 * the last one. */
int vdlusb_get_next_option_key(const char* previousKey, char* buffer, int size);

#ifdef __cplusplus
}
#endif

#endif /* VDLSDK_USB_H */

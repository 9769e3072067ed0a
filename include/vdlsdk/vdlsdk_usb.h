#ifndef VDLSDK_USB_H
#define VDLSDK_USB_H
/* Exported functions of libvdlsdk_usb: the maker's USB devices, listed by index
 * with their serial, product and location strings, opened, and driven with
 * synchronous bulk transfers. Usable from C and C++.
 *
 * Every function returns 0, a count, or a negative error code of the kit. Text
 * is copied into the caller's buffer of `size` bytes, NUL-terminated.
 *
 * Codes. A check of the arguments that the comments mark "not logged" returns
 * at once; every other failure is first logged on the logger "general" at
 * error level. Besides the codes each function names:
 *  - any function may give -4 when memory runs out, and -1 for a failure
 *    outside the kit's own (its text logged);
 *  - "[L]" marks a function that may create the library object, which lists
 *    the devices; -19 when libusb cannot be set up or cannot list them, and
 *    the next call tries again;
 *  - an `index` is a position in the list: -13 for one that is not in it;
 *  - text out: -5 for a null buffer, -6 for a negative size or a size of 0
 *    or 1 that cannot hold the text, -33 for a text cut to fit (the buffer
 *    then holds its start, NUL-terminated). */

#ifdef __cplusplus
class VdlusbDevice;
extern "C" {
#else
/* Opaque device handle. */
typedef struct VdlusbDevice VdlusbDevice;
#endif

/* USB vendor id of the maker's devices: only devices carrying it are listed. */
#define VDLUSB_VENDOR_ID 0x5644

/* "2024.1.0"; the text-out codes. Never creates the library object. */
int vdlusb_version(char* buffer, int size);

/* [L] Lists the devices again; every handle given out before becomes invalid.
 * Returns the number of devices found, or -19. */
int vdlusb_rescan(void);
/* [L] Number of devices listed; 0 on any failure (which is logged). */
int vdlusb_dev_count(void);

/* [L] 0, -5 for a null pointer (not logged), -13. */
int vdlusb_dev_id(int index, unsigned short* vendorId, unsigned short* productId);
/* [L] The serial and product strings read when the device was listed or last
 * opened (empty when the library did not or could not open it); 0, -13, the
 * text-out codes. */
int vdlusb_dev_serial(int index, char* buffer, int size);
int vdlusb_dev_product(int index, char* buffer, int size);
/* [L] "[bus-port.port...]", or "[bus]" when no port numbers are known; 0,
 * -13, the text-out codes. */
int vdlusb_dev_location(int index, char* buffer, int size);

/* [L] Opens the device at `index` (or gives the same handle again when it is
 * open). 0; -5 for a null `handle` (not logged); -13 with *handle set to NULL
 * when the index is not listed. Once the index is found, *handle holds the
 * device even when it cannot be opened: -13 when it is no longer on the bus
 * or the process may not open it, -35 when libusb fails to open it, -19 or
 * -34 when the bus cannot be read. */
int vdlusb_dev_open(int index, VdlusbDevice** handle);
/* [L] Releases the device; it stays listed and can be opened again. 0, or -5
 * for a null handle. */
int vdlusb_dev_close(VdlusbDevice* handle);

/* Bulk transfers; `timeout` in milliseconds, 0 waits without limit. A time-out
 * is not an error: the number of bytes moved before it is returned, so a count
 * below `length` means the time-out came first. A send whose length is a
 * multiple of 64 is followed by a zero-length packet. -5 for a null handle and
 * -6 for a negative length (both not logged); the first transfer claims the
 * device: -17 when it is not open, -11 when it cannot be claimed, -2 for a
 * product id the library does not know; -34 when the transfer fails. */
int vdlusb_dev_send(VdlusbDevice* handle, unsigned char* data, int length, int timeout);
int vdlusb_dev_recv(VdlusbDevice* handle, unsigned char* buffer, int length, int timeout);

/* The library's option file, "vdlusb_config.json" in $VDLSDK_CONFIG. */
/* [L] The number of options, or -19. */
int vdlusb_option_count(void);
/* [L] Stores the value as text and saves the file. 0; -5 for a null key or
 * value (not logged); -6 for a text that is not valid UTF-8; -14 when the file
 * cannot be written. */
int vdlusb_set_option(const char* key, const char* value);
/* [L] 0; -5 for a null key (not logged); -13 for a key that is not there
 * (looked up before a null buffer gives -5); -6 for a value that cannot be
 * given as text; the text-out codes. */
int vdlusb_get_option(const char* key, char* buffer, int size);
/* [L] First key for a NULL previousKey, then the key after previousKey. 0;
 * -27 after the last one (logged as every failure); -13 when previousKey is
 * not a key; the text-out codes. */
int vdlusb_get_next_option_key(const char* previousKey, char* buffer, int size);

#ifdef __cplusplus
}
#endif

#endif /* VDLSDK_USB_H */

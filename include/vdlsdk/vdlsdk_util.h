#ifndef VDLSDK_UTIL_H
#define VDLSDK_UTIL_H
/* Exported functions of libvdlsdk_util: logging control, sleeps, time stamps
 * and bit helpers. Usable from C and C++. */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Logger types: 0 "general", 1 "vdlsdk_pci", 2 "vdlsdk_usb", 3 "vdlsdk_s10",
 * 4 "vdlsdk_bmc". Levels: 0 trace, 1 debug, 2 info, 3 warn, 4 error,
 * 5 critical, 6 off. A type outside 0 to 4 is ignored. */
void set_log_verbosity(int type, int level);
void set_log_verbosity_all(int level);
int get_log_verbosity(int type); /* -1 for a type outside 0 to 4 */

/* Adds an appending log file to one logger (or to all five). Only the first
 * path that can be opened for a logger takes effect; console output goes on.
 * A path that cannot be opened, or a null one, is logged on "general". */
void set_log_file(int type, const char* path);
void set_log_file_all(const char* path);

void microsecond_sleep(int microseconds);
void millisecond_sleep(int milliseconds);
/* Monotonic clock readings, for measuring intervals (not the Unix epoch). */
uint64_t microseconds_since_epoch(void);
uint64_t milliseconds_since_epoch(void);

/* The position of the lowest set bit of `mask`; 0 for 0. */
int numbits_to_shift(int mask);
/* The number of bits set in the low byte of `value`. */
int get_numbits_set(int value);
/* A mask of the `count` low bits, for a count of 0 to 8; another count is
 * logged on "general" and gives 0. */
int set_numbits(int count);

#ifdef __cplusplus
}
#endif

#endif /* VDLSDK_UTIL_H */

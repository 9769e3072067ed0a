#ifndef VDLSDK_VDLPCI_TYPES_H
#define VDLSDK_VDLPCI_TYPES_H
/* Records that the PCIe library hands to its callers. Usable from C and C++. */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The MSI-X set-up of a card, as its MSI-X capability describes it. */
typedef struct msix_info {
    uint8_t enabled;      /* 1 when MSI-X is enabled */
    uint8_t functionMask; /* 1 when every vector is masked */
    uint32_t tableSize;   /* number of table entries, 1 to 2048 */
    uint8_t tableBir;     /* BAR (0 to 7) holding the table */
    uint32_t tableOffset; /* byte offset of the table in that BAR, a multiple of 8 */
    uint8_t pbaBir;       /* BAR holding the pending-bit array */
    uint32_t pbaOffset;   /* byte offset of the pending-bit array, a multiple of 8 */
} msix_info;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VDLSDK_VDLPCI_TYPES_H */

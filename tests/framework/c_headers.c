/* Every public C header compiles as plain C (checked at build time). */
#include <vdlsdk/vdlcard.h>
#include <vdlsdk/vdlpci_types.h>
#include <vdlsdk/vdlsdk_bmc.h>
#include <vdlsdk/vdlsdk_pci.h>
#include <vdlsdk/vdlsdk_usb.h>
#include <vdlsdk/vdlsdk_util.h>

int vdlsdk_c_headers_compile(void) { return 0; }

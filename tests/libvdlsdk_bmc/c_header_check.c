/* The public header must compile as plain C. */
#include "vdlsdk/vdlsdk_bmc.h"

int bmc_c_header_check(VdlbmcHandle* handle)
{
    VdlbmcThresholds thresholds = {0};
    uint8_t mask = 0;
    bool numeric = false;
    return vdlbmc_get_sensor_thresholds(handle, "x", &mask, &thresholds) +
           vdlbmc_sensor_is_numeric(handle, "x", &numeric);
}

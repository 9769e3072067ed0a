/* A C program built against an installed kit: reads a board sensor through
 * the management script package. */
#include <stdio.h>

#include <vdlsdk/vdlsdk_bmc.h>

int main(void)
{
    VdlbmcHandle* handle = NULL;
    if (vdlbmc_connect("sim", 0, NULL, &handle) != 0) {
        fprintf(stderr, "connect failed\n");
        return 1;
    }
    double value = 0;
    char units[16];
    int rc = vdlbmc_read_numeric_sensor_value(handle, "FPGA Temp", &value, units, sizeof units);
    if (rc == 0)
        printf("FPGA Temp: %.1f %s\n", value, units);
    vdlbmc_disconnect(handle);
    return rc == 0 ? 0 : 1;
}

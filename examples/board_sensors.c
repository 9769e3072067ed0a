/* board_sensors: the card's management controller: every sensor with its
 * reading, every effecter with its value, then two effecters set and read back.
 *
 * The library runs the maker's management script package in an embedded Python
 * interpreter. Every call must come from the thread that made the first
 * connect (it keeps the interpreter's lock). */
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vdlsdk/vdlsdk_bmc.h>

#define CARD 0
#define INTERFACE "pcie"           /* reach the controller over PCI Express */
#define STATE_EFFECTER "Identify LED"
#define STATE_VALUE "On"
#define NUMERIC_EFFECTER "Fan Duty"
#define NUMERIC_VALUE 60.0

static void list_sensors(VdlbmcHandle* bmc)
{
    printf("%d sensor(s)\n", vdlbmc_get_num_sensors(bmc));
    char name[128];
    char previous[128];
    const char* after = NULL;
    while (vdlbmc_get_next_sensor(bmc, after, name, sizeof name) == 0) {
        char value[64] = "", units[16] = "", level[16] = "";
        vdlbmc_read_sensor_value(bmc, name, value, sizeof value, units, sizeof units);
        vdlbmc_get_sensor_display_level(bmc, name, level, sizeof level);
        printf("  sensor   %-12s %s %s [%s]\n", name, value, units, level);
        snprintf(previous, sizeof previous, "%s", name);
        after = previous;
    }
}

static void list_effecters(VdlbmcHandle* bmc)
{
    printf("%d effecter(s)\n", vdlbmc_get_num_effecters(bmc));
    char name[128];
    char previous[128];
    const char* after = NULL;
    while (vdlbmc_get_next_effecter(bmc, after, name, sizeof name) == 0) {
        char value[64] = "", states[256] = "";
        vdlbmc_read_effecter_value(bmc, name, value, sizeof value);
        bool numeric = false;
        vdlbmc_effecter_is_numeric(bmc, name, &numeric);
        if (!numeric)
            vdlbmc_get_effecter_settable_values(bmc, name, states, sizeof states);
        printf("  effecter %-24s %s%s%s%s\n", name, value, states[0] ? " (one of " : "", states,
               states[0] ? ")" : "");
        snprintf(previous, sizeof previous, "%s", name);
        after = previous;
    }
}

static int set_effecters(VdlbmcHandle* bmc)
{
    int failed = 0;
    char value[64] = "";

    /* A state effecter takes one of its settable states. */
    if (!vdlbmc_effecter_is_settable(bmc, STATE_EFFECTER, STATE_VALUE)) {
        printf("%s cannot be set to %s\n", STATE_EFFECTER, STATE_VALUE);
        return -1;
    }
    vdlbmc_set_effecter(bmc, STATE_EFFECTER, STATE_VALUE);
    vdlbmc_read_effecter_value(bmc, STATE_EFFECTER, value, sizeof value);
    printf("set %s to %s: reads %s\n", STATE_EFFECTER, STATE_VALUE, value);
    failed |= strstr(value, STATE_VALUE) == NULL;

    /* A numeric effecter takes a number in its range. */
    double reading = 0;
    vdlbmc_set_numeric_effecter(bmc, NUMERIC_EFFECTER, NUMERIC_VALUE);
    int rc = vdlbmc_read_numeric_effecter_value(bmc, NUMERIC_EFFECTER, &reading);
    printf("set %s to %.1f: reads %.1f\n", NUMERIC_EFFECTER, NUMERIC_VALUE, reading);
    failed |= rc != 0 || reading != NUMERIC_VALUE;
    return failed ? -1 : 0;
}

int main(void)
{
    char text[256];
    vdlbmc_version(text, sizeof text);
    printf("%s\n", text);

    VdlbmcHandle* bmc = NULL;
    int rc = vdlbmc_connect(INTERFACE, CARD, NULL, &bmc);
    if (rc != 0) {
        printf("cannot connect to the controller of card %d over %s (error %d)\n", CARD,
               INTERFACE, rc);
        return 1;
    }
    printf("connected to the controller of card %d over %s\n", CARD, INTERFACE);
    if (vdlbmc_firmware_version(bmc, text, sizeof text) == 0)
        printf("firmware: %s\n", text);
    if (vdlbmc_get_mfg_info(bmc, text, sizeof text) == 0)
        printf("manufacturing data: %s\n", text);

    list_sensors(bmc);
    list_effecters(bmc);
    int failed = set_effecters(bmc) < 0;

    vdlbmc_disconnect(bmc);
    printf("%s\n", failed ? "board example FAILED" : "board example done");
    return failed;
}

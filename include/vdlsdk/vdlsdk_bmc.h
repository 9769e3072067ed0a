#ifndef VDLSDK_BMC_H
#define VDLSDK_BMC_H
/* Exported functions of libvdlsdk_bmc: a card's management controller, its
 * sensors, effecters and board controls, reached through the maker's
 * management script package in an embedded Python interpreter.
 * Usable from C and C++.
 *
 * THREADING: the first connect starts the interpreter on the calling thread,
 * and that thread keeps the interpreter's lock (GIL) for the life of the
 * process. The library never takes nor releases it. Every call into this
 * library must therefore come from the thread that made the first connect; a
 * handle is used by one caller at a time. When the library is loaded into a
 * running Python program, it uses that interpreter (it neither starts nor
 * finalises it) and must be called with the GIL held (for example through
 * ctypes.PyDLL).
 *
 * The interpreter is started once per process; VIRTUAL_ENV, when it names a
 * virtual environment (a directory holding pyvenv.cfg), is used as one, and
 * any other value is taken as the interpreter's home directory. A failed start
 * is logged once and every later connect returns -1. The interpreter is
 * finalised when the library is unloaded or the process ends: disconnect every
 * handle before that.
 *
 * Return codes: 0 on success (or a length where stated), otherwise negative:
 * -1 a failed script call or a result of the wrong kind, -5 a null handle or
 * pointer, -6 a bad size or value, -13 a name that is not known, -27 the end
 * of an iteration, -33 a caller buffer too small (it then holds the truncated
 * text, NUL-terminated), except where a function says otherwise: the units
 * buffer of vdlbmc_read_sensor_value, and vdlbmc_get_effecter_settable_values.
 * Failed script calls are logged on "vdlsdk_bmc" as
 * "<error type>:<error value>" unless the function is documented to clear
 * them silently. */
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
class VdlbmcHandle;
#else
typedef struct VdlbmcHandle VdlbmcHandle;
#endif

/* A sensor's six thresholds, in the order of `thresholdNames`. Bit i of a
 * threshold mask stands for field i. */
typedef struct VdlbmcThresholds {
    double upperThresholdWarning;  /* bit 0 */
    double upperThresholdCritical; /* bit 1 */
    double upperThresholdFatal;    /* bit 2 */
    double lowerThresholdWarning;  /* bit 3 */
    double lowerThresholdCritical; /* bit 4 */
    double lowerThresholdFatal;    /* bit 5 */
} VdlbmcThresholds;

/* FPGA image load codes of vdlbmc_get_fpga_load and vdlbmc_set_fpga_load. */
enum {
    VDLBMC_FPGA_LOAD_NORMAL = 1,
    VDLBMC_FPGA_LOAD_NORMAL_DELAYED = 2,
    VDLBMC_FPGA_LOAD_BACKUP = 3,
    VDLBMC_FPGA_LOAD_BACKUP_DELAYED = 4,
    VDLBMC_FPGA_LOAD_BOOT_SOURCE = 5,     /* read: normal, backup if normal fails */
    VDLBMC_FPGA_LOAD_USER_WITH_BACKUP = 6 /* set only */
};

#ifdef __cplusplus
extern "C" {
#endif

/* "vdlbmc 2024.1.0" */
int vdlbmc_version(char* buffer, int size);

/* Connects card `card` of the kit interface named `interfaceName`. `options`
 * (may be null) is "key=value,key=value", passed as keyword arguments; an item
 * without "=" is its own key and value. 0, -13 for an unknown interface name,
 * -1 for any failure of the script side, -5 for a null name or out-pointer.
 * On failure *handle is null. Discovery lists the components below the card
 * down to the interpreter's recursion limit; a deeper component fails the
 * connect with -1 (logged). Names that are not text, cannot be encoded as
 * UTF-8 or hold a NUL are left out of the tables. */
int vdlbmc_connect(const char* interfaceName, uint32_t card, const char* options,
                   VdlbmcHandle** handle);
/* Connects through the handler attribute `handlerName` of module `moduleName`,
 * given to the controller class of the module set by set_vdl_bmc_python_module
 * (default "vdl_bmc"). 0, -1 or -5. */
int vdlbmc_connect_low_level(const char* moduleName, const char* handlerName, const char* options,
                             VdlbmcHandle** handle);
/* Releases the handle's script objects, closes its handler and frees it. */
void vdlbmc_disconnect(VdlbmcHandle* handle);
/* The module whose controller class later low-level connects use; null
 * restores "vdl_bmc". */
void set_vdl_bmc_python_module(const char* name);

/* Table sizes, or -5. */
int vdlbmc_get_num_sensors(VdlbmcHandle* handle);
int vdlbmc_get_num_effecters(VdlbmcHandle* handle);
int vdlbmc_get_num_components(VdlbmcHandle* handle);
/* The first name (previous null) or the one after `previous`, in byte-wise
 * order. 0, -5, -6 (size below 2), -13 (previous unknown), -27 (no more
 * names), -33. Nothing is logged. */
int vdlbmc_get_next_sensor(VdlbmcHandle* handle, const char* previous, char* buffer, int size);
int vdlbmc_get_next_effecter(VdlbmcHandle* handle, const char* previous, char* buffer, int size);
int vdlbmc_get_next_component(VdlbmcHandle* handle, const char* previous, char* buffer, int size);

/* Sensors. A sensor is numeric when its class is exactly "NumericSensor". */
int vdlbmc_sensor_is_numeric(VdlbmcHandle* handle, const char* name, bool* isNumeric);
/* The reading; `units` may be null when the units are not wanted. A units
 * buffer too small gives -33 (or -6) with the reading already stored. */
int vdlbmc_read_numeric_sensor_value(VdlbmcHandle* handle, const char* name, double* value,
                                     char* units, int unitsSize);
/* The value as text: "%.3f" for a numeric sensor, the value's repr otherwise.
 * A value buffer too small gives -33 with the truncated text (-6 for a size of
 * 0 or 1). For a numeric sensor, any failure of the reading or its units,
 * a units buffer too small included, gives -1 and leaves `value` untouched; a
 * textual sensor's units are the empty text. */
int vdlbmc_read_sensor_value(VdlbmcHandle* handle, const char* name, char* value, int valueSize,
                             char* units, int unitsSize);
/* Sets bit i of *mask for each threshold the sensor has; failures cleared. */
int vdlbmc_get_sensor_thresholds(VdlbmcHandle* handle, const char* name, uint8_t* mask,
                                 VdlbmcThresholds* thresholds);
/* Sends the thresholds whose mask bit is set, None for the others. */
int vdlbmc_set_sensor_thresholds(VdlbmcHandle* handle, const char* name, uint8_t mask,
                                 const VdlbmcThresholds* thresholds);
/* Failures of these three are cleared silently. */
int vdlbmc_sensor_enable(VdlbmcHandle* handle, const char* name, uint8_t enable);
int vdlbmc_is_sensor_enabled(VdlbmcHandle* handle, const char* name, bool* enabled);
int vdlbmc_get_sensor_display_level(VdlbmcHandle* handle, const char* name, char* buffer,
                                    int size);

/* Effecters. An effecter is numeric when its class is exactly "NumericEffecter". */
int vdlbmc_effecter_is_numeric(VdlbmcHandle* handle, const char* name, bool* isNumeric);
int vdlbmc_read_numeric_effecter_value(VdlbmcHandle* handle, const char* name, double* value);
/* Numeric: the value in the stream's default notation (1.5, 1.23457e+06);
 * textual: the value's repr. */
int vdlbmc_read_effecter_value(VdlbmcHandle* handle, const char* name, char* buffer, int size);
/* Failures of the two setters are cleared silently. */
int vdlbmc_set_numeric_effecter(VdlbmcHandle* handle, const char* name, double value);
int vdlbmc_set_effecter(VdlbmcHandle* handle, const char* name, const char* value);
/* The settable states joined by ","; returns the text's length. A null buffer
 * asks for the length only. A size below the length gives -33 with the buffer
 * untouched; a size equal to it, -33 with the truncated text. Nothing is
 * logged. */
int vdlbmc_get_effecter_settable_values(VdlbmcHandle* handle, const char* name, char* buffer,
                                        int size);
/* False also on any failure. */
bool vdlbmc_effecter_is_settable(VdlbmcHandle* handle, const char* name, const char* value);

/* Board control. A null component name means "FPGA" where it is allowed. */
int vdlbmc_get_fpga_load(VdlbmcHandle* handle, int* load);
int vdlbmc_set_fpga_load(VdlbmcHandle* handle, unsigned int load);
int vdlbmc_fpga_reset(VdlbmcHandle* handle, const char* component);
int vdlbmc_fpga_set_corev(VdlbmcHandle* handle, const char* component, double value,
                          uint8_t flag);
int vdlbmc_fpga_get_corev(VdlbmcHandle* handle, const char* component, bool* overrideDisabled,
                          double* value);
int vdlbmc_set_boot_src(VdlbmcHandle* handle, const char* component, const char* source);
int vdlbmc_get_boot_src(VdlbmcHandle* handle, const char* component, char* buffer, int size);
int vdlbmc_clock_program(VdlbmcHandle* handle, const char* clock, const char* file);
int vdlbmc_clock_reload(VdlbmcHandle* handle, const char* clock);
int vdlbmc_clock_frequency(VdlbmcHandle* handle, const char* clock, uint8_t number, char* buffer,
                           int size);
/* "output:[value,value],output:[]" */
int vdlbmc_clock_information(VdlbmcHandle* handle, const char* clock, char* buffer, int size);
int vdlbmc_power(VdlbmcHandle* handle, uint8_t on);
int vdlbmc_is_power_on(VdlbmcHandle* handle, bool* on);
int vdlbmc_reboot(VdlbmcHandle* handle);
int vdlbmc_read_last_error(VdlbmcHandle* handle, char* resetCause, int resetCauseSize,
                           char* lastError, int lastErrorSize);
/* Bytes past the end of the serial number read 0xFF. */
int vdlbmc_read_mgmt_prom_serial(VdlbmcHandle* handle, uint8_t* buffer, int length);
int vdlbmc_set_i2c_channel_ownership(VdlbmcHandle* handle, uint8_t channel, uint8_t enable,
                                     const char* value);
int vdlbmc_get_i2c_channel_ownership(VdlbmcHandle* handle, uint8_t channel, bool* enabled,
                                     char* buffer, int size);
int vdlbmc_enable_pcie_i2c(VdlbmcHandle* handle, uint8_t enable);
/* "key:value,key:value" */
int vdlbmc_get_mfg_info(VdlbmcHandle* handle, char* buffer, int size);
int vdlbmc_firmware_version(VdlbmcHandle* handle, char* buffer, int size);

#ifdef __cplusplus
} /* extern "C" */

#include <cstdint>
#include <string>
#include <vector>

/* The six threshold names, as the script package keys them, with each one's
 * byte offset in VdlbmcThresholds. Row i is bit i of a threshold mask. */
struct thresholdNameType {
    std::string name;
    std::uint64_t offset;
};
extern std::vector<thresholdNameType> thresholdNames;
#endif

#endif /* VDLSDK_BMC_H */

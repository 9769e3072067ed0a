// Board-control functions: FPGA load, reset and core voltage, boot source,
// clocks, power, controller reboot and errors, PROM serial, I2C ownership,
// manufacturing data and firmware version.
#include <cstring>
#include <string>

#include "VdlbmcInternal.hpp"

using namespace vdlbmc_detail;

namespace {

constexpr const char* kFpga = "FPGA";
constexpr const char* kBmc = "BMC";
constexpr const char* kMfgProm = "MFG_PROM";
constexpr const char* kFpgaConfiguration = "FPGA Configuration";
constexpr const char* kPcieI2c = "I2C PCIe";
constexpr const char* kI2cChannelPrefix = "I2C Channel ";
constexpr const char* kI2cChannelSuffix = " Override";
constexpr const char* kEnabledPrefix = "enabled";
constexpr std::size_t kEnabledPrefixLength = 7;
constexpr int kMinimumDictionaryBuffer = 2;
constexpr unsigned char kUnreadSerialByte = 0xFF;
constexpr long kByteMask = 0xFF;

struct LoadText {
    const char* text;
    int code;
};
constexpr LoadText kLoadTexts[] = {
    {"Configured Normal", VDLBMC_FPGA_LOAD_NORMAL},
    {"Configured Normal Image", VDLBMC_FPGA_LOAD_NORMAL},
    {"Configured Normal in 2 Seconds", VDLBMC_FPGA_LOAD_NORMAL_DELAYED},
    {"Configured Backup", VDLBMC_FPGA_LOAD_BACKUP},
    {"Configured Backup Image", VDLBMC_FPGA_LOAD_BACKUP},
    {"Configured Backup in 2 Seconds", VDLBMC_FPGA_LOAD_BACKUP_DELAYED},
    {"Configured Normal Fail to Backup", VDLBMC_FPGA_LOAD_BOOT_SOURCE},
    {"Configured Normal or Backup if Normal fails", VDLBMC_FPGA_LOAD_BOOT_SOURCE},
};

struct LoadCall {
    const char* method;
    bool delayed; // called with the single argument 1
};
// Indexed by load code - 1.
constexpr LoadCall kLoadCalls[] = {
    {"configure_user", false},
    {"configure_user", true},
    {"configure_backup", false},
    {"configure_backup", true},
    {"configure_from_boot_source", false},
    {"configure_user_with_backup", false},
};
constexpr unsigned int kLoadCodeCount = sizeof(kLoadCalls) / sizeof(kLoadCalls[0]);
constexpr int kDelayedArgument = 1;

const char* orFpga(const char* component) { return component ? component : kFpga; }

// A method with no arguments whose result is only checked.
int callLogged(PyObject* object, const char* method)
{
    PyRef result(PyObject_CallMethod(object, method, nullptr));
    return result ? kOk : failCall(Report::Log);
}

// The card object, fetched from the controller when discovery left none.
int cardOf(VdlbmcHandle* handle, PyObject*& card)
{
    if (!interpreterUsable() || handle->disconnectAsked)
        return kFailed;
    if (handle->card == nullptr) {
        handle->card = PyObject_CallMethod(handle->controller, "card", nullptr);
        if (handle->card == nullptr)
            return failCall(Report::Log);
        if (handle->disconnectAsked)
            return kFailed;
    }
    card = handle->card;
    return kOk;
}

// The text of a method result; -1 (logged) when the call fails or gives no text.
int textResult(PyObject* object, const char* method, const char* format, PyRef& result,
               std::string_view& text, int argument = 0)
{
    result.reset(format ? PyObject_CallMethod(object, method, format, argument)
                        : PyObject_CallMethod(object, method, nullptr));
    if (!result || !textOf(result.get(), text))
        return failCall(Report::Log);
    return kOk;
}

int callFpgaLoad(PyObject* fpga, const LoadCall& call)
{
    PyRef result(call.delayed ? PyObject_CallMethod(fpga, call.method, "(b)", kDelayedArgument)
                              : PyObject_CallMethod(fpga, call.method, nullptr));
    return result ? kOk : failCall(Report::Log);
}

// "key:<value>,key:<value>" from a dictionary, `expected` naming it in the
// TypeError for anything else. `appendValue(value, out)` writes one value and
// gives 0 or the code to stop with.
template <typename AppendValue>
int joinItems(PyObject* dict, const char* expected, std::string& out, AppendValue&& appendValue)
{
    if (!PyDict_Check(dict))
        return failType(Report::Log, expected);
    PyRef iterator(PyObject_GetIter(dict));
    if (!iterator)
        return failCall(Report::Log);
    while (PyRef key{PyIter_Next(iterator.get())}) {
        // Held while written: a value's __str__ may take it out of the dictionary.
        PyRef value(Py_XNewRef(PyDict_GetItemWithError(dict, key.get())));
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_KeyError, key.get());
            return failCall(Report::Log);
        }
        std::string_view keyText;
        if (!textOf(key.get(), keyText))
            return failCall(Report::Log);
        out.append(keyText).append(":");
        if (int code = appendValue(value.get(), out); code != kOk)
            return code;
        out.append(",");
    }
    if (PyErr_Occurred())
        return failCall(Report::Log);
    if (!out.empty())
        out.pop_back();
    return kOk;
}

// "key:value,key:value" from a dictionary. `anyValue`: a value that is not a
// str is written as its str(); otherwise it is an error.
int dictionaryText(PyObject* dict, bool anyValue, std::string& out)
{
    return joinItems(dict, "a dictionary", out, [anyValue](PyObject* value, std::string& text) {
        PyRef printed;
        std::string_view valueText;
        if (PyUnicode_Check(value) || !anyValue) {
            if (!textOf(value, valueText))
                return failCall(Report::Log);
        } else {
            printed.reset(PyObject_Str(value));
            if (!printed || !textOf(printed.get(), valueText))
                return failCall(Report::Log);
        }
        text.append(valueText);
        return kOk;
    });
}

// A dictionary result of `method` on `object`, as text, into the buffer.
int copyDictionary(PyObject* object, const char* method, bool anyValue, char* buffer, int size)
{
    PyRef result(PyObject_CallMethod(object, method, nullptr));
    if (!result)
        return failCall(Report::Log);
    std::string text;
    if (int code = dictionaryText(result.get(), anyValue, text); code != kOk)
        return code;
    result.reset();
    return copyOut(text, buffer, size);
}

// The text of dictionary item `key` into the buffer; a missing item or one
// that is not text is an error (logged).
int copyItem(PyObject* dict, const char* key, char* buffer, int size)
{
    PyObject* item = PyDict_GetItemString(dict, key); // borrowed
    if (item == nullptr) {
        PyErr_SetString(PyExc_KeyError, key);
        return failCall(Report::Log);
    }
    std::string_view text;
    if (!textOf(item, text))
        return failCall(Report::Log);
    return copyOut(text, buffer, size);
}

std::string channelEffecter(std::uint8_t channel)
{
    return kI2cChannelPrefix + std::to_string(channel) + kI2cChannelSuffix;
}

} // namespace

extern "C" {

int vdlbmc_get_fpga_load(VdlbmcHandle* handle, int* load)
{
    if (handle == nullptr || load == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::effecters, kFpgaConfiguration, [&](PyObject* effecter) {
        if (isNumericEffecter(effecter))
            return kFailed;
        PyRef value(PyObject_CallMethod(effecter, "get_value", nullptr));
        std::string_view text;
        if (!value || !textOf(value.get(), text))
            return failCall(Report::Clear);
        for (const auto& entry : kLoadTexts) {
            if (text == entry.text) {
                *load = entry.code;
                return kOk;
            }
        }
        return kFailed;
    });
}

int vdlbmc_set_fpga_load(VdlbmcHandle* handle, unsigned int load)
{
    if (handle == nullptr)
        return kNullPointer;
    if (load < 1 || load > kLoadCodeCount)
        return kBadValue;
    return onObject(handle, &VdlbmcHandle::components, kFpga, [&](PyObject* fpga) {
        return callFpgaLoad(fpga, kLoadCalls[load - 1]);
    });
}

int vdlbmc_fpga_reset(VdlbmcHandle* handle, const char* component)
{
    if (handle == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::components, orFpga(component), [&](PyObject* fpga) {
        return callLogged(fpga, "reset");
    });
}

int vdlbmc_fpga_set_corev(VdlbmcHandle* handle, const char* component, double value, uint8_t flag)
{
    if (handle == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::components, orFpga(component), [&](PyObject* fpga) {
        PyRef result(PyObject_CallMethod(fpga, "override_core", "(dO)", value,
                                         flag ? Py_True : Py_False));
        return result ? kOk : failCall(Report::Log);
    });
}

int vdlbmc_fpga_get_corev(VdlbmcHandle* handle, const char* component, bool* overrideDisabled,
                          double* value)
{
    if (handle == nullptr || overrideDisabled == nullptr || value == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::components, orFpga(component), [&](PyObject* fpga) {
        PyRef disabled(PyObject_CallMethod(fpga, "core_override_disabled", nullptr));
        if (!disabled)
            return failCall(Report::Log);
        *overrideDisabled = disabled.get() == Py_True;
        if (handle->disconnectAsked)
            return kFailed;
        double number = 0.0;
        if (int code = numericResult(fpga, "core_override_value", number); code != kOk)
            return code;
        *value = number;
        return kOk;
    });
}

int vdlbmc_set_boot_src(VdlbmcHandle* handle, const char* component, const char* source)
{
    if (handle == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::components, orFpga(component), [&](PyObject* fpga) {
        // A null text is passed as None.
        PyRef result(PyObject_CallMethod(fpga, "set_boot_source", "(s)", source));
        return result ? kOk : failCall(Report::Log);
    });
}

int vdlbmc_get_boot_src(VdlbmcHandle* handle, const char* component, char* buffer, int size)
{
    if (handle == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::components, orFpga(component), [&](PyObject* fpga) {
        PyRef result;
        std::string_view text;
        if (int code = textResult(fpga, "get_boot_source", nullptr, result, text); code != kOk)
            return code;
        return copyOut(text, buffer, size);
    });
}

int vdlbmc_clock_program(VdlbmcHandle* handle, const char* clock, const char* file)
{
    if (handle == nullptr || clock == nullptr || file == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::components, clock, [&](PyObject* component) {
        PyRef result(PyObject_CallMethod(component, "program", "(s)", file));
        return result ? kOk : failCall(Report::Log);
    });
}

int vdlbmc_clock_reload(VdlbmcHandle* handle, const char* clock)
{
    if (handle == nullptr || clock == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::components, clock, [&](PyObject* component) {
        return callLogged(component, "reload");
    });
}

int vdlbmc_clock_frequency(VdlbmcHandle* handle, const char* clock, uint8_t number, char* buffer,
                           int size)
{
    if (handle == nullptr || clock == nullptr || buffer == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::components, clock, [&](PyObject* component) {
        PyRef result;
        std::string_view text;
        if (int code = textResult(component, "frequency", "(i)", result, text, number);
            code != kOk)
            return code;
        return copyOut(text, buffer, size);
    });
}

int vdlbmc_clock_information(VdlbmcHandle* handle, const char* clock, char* buffer, int size)
{
    if (handle == nullptr || clock == nullptr || buffer == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::components, clock, [&](PyObject* component) {
        PyRef result(PyObject_CallMethod(component, "information", nullptr));
        if (!result)
            return failCall(Report::Log);
        std::string text;
        const int code = joinItems(
            result.get(), "a dictionary of clock outputs", text,
            [](PyObject* values, std::string& out) {
                if (!PyList_Check(values))
                    return failType(Report::Log, "a list of clock values");
                out.append("[");
                const Py_ssize_t count = PyList_Size(values);
                for (Py_ssize_t i = 0; i < count; ++i) {
                    std::string_view valueText;
                    if (!textOf(PyList_GetItem(values, i), valueText))
                        return failCall(Report::Log);
                    out.append(valueText).append(",");
                }
                if (count > 0)
                    out.pop_back();
                out.append("]");
                return kOk;
            });
        if (code != kOk)
            return code;
        return copyOutLogged(text, buffer, size);
    });
}

int vdlbmc_power(VdlbmcHandle* handle, uint8_t on)
{
    if (handle == nullptr)
        return kNullPointer;
    return onHandle(handle, kFailed, [&] {
        PyObject* card = nullptr;
        if (int code = cardOf(handle, card); code != kOk)
            return code;
        PyRef result(PyObject_CallMethod(card, "power", "(O)", on ? Py_True : Py_False));
        return result ? kOk : failCall(Report::Log);
    });
}

int vdlbmc_is_power_on(VdlbmcHandle* handle, bool* on)
{
    if (handle == nullptr || on == nullptr)
        return kNullPointer;
    return onHandle(handle, kFailed, [&] {
        PyObject* card = nullptr;
        if (int code = cardOf(handle, card); code != kOk)
            return code;
        PyRef result(PyObject_CallMethod(card, "get_power_on", nullptr));
        if (!result)
            return failCall(Report::Log);
        *on = result.get() == Py_True;
        return kOk;
    });
}

int vdlbmc_reboot(VdlbmcHandle* handle)
{
    if (handle == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::components, kBmc, [&](PyObject* bmc) {
        return callLogged(bmc, "reboot");
    });
}

int vdlbmc_read_last_error(VdlbmcHandle* handle, char* resetCause, int resetCauseSize,
                           char* lastError, int lastErrorSize)
{
    if (handle == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::components, kBmc, [&](PyObject* bmc) {
        PyRef result(PyObject_CallMethod(bmc, "last_error", nullptr));
        if (!result)
            return failCall(Report::Log);
        if (!PyDict_Check(result.get()))
            return failType(Report::Log, "a dictionary with lastError and resetCause");
        if (int code = copyItem(result.get(), "lastError", lastError, lastErrorSize); code != kOk)
            return code;
        return copyItem(result.get(), "resetCause", resetCause, resetCauseSize);
    });
}

int vdlbmc_read_mgmt_prom_serial(VdlbmcHandle* handle, uint8_t* buffer, int length)
{
    if (handle == nullptr || buffer == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::components, kMfgProm, [&](PyObject* prom) {
        PyRef result(PyObject_CallMethod(prom, "prom_serial_number", nullptr));
        if (!result)
            return failCall(Report::Log);
        if (length > 0)
            std::memset(buffer, kUnreadSerialByte, static_cast<std::size_t>(length));
        for (int i = 0; i < length; ++i) {
            // A shorter list (or no list) leaves the remaining bytes unread.
            // Held while converted: an element's __index__ may take it out of
            // the list.
            PyRef element(Py_XNewRef(PyList_GetItem(result.get(), i)));
            if (!element) {
                PyErr_Clear();
                break;
            }
            const long byte = PyLong_AsLong(element.get());
            if (byte == -1 && PyErr_Occurred())
                return failCall(Report::Log);
            buffer[i] = static_cast<std::uint8_t>(byte & kByteMask);
        }
        return kOk;
    });
}

int vdlbmc_set_i2c_channel_ownership(VdlbmcHandle* handle, uint8_t channel, uint8_t enable,
                                     const char* value)
{
    if (handle == nullptr)
        return kNullPointer;
    return onHandle(handle, kFailed, [&] {
        PyObject* effecter = nullptr;
        const std::string name = channelEffecter(channel);
        if (int code = lookUp(handle, &VdlbmcHandle::effecters, name.c_str(), effecter); code != kOk)
            return code;
        if (!enable)
            return callLogged(effecter, "disable");
        if (int code = callLogged(effecter, "enable"); code != kOk)
            return code;
        if (value == nullptr || handle->disconnectAsked)
            return kOk;
        PyRef result(PyObject_CallMethod(effecter, "set_value", "(s)", value));
        return result ? kOk : failCall(Report::Log);
    });
}

int vdlbmc_get_i2c_channel_ownership(VdlbmcHandle* handle, uint8_t channel, bool* enabled,
                                     char* buffer, int size)
{
    if (handle == nullptr || enabled == nullptr)
        return kNullPointer;
    return onHandle(handle, kFailed, [&] {
        PyObject* effecter = nullptr;
        const std::string name = channelEffecter(channel);
        if (int code = lookUp(handle, &VdlbmcHandle::effecters, name.c_str(), effecter); code != kOk)
            return code;
        PyRef state;
        std::string_view stateText;
        if (int code = textResult(effecter, "operational_state", nullptr, state, stateText);
            code != kOk)
            return code;
        *enabled = stateText.substr(0, kEnabledPrefixLength) == kEnabledPrefix;
        if (handle->disconnectAsked)
            return kFailed;
        PyRef value;
        std::string_view valueText;
        if (int code = textResult(effecter, "get_value", nullptr, value, valueText); code != kOk)
            return code;
        return copyOut(valueText, buffer, size);
    });
}

int vdlbmc_enable_pcie_i2c(VdlbmcHandle* handle, uint8_t enable)
{
    if (handle == nullptr)
        return kNullPointer;
    return onObject(handle, &VdlbmcHandle::effecters, kPcieI2c, [&](PyObject* effecter) {
        PyRef result(
            PyObject_CallMethod(effecter, "set_value", "(s)", enable ? "Enabled" : "Disabled"));
        return result ? kOk : failCall(Report::Log);
    });
}

int vdlbmc_get_mfg_info(VdlbmcHandle* handle, char* buffer, int size)
{
    if (handle == nullptr || buffer == nullptr)
        return kNullPointer;
    if (size < kMinimumDictionaryBuffer)
        return kBadValue;
    return onHandle(handle, kFailed, [&] {
        PyObject* card = nullptr;
        if (int code = cardOf(handle, card); code != kOk)
            return code;
        return copyDictionary(card, "mfg_info", true, buffer, size);
    });
}

int vdlbmc_firmware_version(VdlbmcHandle* handle, char* buffer, int size)
{
    if (handle == nullptr || buffer == nullptr)
        return kNullPointer;
    if (size < kMinimumDictionaryBuffer)
        return kBadValue;
    return onObject(handle, &VdlbmcHandle::components, kBmc, [&](PyObject* bmc) {
        return copyDictionary(bmc, "version", false, buffer, size);
    });
}

} // extern "C"

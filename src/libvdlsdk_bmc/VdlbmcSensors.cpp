// Sensor and effecter functions: look the name up in the handle, call one
// member of the script object, convert and copy the result out.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sstream>

#include "VdlbmcInternal.hpp"
#include "vdlsdk/vdl_util.hpp"

using namespace vdlbmc_detail;

namespace {

constexpr const char* kNumericSensorType = "NumericSensor";
constexpr const char* kNumericEffecterType = "NumericEffecter";
constexpr const char* kEnabledState = "enabled";
constexpr const char* kSensorValueFormat = "%.3f";
// "%.3f" of the largest double: its integer digits, a sign, the point, three
// decimals and the NUL, with room to spare.
constexpr std::size_t kSensorValueTextSize = std::numeric_limits<double>::max_exponent10 + 16;
constexpr char kStateSeparator = ',';
constexpr unsigned int kThresholdCount = 6;

// The value a numeric member returned. False, with an error pending, for a
// result that is not a number.
bool numberOf(PyObject* result, double& value) noexcept
{
    const double number = PyFloat_AsDouble(result);
    if (number == -1.0 && PyErr_Occurred())
        return false;
    value = number;
    return true;
}

// repr() of a value as text, for the textual kinds. False with an error pending.
bool reprOf(PyObject* value, PyRef& repr, std::string_view& text) noexcept
{
    repr.reset(PyObject_Repr(value));
    return repr && textOf(repr.get(), text);
}

// The threshold record seen as bytes, addressed by the offsets of thresholdNames.
struct ThresholdSlot {
    const char* name;
    double VdlbmcThresholds::*field;
};
constexpr ThresholdSlot kThresholdSlots[kThresholdCount] = {
    {"upperThresholdWarning", &VdlbmcThresholds::upperThresholdWarning},
    {"upperThresholdCritical", &VdlbmcThresholds::upperThresholdCritical},
    {"upperThresholdFatal", &VdlbmcThresholds::upperThresholdFatal},
    {"lowerThresholdWarning", &VdlbmcThresholds::lowerThresholdWarning},
    {"lowerThresholdCritical", &VdlbmcThresholds::lowerThresholdCritical},
    {"lowerThresholdFatal", &VdlbmcThresholds::lowerThresholdFatal},
};

int readNumericSensor(VdlbmcHandle* handle, const char* name, double* value, char* units,
                      int unitsSize)
{
    PyObject* sensor = nullptr;
    if (int code = lookUp(handle, &VdlbmcHandle::sensors, name, sensor); code != kOk)
        return code;
    if (value == nullptr)
        return kNullPointer;
    if (!isNumericSensor(sensor))
        return kFailed;
    double number = 0.0;
    if (int code = numericResult(sensor, "get_reading", number); code != kOk)
        return code;
    *value = number;
    if (units == nullptr || handle->disconnectAsked)
        return kOk;

    PyRef unitsText(PyObject_GetAttrString(sensor, "units"));
    if (!unitsText) {
        // Only a sensor without units has none; any other raise (the
        // controller did not answer, say) is a failed read.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return failCall(Report::Log);
        PyErr_Clear();
        return copyOut({}, units, unitsSize);
    }
    std::string_view text;
    if (!textOf(unitsText.get(), text))
        return failCall(Report::Log);
    return copyOut(text, units, unitsSize);
}

int readNumericEffecter(VdlbmcHandle* handle, const char* name, double* value)
{
    PyObject* effecter = nullptr;
    if (int code = lookUp(handle, &VdlbmcHandle::effecters, name, effecter); code != kOk)
        return code;
    if (value == nullptr)
        return kNullPointer;
    if (!isNumericEffecter(effecter))
        return kFailed;
    double number = 0.0;
    if (int code = numericResult(effecter, "get_value", number); code != kOk)
        return code;
    *value = number;
    return kOk;
}

// get_value() of a textual object, as its repr, into the buffer.
int copyValueRepr(PyObject* object, char* buffer, int size)
{
    PyRef result(PyObject_CallMethod(object, "get_value", nullptr));
    if (!result)
        return failCall(Report::Log);
    PyRef repr;
    std::string_view text;
    if (!reprOf(result.get(), repr, text))
        return failCall(Report::Log);
    return copyOut(text, buffer, size);
}

int kindOf(VdlbmcHandle* handle, TableMember table, const char* name, bool* isNumeric,
           bool (*numeric)(PyObject*) noexcept)
{
    PyObject* object = nullptr;
    if (int code = lookUp(handle, table, name, object); code != kOk)
        return code;
    if (isNumeric == nullptr)
        return kNullPointer;
    *isNumeric = numeric(object);
    return kOk;
}

} // namespace

namespace vdlbmc_detail {

int lookUp(VdlbmcHandle* handle, TableMember table, const char* name, PyObject*& object) noexcept
{
    if (handle == nullptr || name == nullptr)
        return kNullPointer;
    // A handle disconnected during a call under way is used no more.
    if (!interpreterUsable() || handle->disconnectAsked)
        return kFailed;
    object = findIn(handle->*table, name);
    return object ? kOk : kNotFound;
}

int numericResult(PyObject* object, const char* method, double& number)
{
    PyRef result(PyObject_CallMethod(object, method, nullptr));
    if (!result || !numberOf(result.get(), number))
        return failCall(Report::Log);
    return kOk;
}

bool isNumericSensor(PyObject* sensor) noexcept
{
    return std::strcmp(Py_TYPE(sensor)->tp_name, kNumericSensorType) == 0;
}

bool isNumericEffecter(PyObject* effecter) noexcept
{
    return std::strcmp(Py_TYPE(effecter)->tp_name, kNumericEffecterType) == 0;
}

PyObject* findIn(const VdlbmcHandle::Table& table, const char* name) noexcept
{
    const auto found = table.find(std::string_view(name));
    return found == table.end() ? nullptr : found->second;
}

int copyOut(std::string_view text, char* buffer, int size)
{
    try {
        copyStdStringToCharPtr(std::string(text), buffer, size);
    } catch (const VDLException<kTooSmall>& e) {
        return e.code;
    } catch (const VDLBaseException& e) {
        e.log();
        return e.code;
    }
    return kOk;
}

int copyOutLogged(std::string_view text, char* buffer, int size)
{
    try {
        copyStdStringToCharPtr(std::string(text), buffer, size);
    } catch (const VDLBaseException& e) {
        e.log();
        return e.code;
    }
    return kOk;
}

} // namespace vdlbmc_detail

namespace {

std::vector<std::string> settableStates(VdlbmcHandle* handle, const char* name)
{
    if (handle->disconnectAsked)
        throw VDLException<kFailed>("The handle was disconnected");
    PyObject* effecter = findIn(handle->effecters, name);
    if (effecter == nullptr)
        throw VDLException<kNotFound>("Could not find effecter {}", name);

    std::vector<std::string> states;
    PyRef attrName(PyUnicode_FromString("settable_states"));
    if (!attrName) {
        PyErr_Clear();
        throw VDLException<kFailed>("Could not read the settable states of effecter {}", name);
    }
    // An effecter without states, or whose states have no length, has none;
    // any other error is a failure to read them.
    PyRef sequence(PyObject_GetAttr(effecter, attrName.get()));
    if (!sequence) {
        const bool absent = PyErr_ExceptionMatches(PyExc_AttributeError);
        PyErr_Clear();
        if (absent)
            return states;
        throw VDLException<kFailed>("Could not read the settable states of effecter {}", name);
    }
    const Py_ssize_t count = PyObject_Size(sequence.get());
    if (count < 0) {
        const bool noLength = PyErr_ExceptionMatches(PyExc_TypeError);
        PyErr_Clear();
        if (noLength)
            return states;
        throw VDLException<kFailed>("Could not read the settable states of effecter {}", name);
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef index(PyLong_FromSsize_t(i));
        PyRef state(index ? PyObject_GetItem(sequence.get(), index.get()) : nullptr);
        std::string_view text;
        if (!state || !textOf(state.get(), text)) {
            PyErr_Clear();
            throw VDLException<kFailed>("Could not read the settable states of effecter {}", name);
        }
        states.emplace_back(text);
    }
    return states;
}

} // namespace

std::vector<std::string> get_effecter_settable_states(VdlbmcHandle* handle, const char* name)
{
    if (handle == nullptr || name == nullptr)
        throw VDLException<kNullPointer>("No effecter given");
    if (!interpreterUsable())
        throw VDLException<kFailed>("The Python interpreter is not running");
    // Reading the states runs script code, which may disconnect the handle.
    const auto disconnected = [&] {
        return VDLException<kFailed>("Effecter {}: the handle was disconnected during the call",
                                     name);
    };
    std::vector<std::string> states;
    try {
        CallUnderWay call(handle);
        states = settableStates(handle, name);
    } catch (...) {
        if (disconnectedDuringCall(handle))
            throw disconnected();
        throw;
    }
    if (disconnectedDuringCall(handle))
        throw disconnected();
    return states;
}

extern "C" {

int vdlbmc_sensor_is_numeric(VdlbmcHandle* handle, const char* name, bool* isNumeric)
{
    return kindOf(handle, &VdlbmcHandle::sensors, name, isNumeric, isNumericSensor);
}

int vdlbmc_effecter_is_numeric(VdlbmcHandle* handle, const char* name, bool* isNumeric)
{
    return kindOf(handle, &VdlbmcHandle::effecters, name, isNumeric, isNumericEffecter);
}

int vdlbmc_read_numeric_sensor_value(VdlbmcHandle* handle, const char* name, double* value,
                                     char* units, int unitsSize)
{
    if (handle == nullptr)
        return kNullPointer;
    return onHandle(handle, kFailed,
                    [&] { return readNumericSensor(handle, name, value, units, unitsSize); });
}

int vdlbmc_read_sensor_value(VdlbmcHandle* handle, const char* name, char* value, int valueSize,
                             char* units, int unitsSize)
{
    return onObject(handle, &VdlbmcHandle::sensors, name, [&](PyObject* sensor) {
        if (!isNumericSensor(sensor)) {
            if (int code = copyValueRepr(sensor, value, valueSize); code != kOk)
                return code;
            return units ? copyOut({}, units, unitsSize) : kOk;
        }
        double reading = 0.0;
        if (readNumericSensor(handle, name, &reading, units, unitsSize) != kOk)
            return kFailed;
        // Formatted whole, then copied as every other text: a reading cut to
        // fit the caller's buffer is -33, never a shorter number.
        char text[kSensorValueTextSize];
        const int length = std::snprintf(text, sizeof text, kSensorValueFormat, reading);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof text)
            return kFailed;
        return copyOut(std::string_view(text, static_cast<std::size_t>(length)), value, valueSize);
    });
}

int vdlbmc_get_sensor_thresholds(VdlbmcHandle* handle, const char* name, uint8_t* mask,
                                 VdlbmcThresholds* thresholds)
{
    return onObject(handle, &VdlbmcHandle::sensors, name, [&](PyObject* sensor) {
        if (mask == nullptr || thresholds == nullptr)
            return kNullPointer;
        PyRef result(PyObject_CallMethod(sensor, "get_thresholds", nullptr));
        if (!result)
            return failCall(Report::Clear);
        if (!PyDict_Check(result.get()))
            return failType(Report::Clear, "a dictionary of thresholds");
        std::uint8_t valid = 0;
        for (unsigned int i = 0; i < kThresholdCount; ++i) {
            // Held while converted: a value's __float__ may take it out of the
            // dictionary.
            PyRef item(Py_XNewRef(PyDict_GetItemString(result.get(), kThresholdSlots[i].name)));
            double number = 0.0;
            // Absent, None or anything else that is not a number: no threshold.
            if (!item || !numberOf(item.get(), number)) {
                PyErr_Clear();
                continue;
            }
            if (std::isnan(number)) {
                thresholds->*kThresholdSlots[i].field = 0.0;
                continue;
            }
            thresholds->*kThresholdSlots[i].field = number;
            valid |= static_cast<std::uint8_t>(1u << i);
        }
        *mask = valid;
        return kOk;
    });
}

int vdlbmc_set_sensor_thresholds(VdlbmcHandle* handle, const char* name, uint8_t mask,
                                 const VdlbmcThresholds* thresholds)
{
    return onObject(handle, &VdlbmcHandle::sensors, name, [&](PyObject* sensor) {
        if (thresholds == nullptr)
            return kNullPointer;
        PyRef dict(PyDict_New());
        if (!dict)
            return failCall(Report::Log);
        for (unsigned int i = 0; i < kThresholdCount; ++i) {
            PyRef item((mask & (1u << i)) ? PyFloat_FromDouble(thresholds->*kThresholdSlots[i].field)
                                          : Py_NewRef(Py_None));
            if (!item || PyDict_SetItemString(dict.get(), kThresholdSlots[i].name, item.get()) != 0)
                return failCall(Report::Log);
        }
        PyRef result(PyObject_CallMethod(sensor, "set_thresholds", "(O)", dict.get()));
        return result ? kOk : failCall(Report::Log);
    });
}

int vdlbmc_sensor_enable(VdlbmcHandle* handle, const char* name, uint8_t enable)
{
    return onObject(handle, &VdlbmcHandle::sensors, name, [&](PyObject* sensor) {
        PyRef result(PyObject_CallMethod(sensor, enable ? "enable" : "disable", nullptr));
        return result ? kOk : failCall(Report::Clear);
    });
}

int vdlbmc_is_sensor_enabled(VdlbmcHandle* handle, const char* name, bool* enabled)
{
    return onObject(handle, &VdlbmcHandle::sensors, name, [&](PyObject* sensor) {
        if (enabled == nullptr)
            return kNullPointer;
        PyRef state(PyObject_CallMethod(sensor, "operational_state", nullptr));
        if (!state)
            return failCall(Report::Clear);
        std::string_view text;
        if (!textOf(state.get(), text))
            return failCall(Report::Clear);
        *enabled = text == kEnabledState;
        return kOk;
    });
}

int vdlbmc_get_sensor_display_level(VdlbmcHandle* handle, const char* name, char* buffer,
                                    int size)
{
    return onObject(handle, &VdlbmcHandle::sensors, name, [&](PyObject* sensor) {
        PyRef level(PyObject_GetAttrString(sensor, "display_level"));
        std::string_view text;
        if (!level || !textOf(level.get(), text))
            return failCall(Report::Clear);
        return copyOut(text, buffer, size);
    });
}

int vdlbmc_read_numeric_effecter_value(VdlbmcHandle* handle, const char* name, double* value)
{
    if (handle == nullptr)
        return kNullPointer;
    return onHandle(handle, kFailed, [&] { return readNumericEffecter(handle, name, value); });
}

int vdlbmc_read_effecter_value(VdlbmcHandle* handle, const char* name, char* buffer, int size)
{
    return onObject(handle, &VdlbmcHandle::effecters, name, [&](PyObject* effecter) {
        if (!isNumericEffecter(effecter))
            return copyValueRepr(effecter, buffer, size);
        double value = 0.0;
        if (readNumericEffecter(handle, name, &value) != kOk)
            return kFailed;
        std::ostringstream text;
        text << value;
        return copyOut(text.str(), buffer, size);
    });
}

int vdlbmc_set_numeric_effecter(VdlbmcHandle* handle, const char* name, double value)
{
    return onObject(handle, &VdlbmcHandle::effecters, name, [&](PyObject* effecter) {
        if (!isNumericEffecter(effecter))
            return kFailed;
        PyRef result(PyObject_CallMethod(effecter, "set_value", "(d)", value));
        return result ? kOk : failCall(Report::Clear);
    });
}

int vdlbmc_set_effecter(VdlbmcHandle* handle, const char* name, const char* value)
{
    return onObject(handle, &VdlbmcHandle::effecters, name, [&](PyObject* effecter) {
        if (isNumericEffecter(effecter))
            return kFailed;
        // A null text is passed as None.
        PyRef result(PyObject_CallMethod(effecter, "set_value", "(s)", value));
        return result ? kOk : failCall(Report::Clear);
    });
}

int vdlbmc_get_effecter_settable_values(VdlbmcHandle* handle, const char* name, char* buffer,
                                        int size)
{
    if (handle == nullptr)
        return kNullPointer;
    return onHandle(handle, kFailed, [&] {
        try {
            const auto states = get_effecter_settable_states(handle, name);
            std::string joined;
            for (const auto& state : states) {
                joined += state;
                joined += kStateSeparator;
            }
            if (!joined.empty())
                joined.pop_back();
            const int length = static_cast<int>(joined.size());
            if (buffer == nullptr)
                return length;
            if (static_cast<std::uint32_t>(size) < joined.size())
                return kTooSmall;
            copyStdStringToCharPtr(joined, buffer, size);
            return length;
        } catch (const VDLBaseException& e) {
            return e.code;
        }
    });
}

bool vdlbmc_effecter_is_settable(VdlbmcHandle* handle, const char* name, const char* value)
{
    if (handle == nullptr || name == nullptr)
        return false;
    return onHandle(handle, false, [&] {
        std::vector<std::string> states;
        try {
            states = get_effecter_settable_states(handle, name);
        } catch (const VDLBaseException& e) {
            e.log();
            return false;
        }
        if (value == nullptr)
            return false;
        for (const auto& state : states)
            if (state == value)
                return true;
        return false;
    });
}

} // extern "C"

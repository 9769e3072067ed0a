// Sensor and effecter functions against the simulated controller.
#include <cmath>
#include <cstring>
#include <string>

#include "bmc_table.hpp"

using namespace bmctest;

namespace {

class bmcSensors : public ConnectedTest {};

} // namespace

TEST_F(bmcSensors, MainPathAndRaisingMemberOfEveryFunction)
{
    bool flag = false;
    double value = 0;
    char text[64] = {};
    char units[16] = {};
    std::uint8_t mask = 0;
    VdlbmcThresholds record{};
    const VdlbmcThresholds toSend{80.0, 90.0, 100.0, 1.0, 2.0, 3.0};

    const std::vector<CallRow> rows = {
        {"sensor_is_numeric numeric",
         [&](VdlbmcHandle* h) { return vdlbmc_sensor_is_numeric(h, "FPGA Temp", &flag); }, 0,
         nullptr, false, [&] { EXPECT_TRUE(flag); }},
        {"sensor_is_numeric subclass",
         [&](VdlbmcHandle* h) { return vdlbmc_sensor_is_numeric(h, "Fan Speed", &flag); }, 0,
         nullptr, false, [&] { EXPECT_FALSE(flag); }},
        {"read_numeric_sensor_value",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_numeric_sensor_value(h, "FPGA Temp", &value, units, sizeof units);
         },
         0, nullptr, false,
         [&] {
             EXPECT_DOUBLE_EQ(45.0, value);
             EXPECT_STREQ("C", units);
         }},
        {"read_numeric_sensor_value raising",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_numeric_sensor_value(h, "FPGA Temp", &value, units, sizeof units);
         },
         -1, "FPGA Temp.get_reading=raise:KeyError", true},
        {"read_sensor_value numeric",
         [&](VdlbmcHandle* h) {
             std::strcpy(units, "x");
             return vdlbmc_read_sensor_value(h, "FPGA Temp", text, sizeof text, units,
                                             sizeof units);
         },
         0, nullptr, false,
         [&] {
             EXPECT_STREQ("45.000", text);
             EXPECT_STREQ("C", units);
         }},
        {"read_sensor_value textual",
         [&](VdlbmcHandle* h) {
             std::strcpy(units, "x");
             return vdlbmc_read_sensor_value(h, "BMC Status", text, sizeof text, units,
                                             sizeof units);
         },
         0, nullptr, false,
         [&] {
             EXPECT_STREQ("'OK'", text);
             EXPECT_STREQ("", units);
         }},
        {"read_sensor_value numeric raising",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_sensor_value(h, "FPGA Temp", text, sizeof text, nullptr, 0);
         },
         -1, "FPGA Temp.get_reading=raise", true},
        {"read_sensor_value textual raising",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_sensor_value(h, "BMC Status", text, sizeof text, nullptr, 0);
         },
         -1, "BMC Status.get_value=raise", true},
        {"get_sensor_thresholds",
         [&](VdlbmcHandle* h) {
             record = {-1, -1, -1, -1, -1, -1};
             return vdlbmc_get_sensor_thresholds(h, "FPGA Temp", &mask, &record);
         },
         0, nullptr, false,
         [&] {
             EXPECT_EQ(0x07, mask);
             EXPECT_DOUBLE_EQ(85.0, record.upperThresholdWarning);
             EXPECT_DOUBLE_EQ(95.0, record.upperThresholdCritical);
             EXPECT_DOUBLE_EQ(105.0, record.upperThresholdFatal);
             EXPECT_DOUBLE_EQ(0.0, record.lowerThresholdWarning); // NaN: 0.0, bit clear
             EXPECT_DOUBLE_EQ(0.0, record.lowerThresholdFatal);
         }},
        {"get_sensor_thresholds raising (cleared)",
         [&](VdlbmcHandle* h) {
             mask = 0xAA;
             return vdlbmc_get_sensor_thresholds(h, "FPGA Temp", &mask, &record);
         },
         -1, "FPGA Temp.get_thresholds=raise", false, [&] { EXPECT_EQ(0xAA, mask); }},
        {"set_sensor_thresholds mask 0x21",
         [&](VdlbmcHandle* h) { return vdlbmc_set_sensor_thresholds(h, "FPGA Temp", 0x21, &toSend); },
         0, nullptr, false,
         [&] {
             EXPECT_EQ("{'upperThresholdWarning': 80.0, 'upperThresholdCritical': None, "
                       "'upperThresholdFatal': None, 'lowerThresholdWarning': None, "
                       "'lowerThresholdCritical': None, 'lowerThresholdFatal': 3.0}",
                       evalText("repr(c.last_call('FPGA Temp.set_thresholds').args[0])"));
         }},
        {"set_sensor_thresholds raising",
         [&](VdlbmcHandle* h) { return vdlbmc_set_sensor_thresholds(h, "FPGA Temp", 0x3F, &toSend); },
         -1, "FPGA Temp.set_thresholds=raise", true},
        {"sensor_enable off",
         [&](VdlbmcHandle* h) { return vdlbmc_sensor_enable(h, "Inlet Temp", 0); }, 0, nullptr,
         false, [&] { EXPECT_FALSE(evalTrue("c.state('Inlet Temp')['enabled']")); }},
        {"sensor_enable on (any non-zero byte)",
         [&](VdlbmcHandle* h) { return vdlbmc_sensor_enable(h, "Inlet Temp", 0x80); }, 0, nullptr,
         false, [&] { EXPECT_TRUE(evalTrue("c.state('Inlet Temp')['enabled']")); }},
        {"sensor_enable raising (cleared)",
         [&](VdlbmcHandle* h) { return vdlbmc_sensor_enable(h, "Inlet Temp", 1); }, -1,
         "Inlet Temp.enable=raise", false},
        {"is_sensor_enabled",
         [&](VdlbmcHandle* h) {
             flag = false;
             return vdlbmc_is_sensor_enabled(h, "Inlet Temp", &flag);
         },
         0, nullptr, false, [&] { EXPECT_TRUE(flag); }},
        {"is_sensor_enabled raising (cleared)",
         [&](VdlbmcHandle* h) { return vdlbmc_is_sensor_enabled(h, "Inlet Temp", &flag); }, -1,
         "Inlet Temp.operational_state=raise", false},
        {"get_sensor_display_level",
         [&](VdlbmcHandle* h) {
             return vdlbmc_get_sensor_display_level(h, "FPGA Temp", text, sizeof text);
         },
         0, nullptr, false, [&] { EXPECT_STREQ("normal", text); }},
        {"get_sensor_display_level raising (cleared)",
         [&](VdlbmcHandle* h) {
             return vdlbmc_get_sensor_display_level(h, "FPGA Temp", text, sizeof text);
         },
         -1, "FPGA Temp.display_level=raise", false},
        {"effecter_is_numeric numeric",
         [&](VdlbmcHandle* h) { return vdlbmc_effecter_is_numeric(h, "Power Limit", &flag); }, 0,
         nullptr, false, [&] { EXPECT_TRUE(flag); }},
        {"effecter_is_numeric textual",
         [&](VdlbmcHandle* h) { return vdlbmc_effecter_is_numeric(h, "Identify LED", &flag); }, 0,
         nullptr, false, [&] { EXPECT_FALSE(flag); }},
        {"read_numeric_effecter_value",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_numeric_effecter_value(h, "Power Limit", &value);
         },
         0, nullptr, false, [&] { EXPECT_DOUBLE_EQ(75.0, value); }},
        {"read_numeric_effecter_value raising",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_numeric_effecter_value(h, "Power Limit", &value);
         },
         -1, "Power Limit.get_value=raise", true},
        {"read_effecter_value numeric",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_effecter_value(h, "Power Limit", text, sizeof text);
         },
         0, nullptr, false, [&] { EXPECT_STREQ("75", text); }},
        {"read_effecter_value textual",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_effecter_value(h, "Identify LED", text, sizeof text);
         },
         0, nullptr, false, [&] { EXPECT_STREQ("'Off'", text); }},
        {"read_effecter_value textual raising",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_effecter_value(h, "Identify LED", text, sizeof text);
         },
         -1, "Identify LED.get_value=raise", true},
        {"set_numeric_effecter",
         [&](VdlbmcHandle* h) { return vdlbmc_set_numeric_effecter(h, "Power Limit", 120.5); }, 0,
         nullptr, false,
         [&] { EXPECT_EQ("120.5", evalText("c.state('Power Limit')['value']")); }},
        {"set_numeric_effecter out of range (cleared)",
         [&](VdlbmcHandle* h) { return vdlbmc_set_numeric_effecter(h, "Power Limit", 5000); }, -1,
         nullptr, false},
        {"set_numeric_effecter raising (cleared)",
         [&](VdlbmcHandle* h) { return vdlbmc_set_numeric_effecter(h, "Power Limit", 100); }, -1,
         "Power Limit.set_value=raise", false},
        {"set_effecter",
         [&](VdlbmcHandle* h) { return vdlbmc_set_effecter(h, "Identify LED", "On"); }, 0, nullptr,
         false, [&] { EXPECT_EQ("On", evalText("c.state('Identify LED')['value']")); }},
        {"set_effecter null text passes None",
         [&](VdlbmcHandle* h) { return vdlbmc_set_effecter(h, "Identify LED", nullptr); }, -1,
         nullptr, false,
         [&] { EXPECT_EQ("(None,)", evalText("c.last_call('Identify LED.set_value').args")); }},
        {"set_effecter raising (cleared)",
         [&](VdlbmcHandle* h) { return vdlbmc_set_effecter(h, "Identify LED", "Off"); }, -1,
         "Identify LED.set_value=raise", false},
        {"get_effecter_settable_values",
         [&](VdlbmcHandle* h) {
             return vdlbmc_get_effecter_settable_values(h, "Identify LED", text, sizeof text);
         },
         6, nullptr, false, [&] { EXPECT_STREQ("On,Off", text); }},
        {"get_effecter_settable_values raising",
         [&](VdlbmcHandle* h) {
             return vdlbmc_get_effecter_settable_values(h, "Identify LED", text, sizeof text);
         },
         -1, "Identify LED.settable_states=raise", false},
        {"effecter_is_settable",
         [&](VdlbmcHandle* h) { return int(vdlbmc_effecter_is_settable(h, "Identify LED", "On")); },
         1, nullptr, false},
        {"effecter_is_settable raising (logged on general)",
         [&](VdlbmcHandle* h) { return int(vdlbmc_effecter_is_settable(h, "Identify LED", "On")); },
         0, "Identify LED.settable_states=raise", false, nullptr, 1},
    };
    runRows(handle, rows);
}

TEST_F(bmcSensors, NamesAndPointersThatAreMissing)
{
    bool flag = false;
    double value = 0;
    char text[16];
    std::uint8_t mask = 0;
    VdlbmcThresholds record{};
    LogCapture log;
    struct Row {
        const char* what;
        int result;
        int expected;
    };
    const Row rows[] = {
        {"null handle", vdlbmc_sensor_is_numeric(nullptr, "FPGA Temp", &flag), -5},
        {"null name", vdlbmc_sensor_is_numeric(handle, nullptr, &flag), -5},
        {"null flag", vdlbmc_sensor_is_numeric(handle, "FPGA Temp", nullptr), -5},
        {"unknown", vdlbmc_sensor_is_numeric(handle, "Nope", &flag), -13},
        {"numeric null value", vdlbmc_read_numeric_sensor_value(handle, "FPGA Temp", nullptr, nullptr, 0), -5},
        {"numeric null name", vdlbmc_read_numeric_sensor_value(handle, nullptr, &value, nullptr, 0), -5},
        {"numeric unknown", vdlbmc_read_numeric_sensor_value(handle, "Nope", &value, nullptr, 0), -13},
        {"text null name", vdlbmc_read_sensor_value(handle, nullptr, text, 16, nullptr, 0), -5},
        {"thresholds null mask", vdlbmc_get_sensor_thresholds(handle, "FPGA Temp", nullptr, &record), -5},
        {"thresholds null record", vdlbmc_get_sensor_thresholds(handle, "FPGA Temp", &mask, nullptr), -5},
        {"set thresholds null record", vdlbmc_set_sensor_thresholds(handle, "FPGA Temp", 1, nullptr), -5},
        {"set thresholds null name", vdlbmc_set_sensor_thresholds(handle, nullptr, 1, &record), -5},
        {"enable null name", vdlbmc_sensor_enable(handle, nullptr, 1), -5},
        {"enable unknown", vdlbmc_sensor_enable(handle, "Nope", 1), -13},
        {"is enabled null flag", vdlbmc_is_sensor_enabled(handle, "FPGA Temp", nullptr), -5},
        {"display null name", vdlbmc_get_sensor_display_level(handle, nullptr, text, 16), -5},
        {"effecter numeric null flag", vdlbmc_effecter_is_numeric(handle, "Power Limit", nullptr), -5},
        {"effecter read null value", vdlbmc_read_numeric_effecter_value(handle, "Power Limit", nullptr), -5},
        {"effecter read unknown", vdlbmc_read_numeric_effecter_value(handle, "Nope", &value), -13},
        {"effecter text null name", vdlbmc_read_effecter_value(handle, nullptr, text, 16), -5},
        {"set numeric null name", vdlbmc_set_numeric_effecter(handle, nullptr, 1.0), -5},
        {"set null name", vdlbmc_set_effecter(handle, nullptr, "On"), -5},
        {"settable null handle", vdlbmc_get_effecter_settable_values(nullptr, "Identify LED", text, 16), -5},
        {"settable null name", vdlbmc_get_effecter_settable_values(handle, nullptr, text, 16), -5},
        {"settable unknown (unlogged)", vdlbmc_get_effecter_settable_values(handle, "Nope", text, 16), -13},
        {"is settable null handle", int(vdlbmc_effecter_is_settable(nullptr, "Identify LED", "On")), 0},
        {"is settable null name", int(vdlbmc_effecter_is_settable(handle, nullptr, "On")), 0},
        {"is settable null value", int(vdlbmc_effecter_is_settable(handle, "Identify LED", nullptr)), 0},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.expected, row.result) << row.what;
    EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
    EXPECT_TRUE(log.messages(LOGGER_GENERAL).empty());
    // An absent effecter is logged by the settable test, with its message.
    EXPECT_FALSE(vdlbmc_effecter_is_settable(handle, "Nope", "On"));
    ASSERT_EQ(1u, log.messages(LOGGER_GENERAL).size());
    EXPECT_EQ("Could not find effecter Nope", log.messages(LOGGER_GENERAL)[0]);
    EXPECT_TRUE(noPendingError());
}

TEST_F(bmcSensors, KindsAreExactTypeNames)
{
    double value = 0;
    char text[32];
    LogCapture log;
    // A subclass of the numeric class is textual: no call, no log line.
    EXPECT_EQ(-1, vdlbmc_read_numeric_sensor_value(handle, "Fan Speed", &value, nullptr, 0));
    EXPECT_FALSE(evalTrue("c.called('Fan Speed.get_reading')"));
    EXPECT_EQ(0, vdlbmc_read_sensor_value(handle, "Fan Speed", text, sizeof text, nullptr, 0));
    EXPECT_STREQ("4200.0", text) << "the repr of its get_value()";
    EXPECT_EQ(-1, vdlbmc_read_numeric_effecter_value(handle, "Identify LED", &value));
    EXPECT_EQ(-1, vdlbmc_set_effecter(handle, "Power Limit", "1"));
    EXPECT_EQ(-1, vdlbmc_set_numeric_effecter(handle, "Identify LED", 1.0));
    EXPECT_FALSE(evalTrue("c.called('Power Limit.set_value') or c.called('Identify LED.set_value')"));
    EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
}

TEST_F(bmcSensors, SensorTextFormats)
{
    struct Row {
        double reading;
        int size;
        const char* expected;
        int code;
    };
    // A reading cut to fit is -33 with the truncated start, like every other text.
    const Row rows[] = {
        {45.0, 32, "45.000", 0},    {45.0, 7, "45.000", 0},        {45.0, 6, "45.00", -33},
        {45.0, 4, "45.", -33},      {45.0, 3, "45", -33},          {1234.5, 4, "123", -33},
        {0.1234, 32, "0.123", 0},   {1234.56789, 32, "1234.568", 0}, {-1e300, 9, "-1000000", -33},
    };
    LogCapture log;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected);
        ASSERT_TRUE(py("c.set_state('FPGA Temp', reading=" + std::to_string(row.reading) + ")"));
        char text[32] = "untouched";
        EXPECT_EQ(row.code, vdlbmc_read_sensor_value(handle, "FPGA Temp", text, row.size, nullptr, 0));
        EXPECT_STREQ(row.expected, text);
    }
    EXPECT_TRUE(log.messages(LOGGER_GENERAL).empty()) << "-33 is not logged";
    // Sizes that cannot hold any of the reading, and a negative size, are
    // refused like a copy, the buffer untouched.
    char text[8] = "keep";
    for (int size : {0, 1, -1}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(-6, vdlbmc_read_sensor_value(handle, "FPGA Temp", text, size, nullptr, 0));
        EXPECT_STREQ("keep", text);
    }
    EXPECT_EQ(-5, vdlbmc_read_sensor_value(handle, "FPGA Temp", nullptr, 8, nullptr, 0));
    EXPECT_EQ(4u, log.messages(LOGGER_GENERAL).size());
    // Units that do not fit: the copy's code, the value already stored.
    double value = 0;
    char units[1];
    EXPECT_EQ(-6, vdlbmc_read_numeric_sensor_value(handle, "Board Power", &value, units, 1));
    EXPECT_DOUBLE_EQ(23.75, value);
    ASSERT_TRUE(py("c.set_state('Board Power', units='Watts')"));
    log.clear();
    char small[3];
    EXPECT_EQ(-33, vdlbmc_read_numeric_sensor_value(handle, "Board Power", &value, small, 3));
    EXPECT_STREQ("Wa", small);
    EXPECT_TRUE(log.messages(LOGGER_GENERAL).empty()) << "-33 is not logged";
}

TEST_F(bmcSensors, EffecterTextUsesTheStreamDefaultNotation)
{
    struct Row {
        const char* set;
        const char* expected;
    };
    const Row rows[] = {
        {"0.5", "0.5"}, {"1.5", "1.5"}, {"100", "100"}, {"0.0001", "0.0001"},
        {"1234567.0", "1.23457e+06"}, {"-2.25", "-2.25"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.set);
        ASSERT_TRUE(py(std::string("c.set_state('Power Limit', value=") + row.set + ")"));
        char text[32];
        EXPECT_EQ(0, vdlbmc_read_effecter_value(handle, "Power Limit", text, sizeof text));
        EXPECT_STREQ(row.expected, text);
    }
    char text[4];
    EXPECT_EQ(-33, vdlbmc_read_effecter_value(handle, "Power Limit", text, sizeof text));
    EXPECT_STREQ("-2.", text);
}

TEST_F(bmcSensors, ThresholdsAndTheValidityMask)
{
    struct Row {
        const char* returns;
        std::uint8_t mask;
        VdlbmcThresholds record;
    };
    constexpr double u = -7.0; // untouched
    const Row rows[] = {
        {"{'upperThresholdWarning': 80.0, 'upperThresholdCritical': nan}", 0x01,
         {80.0, 0.0, u, u, u, u}},
        {"{'lowerThresholdFatal': 3, 'upperThresholdFatal': 1.5}", 0x24, {u, u, 1.5, u, u, 3.0}},
        {"{'upperThresholdWarning': None, 'lowerThresholdWarning': 'x'}", 0x00, {u, u, u, u, u, u}},
        {"{}", 0x00, {u, u, u, u, u, u}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.returns);
        clearFaults();
        fault("VCCINT.get_thresholds", std::string("return:py:") + row.returns);
        VdlbmcThresholds record{u, u, u, u, u, u};
        std::uint8_t mask = 0xFF;
        EXPECT_EQ(0, vdlbmc_get_sensor_thresholds(handle, "VCCINT", &mask, &record));
        EXPECT_EQ(row.mask, mask);
        EXPECT_DOUBLE_EQ(row.record.upperThresholdWarning, record.upperThresholdWarning);
        EXPECT_DOUBLE_EQ(row.record.upperThresholdCritical, record.upperThresholdCritical);
        EXPECT_DOUBLE_EQ(row.record.upperThresholdFatal, record.upperThresholdFatal);
        EXPECT_DOUBLE_EQ(row.record.lowerThresholdWarning, record.lowerThresholdWarning);
        EXPECT_DOUBLE_EQ(row.record.lowerThresholdCritical, record.lowerThresholdCritical);
        EXPECT_DOUBLE_EQ(row.record.lowerThresholdFatal, record.lowerThresholdFatal);
        EXPECT_TRUE(noPendingError());
    }
    clearFaults();
    // Set and read back: bits 6 and 7 are ignored.
    const VdlbmcThresholds sent{0.9, 0.95, 1.0, 0.8, 0.78, 0.7};
    EXPECT_EQ(0, vdlbmc_set_sensor_thresholds(handle, "VCCINT", 0xC9, &sent));
    VdlbmcThresholds back{};
    std::uint8_t mask = 0;
    EXPECT_EQ(0, vdlbmc_get_sensor_thresholds(handle, "VCCINT", &mask, &back));
    EXPECT_EQ(0x09, mask);
    EXPECT_DOUBLE_EQ(0.9, back.upperThresholdWarning);
    EXPECT_DOUBLE_EQ(0.8, back.lowerThresholdWarning);
}

TEST(bmcSensorsAlone, ThresholdThatRemovesItselfIsHeldWhileConverted)
{
    plainInterpreterEnvironment();
    VdlbmcHandle* handle = connect("layout=vanishing");
    ASSERT_NE(nullptr, handle);
    const long held =
        referencesWhenHeld([](PyObject* value) { static_cast<void>(PyFloat_AsDouble(value)); });
    constexpr double u = -7.0; // untouched
    VdlbmcThresholds record{u, u, u, u, u, u};
    std::uint8_t mask = 0xFF;
    EXPECT_EQ(0, vdlbmc_get_sensor_thresholds(handle, "Vanishing Temp", &mask, &record));
    EXPECT_TRUE(noPendingError());
    // Converted while the library held its own reference, after the value had
    // left the dictionary; it is no number, so its slot and bit stay clear.
    EXPECT_EQ(2, evalLong("len(c.SelfRemoving.references)"));
    EXPECT_EQ(held, evalLong("c.SelfRemoving.references[-1]"));
    EXPECT_EQ(0x3E, mask);
    EXPECT_DOUBLE_EQ(u, record.upperThresholdWarning);
    EXPECT_DOUBLE_EQ(90.0, record.upperThresholdCritical);
    EXPECT_DOUBLE_EQ(3.0, record.lowerThresholdFatal);
    vdlbmc_disconnect(handle);
}

TEST_F(bmcSensors, EnabledOnlyForTheExactText)
{
    struct Row {
        const char* state;
        bool expected;
    };
    const Row rows[] = {
        {"enabled", true}, {"Enabled", false}, {"enabled-pending", false}, {"", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state);
        clearFaults();
        fault("Inlet Temp.operational_state", std::string("return:str:") + row.state);
        bool flag = !row.expected;
        EXPECT_EQ(0, vdlbmc_is_sensor_enabled(handle, "Inlet Temp", &flag));
        EXPECT_EQ(row.expected, flag);
    }
}

TEST_F(bmcSensors, SettableValuesSizeRules)
{
    ASSERT_TRUE(py("c.set_state('Identify LED', settable_states=['On', 'Off'])"));
    struct Row {
        bool nullBuffer;
        int size;
        int expected;
        const char* text;
    };
    const Row rows[] = {
        {true, 0, 6, "untouched"},  {false, 7, 6, "On,Off"}, {false, 6, -33, "On,Of"},
        {false, 3, -33, "untouched"}, {false, 1, -33, "untouched"}, {false, -1, -6, "untouched"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        LogCapture log;
        char text[16] = "untouched";
        EXPECT_EQ(row.expected, vdlbmc_get_effecter_settable_values(
                                    handle, "Identify LED", row.nullBuffer ? nullptr : text, row.size));
        EXPECT_STREQ(row.text, text);
        EXPECT_TRUE(log.messages(LOGGER_GENERAL).empty());
    }
    ASSERT_TRUE(py("c.set_state('Identify LED', settable_states=[])"));
    char text[10] = "untouched";
    EXPECT_EQ(0, vdlbmc_get_effecter_settable_values(handle, "Identify LED", text, 10));
    EXPECT_STREQ("", text);
}

TEST_F(bmcSensors, SettableStatesOfOddEffecters)
{
    struct Row {
        const char* fault;
        int expected;
        bool settableA;
    };
    const Row rows[] = {
        {"missing", 0, false},                    // no states
        {"return:int:3", 0, false},               // no length: no states
        {"return:py:('A', 'B')", 3, true},        // any sequence
        {"raise", -1, false},                     // not the same as no states
        {"return:py:['A', 1]", -1, false},        // a state that is not text
        {"return:py:['A', UNENCODABLE]", -1, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        clearFaults();
        fault("Identify LED.settable_states", row.fault);
        LogCapture log;
        char text[16];
        EXPECT_EQ(row.expected, vdlbmc_get_effecter_settable_values(handle, "Identify LED", text, 16));
        EXPECT_EQ(row.settableA, vdlbmc_effecter_is_settable(handle, "Identify LED", "A"));
        EXPECT_EQ(row.expected < 0 ? 1u : 0u, log.messages(LOGGER_GENERAL).size());
        EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
        EXPECT_TRUE(noPendingError());
    }
}

TEST_F(bmcSensors, ResultsOfTheWrongTypeFail)
{
    bool flag = false;
    double value = 0;
    char text[32];
    char units[8];
    std::uint8_t mask = 0;
    VdlbmcThresholds record{};
    const std::vector<CallRow> rows = {
        {"reading is text",
         [&](VdlbmcHandle* h) { return vdlbmc_read_numeric_sensor_value(h, "FPGA Temp", &value, nullptr, 0); },
         -1, "FPGA Temp.get_reading=return:str:hot", true},
        {"reading is None",
         [&](VdlbmcHandle* h) { return vdlbmc_read_numeric_sensor_value(h, "FPGA Temp", &value, nullptr, 0); },
         -1, "FPGA Temp.get_reading=return:none", true},
        {"reading -1.0 is a reading",
         [&](VdlbmcHandle* h) { return vdlbmc_read_numeric_sensor_value(h, "FPGA Temp", &value, nullptr, 0); },
         0, "FPGA Temp.get_reading=return:float:-1.0", false, [&] { EXPECT_DOUBLE_EQ(-1.0, value); }},
        {"reading as text fails too",
         [&](VdlbmcHandle* h) { return vdlbmc_read_sensor_value(h, "FPGA Temp", text, 32, nullptr, 0); },
         -1, "FPGA Temp.get_reading=return:str:hot", true},
        {"units not text",
         [&](VdlbmcHandle* h) { return vdlbmc_read_numeric_sensor_value(h, "FPGA Temp", &value, units, 8); },
         -1, "FPGA Temp.units=return:int:5", true},
        {"units missing",
         [&](VdlbmcHandle* h) {
             std::strcpy(units, "x");
             return vdlbmc_read_numeric_sensor_value(h, "FPGA Temp", &value, units, 8);
         },
         0, "FPGA Temp.units=missing", false, [&] { EXPECT_STREQ("", units); }},
        {"textual value whose repr raises",
         [&](VdlbmcHandle* h) { return vdlbmc_read_sensor_value(h, "BMC Status", text, 32, nullptr, 0); },
         -1, "BMC Status.get_value=return:badstr", true},
        {"thresholds not a dict (cleared)",
         [&](VdlbmcHandle* h) { return vdlbmc_get_sensor_thresholds(h, "FPGA Temp", &mask, &record); },
         -1, "FPGA Temp.get_thresholds=return:list", false},
        {"state not text (cleared)",
         [&](VdlbmcHandle* h) { return vdlbmc_is_sensor_enabled(h, "FPGA Temp", &flag); },
         -1, "FPGA Temp.operational_state=return:int:1", false},
        {"display level not text (cleared)",
         [&](VdlbmcHandle* h) { return vdlbmc_get_sensor_display_level(h, "FPGA Temp", text, 32); },
         -1, "FPGA Temp.display_level=return:none", false},
        {"display level unencodable (cleared)",
         [&](VdlbmcHandle* h) { return vdlbmc_get_sensor_display_level(h, "FPGA Temp", text, 32); },
         -1, "FPGA Temp.display_level=return:unencodable", false},
        {"effecter value not a number",
         [&](VdlbmcHandle* h) { return vdlbmc_read_numeric_effecter_value(h, "Power Limit", &value); },
         -1, "Power Limit.get_value=return:str:high", true},
        {"effecter value as text, not a number",
         [&](VdlbmcHandle* h) { return vdlbmc_read_effecter_value(h, "Power Limit", text, 32); },
         -1, "Power Limit.get_value=return:str:high", true},
        {"effecter value whose repr raises",
         [&](VdlbmcHandle* h) { return vdlbmc_read_effecter_value(h, "Identify LED", text, 32); },
         -1, "Identify LED.get_value=return:badstr", true},
    };
    runRows(handle, rows);
}

TEST_F(bmcSensors, OnlyMissingUnitsAreNoUnits)
{
    // A units read that raises anything but AttributeError is a failed read,
    // logged, the value already stored; only a missing attribute is no units.
    double value = 0;
    char units[16];
    char text[16];
    const auto numeric = [&](VdlbmcHandle* h) {
        value = 0;
        std::strcpy(units, "x");
        return vdlbmc_read_numeric_sensor_value(h, "FPGA Temp", &value, units, sizeof units);
    };
    const auto asText = [&](VdlbmcHandle* h) {
        std::strcpy(units, "x");
        return vdlbmc_read_sensor_value(h, "FPGA Temp", text, sizeof text, units, sizeof units);
    };
    const auto storedNoUnits = [&] {
        EXPECT_DOUBLE_EQ(45.0, value);
        EXPECT_STREQ("x", units);
    };
    const auto emptyUnits = [&] { EXPECT_STREQ("", units); };
    const std::vector<CallRow> rows = {
        {"timeout", numeric, -1, "FPGA Temp.units=raise:TimeoutError", true, storedNoUnits},
        {"key error", numeric, -1, "FPGA Temp.units=raise:KeyError", true, storedNoUnits},
        {"runtime error", numeric, -1, "FPGA Temp.units=raise", true, storedNoUnits},
        {"missing", numeric, 0, "FPGA Temp.units=missing", false, emptyUnits},
        {"attribute error", numeric, 0, "FPGA Temp.units=raise:AttributeError", false, emptyUnits},
        {"as text, timeout", asText, -1, "FPGA Temp.units=raise:TimeoutError", true},
        {"as text, missing", asText, 0, "FPGA Temp.units=missing", false, emptyUnits},
    };
    runRows(handle, rows);
    // No units wanted: the attribute is not read, so its failure does not count.
    fault("FPGA Temp.units", "raise:TimeoutError");
    EXPECT_EQ(0, vdlbmc_read_numeric_sensor_value(handle, "FPGA Temp", &value, nullptr, 0));
    EXPECT_FALSE(evalTrue("c.called('FPGA Temp.units')"));
}

TEST_F(bmcSensors, TextsHoldingANulFail)
{
    // C text ends at a NUL: such a text would come back cut short (and the
    // settable values under a length that is not the C text's), so the call
    // fails, logged or cleared as that function answers a failed call.
    double value = 0;
    bool flag = true;
    char text[32];
    char units[16];
    const std::vector<CallRow> rows = {
        {"units",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_numeric_sensor_value(h, "FPGA Temp", &value, units, sizeof units);
         },
         -1, "FPGA Temp.units=return:py:'deg\\x00C'", true,
         [&] { EXPECT_DOUBLE_EQ(45.0, value); }},
        {"units of the value as text",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_sensor_value(h, "FPGA Temp", text, sizeof text, units, sizeof units);
         },
         -1, "FPGA Temp.units=return:py:'deg\\x00C'", true},
        {"display level (cleared)",
         [&](VdlbmcHandle* h) {
             return vdlbmc_get_sensor_display_level(h, "FPGA Temp", text, sizeof text);
         },
         -1, "FPGA Temp.display_level=return:py:'normal\\x00fatal'", false},
        {"operational state (cleared)",
         [&](VdlbmcHandle* h) { return vdlbmc_is_sensor_enabled(h, "FPGA Temp", &flag); }, -1,
         "FPGA Temp.operational_state=return:py:'enabled\\x00'", false,
         [&] { EXPECT_TRUE(flag) << "untouched"; }},
        {"settable values",
         [&](VdlbmcHandle* h) {
             std::strcpy(text, "untouched");
             return vdlbmc_get_effecter_settable_values(h, "Identify LED", text, sizeof text);
         },
         -1, "Identify LED.settable_states=return:py:['On\\x00', 'Off']", false,
         wrote(text, "untouched")},
        {"settable values, size query",
         [&](VdlbmcHandle* h) {
             return vdlbmc_get_effecter_settable_values(h, "Identify LED", nullptr, 0);
         },
         -1, "Identify LED.settable_states=return:py:['On', 'O\\x00ff']", false},
        {"settable test (logged on general)",
         [&](VdlbmcHandle* h) {
             return int(vdlbmc_effecter_is_settable(h, "Identify LED", "On"));
         },
         0, "Identify LED.settable_states=return:py:['On', 'O\\x00ff']", false, nullptr, 1},
        // A textual value travels as its repr, in which a NUL is written out.
        {"textual value",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_sensor_value(h, "BMC Status", text, sizeof text, nullptr, 0);
         },
         0, "BMC Status.get_value=return:py:'O\\x00K'", false, wrote(text, "'O\\x00K'")},
    };
    runRows(handle, rows);
}

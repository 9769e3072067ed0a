// Connecting, discovery, name iteration and disconnect against the simulated
// controller. Every TEST runs in its own process, so each one starts its own
// interpreter.
#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bmc_test_support.hpp"

using namespace bmctest;

namespace {

using NextFn = int (*)(VdlbmcHandle*, const char*, char*, int);

std::vector<std::string> allNames(VdlbmcHandle* handle, NextFn next)
{
    std::vector<std::string> names;
    char buffer[128];
    const char* previous = nullptr;
    std::string last;
    // Bounded: a name that does not lead on to the next would list itself forever.
    constexpr std::size_t kMostNames = 10000;
    while (names.size() < kMostNames && next(handle, previous, buffer, sizeof buffer) == 0) {
        names.emplace_back(buffer);
        last = buffer;
        previous = last.c_str();
    }
    return names;
}

class bmcConnect : public ::testing::Test {
protected:
    void SetUp() override { plainInterpreterEnvironment(); }
};

} // namespace

TEST(bmcStatic, ThresholdNamesHaveSixRowsAtTheRecordOffsets)
{
    const std::vector<std::pair<std::string, std::uint64_t>> expected = {
        {"upperThresholdWarning", 0},  {"upperThresholdCritical", 8}, {"upperThresholdFatal", 16},
        {"lowerThresholdWarning", 24}, {"lowerThresholdCritical", 32}, {"lowerThresholdFatal", 40},
    };
    ASSERT_EQ(expected.size(), thresholdNames.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i].first, thresholdNames[i].name);
        EXPECT_EQ(expected[i].second, thresholdNames[i].offset);
    }
    EXPECT_EQ(48u, sizeof(VdlbmcThresholds));
}

TEST(bmcStatic, VersionCopyCodes)
{
    struct Row {
        int size;
        int expected;
        const char* text;
    };
    const Row rows[] = {
        {64, 0, "vdlbmc 2024.1.0"}, {16, 0, "vdlbmc 2024.1.0"}, {15, -33, "vdlbmc 2024.1."},
        {1, -6, ""},                {-1, -6, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        LogCapture log;
        char buffer[64] = {};
        EXPECT_EQ(row.expected, vdlbmc_version(buffer, row.size));
        EXPECT_STREQ(row.text, buffer);
        // Copy failures are logged on "general".
        EXPECT_EQ(row.expected == 0 ? 0u : 1u, log.messages(LOGGER_GENERAL).size());
    }
    EXPECT_EQ(-5, vdlbmc_version(nullptr, 16));
    // The version needs no interpreter.
    EXPECT_FALSE(Py_IsInitialized());
}

TEST(bmcStatic, NullHandlesGiveMinusFive)
{
    char buffer[16];
    EXPECT_EQ(-5, vdlbmc_get_num_sensors(nullptr));
    EXPECT_EQ(-5, vdlbmc_get_num_effecters(nullptr));
    EXPECT_EQ(-5, vdlbmc_get_num_components(nullptr));
    EXPECT_EQ(-5, vdlbmc_get_next_sensor(nullptr, nullptr, buffer, sizeof buffer));
    EXPECT_EQ(-5, vdlbmc_get_next_effecter(nullptr, nullptr, buffer, sizeof buffer));
    EXPECT_EQ(-5, vdlbmc_get_next_component(nullptr, nullptr, buffer, sizeof buffer));
    vdlbmc_disconnect(nullptr);
    // Null names and out-pointers are refused before the interpreter is started.
    VdlbmcHandle* handle = reinterpret_cast<VdlbmcHandle*>(0x1);
    EXPECT_EQ(-5, vdlbmc_connect(nullptr, 0, nullptr, &handle));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(-5, vdlbmc_connect("sim", 0, nullptr, nullptr));
    EXPECT_EQ(-5, vdlbmc_connect_low_level(nullptr, "handler", nullptr, &handle));
    EXPECT_EQ(-5, vdlbmc_connect_low_level("vdl_bmc.transport", nullptr, nullptr, &handle));
    EXPECT_EQ(-5, vdlbmc_connect_low_level("vdl_bmc.transport", "handler", nullptr, nullptr));
    EXPECT_FALSE(Py_IsInitialized());
}

namespace {

// What a connect to one layout of the simulated controller finds: the names
// of each kind, in byte-wise order, and what some of them read.
struct Layout {
    const char* options;
    std::vector<std::string> components, sensors, effecters;
    std::vector<std::pair<const char*, double>> readings = {}; // numeric sensors
    std::vector<std::pair<const char*, const char*>> effecterTexts = {};
    std::vector<std::pair<const char*, const char*>> frequencies = {}; // clocks' output 0
    const char* unknownSensor = nullptr; // a name no table holds
};

} // namespace

TEST_F(bmcConnect, WhatEachLayoutDiscovers)
{
    const Layout layouts[] = {
        // Names sort byte-wise: "FPGA Configuration" before "Fan Duty".
        {"layout=default",
         {"BMC", "CLK0", "CLK1", "CLKGEN", "FAN", "FPGA", "MFG_PROM"},
         {"BMC Status", "BMC Temp", "Board Power", "CLKGEN Lock", "FPGA Done", "FPGA Temp",
          "Fan Speed", "Inlet Temp", "VCCINT"},
         {"FPGA Configuration", "Fan Duty", "I2C Channel 0 Override", "I2C Channel 1 Override",
          "I2C Channel 2 Override", "I2C Channel 3 Override", "I2C PCIe", "Identify LED",
          "Power Limit"}},
        // Of names found in several places, the one visited last is kept.
        {"layout=nested",
         {"A", "B", "CLK", "FPGA"},
         {"Temp"},
         {"FPGA Configuration", "Switch"},
         {{"Temp", 50.0}},
         {{"Switch", "'B'"}},
         {{"CLK", "20.000 MHz"}}},
        // Components that hold each other are walked to an end.
        {"layout=cycle", {"LOOP_A", "LOOP_B"}, {"A Temp", "B Temp"}, {"A Switch"}},
        // A missing table contributes nothing.
        {"layout=no_effecters", {"DEEP", "FPGA", "NOSENS"}, {"Inlet Temp"}, {}},
        // Names that are not text are skipped.
        {"layout=odd_names", {}, {"Good"}, {}},
        // "Fan\0Rear" would be listed as "Fan", which nothing accepts, and hide
        // "Temp"; the component "PLL\0B" is left out, but not what is below it.
        {"layout=nul_names",
         {"CLK"},
         {"Current", "PLL Temp", "Temp"},
         {"Mode"},
         {{"Current", 1.5}, {"PLL Temp", 5.0}, {"Temp", 45.0}},
         {{"Mode", "'Auto'"}},
         {{"CLK", "25.000 MHz"}},
         "Fan"},
        // card -> A -> A -> A -> Z: each A is gone into, and the last one
        // visited, the deepest (the clock of 30 MHz), is kept.
        {"layout=repeated_names",
         {"A", "Z"},
         {"Deep Temp", "Mid Temp", "Top Temp", "Z Temp"},
         {},
         {{"Z Temp", 4.0}},
         {},
         {{"A", "30.000 MHz"}}},
    };
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.options);
        VdlbmcHandle* handle = connect(layout.options);
        ASSERT_NE(nullptr, handle);
        EXPECT_EQ(layout.components, allNames(handle, vdlbmc_get_next_component));
        EXPECT_EQ(layout.sensors, allNames(handle, vdlbmc_get_next_sensor));
        EXPECT_EQ(layout.effecters, allNames(handle, vdlbmc_get_next_effecter));
        EXPECT_EQ(int(layout.components.size()), vdlbmc_get_num_components(handle));
        EXPECT_EQ(int(layout.sensors.size()), vdlbmc_get_num_sensors(handle));
        EXPECT_EQ(int(layout.effecters.size()), vdlbmc_get_num_effecters(handle));
        double value = 0;
        for (const auto& [name, reading] : layout.readings) {
            EXPECT_EQ(0, vdlbmc_read_numeric_sensor_value(handle, name, &value, nullptr, 0))
                << name;
            EXPECT_DOUBLE_EQ(reading, value) << name;
        }
        char text[32];
        for (const auto& [name, expected] : layout.effecterTexts) {
            EXPECT_EQ(0, vdlbmc_read_effecter_value(handle, name, text, sizeof text)) << name;
            EXPECT_STREQ(expected, text) << name;
        }
        for (const auto& [name, expected] : layout.frequencies) {
            EXPECT_EQ(0, vdlbmc_clock_frequency(handle, name, 0, text, sizeof text)) << name;
            EXPECT_STREQ(expected, text) << name;
        }
        if (layout.unknownSensor != nullptr) {
            EXPECT_EQ(-13, vdlbmc_read_numeric_sensor_value(handle, layout.unknownSensor, &value,
                                                            nullptr, 0));
        }
        EXPECT_TRUE(noPendingError());
        vdlbmc_disconnect(handle);
    }
}

TEST_F(bmcConnect, IterationCodes)
{
    VdlbmcHandle* handle = connect("layout=example");
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ((std::vector<std::string>{"Current", "Fan", "Temp"}),
              allNames(handle, vdlbmc_get_next_sensor));
    struct Row {
        const char* previous;
        int size;
        int expected;
        const char* text;
    };
    const Row rows[] = {
        {nullptr, 16, 0, "Current"}, {"Current", 16, 0, "Fan"}, {"Fan", 16, 0, "Temp"},
        {"Temp", 16, -27, ""},       {"Volt", 16, -13, ""},     {"Cur", 16, -13, ""},
        {nullptr, 4, -33, "Cur"},    {nullptr, 1, -6, ""},      {nullptr, -3, -6, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.previous ? row.previous : "(null)") + " " +
                     std::to_string(row.size));
        LogCapture log;
        char buffer[16] = {};
        EXPECT_EQ(row.expected, vdlbmc_get_next_sensor(handle, row.previous, buffer, row.size));
        EXPECT_STREQ(row.text, buffer);
        EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
        EXPECT_TRUE(log.messages(LOGGER_GENERAL).empty());
    }
    char buffer[16];
    EXPECT_EQ(-5, vdlbmc_get_next_sensor(handle, nullptr, nullptr, 16));
    // No components at all.
    EXPECT_EQ(0, vdlbmc_get_num_components(handle));
    EXPECT_EQ(-27, vdlbmc_get_next_component(handle, nullptr, buffer, sizeof buffer));
    vdlbmc_disconnect(handle);
}

namespace {

// Connects with `options` through both connects, expecting the connect to fail
// with one "vdlsdk_bmc" line, nothing left pending and no handle.
void expectConnectFails(const std::string& options, const std::string& line)
{
    for (const bool lowLevel : {false, true}) {
        SCOPED_TRACE(options + (lowLevel ? " low level" : " kit"));
        LogCapture log;
        VdlbmcHandle* handle = reinterpret_cast<VdlbmcHandle*>(0x1);
        EXPECT_EQ(-1, lowLevel ? vdlbmc_connect_low_level("vdl_bmc.transport", "handler",
                                                          options.c_str(), &handle)
                               : vdlbmc_connect("sim", 0, options.c_str(), &handle));
        EXPECT_EQ(nullptr, handle);
        EXPECT_EQ((std::vector<std::string>{line}), log.messages(LOGGER_BMC));
        EXPECT_TRUE(noPendingError());
    }
}

const std::string kTooDeep = "<class 'RecursionError'>:component tree deeper than 1000 levels";

} // namespace

TEST_F(bmcConnect, WrappersThatLeadOnForEverFailAtTheDepthBound)
{
    // Each read of `components` gives new objects and every child holds its
    // parent again: no object repeats, so only the depth bound ends the walk,
    // at once and not after every path through the children.
    for (const char* layout : {"layout=wrappers", "layout=wrappers:9"})
        expectConnectFails(layout, kTooDeep);
    ASSERT_TRUE(py("from vdl_bmc import control as c\nc.reset()"));
    EXPECT_EQ(0, evalLong("len(c.live_objects('Bmc'))"));
    EXPECT_EQ(0, evalLong("len(c.live_objects('ComponentView'))"));
}

TEST_F(bmcConnect, ComponentsInAWebAreWalkedWithinABound)
{
    // Components that share one dictionary of them all: a web of 7 is walked
    // along each of its paths (some 110,000 steps for each of the three
    // walks); in one of 8 or more the walks would take more steps than any
    // card needs, and the connect fails instead of walking 10^9 paths.
    VdlbmcHandle* handle = connect("layout=web:7");
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(7, vdlbmc_get_num_components(handle));
    EXPECT_EQ(7, vdlbmc_get_num_sensors(handle));
    vdlbmc_disconnect(handle);
    for (const char* layout : {"layout=web:8", "layout=web:12"})
        expectConnectFails(layout, "<class 'RuntimeError'>:component tree too tangled: walking "
                                   "it takes more than 1000000 steps");
}

TEST_F(bmcConnect, AComponentHeldByManyParentsIsWalkedThroughEach)
{
    // A finite card whose one component is held by 1001 parents (1003
    // objects): it is gone into through each parent, as met, and connects.
    for (const bool lowLevel : {false, true}) {
        SCOPED_TRACE(lowLevel ? "low level" : "kit");
        LogCapture log;
        VdlbmcHandle* handle = nullptr;
        ASSERT_EQ(0, lowLevel ? vdlbmc_connect_low_level("vdl_bmc.transport", "handler",
                                                         "layout=shared:1001", &handle)
                              : vdlbmc_connect("sim", 0, "layout=shared:1001", &handle));
        EXPECT_EQ(1002, vdlbmc_get_num_components(handle));
        double value = 0;
        EXPECT_EQ(0, vdlbmc_read_numeric_sensor_value(handle, "Shared Temp", &value, nullptr, 0));
        EXPECT_DOUBLE_EQ(7.0, value);
        EXPECT_EQ(1, vdlbmc_get_num_sensors(handle));
        EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
        vdlbmc_disconnect(handle);
    }
}

namespace {

// Chains of components as deep as the walk allows, one level deeper, and far
// deeper than any stack would hold a recursive walk of, through both connects;
// the bound is the library's own, whatever recursion limit the package sets.
// Runs on whichever thread calls it first: that thread starts the interpreter.
void checkDeepChains()
{
    struct Row {
        const char* layout;
        bool found;
    };
    const Row rows[] = {
        {"chain:1000", true},         {"chain:1001", false},
        {"limit_raised:1001", false}, {"limit_raised:1000", true},
        {"chain:50000", false},
    };
    for (const auto& row : rows) {
        const std::string options = std::string("layout=") + row.layout;
        if (!row.found) {
            expectConnectFails(options, kTooDeep);
            continue;
        }
        for (const bool lowLevel : {false, true}) {
            SCOPED_TRACE(options + (lowLevel ? " low level" : " kit"));
            LogCapture log;
            VdlbmcHandle* handle = nullptr;
            ASSERT_EQ(0, lowLevel ? vdlbmc_connect_low_level("vdl_bmc.transport", "handler",
                                                             options.c_str(), &handle)
                                  : vdlbmc_connect("sim", 0, options.c_str(), &handle));
            EXPECT_EQ(1000, vdlbmc_get_num_components(handle));
            double value = 0;
            EXPECT_EQ(0, vdlbmc_read_numeric_sensor_value(handle, "Bottom Temp", &value,
                                                          nullptr, 0));
            EXPECT_EQ(1, vdlbmc_get_num_effecters(handle));
            char name[32];
            EXPECT_EQ(0, vdlbmc_get_next_component(handle, nullptr, name, sizeof name));
            EXPECT_STREQ("LINK1", name);
            EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
            vdlbmc_disconnect(handle);
        }
    }
    EXPECT_EQ(1000000, evalLong("__import__('sys').getrecursionlimit()"));
}

} // namespace

TEST_F(bmcConnect, DeepChainsOnTheMainThread)
{
    checkDeepChains();
}

TEST_F(bmcConnect, DeepChainsOnASmallStack)
{
    constexpr std::size_t kSmallStack = 256 * 1024;
    pthread_attr_t attributes;
    ASSERT_EQ(0, pthread_attr_init(&attributes));
    ASSERT_EQ(0, pthread_attr_setstacksize(&attributes, kSmallStack));
    pthread_t thread;
    const auto run = [](void*) -> void* {
        checkDeepChains();
        // The interpreter belongs to this thread: it is finalised here, not at exit.
        fini();
        return nullptr;
    };
    ASSERT_EQ(0, pthread_create(&thread, &attributes, run, nullptr));
    pthread_attr_destroy(&attributes);
    ASSERT_EQ(0, pthread_join(thread, nullptr));
}

TEST_F(bmcConnect, DiscoveryErrorsFailTheConnect)
{
    // Anything the script raises while its dictionaries are read or gone
    // through fails the connect; a missing attribute, a value that cannot be
    // iterated and a key without an item are nothing there, silently.
    struct Row {
        const char* options;
        const char* line; // null: connected without a line
        int components = 0, sensors = 0, effecters = 0;
    };
    const Row rows[] = {
        {"fault.FPGA.components=raise:TimeoutError",
         "<class 'TimeoutError'>:injected fault: FPGA.components"},
        {"fault.card.components=raise:KeyError:x", "<class 'KeyError'>:'x'"},
        {"fault.CLKGEN.sensors=raise:MemoryError",
         "<class 'MemoryError'>:injected fault: CLKGEN.sensors"},
        {"fault.BMC.effecters=raise:RuntimeError",
         "<class 'RuntimeError'>:injected fault: BMC.effecters"},
        {"layout=growing", "<class 'RuntimeError'>:dictionary changed size during iteration"},
        // FPGA holds CLKGEN, which holds CLK0, CLK1 and sensor "CLKGEN Lock".
        {"fault.FPGA.components=raise:AttributeError", nullptr, 4, 8, 9},
        {"fault.FPGA.components=return:int:5", nullptr, 4, 8, 9},
        {"fault.FPGA.components=return:list", nullptr, 4, 8, 9},
        {"fault.card.sensors=missing", nullptr, 7, 0, 9},
        {"fault.BMC.effecters=return:none", nullptr, 7, 9, 4},
        {"fault.FPGA.components=return:py:['CLKGEN']", nullptr, 4, 8, 9},
    };
    vdlbmc_disconnect(connect()); // the interpreter started, `c` imported
    for (const auto& row : rows) {
        ASSERT_TRUE(py("from vdl_bmc import control as c\nc.clear_faults()"));
        if (row.line != nullptr) {
            expectConnectFails(row.options, row.line);
            continue;
        }
        SCOPED_TRACE(row.options);
        LogCapture log;
        VdlbmcHandle* handle = connect(row.options);
        ASSERT_NE(nullptr, handle);
        EXPECT_EQ(row.components, vdlbmc_get_num_components(handle));
        EXPECT_EQ(row.sensors, vdlbmc_get_num_sensors(handle));
        EXPECT_EQ(row.effecters, vdlbmc_get_num_effecters(handle));
        EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
        EXPECT_TRUE(noPendingError());
        vdlbmc_disconnect(handle);
    }
    // An iterator that raises (the options text cannot carry its ",").
    ASSERT_TRUE(py("c.clear_faults()\nc.fault('card.sensors', returns=iter(lambda: 1 / 0, None))"));
    expectConnectFails("", "<class 'ZeroDivisionError'>:division by zero");
    // A failed discovery leaves nothing of the controller behind.
    ASSERT_TRUE(py("c.reset()\ngc.collect()"));
    EXPECT_EQ(0, evalLong("len(c.live_objects('Bmc'))"));
}

TEST_F(bmcConnect, OptionsTextBecomesKeywordArguments)
{
    struct Row {
        const char* options;
        const char* expected; // repr of the keyword arguments received
    };
    const Row rows[] = {
        {nullptr, "{}"},
        {"", "{}"},
        {"speed=fast,port", "{'speed': 'fast', 'port': 'port'}"},
        {"a=1,", "{'a': '1', '': ''}"},
        {",", "{'': ''}"},
        {"k=v=w", "{'k': 'v=w'}"},
        {"x=1,x=2", "{'x': '2'}"},
        {"=v", "{'': 'v'}"},
        {"layout=example,flag", "{'layout': 'example', 'flag': 'flag'}"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options ? row.options : "(null)");
        VdlbmcHandle* handle = nullptr;
        ASSERT_EQ(0, vdlbmc_connect("sim", 0, row.options, &handle));
        ASSERT_TRUE(py("from vdl_bmc import control as c"));
        EXPECT_EQ(row.expected, evalText("repr(c.last_options())"));
        vdlbmc_disconnect(handle);
    }
}

TEST_F(bmcConnect, LowLevelOptionsParseAnEmptyText)
{
    struct Row {
        const char* options;
        const char* expected;
    };
    const Row rows[] = {
        {nullptr, "{}"},
        {"", "{'': ''}"},
        {"a=1,b=2,", "{'a': '1', 'b': '2', '': ''}"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options ? row.options : "(null)");
        VdlbmcHandle* handle = nullptr;
        ASSERT_EQ(0, vdlbmc_connect_low_level("vdl_bmc.transport", "handler", row.options, &handle));
        ASSERT_TRUE(py("from vdl_bmc import control as c"));
        EXPECT_EQ(row.expected, evalText("repr(c.last_options())"));
        EXPECT_EQ(7, vdlbmc_get_num_components(handle));
        vdlbmc_disconnect(handle);
    }
}

TEST_F(bmcConnect, OptionsThatAreNotUtf8FailTheConnect)
{
    for (const char* options : {"a=\xff", "\xfe=1", "layout=example,x=\xc3"}) {
        SCOPED_TRACE(options);
        LogCapture log;
        VdlbmcHandle* handle = reinterpret_cast<VdlbmcHandle*>(0x1);
        EXPECT_EQ(-1, vdlbmc_connect("sim", 0, options, &handle));
        EXPECT_EQ(nullptr, handle);
        EXPECT_EQ(1u, log.messages(LOGGER_BMC).size());
        EXPECT_EQ(-1, vdlbmc_connect_low_level("vdl_bmc.transport", "handler", options, &handle));
        EXPECT_EQ(nullptr, handle);
        EXPECT_TRUE(noPendingError());
    }
}

TEST_F(bmcConnect, ConnectFailures)
{
    struct Row {
        const char* interfaceName;
        unsigned int card;
        const char* options;
        int expected;
        bool logged;
    };
    const Row rows[] = {
        {"sim", 0, nullptr, 0, false},
        {"nosuch", 0, nullptr, -13, false},
        {"", 0, nullptr, -13, false},
        {"usb", 9, nullptr, -1, false},             // bmc_for_card answers None
        {"pcie", 0, "layout=none", -1, false},      // None controller
        {"pcie", 0, "layout=raise", -1, true},      // raising controller factory
        {"pcie", 0, "layout=nosuch", -1, true},     // ValueError
        {"pcie", 0, "fault.Bmc.discover=raise", -1, true},
        {"pcie", 0, "fault.Bmc.card=raise:KeyError", -1, true},
        {"pcie", 0, "fault.bmc_for_card=raise", -1, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.interfaceName) + " " + (row.options ? row.options : ""));
        LogCapture log;
        VdlbmcHandle* handle = reinterpret_cast<VdlbmcHandle*>(0x1);
        EXPECT_EQ(row.expected, vdlbmc_connect(row.interfaceName, row.card, row.options, &handle));
        EXPECT_EQ(row.expected == 0, handle != nullptr);
        EXPECT_EQ(row.logged ? 1u : 0u, log.messages(LOGGER_BMC).size());
        EXPECT_TRUE(noPendingError());
        vdlbmc_disconnect(handle);
        ASSERT_TRUE(py("from vdl_bmc import control as c\nc.clear_faults()"));
    }
    // A failed discovery leaves no controller or card behind.
    ASSERT_TRUE(py("c.reset()\nimport gc\ngc.collect()"));
    EXPECT_EQ(0, evalLong("len(c.live_objects('Bmc'))"));
}

TEST_F(bmcConnect, LogLineIsTypeAndValue)
{
    LogCapture log;
    VdlbmcHandle* handle = nullptr;
    EXPECT_EQ(-1, vdlbmc_connect("sim", 0, "fault.Bmc.discover=raise:KeyError:x", &handle));
    ASSERT_EQ(1u, log.messages(LOGGER_BMC).size());
    EXPECT_EQ("<class 'KeyError'>:'x'", log.messages(LOGGER_BMC)[0]);
}

TEST_F(bmcConnect, ErrorWhoseTextCannotBeMadeIsStillLogged)
{
    VdlbmcHandle* handle = connect();
    ASSERT_TRUE(py("class BadError(Exception):\n"
                   "    def __str__(self):\n"
                   "        raise ValueError('no text')\n"
                   "c.fault('FPGA.reset', raises=BadError())\n"
                   "c.fault('BMC.reboot', raises=RuntimeError(c.UNENCODABLE))"));
    LogCapture log;
    EXPECT_EQ(-1, vdlbmc_fpga_reset(handle, nullptr));
    EXPECT_EQ(-1, vdlbmc_reboot(handle));
    ASSERT_EQ(2u, log.messages(LOGGER_BMC).size());
    EXPECT_EQ("<class '__main__.BadError'>:<unprintable>", log.messages(LOGGER_BMC)[0]);
    EXPECT_EQ("<class 'RuntimeError'>:<unprintable>", log.messages(LOGGER_BMC)[1]);
    EXPECT_TRUE(noPendingError());
    vdlbmc_disconnect(handle);
}

TEST_F(bmcConnect, LowLevelConnectFailures)
{
    struct Row {
        const char* module;
        const char* handler;
        const char* options;
        int expected;
    };
    const Row rows[] = {
        {"vdl_bmc.transport", "handler", nullptr, 0},
        {"no_such_module", "handler", nullptr, -1},
        {"vdl_bmc.transport", "no_such_handler", nullptr, -1},
        {"vdl_bmc.transport", "handler", "layout=raise", -1},
        {"vdl_bmc.transport", "handler", "fault.Bmc.discover=raise", -1},
        // A None controller is accepted by the constructor and fails discover().
        {"vdl_bmc.transport", "handler", "layout=none", -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.module) + "." + row.handler);
        LogCapture log;
        VdlbmcHandle* handle = reinterpret_cast<VdlbmcHandle*>(0x1);
        EXPECT_EQ(row.expected,
                  vdlbmc_connect_low_level(row.module, row.handler, row.options, &handle));
        EXPECT_EQ(row.expected == 0, handle != nullptr);
        EXPECT_EQ(row.expected == 0 ? 0u : 1u, log.messages(LOGGER_BMC).size());
        EXPECT_TRUE(noPendingError());
        vdlbmc_disconnect(handle);
    }
}

TEST_F(bmcConnect, ControllerModuleCanBeReplaced)
{
    VdlbmcHandle* handle = nullptr;
    ASSERT_EQ(0, vdlbmc_connect_low_level("vdl_bmc.transport", "handler", nullptr, &handle));
    vdlbmc_disconnect(handle);
    ASSERT_TRUE(py("from vdl_bmc import control as c\n"
                   "c.install_module('nonebmc', Bmc=lambda handler, **o: None)\n"
                   "import vdl_bmc\n"
                   "c.install_module('otherbmc', Bmc=vdl_bmc.Bmc)"));
    LogCapture log;
    set_vdl_bmc_python_module("nonebmc");
    EXPECT_EQ(-1, vdlbmc_connect_low_level("vdl_bmc.transport", "handler", nullptr, &handle));
    EXPECT_EQ(1u, log.messages(LOGGER_BMC).size()) << "None has no discover()";
    set_vdl_bmc_python_module("no_such_bmc_module");
    EXPECT_EQ(-1, vdlbmc_connect_low_level("vdl_bmc.transport", "handler", nullptr, &handle));
    set_vdl_bmc_python_module("otherbmc");
    EXPECT_EQ(0, vdlbmc_connect_low_level("vdl_bmc.transport", "handler", nullptr, &handle));
    vdlbmc_disconnect(handle);
    // The kit connect does not use the replaced module.
    set_vdl_bmc_python_module("nonebmc");
    EXPECT_EQ(0, vdlbmc_connect("sim", 0, nullptr, &handle));
    vdlbmc_disconnect(handle);
    set_vdl_bmc_python_module(nullptr);
    EXPECT_EQ(0, vdlbmc_connect_low_level("vdl_bmc.transport", "handler", nullptr, &handle));
    vdlbmc_disconnect(handle);
}

TEST_F(bmcConnect, DisconnectClosesTheHandlerAndReleasesEverything)
{
    VdlbmcHandle* handle = connect();
    ASSERT_TRUE(py("handler = c.controllers()[0].handler"));
    vdlbmc_disconnect(handle);
    EXPECT_EQ(1, evalLong("c.call_count('SimHandler.close')"));
    ASSERT_TRUE(py("del handler\nc.reset()\ngc.collect()"));
    EXPECT_EQ(0, evalLong("len(c.live_objects('Bmc'))"));
    EXPECT_EQ(0, evalLong("len(c.live_objects('Card'))"));
    EXPECT_EQ(0, evalLong(kLeftOver)) << evalText("c.live_objects()");
}

TEST_F(bmcConnect, DisconnectIgnoresHandlerFailures)
{
    for (const char* options : {"fault.SimHandler.close=raise", "fault.Bmc.handler=missing"}) {
        SCOPED_TRACE(options);
        LogCapture log;
        VdlbmcHandle* handle = connect(options);
        vdlbmc_disconnect(handle);
        EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
        EXPECT_TRUE(noPendingError());
    }
}

TEST_F(bmcConnect, HandlesAreIndependent)
{
    VdlbmcHandle* first = connect();
    VdlbmcHandle* second = connect("layout=example", 1);
    ASSERT_NE(first, second);
    EXPECT_EQ(9, vdlbmc_get_num_sensors(first));
    EXPECT_EQ(3, vdlbmc_get_num_sensors(second));
    vdlbmc_disconnect(first);
    double value = 0;
    EXPECT_EQ(0, vdlbmc_read_numeric_sensor_value(second, "Temp", &value, nullptr, 0));
    EXPECT_DOUBLE_EQ(45.0, value);
    vdlbmc_disconnect(second);
}

namespace {

// A package whose members can disconnect the handle in use, through ctypes,
// with the interpreter's lock held (PyDLL) or given up for the call (CDLL).
// `member` names the one that does; the handle is read from the address of
// the caller's handle variable, so a connect's own out-pointer works too. It
// keeps no reference to the controller or what it holds: a disconnect frees
// them all, and `alive` tells which are left.
const char* const kDisconnectingPackage = R"(
import ctypes, sys, types, weakref

source = """
import ctypes, weakref

libs = {"held": ctypes.PyDLL(None), "released": ctypes.CDLL(None)}
for lib in libs.values():
    lib.vdlbmc_disconnect.argtypes = [ctypes.c_void_p]
    lib.vdlbmc_disconnect.restype = None

handle_at = 0
gil = "held"
member = None
calls = []
closes = 0
alive = weakref.WeakSet()

def step(name):
    calls.append(name)
    if name == member:
        libs[gil].vdlbmc_disconnect(ctypes.c_void_p.from_address(handle_at).value)

class Part:
    def __init__(self):
        alive.add(self)

class NumericSensor(Part):
    @property
    def units(self):
        step("units")
        return "C"
    def get_reading(self):
        step("get_reading")
        return 45.0

class Effecter(Part):
    @property
    def settable_states(self):
        step("settable_states")
        return ["On", "Off"]
    def operational_state(self):
        step("operational_state")
        return "enabled"
    def get_value(self):
        step("get_value")
        return "Host"
    def enable(self):
        step("enable")
    def set_value(self, value):
        step("set_value")

class Fpga(Part):
    def core_override_disabled(self):
        step("core_override_disabled")
        return True
    def core_override_value(self):
        step("core_override_value")
        return 0.9

class Card(Part):
    def __init__(self):
        super().__init__()
        self.components = {"FPGA": Fpga()}
        self.sensors = {"Temp": NumericSensor()}
        self.effecters = {"I2C Channel 0 Override": Effecter()}
    def power(self, on):
        step("power")
    def mfg_info(self):
        step("mfg_info")
        return {"model": "X1"}

class Handler:
    def close(self):
        global closes
        closes += 1
        step("close")

class Bmc(Part):
    def __init__(self, handler, **options):
        super().__init__()
        self.handler = handler
        self._card = Card()
    def discover(self):
        step("discover")
    def card(self):
        return self._card

handler = Handler()
"""
package = types.ModuleType("disconnecting")
exec(source, package.__dict__)
sys.modules["disconnecting"] = package
import disconnecting as d, gc
)";

// Connects through the package, with `member` disconnecting the handle read
// from `*handle` when it is called.
int connectDisconnecting(VdlbmcHandle** handle, const char* member, const char* gil)
{
    char setUp[256];
    std::snprintf(setUp, sizeof setUp,
                  "d.handle_at = %llu\nd.gil = '%s'\nd.member = '%s'\nd.calls.clear()\n"
                  "d.closes = 0",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)), gil,
                  member);
    EXPECT_TRUE(py(setUp));
    return vdlbmc_connect_low_level("disconnecting", "handler", nullptr, handle);
}

constexpr const char* kDisconnectedLine = "the handle was disconnected during a call on it";
constexpr const char* kLeft = "gc.collect() * 0 + len(d.alive)";

class bmcDisconnecting : public bmcConnect {
protected:
    void SetUp() override
    {
        bmcConnect::SetUp();
        initalize();
        ASSERT_TRUE(py(kDisconnectingPackage));
        set_vdl_bmc_python_module("disconnecting");
    }
};

} // namespace

TEST_F(bmcDisconnecting, DisconnectFromInsideACallEndsItWithAnError)
{
    // The package disconnects the handle in use from inside one member; the
    // call ends with -1 and one line, makes no further script call, and the
    // handle and every object it held go when the call ends, never before.
    double value = 0;
    bool flag = false;
    char text[32];
    struct Row {
        const char* member;
        std::function<int(VdlbmcHandle*)> call;
        const char* calls; // the script calls made, in order
    };
    const Row rows[] = {
        {"get_reading",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_numeric_sensor_value(h, "Temp", &value, text, sizeof text);
         },
         "['get_reading', 'close']"},
        {"get_reading",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_sensor_value(h, "Temp", text, sizeof text, text, sizeof text);
         },
         "['get_reading', 'close']"},
        {"units",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_numeric_sensor_value(h, "Temp", &value, text, sizeof text);
         },
         "['get_reading', 'units', 'close']"},
        {"operational_state",
         [&](VdlbmcHandle* h) {
             return vdlbmc_get_i2c_channel_ownership(h, 0, &flag, text, sizeof text);
         },
         "['operational_state', 'close']"},
        {"enable",
         [&](VdlbmcHandle* h) { return vdlbmc_set_i2c_channel_ownership(h, 0, 1, "BMC"); },
         "['enable', 'close']"},
        {"core_override_disabled",
         [&](VdlbmcHandle* h) { return vdlbmc_fpga_get_corev(h, nullptr, &flag, &value); },
         "['core_override_disabled', 'close']"},
        {"settable_states",
         [&](VdlbmcHandle* h) {
             return vdlbmc_get_effecter_settable_values(h, "I2C Channel 0 Override", text,
                                                        sizeof text);
         },
         "['settable_states', 'close']"},
        {"settable_states",
         [&](VdlbmcHandle* h) {
             return int(vdlbmc_effecter_is_settable(h, "I2C Channel 0 Override", "On")) - 1;
         },
         "['settable_states', 'close']"},
        {"power", [&](VdlbmcHandle* h) { return vdlbmc_power(h, 1); }, "['power', 'close']"},
        {"mfg_info", [&](VdlbmcHandle* h) { return vdlbmc_get_mfg_info(h, text, sizeof text); },
         "['mfg_info', 'close']"},
    };
    for (const char* gil : {"held", "released"}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.member) + ", lock " + gil);
            VdlbmcHandle* handle = nullptr;
            ASSERT_EQ(0, connectDisconnecting(&handle, row.member, gil));
            ASSERT_TRUE(py("d.calls.clear()"));
            LogCapture log;
            EXPECT_EQ(-1, row.call(handle));
            EXPECT_EQ((std::vector<std::string>{kDisconnectedLine}), log.messages(LOGGER_BMC));
            EXPECT_TRUE(noPendingError());
            EXPECT_EQ(row.calls, evalText("d.calls"));
            EXPECT_EQ(1, evalLong("d.closes"));
            EXPECT_EQ(0, evalLong(kLeft)) << evalText("list(d.alive)");
        }
    }
}

TEST_F(bmcDisconnecting, DisconnectFromInsideTheConnectOrTheDisconnect)
{
    for (const char* gil : {"held", "released"}) {
        SCOPED_TRACE(gil);
        // During discovery, through the connect's own out-pointer: the connect
        // fails and leaves nothing behind.
        VdlbmcHandle* handle = nullptr;
        LogCapture log;
        EXPECT_EQ(-1, connectDisconnecting(&handle, "discover", gil));
        EXPECT_EQ(nullptr, handle);
        EXPECT_EQ((std::vector<std::string>{kDisconnectedLine}), log.messages(LOGGER_BMC));
        EXPECT_EQ(1, evalLong("d.closes"));
        EXPECT_EQ(0, evalLong(kLeft));
        // From the handler's close() during the disconnect: it is that one.
        log.clear();
        ASSERT_EQ(0, connectDisconnecting(&handle, "close", gil));
        vdlbmc_disconnect(handle);
        EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
        EXPECT_EQ(1, evalLong("d.closes"));
        EXPECT_EQ(0, evalLong(kLeft));
        EXPECT_TRUE(noPendingError());
    }
}

// The interface table: each kind is read once per process, so each its own TEST.
class bmcInterfaces : public ::testing::Test {
protected:
    void SetUp() override { plainInterpreterEnvironment(); }
    void useKit(const char* kind) { setenv("VDLSIM_KIT", kind, 1); }
    // A table that cannot be read: the connect gives -13 and one line naming `error`.
    void expectTableLogged(const char* interfaceName, const char* error)
    {
        LogCapture log;
        VdlbmcHandle* handle = nullptr;
        EXPECT_EQ(-13, vdlbmc_connect(interfaceName, 0, nullptr, &handle));
        const auto lines = log.messages(LOGGER_BMC);
        ASSERT_EQ(1u, lines.size());
        EXPECT_NE(std::string::npos, lines[0].find(error)) << lines[0];
        EXPECT_TRUE(noPendingError());
    }
};

TEST_F(bmcInterfaces, EmptyTableGivesMinusThirteenForEveryName)
{
    useKit("empty");
    LogCapture log;
    VdlbmcHandle* handle = reinterpret_cast<VdlbmcHandle*>(0x1);
    EXPECT_EQ(-13, vdlbmc_connect("sim", 0, nullptr, &handle));
    EXPECT_EQ(nullptr, handle);
    // Not filled again by later connects.
    ASSERT_TRUE(py("from vdl_bmc import control as c\nc.set_kit_interfaces('default')"));
    EXPECT_EQ(-13, vdlbmc_connect("sim", 0, nullptr, &handle));
    EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
}

TEST_F(bmcInterfaces, MissingTableIsLoggedAndLeavesItEmpty)
{
    useKit("missing");
    expectTableLogged("sim", "AttributeError");
}

TEST_F(bmcInterfaces, TableThatIsNotADictionaryIsLogged)
{
    useKit("list");
    expectTableLogged("pcie", "TypeError");
}

TEST_F(bmcInterfaces, DuplicateValueKeepsTheLaterKey)
{
    useKit("duplicate");
    VdlbmcHandle* handle = nullptr;
    ASSERT_EQ(0, vdlbmc_connect("pcie", 0, nullptr, &handle));
    const auto interfaces = get_interfaces();
    ASSERT_EQ(1u, interfaces.size());
    PyObject* tag = PyObject_GetAttrString(interfaces.at("pcie").get(), "tag");
    ASSERT_NE(nullptr, tag);
    EXPECT_STREQ("second", PyUnicode_AsUTF8(tag));
    Py_DECREF(tag);
    vdlbmc_disconnect(handle);
}

TEST_F(bmcInterfaces, KeysWhoseValueIsNotTextAreSkippedAndLogged)
{
    useKit("badvalue");
    LogCapture log;
    VdlbmcHandle* handle = nullptr;
    ASSERT_EQ(0, vdlbmc_connect("pcie", 0, nullptr, &handle));
    EXPECT_EQ(2u, log.messages(LOGGER_BMC).size()) << "an int value and an unencodable one";
    EXPECT_EQ((std::vector<std::string>{"pcie"}), [] {
        std::vector<std::string> names;
        for (const auto& entry : get_interfaces())
            names.push_back(entry.first);
        return names;
    }());
    EXPECT_TRUE(noPendingError());
    vdlbmc_disconnect(handle);
}

TEST_F(bmcInterfaces, KeyWithoutValueIsSkippedAndLogged)
{
    useKit("novalue");
    LogCapture log;
    VdlbmcHandle* handle = nullptr;
    ASSERT_EQ(0, vdlbmc_connect("pcie", 0, nullptr, &handle));
    ASSERT_EQ(1u, log.messages(LOGGER_BMC).size());
    EXPECT_NE(std::string::npos, log.messages(LOGGER_BMC)[0].find("AttributeError"));
    EXPECT_EQ(1u, get_interfaces().size());
    vdlbmc_disconnect(handle);
}

TEST_F(bmcInterfaces, KitActivationRunsOnceAndItsFailureDoesNotStopConnects)
{
    setenv("VDLSIM_FAULTS", "use_kits=raise", 1);
    LogCapture log;
    VdlbmcHandle* handle = nullptr;
    ASSERT_EQ(0, vdlbmc_connect("sim", 0, nullptr, &handle));
    EXPECT_EQ(1u, log.messages(LOGGER_BMC).size());
    initalize();
    initalize();
    VdlbmcHandle* second = nullptr;
    ASSERT_EQ(0, vdlbmc_connect_low_level("vdl_bmc.transport", "handler", nullptr, &second));
    ASSERT_TRUE(py("from vdl_bmc import control as c"));
    EXPECT_EQ(1, evalLong("c.call_count('use_kits')"));
    EXPECT_EQ(1u, log.messages(LOGGER_BMC).size());
    vdlbmc_disconnect(handle);
    vdlbmc_disconnect(second);
}

// Board-control functions against the simulated controller.
#include <cstring>
#include <fstream>
#include <string>

#include "bmc_table.hpp"

using namespace bmctest;

namespace {

class bmcBoard : public ConnectedTest {};

} // namespace

TEST_F(bmcBoard, MainPathAndRaisingMemberOfEveryFunction)
{
    int load = 0;
    bool flag = false;
    double value = 0;
    char text[128] = {};
    char second[64] = {};
    std::uint8_t serial[8] = {};
    const vdltest::TempDir planDir("bmc-clock");
    const std::string plan = planDir.file("plan.txt");
    std::ofstream(plan) << "# two outputs\nout0 200.0 enabled\nout1 50.0 disabled\n";

    const std::vector<CallRow> rows = {
        {"get_fpga_load", [&](VdlbmcHandle* h) { return vdlbmc_get_fpga_load(h, &load); }, 0,
         nullptr, false, [&] { EXPECT_EQ(1, load); }},
        {"get_fpga_load raising (cleared)",
         [&](VdlbmcHandle* h) { return vdlbmc_get_fpga_load(h, &load); }, -1,
         "FPGA Configuration.get_value=raise", false},
        {"set_fpga_load", [&](VdlbmcHandle* h) { return vdlbmc_set_fpga_load(h, 3); }, 0, nullptr,
         false, [&] { EXPECT_TRUE(evalTrue("c.called('FPGA.configure_backup')")); }},
        {"set_fpga_load raising", [&](VdlbmcHandle* h) { return vdlbmc_set_fpga_load(h, 1); }, -1,
         "FPGA.configure_user=raise", true},
        {"fpga_reset default component",
         [&](VdlbmcHandle* h) { return vdlbmc_fpga_reset(h, nullptr); }, 0, nullptr, false,
         [&] { EXPECT_EQ(1, evalLong("c.state('FPGA')['reset_count']")); }},
        {"fpga_reset raising", [&](VdlbmcHandle* h) { return vdlbmc_fpga_reset(h, "FPGA"); }, -1,
         "FPGA.reset=raise", true},
        {"fpga_set_corev", [&](VdlbmcHandle* h) { return vdlbmc_fpga_set_corev(h, nullptr, 0.9, 0); },
         0, nullptr, false,
         [&] {
             EXPECT_EQ("(0.9, False)", evalText("c.last_call('FPGA.override_core').args"));
             EXPECT_FALSE(evalTrue("c.state('FPGA')['core_override_disabled']"));
         }},
        {"fpga_set_corev raising",
         [&](VdlbmcHandle* h) { return vdlbmc_fpga_set_corev(h, nullptr, 0.9, 1); }, -1,
         "FPGA.override_core=raise", true},
        {"fpga_get_corev",
         [&](VdlbmcHandle* h) { return vdlbmc_fpga_get_corev(h, nullptr, &flag, &value); }, 0,
         nullptr, false,
         [&] {
             EXPECT_FALSE(flag);
             EXPECT_DOUBLE_EQ(0.9, value);
         }},
        {"fpga_get_corev second call raising: the flag is already written",
         [&](VdlbmcHandle* h) {
             flag = false;
             value = -3;
             return vdlbmc_fpga_get_corev(h, nullptr, &flag, &value);
         },
         -1, "FPGA.core_override_value=raise", true,
         [&] {
             EXPECT_FALSE(flag);
             EXPECT_DOUBLE_EQ(-3, value);
         }},
        {"set_boot_src", [&](VdlbmcHandle* h) { return vdlbmc_set_boot_src(h, nullptr, "Backup"); },
         0, nullptr, false, [&] { EXPECT_EQ("Backup", evalText("c.state('FPGA')['boot_source']")); }},
        {"set_boot_src raising",
         [&](VdlbmcHandle* h) { return vdlbmc_set_boot_src(h, nullptr, "Normal"); }, -1,
         "FPGA.set_boot_source=raise", true},
        {"get_boot_src",
         [&](VdlbmcHandle* h) { return vdlbmc_get_boot_src(h, nullptr, text, sizeof text); }, 0,
         nullptr, false, [&] { EXPECT_STREQ("Backup", text); }},
        {"get_boot_src raising",
         [&](VdlbmcHandle* h) { return vdlbmc_get_boot_src(h, nullptr, text, sizeof text); }, -1,
         "FPGA.get_boot_source=raise", true},
        {"clock_program", [&](VdlbmcHandle* h) { return vdlbmc_clock_program(h, "CLK0", plan.c_str()); },
         0, nullptr, false,
         [&] { EXPECT_EQ(plan, evalText("c.state('CLK0')['program_file']")); }},
        {"clock_program raising",
         [&](VdlbmcHandle* h) { return vdlbmc_clock_program(h, "CLK0", "/nonexistent/plan"); }, -1,
         nullptr, true},
        {"clock_information after program",
         [&](VdlbmcHandle* h) { return vdlbmc_clock_information(h, "CLK0", text, sizeof text); },
         0, nullptr, false,
         [&] { EXPECT_STREQ("out0:[200.000 MHz,enabled],out1:[50.000 MHz,disabled]", text); }},
        {"clock_information raising",
         [&](VdlbmcHandle* h) { return vdlbmc_clock_information(h, "CLK0", text, sizeof text); },
         -1, "CLK0.information=raise", true},
        {"clock_reload", [&](VdlbmcHandle* h) { return vdlbmc_clock_reload(h, "CLK1"); }, 0,
         nullptr, false, [&] { EXPECT_EQ(1, evalLong("c.state('CLK1')['reload_count']")); }},
        {"clock_reload raising", [&](VdlbmcHandle* h) { return vdlbmc_clock_reload(h, "CLK1"); },
         -1, "CLK1.reload=raise", true},
        {"clock_frequency",
         [&](VdlbmcHandle* h) { return vdlbmc_clock_frequency(h, "CLK1", 2, text, sizeof text); },
         0, nullptr, false,
         [&] {
             EXPECT_STREQ("33.333 MHz", text);
             EXPECT_EQ("(2,)", evalText("c.last_call('CLK1.frequency').args"));
         }},
        {"clock_frequency raising (no such output)",
         [&](VdlbmcHandle* h) { return vdlbmc_clock_frequency(h, "CLK1", 9, text, sizeof text); },
         -1, nullptr, true},
        {"power off", [&](VdlbmcHandle* h) { return vdlbmc_power(h, 0); }, 0, nullptr, false,
         [&] { EXPECT_FALSE(evalTrue("c.state()['power_on']")); }},
        {"power raising", [&](VdlbmcHandle* h) { return vdlbmc_power(h, 1); }, -1,
         "card.power=raise", true},
        {"is_power_on",
         [&](VdlbmcHandle* h) {
             flag = true;
             return vdlbmc_is_power_on(h, &flag);
         },
         0, nullptr, false, [&] { EXPECT_FALSE(flag); }},
        {"is_power_on raising", [&](VdlbmcHandle* h) { return vdlbmc_is_power_on(h, &flag); }, -1,
         "card.get_power_on=raise", true},
        {"reboot", [&](VdlbmcHandle* h) { return vdlbmc_reboot(h); }, 0, nullptr, false,
         [&] { EXPECT_EQ(1, evalLong("c.state('BMC')['reboot_count']")); }},
        {"reboot raising", [&](VdlbmcHandle* h) { return vdlbmc_reboot(h); }, -1,
         "BMC.reboot=raise", true},
        {"read_last_error: reset cause first, last error second",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_last_error(h, text, sizeof text, second, sizeof second);
         },
         0, nullptr, false,
         [&] {
             EXPECT_STREQ("Reboot", text);
             EXPECT_EQ(evalText("c.state('BMC')['last_error']"), second);
         }},
        {"read_last_error raising",
         [&](VdlbmcHandle* h) {
             return vdlbmc_read_last_error(h, text, sizeof text, second, sizeof second);
         },
         -1, "BMC.last_error=raise", true},
        {"read_mgmt_prom_serial pads with 0xFF",
         [&](VdlbmcHandle* h) { return vdlbmc_read_mgmt_prom_serial(h, serial, sizeof serial); },
         0, nullptr, false,
         [&] {
             const std::uint8_t expected[8] = {0x56, 0x44, 0x4C, 0x25, 0x00, 0x01, 0xFF, 0xFF};
             EXPECT_EQ(0, std::memcmp(expected, serial, sizeof serial));
         }},
        {"read_mgmt_prom_serial raising",
         [&](VdlbmcHandle* h) { return vdlbmc_read_mgmt_prom_serial(h, serial, sizeof serial); },
         -1, "MFG_PROM.prom_serial_number=raise", true},
        {"set_i2c_channel_ownership",
         [&](VdlbmcHandle* h) { return vdlbmc_set_i2c_channel_ownership(h, 2, 1, "BMC"); }, 0,
         nullptr, false,
         [&] {
             EXPECT_EQ("BMC", evalText("c.state('I2C Channel 2 Override')['value']"));
             EXPECT_TRUE(evalTrue("c.state('I2C Channel 2 Override')['enabled']"));
         }},
        {"set_i2c_channel_ownership raising",
         [&](VdlbmcHandle* h) { return vdlbmc_set_i2c_channel_ownership(h, 1, 1, "BMC"); }, -1,
         "I2C Channel 1 Override.enable=raise", true,
         [&] { EXPECT_FALSE(evalTrue("c.called('I2C Channel 1 Override.set_value')")); }},
        {"get_i2c_channel_ownership",
         [&](VdlbmcHandle* h) {
             return vdlbmc_get_i2c_channel_ownership(h, 2, &flag, text, sizeof text);
         },
         0, nullptr, false,
         [&] {
             EXPECT_TRUE(flag);
             EXPECT_STREQ("BMC", text);
         }},
        {"get_i2c_channel_ownership raising",
         [&](VdlbmcHandle* h) {
             return vdlbmc_get_i2c_channel_ownership(h, 2, &flag, text, sizeof text);
         },
         -1, "I2C Channel 2 Override.operational_state=raise", true},
        {"enable_pcie_i2c", [&](VdlbmcHandle* h) { return vdlbmc_enable_pcie_i2c(h, 1); }, 0,
         nullptr, false, [&] { EXPECT_EQ("Enabled", evalText("c.state('I2C PCIe')['value']")); }},
        {"enable_pcie_i2c raising", [&](VdlbmcHandle* h) { return vdlbmc_enable_pcie_i2c(h, 0); },
         -1, "I2C PCIe.set_value=raise", true},
        {"get_mfg_info",
         [&](VdlbmcHandle* h) { return vdlbmc_get_mfg_info(h, text, sizeof text); }, 0, nullptr,
         false,
         [&] {
             EXPECT_STREQ("model:VDL-250,serial:VD250A001234,part:VDL-250-PCIE,rev:3,date:2024-03-11",
                          text);
         }},
        {"get_mfg_info raising",
         [&](VdlbmcHandle* h) { return vdlbmc_get_mfg_info(h, text, sizeof text); }, -1,
         "card.mfg_info=raise", true},
        {"firmware_version",
         [&](VdlbmcHandle* h) { return vdlbmc_firmware_version(h, text, sizeof text); }, 0,
         nullptr, false,
         [&] { EXPECT_STREQ("firmware:3.2.1,bootloader:1.0.4,build:2024.05.17", text); }},
        {"firmware_version raising",
         [&](VdlbmcHandle* h) { return vdlbmc_firmware_version(h, text, sizeof text); }, -1,
         "BMC.version=raise", true},
    };
    runRows(handle, rows);
}

TEST_F(bmcBoard, FpgaLoadReadTable)
{
    int load = 0;
    const auto read = [&](VdlbmcHandle* h) {
        load = 99;
        return vdlbmc_get_fpga_load(h, &load);
    };
    const auto loaded = [&](int expected) {
        return [&load, expected] { EXPECT_EQ(expected, load); };
    };
    struct Text {
        const char* text;
        int expected;
        int load;
    };
    const Text texts[] = {
        {"Configured Normal", 0, 1},
        {"Configured Normal Image", 0, 1},
        {"Configured Normal in 2 Seconds", 0, 2},
        {"Configured Backup", 0, 3},
        {"Configured Backup Image", 0, 3},
        {"Configured Backup in 2 Seconds", 0, 4},
        {"Configured Normal Fail to Backup", 0, 5},
        {"Configured Normal or Backup if Normal fails", 0, 5},
        {"configured normal", -1, 99},
        {"Configured Normal ", -1, 99},
        {"", -1, 99},
    };
    std::vector<CallRow> rows;
    for (const auto& t : texts)
        rows.push_back({t.text, read, t.expected,
                        std::string("FPGA Configuration.get_value=return:str:") + t.text, false,
                        loaded(t.load)});
    // Wrong kinds and types: -1 without a log line.
    for (const char* spec : {"return:int:1", "return:none", "return:unencodable"})
        rows.push_back({spec, read, -1, std::string("FPGA Configuration.get_value=") + spec, false,
                        loaded(99)});
    runRows(handle, rows);
    EXPECT_EQ(-5, vdlbmc_get_fpga_load(handle, nullptr));
    // A numeric "FPGA Configuration" is refused before its value is asked for.
    ASSERT_TRUE(py("from vdl_bmc import model\n"
                   "c.lookup('FPGA Configuration').__class__ = model.NumericEffecter"));
    LogCapture log;
    EXPECT_EQ(-1, read(handle));
    EXPECT_EQ(99, load);
    EXPECT_FALSE(evalTrue("c.called('FPGA Configuration.get_value')"));
    EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
}

TEST_F(bmcBoard, FpgaLoadSetTable)
{
    struct Set {
        unsigned int code;
        int expected;
        const char* call; // the call the log must end with, or null for none
    };
    const Set sets[] = {
        {1, 0, "FPGA.configure_user() ok"},
        {2, 0, "FPGA.configure_user(1) ok"},
        {3, 0, "FPGA.configure_backup() ok"},
        {4, 0, "FPGA.configure_backup(1) ok"},
        {5, 0, "FPGA.configure_from_boot_source() ok"},
        {6, 0, "FPGA.configure_user_with_backup() ok"},
        {0, -6, nullptr},
        {7, -6, nullptr},
        {0xFFFFFFFFu, -6, nullptr},
    };
    std::vector<CallRow> rows;
    for (const auto& set : sets)
        rows.push_back({std::to_string(set.code),
                        [set](VdlbmcHandle* h) { return vdlbmc_set_fpga_load(h, set.code); },
                        set.expected, nullptr, false, [set] {
                            const std::string calls = evalText("c.dump_calls()");
                            if (set.call)
                                EXPECT_NE(std::string::npos, calls.find(set.call)) << calls;
                            else
                                EXPECT_EQ(std::string::npos, calls.find("configure")) << calls;
                        }});
    runRows(handle, rows);
    // Each set reads back through the load table (the long texts too).
    int load = 0;
    EXPECT_EQ(0, vdlbmc_set_fpga_load(handle, 4));
    EXPECT_EQ(0, vdlbmc_get_fpga_load(handle, &load));
    EXPECT_EQ(4, load);
}

TEST_F(bmcBoard, LongLoadTextsReadBack)
{
    VdlbmcHandle* other = connect("fpga_texts=long", 1);
    struct Row {
        unsigned int set;
        int read;
    };
    for (const Row row : {Row{1, 1}, Row{2, 2}, Row{3, 3}, Row{4, 4}, Row{6, 5}}) {
        SCOPED_TRACE(row.set);
        int load = 0;
        EXPECT_EQ(0, vdlbmc_set_fpga_load(other, row.set));
        EXPECT_EQ(0, vdlbmc_get_fpga_load(other, &load));
        EXPECT_EQ(row.read, load);
    }
    vdlbmc_disconnect(other);
}

TEST_F(bmcBoard, MissingComponentsAndEffecters)
{
    VdlbmcHandle* bare = connect("layout=minimal", 2);
    ASSERT_NE(nullptr, bare);
    const int components = vdlbmc_get_num_components(bare);
    int load = 0;
    bool flag = false;
    double value = 0;
    char text[16];
    std::uint8_t serial[4];
    LogCapture log;
    // Code checks come first: -6 even without an "FPGA" component.
    EXPECT_EQ(-6, vdlbmc_set_fpga_load(bare, 0));
    EXPECT_EQ(-6, vdlbmc_set_fpga_load(bare, 7));
    const int results[] = {
        vdlbmc_get_fpga_load(bare, &load),
        vdlbmc_set_fpga_load(bare, 1),
        vdlbmc_fpga_reset(bare, nullptr),
        vdlbmc_fpga_set_corev(bare, nullptr, 0.9, 1),
        vdlbmc_fpga_get_corev(bare, nullptr, &flag, &value),
        vdlbmc_set_boot_src(bare, nullptr, "Normal"),
        vdlbmc_get_boot_src(bare, nullptr, text, sizeof text),
        vdlbmc_clock_program(bare, "CLK0", "x"),
        vdlbmc_clock_reload(bare, "CLK0"),
        vdlbmc_clock_frequency(bare, "CLK0", 0, text, sizeof text),
        vdlbmc_clock_information(bare, "CLK0", text, sizeof text),
        vdlbmc_reboot(bare),
        vdlbmc_read_last_error(bare, text, sizeof text, text, sizeof text),
        vdlbmc_read_mgmt_prom_serial(bare, serial, sizeof serial),
        vdlbmc_set_i2c_channel_ownership(bare, 0, 1, nullptr),
        vdlbmc_get_i2c_channel_ownership(bare, 0, &flag, text, sizeof text),
        vdlbmc_enable_pcie_i2c(bare, 1),
        vdlbmc_firmware_version(bare, text, sizeof text),
        vdlbmc_fpga_reset(handle, "NOSUCH"),
        vdlbmc_set_i2c_channel_ownership(handle, 4, 1, nullptr),
    };
    for (std::size_t i = 0; i < sizeof results / sizeof results[0]; ++i)
        EXPECT_EQ(-13, results[i]) << "call " << i;
    EXPECT_EQ(components, vdlbmc_get_num_components(bare));
    EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
    vdlbmc_disconnect(bare);
}

TEST_F(bmcBoard, NullPointersGiveMinusFive)
{
    bool flag = false;
    double value = 0;
    char text[16];
    LogCapture log;
    const int results[] = {
        vdlbmc_get_fpga_load(nullptr, nullptr),
        vdlbmc_set_fpga_load(nullptr, 1),
        vdlbmc_fpga_reset(nullptr, nullptr),
        vdlbmc_fpga_set_corev(nullptr, nullptr, 0.9, 1),
        vdlbmc_fpga_get_corev(handle, nullptr, nullptr, &value),
        vdlbmc_fpga_get_corev(handle, nullptr, &flag, nullptr),
        vdlbmc_set_boot_src(nullptr, nullptr, "Normal"),
        vdlbmc_get_boot_src(nullptr, nullptr, text, 16),
        vdlbmc_clock_program(handle, nullptr, "x"),
        vdlbmc_clock_program(handle, "CLK0", nullptr),
        vdlbmc_clock_reload(handle, nullptr),
        vdlbmc_clock_frequency(handle, nullptr, 0, text, 16),
        vdlbmc_clock_frequency(handle, "CLK0", 0, nullptr, 16),
        vdlbmc_clock_information(handle, nullptr, text, 16),
        vdlbmc_clock_information(handle, "CLK0", nullptr, 16),
        vdlbmc_power(nullptr, 1),
        vdlbmc_is_power_on(handle, nullptr),
        vdlbmc_reboot(nullptr),
        vdlbmc_read_last_error(nullptr, text, 16, text, 16),
        vdlbmc_read_mgmt_prom_serial(handle, nullptr, 4),
        vdlbmc_set_i2c_channel_ownership(nullptr, 0, 1, nullptr),
        vdlbmc_get_i2c_channel_ownership(handle, 0, nullptr, text, 16),
        vdlbmc_enable_pcie_i2c(nullptr, 1),
        vdlbmc_get_mfg_info(handle, nullptr, 16),
        vdlbmc_firmware_version(handle, nullptr, 16),
    };
    for (std::size_t i = 0; i < sizeof results / sizeof results[0]; ++i)
        EXPECT_EQ(-5, results[i]) << "call " << i;
    EXPECT_TRUE(log.messages(LOGGER_BMC).empty());
    EXPECT_TRUE(log.messages(LOGGER_GENERAL).empty());
    EXPECT_FALSE(evalTrue("c.called('*.*')"));
}

TEST_F(bmcBoard, CopyCodesOfTheTextResults)
{
    char text[8];
    bool flag = false;
    // A size below 2 is refused before the controller is asked.
    clearFaults();
    EXPECT_EQ(-6, vdlbmc_firmware_version(handle, text, 1));
    EXPECT_EQ(-6, vdlbmc_get_mfg_info(handle, text, 0));
    EXPECT_FALSE(evalTrue("c.called('BMC.version') or c.called('card.mfg_info')"));
    // Some copy failures are logged on "general" (the last column).
    const std::vector<CallRow> rows = {
        {"mfg size 1", [&](VdlbmcHandle* h) { return vdlbmc_get_mfg_info(h, text, 1); }, -6,
         nullptr, false},
        {"firmware size 1", [&](VdlbmcHandle* h) { return vdlbmc_firmware_version(h, text, 1); },
         -6, nullptr, false},
        {"firmware too small", [&](VdlbmcHandle* h) { return vdlbmc_firmware_version(h, text, 8); },
         -33, nullptr, false, wrote(text, "firmwar")},
        {"mfg too small", [&](VdlbmcHandle* h) { return vdlbmc_get_mfg_info(h, text, 8); }, -33,
         nullptr, false},
        {"clock info too small",
         [&](VdlbmcHandle* h) { return vdlbmc_clock_information(h, "CLK0", text, 8); }, -33,
         nullptr, false, nullptr, 1},
        {"clock info negative",
         [&](VdlbmcHandle* h) { return vdlbmc_clock_information(h, "CLK0", text, -1); }, -6,
         nullptr, false, nullptr, 1},
        {"boot source negative",
         [&](VdlbmcHandle* h) { return vdlbmc_get_boot_src(h, nullptr, text, -1); }, -6, nullptr,
         false, nullptr, 1},
        {"boot source null buffer",
         [&](VdlbmcHandle* h) { return vdlbmc_get_boot_src(h, nullptr, nullptr, 8); }, -5, nullptr,
         false, nullptr, 1},
        {"frequency too small",
         [&](VdlbmcHandle* h) { return vdlbmc_clock_frequency(h, "CLK0", 0, text, 4); }, -33,
         nullptr, false},
        {"last error too small",
         [&](VdlbmcHandle* h) { return vdlbmc_read_last_error(h, text, 8, text, 2); }, -33,
         nullptr, false},
        {"i2c value size 0",
         [&](VdlbmcHandle* h) { return vdlbmc_get_i2c_channel_ownership(h, 0, &flag, text, 0); },
         -6, nullptr, false, nullptr, 1},
    };
    runRows(handle, rows);
}

TEST_F(bmcBoard, ClockInformationForms)
{
    struct Form {
        const char* returns;
        int expected;
        const char* text;
    };
    const Form forms[] = {
        {"{'out0': ['100.0', 'on'], 'out1': []}", 0, "out0:[100.0,on],out1:[]"},
        {"{}", 0, ""},
        {"{'a': ['x']}", 0, "a:[x]"},
        {"[]", -1, "untouched"},                // not a dictionary
        {"{'out0': 'x'}", -1, "untouched"},     // a value that is not a list
        {"{'out0': [1]}", -1, "untouched"},     // an element that is not text
        {"{1: []}", -1, "untouched"},           // a key that is not text
        {"{'out0': [UNENCODABLE]}", -1, "untouched"},
    };
    char text[64];
    const auto information = [&](VdlbmcHandle* h) {
        std::strcpy(text, "untouched");
        return vdlbmc_clock_information(h, "CLK0", text, sizeof text);
    };
    std::vector<CallRow> rows;
    for (const auto& f : forms)
        rows.push_back({f.returns, information, f.expected,
                        std::string("CLK0.information=return:py:") + f.returns, f.expected != 0,
                        wrote(text, f.text)});
    runRows(handle, rows);
}

TEST_F(bmcBoard, DictionaryTexts)
{
    struct Form {
        const char* target;
        const char* returns;
        int expected;
        const char* text;
    };
    const Form forms[] = {
        {"card.mfg_info", "{'model': 'X1', 'rev': 3}", 0, "model:X1,rev:3"},
        {"card.mfg_info", "{}", 0, ""},
        {"card.mfg_info", "{'a': None, 'b': 1.5}", 0, "a:None,b:1.5"},
        {"card.mfg_info", "{'a': BadStr()}", -1, "untouched"},
        {"card.mfg_info", "{'a': UNENCODABLE}", -1, "untouched"},
        {"card.mfg_info", "{2: 'x'}", -1, "untouched"},
        {"card.mfg_info", "['model']", -1, "untouched"},
        {"card.mfg_info", "None", -1, "untouched"},
        {"BMC.version", "{'fw': '1.0'}", 0, "fw:1.0"},
        {"BMC.version", "{'fw': 1}", -1, "untouched"},
        {"BMC.version", "'1.0'", -1, "untouched"},
    };
    char text[64];
    std::vector<CallRow> rows;
    for (const auto& f : forms) {
        const bool firmware = std::strcmp(f.target, "BMC.version") == 0;
        const std::string fault = std::string(f.target) + "=return:py:" + f.returns;
        rows.push_back({fault,
                        [&, firmware](VdlbmcHandle* h) {
                            std::strcpy(text, "untouched");
                            return firmware ? vdlbmc_firmware_version(h, text, sizeof text)
                                            : vdlbmc_get_mfg_info(h, text, sizeof text);
                        },
                        f.expected, fault, f.expected != 0, wrote(text, f.text)});
    }
    runRows(handle, rows);
}

TEST_F(bmcBoard, LastErrorResults)
{
    struct Form {
        const char* returns;
        int expected;
        const char* resetCause;
        const char* lastError;
    };
    const Form forms[] = {
        {"{'lastError': 'E1', 'resetCause': 'Watchdog'}", 0, "Watchdog", "E1"},
        {"{'lastError': 'E1'}", -1, "untouched", "E1"},          // no reset cause
        {"{'resetCause': 'Watchdog'}", -1, "untouched", "untouched"},
        {"{}", -1, "untouched", "untouched"},
        {"{'lastError': 5, 'resetCause': 'x'}", -1, "untouched", "untouched"},
        {"['lastError', 'resetCause']", -1, "untouched", "untouched"},
        {"None", -1, "untouched", "untouched"},
    };
    char resetCause[32];
    char lastError[32];
    const auto read = [&](VdlbmcHandle* h) {
        std::strcpy(resetCause, "untouched");
        std::strcpy(lastError, "untouched");
        return vdlbmc_read_last_error(h, resetCause, sizeof resetCause, lastError,
                                      sizeof lastError);
    };
    std::vector<CallRow> rows;
    for (const auto& f : forms)
        rows.push_back({f.returns, read, f.expected,
                        std::string("BMC.last_error=return:py:") + f.returns, f.expected != 0,
                        [&, f] {
                            EXPECT_STREQ(f.resetCause, resetCause);
                            EXPECT_STREQ(f.lastError, lastError);
                        }});
    runRows(handle, rows);
}

TEST_F(bmcBoard, PromSerialResults)
{
    struct Form {
        const char* returns;
        int length;
        int expected;
        std::vector<int> bytes;
        bool logged;
    };
    const Form forms[] = {
        {"[1, 2, 3, 4]", 8, 0, {1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF}, false},
        {"[1, 2, 3, 4]", 2, 0, {1, 2, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, false},
        {"[0x1FF, -1]", 3, 0, {0xFF, 0xFF, 0xFF, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, false},
        {"[]", 0, 0, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, false},
        {"[1]", -4, 0, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, false},
        {"(1, 2)", 2, 0, {0xFF, 0xFF, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, false}, // not a list
        {"[1, 'x']", 4, -1, {1, 0xFF, 0xFF, 0xFF, 0xAA, 0xAA, 0xAA, 0xAA}, true},
        {"[2**70]", 2, -1, {0xFF, 0xFF, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, true},
    };
    std::uint8_t buffer[8];
    std::vector<CallRow> rows;
    for (const auto& f : forms)
        rows.push_back({std::string(f.returns) + " " + std::to_string(f.length),
                        [&, f](VdlbmcHandle* h) {
                            std::memset(buffer, 0xAA, sizeof buffer);
                            return vdlbmc_read_mgmt_prom_serial(h, buffer, f.length);
                        },
                        f.expected,
                        std::string("MFG_PROM.prom_serial_number=return:py:") + f.returns,
                        f.logged,
                        [&, f] { EXPECT_EQ(f.bytes, std::vector<int>(buffer, buffer + 8)); }});
    runRows(handle, rows);
}

TEST_F(bmcBoard, ItemsThatRemoveThemselvesAreHeldWhileConverted)
{
    // Each result holds a value that takes itself out of it when converted
    // (str() for the manufacturing data, as an index for the PROM serial).
    struct Row {
        const char* what;
        const char* result; // Python statements that install the fault
        void (*convert)(PyObject*);
        std::function<int()> call;
        int expected;
        bool logged;
    };
    char text[64] = {};
    std::uint8_t serial[4] = {};
    const Row rows[] = {
        {"mfg_info str()",
         "info = {}\ninfo['model'] = c.SelfRemoving(info, 'model', 'X1')\n"
         "c.fault('card.mfg_info', returns=info)\ndel info",
         [](PyObject* value) { Py_XDECREF(PyObject_Str(value)); },
         [&] { return vdlbmc_get_mfg_info(handle, text, sizeof text); },
         // The dictionary changed size while it was walked.
         -1, true},
        {"prom_serial_number index",
         "serial = [0, 2, 3]\nserial[0] = c.SelfRemoving(serial, 0, 0x41)\n"
         "c.fault('MFG_PROM.prom_serial_number', returns=serial)\ndel serial",
         [](PyObject* value) { static_cast<void>(PyLong_AsLong(value)); },
         [&] { return vdlbmc_read_mgmt_prom_serial(handle, serial, sizeof serial); }, 0, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        clearFaults();
        const long held = referencesWhenHeld(row.convert);
        ASSERT_TRUE(py(row.result));
        LogCapture log;
        EXPECT_EQ(row.expected, row.call());
        EXPECT_TRUE(noPendingError());
        EXPECT_EQ(row.logged ? 1u : 0u, log.messages(LOGGER_BMC).size());
        EXPECT_EQ(held, evalLong("c.SelfRemoving.references[-1]"));
    }
    // The PROM's first element converted to 0x41 and left the list, which
    // then held two elements.
    EXPECT_EQ((std::vector<int>{0x41, 3, 0xFF, 0xFF}), std::vector<int>(serial, serial + 4));
    clearFaults();
}

TEST_F(bmcBoard, I2cRules)
{
    // Flag clear with a value: disable() only.
    clearFaults();
    EXPECT_EQ(0, vdlbmc_set_i2c_channel_ownership(handle, 3, 0, "BMC"));
    EXPECT_EQ("I2C Channel 3 Override.disable() ok", evalText("c.dump_calls()"));
    clearFaults();
    // Flag set without a value: enable() only.
    EXPECT_EQ(0, vdlbmc_set_i2c_channel_ownership(handle, 3, 1, nullptr));
    EXPECT_EQ("I2C Channel 3 Override.enable() ok", evalText("c.dump_calls()"));
    // A failing value set comes after the enable took effect.
    LogCapture log;
    EXPECT_EQ(-1, vdlbmc_set_i2c_channel_ownership(handle, 3, 1, "Nobody"));
    EXPECT_EQ(1u, log.messages(LOGGER_BMC).size());
    EXPECT_TRUE(evalTrue("c.state('I2C Channel 3 Override')['enabled']"));

    // Only a state that starts with "enabled" is enabled.
    struct State {
        const char* state;
        bool enabled;
    };
    const State states[] = {
        {"enabled", true}, {"enabled-pending", true}, {"enabledX", true},
        {"Enabled", false}, {"enable", false}, {"", false}, {"disabled", false},
    };
    bool flag = false;
    char text[16];
    std::vector<CallRow> rows;
    for (const auto& s : states)
        rows.push_back({s.state,
                        [&, s](VdlbmcHandle* h) {
                            flag = !s.enabled;
                            return vdlbmc_get_i2c_channel_ownership(h, 0, &flag, text, sizeof text);
                        },
                        0,
                        std::string("I2C Channel 0 Override.operational_state=return:str:") +
                            s.state,
                        false, [&, s] {
                            EXPECT_EQ(s.enabled, flag);
                            EXPECT_STREQ("Host", text);
                        }});
    runRows(handle, rows);
    // The flag is written before the value is asked for.
    clearFaults();
    fault("I2C Channel 0 Override.operational_state", "return:str:enabled");
    fault("I2C Channel 0 Override.get_value", "return:int:1");
    flag = false;
    EXPECT_EQ(-1, vdlbmc_get_i2c_channel_ownership(handle, 0, &flag, text, sizeof text));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(noPendingError());
    // The PCIe path's two texts.
    clearFaults();
    EXPECT_EQ(0, vdlbmc_enable_pcie_i2c(handle, 0));
    EXPECT_EQ("('Disabled',)", evalText("c.last_call('I2C PCIe.set_value').args"));
}

TEST_F(bmcBoard, ResultsOfTheWrongTypeFail)
{
    bool flag = false;
    double value = 0;
    char text[32];
    const std::vector<CallRow> rows = {
        {"core value not a number",
         [&](VdlbmcHandle* h) { return vdlbmc_fpga_get_corev(h, nullptr, &flag, &value); }, -1,
         "FPGA.core_override_value=return:str:high", true},
        {"core disabled not True counts as false",
         [&](VdlbmcHandle* h) { return vdlbmc_fpga_get_corev(h, nullptr, &flag, &value); }, 0,
         "FPGA.core_override_disabled=return:int:1", false, [&] { EXPECT_FALSE(flag); }},
        {"boot source not text",
         [&](VdlbmcHandle* h) { return vdlbmc_get_boot_src(h, nullptr, text, 32); }, -1,
         "FPGA.get_boot_source=return:int:1", true},
        {"boot source unencodable",
         [&](VdlbmcHandle* h) { return vdlbmc_get_boot_src(h, nullptr, text, 32); }, -1,
         "FPGA.get_boot_source=return:unencodable", true},
        {"frequency not text",
         [&](VdlbmcHandle* h) { return vdlbmc_clock_frequency(h, "CLK0", 0, text, 32); }, -1,
         "CLK0.frequency=return:none", true},
        {"power state not True counts as off",
         [&](VdlbmcHandle* h) { return vdlbmc_is_power_on(h, &flag); }, 0,
         "card.get_power_on=return:int:1", false, [&] { EXPECT_FALSE(flag); }},
        {"i2c state not text",
         [&](VdlbmcHandle* h) { return vdlbmc_get_i2c_channel_ownership(h, 1, &flag, text, 32); },
         -1, "I2C Channel 1 Override.operational_state=return:none", true},
    };
    runRows(handle, rows);
}

TEST_F(bmcBoard, TextsHoldingANulFail)
{
    // C text ends at a NUL: such a text would come back cut short and be
    // reported as success, so the call fails instead, logged (cleared where
    // the function clears a failed call), and the buffer is not written.
    bool flag = false;
    int load = -1;
    char text[64];
    char second[64];
    const auto untouched = [&] { EXPECT_STREQ("untouched", text); };
    const auto reset = [&] {
        std::strcpy(text, "untouched");
        std::strcpy(second, "untouched");
    };
    const std::vector<CallRow> rows = {
        {"boot source",
         [&](VdlbmcHandle* h) {
             reset();
             return vdlbmc_get_boot_src(h, nullptr, text, sizeof text);
         },
         -1, "FPGA.get_boot_source=return:py:'Normal\\x00Backup'", true, untouched},
        {"frequency",
         [&](VdlbmcHandle* h) {
             reset();
             return vdlbmc_clock_frequency(h, "CLK0", 0, text, sizeof text);
         },
         -1, "CLK0.frequency=return:py:'156.250\\x00MHz'", true, untouched},
        {"clock information value",
         [&](VdlbmcHandle* h) {
             reset();
             return vdlbmc_clock_information(h, "CLK0", text, sizeof text);
         },
         -1, "CLK0.information=return:py:{'out0': ['1.0 MHz', 'on\\x00']}", true, untouched},
        {"clock information key",
         [&](VdlbmcHandle* h) { return vdlbmc_clock_information(h, "CLK0", text, sizeof text); },
         -1, "CLK0.information=return:py:{'out\\x000': []}", true},
        {"i2c state",
         [&](VdlbmcHandle* h) {
             return vdlbmc_get_i2c_channel_ownership(h, 0, &flag, text, sizeof text);
         },
         -1, "I2C Channel 0 Override.operational_state=return:py:'enabled\\x00'", true},
        {"i2c value",
         [&](VdlbmcHandle* h) {
             reset();
             return vdlbmc_get_i2c_channel_ownership(h, 0, &flag, text, sizeof text);
         },
         -1, "I2C Channel 0 Override.get_value=return:py:'Host\\x00BMC'", true, untouched},
        {"last error",
         [&](VdlbmcHandle* h) {
             reset();
             return vdlbmc_read_last_error(h, text, sizeof text, second, sizeof second);
         },
         -1,
         "BMC.last_error=return:py:{'lastError': 'None\\x00 (stale)', 'resetCause': 'Power On'}",
         true, [&] { EXPECT_STREQ("untouched", second); }},
        {"reset cause",
         [&](VdlbmcHandle* h) {
             reset();
             return vdlbmc_read_last_error(h, text, sizeof text, second, sizeof second);
         },
         -1, "BMC.last_error=return:py:{'lastError': 'None', 'resetCause': 'Power\\x00On'}",
         true, untouched},
        {"manufacturing key",
         [&](VdlbmcHandle* h) { return vdlbmc_get_mfg_info(h, text, sizeof text); }, -1,
         "card.mfg_info=return:py:{'mod\\x00el': 'X1'}", true},
        {"manufacturing text value",
         [&](VdlbmcHandle* h) { return vdlbmc_get_mfg_info(h, text, sizeof text); }, -1,
         "card.mfg_info=return:py:{'model': 'X1\\x00'}", true},
        {"manufacturing value whose str holds a NUL",
         [&](VdlbmcHandle* h) { return vdlbmc_get_mfg_info(h, text, sizeof text); }, -1,
         "card.mfg_info=return:py:{'rev': type('Rev', (), {'__str__': lambda s: '3\\x00'})()}",
         true},
        {"firmware version",
         [&](VdlbmcHandle* h) { return vdlbmc_firmware_version(h, text, sizeof text); }, -1,
         "BMC.version=return:py:{'firmware': '3.2.1\\x00beta'}", true},
        {"fpga load (cleared)",
         [&](VdlbmcHandle* h) { return vdlbmc_get_fpga_load(h, &load); }, -1,
         "FPGA Configuration.get_value=return:py:'Configured Normal\\x00'", false,
         [&] { EXPECT_EQ(-1, load) << "untouched"; }},
    };
    runRows(handle, rows);
}

// Card enumeration by the library object, and the open, index and close of
// cards through the exported functions. One scenario per test: the library
// object is built on the first call of each process.
#include <atomic>
#include <cerrno>
#include <thread>

#include "device_support.hpp"
#include "vdlsdk/VdlpciLinuxDevice.hpp"

using pciDevice = devtest::DeviceTest;

namespace {

const char* const kCountTrace = "Number of Vandrel cards found: ";

std::vector<std::string> countTraces(const vdltest::LogCapture& logs)
{
    std::vector<std::string> out;
    for (const auto& line : logs.at("vdlsdk_pci", "debug"))
        if (line.rfind(kCountTrace, 0) == 0)
            out.push_back(line);
    return out;
}

std::string locationOf(int index)
{
    char text[32] = {};
    EXPECT_EQ(vdlpci_dev_location(index, text, sizeof(text)), 0);
    return text;
}

} // namespace

TEST_F(pciDevice, EnumNoNodeLeavesTableEmpty)
{
    vdlsim_clear_cards();
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_dev_count(), 0);
    EXPECT_EQ(vdlsim_log_count_requests(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CARD_COUNT), 0u);
    EXPECT_EQ(countTraces(logs), std::vector<std::string>{});
    EXPECT_EQ(logs.errors(), std::vector<std::string>{});
    // The object exists: a later call does not try card 0 again.
    vdlsim_log_clear();
    EXPECT_EQ(vdlpci_dev_count(), 0);
    EXPECT_EQ(vdltest::simLog().size(), 0u);
}

TEST_F(pciDevice, EnumFailedCountKeepsCardZeroAlone)
{
    ASSERT_EQ(vdlsim_card_setup(1), 0);
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CARD_COUNT, EIO);
    EXPECT_EQ(vdlpci_dev_count(), 1);
    EXPECT_EQ(locationOf(0), "01:00.0");
    EXPECT_EQ(devtest::countEvents(VDLSIM_EV_OPEN, 1), 0u);
}

TEST_F(pciDevice, EnumThreeCardsTakeTheirNumbersAsPositions)
{
    ASSERT_EQ(vdlsim_card_setup(1), 0);
    ASSERT_EQ(vdlsim_card_setup(2), 0);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_dev_count(), 3);
    EXPECT_EQ(countTraces(logs), std::vector<std::string>{"Number of Vandrel cards found: 3"});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(locationOf(i), "0" + std::to_string(i + 1) + ":00.0");
        // Card 0 is opened once: the enumeration finds it in the table.
        EXPECT_EQ(devtest::countEvents(VDLSIM_EV_OPEN, static_cast<uint32_t>(i)), 1u);
        EXPECT_EQ(vdlsim_card_open_count(static_cast<unsigned>(i)), 1);
    }
}

TEST_F(pciDevice, EnumCardThatCannotOpenFailsTheConstructionUntilItCan)
{
    ASSERT_EQ(vdlsim_card_setup(1), 0);
    ASSERT_EQ(vdlsim_card_setup(2), 0);
    ASSERT_EQ(vdlsim_card_set_present(2, 0), 0);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});

    EXPECT_EQ(vdlpci_dev_count(), 0);
    EXPECT_EQ(logs.errors(), std::vector<std::string>{}) << "vdlpci_dev_count logs nothing";

    uint16_t v = 0, d = 0, sv = 0, s = 0;
    EXPECT_EQ(vdlpci_dev_id(0, &v, &d, &sv, &s), -13);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"Device /dev/vdlsdk_pci/vdlpci2 does not exist"});
    // Cards 0 and 1 of the failed attempts were closed again.
    EXPECT_EQ(vdlsim_card_open_count(0), 0);
    EXPECT_EQ(vdlsim_card_open_count(1), 0);

    ASSERT_EQ(vdlsim_card_set_present(2, 1), 0);
    EXPECT_EQ(vdlpci_dev_id(2, &v, &d, &sv, &s), 0);
    EXPECT_EQ(vdlpci_dev_count(), 3);
    EXPECT_EQ(vdlsim_card_open_count(0), 1);
}

TEST_F(pciDevice, EnumAccessRefusedFailsEveryAttemptAndWarnsOnce)
{
    ASSERT_EQ(vdlsim_card_set_access(0, 0), 0);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    uint16_t v = 0, d = 0, sv = 0, s = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(vdlpci_dev_count(), 0);
        EXPECT_EQ(vdlpci_dev_id(0, &v, &d, &sv, &s), -38);
    }
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>(2, "Insufficient Permissions to open device 0"));
    EXPECT_EQ(devtest::countEvents(VDLSIM_EV_OPEN, 0), 0u) << "a refused node is never opened";
    const auto warnings = logs.at("vdlsdk_pci", "warning");
    EXPECT_LE(std::count(warnings.begin(), warnings.end(),
                         "User is not in vandrel group. Access to the PCI driver may not work."),
              1);
}

TEST_F(pciDevice, EnumFailedIdentityUndoesTheOpening)
{
    vdltest::addFault(VDLSIM_REQ_IDS, 0, EIO);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    void* const untouched = reinterpret_cast<void*>(0x1);
    void* handle = untouched;
    EXPECT_EQ(vdlpci_dev_open(0, &handle), -1);
    EXPECT_EQ(handle, untouched) << "the library object itself could not be made";
    EXPECT_EQ(logs.at("general", "error"), std::vector<std::string>{"Error reading PCIe register"});
    EXPECT_EQ(vdlsim_card_open_count(0), 0);
    EXPECT_EQ(devtest::countEvents(VDLSIM_EV_CLOSE, 0), 1u) << "the handle is closed exactly once";

    // The fault is used up: the next call builds the object.
    EXPECT_EQ(vdlpci_dev_open(0, &handle), 0);
    EXPECT_NE(handle, nullptr);
    EXPECT_NE(handle, untouched);
}

// A BAR register that cannot be read does not stop the opening: the card
// opens (card 0 with it the library object), warns that no BAR holds an
// address, and refuses its BARs with -40 while its configuration space works.
TEST_F(pciDevice, EnumFailedBarRegisterReadOpensWithBarsNotEnumerated)
{
    vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO, 0x10);
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    void* handle = nullptr;
    EXPECT_EQ(vdlpci_dev_open(0, &handle), 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(vdlpci_dev_count(), 1);
    EXPECT_EQ(vdlsim_card_open_count(0), 1);
    EXPECT_TRUE(logs.has("vdlsdk_pci", "warning",
                         "all BAR addresses are 0 - the FPGA looks to have been reconfigured"));

    logs.clear();
    uint32_t word = 0x1234;
    EXPECT_EQ(vdlpci_ms_write32s(handle, 0, 0x40, &word, 1), -40);
    EXPECT_EQ(vdlpci_ms_read32s(handle, 2, 0, &word, 1), -40);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>(
                  2, "Cannot access PCI BAR memory space (PCI link is up, but not enumerated)"));
    EXPECT_EQ(vdlpci_ms_read32s(handle, VDLPCI_MS_ID_CONFIG, 0, &word, 1), 1);
}

// Registers that cannot be read while a card opens, one case each, on a card
// object of its own: the opening goes on. BAR registers read before the
// failure still count; an interrupt set-up that cannot read MSI-X falls back
// to MSI (disabled, one vector, in the default model), and one that cannot
// read MSI either leaves interrupts off with no vector.
TEST_F(pciDevice, EnumOpeningGoesOnWhenARegisterCannotBeRead)
{
    struct Fault {
        unsigned address;
        uint32_t skip;
        uint32_t count;
    };
    struct Case {
        const char* name;
        std::vector<Fault> faults;
        bool barsEnumerated;
        bool msiEnabled;
        int vectors;
    };
    using devtest::kMsiCap;
    using devtest::kMsixCap;
    const Case cases[] = {
        {"BAR0 register", {{0x10, 0, 1}}, false, true, 32},
        {"BAR1 register, after BAR0's address", {{0x14, 0, 1}}, true, true, 32},
        {"MSI-X header in the walk", {{kMsixCap, 0, 1}}, true, false, 1},
        {"MSI-X header in the report", {{kMsixCap, 1, 1}}, true, false, 1},
        {"MSI-X table dword", {{kMsixCap + 4, 0, 1}}, true, false, 1},
        {"capabilities pointer of both walks", {{0x34, 0, 2}}, true, false, 0},
        {"MSI-X and MSI message control", {{kMsixCap, 1, 1}, {kMsiCap, 1, 1}}, true, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vdltest::resetSim();
        std::vector<int> rules;
        for (const Fault& f : c.faults)
            rules.push_back(vdltest::addFault(VDLSIM_REQ_COMMAND, VDLSIM_CMD_CFG_READ32, EIO,
                                              f.address, f.skip, f.count));
        VdlpciLinuxDevice card(0);
        EXPECT_NO_THROW(card.openhandle());
        for (std::size_t r = 0; r < rules.size(); ++r)
            EXPECT_EQ(vdlsim_fault_hits(rules[r]), static_cast<int>(c.faults[r].count))
                << "fault " << r << " was not reached";
        EXPECT_EQ(card.barsEnumerated(), c.barsEnumerated);
        EXPECT_EQ(card.msiEnabled(), c.msiEnabled);
        EXPECT_EQ(card.msiVectorCount(), c.vectors);
        for (int b = 0; b < VdlpciDevice::kBarCount; ++b)
            EXPECT_NE(card.bar(b), nullptr) << "BAR " << b;
        EXPECT_NE(card.pcicfg(), nullptr);
        EXPECT_EQ(vdlsim_card_open_count(0), 1);
    }
}

TEST_F(pciDevice, EnumOpenIndexAndClose)
{
    void* first = open(0);
    void* again = open(0);
    EXPECT_EQ(first, again);
    int index = -1;
    EXPECT_EQ(vdlpci_dev_index(first, &index), 0);
    EXPECT_EQ(index, 0);

    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_dev_close(first), 0);
    uint32_t word = 0;
    EXPECT_EQ(vdlpci_ms_read32s(first, VDLPCI_MS_ID_CONFIG, 0, &word, 1), 1)
        << "a closed card stays usable";
    EXPECT_EQ(vdlsim_card_open_count(0), 1);

    EXPECT_EQ(vdlpci_dev_close(nullptr), -5);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"could not close device, as device was null"});

    int dummy = 0;
    EXPECT_EQ(vdlpci_dev_index(&dummy, &index), -13);
    EXPECT_TRUE(logs.has("general", "error", "could not find PCI device"));
}

TEST_F(pciDevice, EnumOpenAppendsTheNextCardOnly)
{
    // The driver counts one card although two nodes exist.
    ASSERT_EQ(vdlsim_card_setup(1), 0);
    ASSERT_EQ(vdlsim_card_setup(3), 0);
    vdlsim_set_card_count_answer(1);
    EXPECT_EQ(vdlpci_dev_count(), 1);

    // Card 2 has no node: missing like any other card. Card 3 has one, but
    // would land at position 1, where index 3 could never find it.
    const struct {
        int index;
        const char* message;
    } beyond[] = {
        {2, "Device /dev/vdlsdk_pci/vdlpci2 does not exist"},
        {3, "could not open PCI device 3: open the cards below it first"},
    };
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    void* handle = nullptr;
    for (const auto& row : beyond) {
        SCOPED_TRACE(row.index);
        logs.clear();
        handle = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(vdlpci_dev_open(row.index, &handle), -13);
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(logs.at("general", "error"), std::vector<std::string>{row.message});
        EXPECT_EQ(devtest::countEvents(VDLSIM_EV_OPEN, static_cast<uint32_t>(row.index)), 0u);
    }
    EXPECT_EQ(vdlpci_dev_count(), 1);

    void* second = open(1);
    EXPECT_EQ(vdlpci_dev_count(), 2);
    int index = -1;
    EXPECT_EQ(vdlpci_dev_index(second, &index), 0);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(locationOf(1), "02:00.0");

    logs.clear();
    handle = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(vdlpci_dev_open(-1, &handle), -13);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"Device /dev/vdlsdk_pci/vdlpci-1 does not exist"});

    char text[32];
    logs.clear();
    EXPECT_EQ(vdlpci_dev_location(5, text, sizeof(text)), -13);
    EXPECT_EQ(logs.at("general", "error"),
              std::vector<std::string>{"could not find open PCI device at index 5"});
}

// The device table is shared: eight threads opening a card that is not open
// yet get one card object, on one open node, at one position. Each card is a
// race of its own; the last one cannot be opened at all.
TEST_F(pciDevice, EnumConcurrentFirstOpenGivesOneCard)
{
    constexpr int kCards = 8;
    for (unsigned card = 1; card < kCards; ++card)
        ASSERT_EQ(vdlsim_card_setup(card), 0);
    vdlsim_set_card_count_answer(1);
    ASSERT_EQ(vdlpci_dev_count(), 1);
    constexpr int kBroken = kCards - 1;
    ASSERT_EQ(vdlsim_card_set_open_errno(kBroken, EIO), 0);

    constexpr int kThreads = 8;
    for (int card = 1; card < kCards; ++card) {
        SCOPED_TRACE(card);
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        void* handles[kThreads] = {};
        int results[kThreads] = {};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                ready.fetch_add(1);
                while (!go.load())
                    std::this_thread::yield();
                results[t] = vdlpci_dev_open(card, &handles[t]);
            });
        }
        while (ready.load() < kThreads)
            std::this_thread::yield();
        go.store(true);
        for (auto& thread : threads)
            thread.join();

        const bool opens = card != kBroken;
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_EQ(results[t], opens ? 0 : -13) << t;
            EXPECT_EQ(handles[t], opens ? handles[0] : nullptr) << t;
        }
        EXPECT_EQ(vdlpci_dev_count(), opens ? card + 1 : card);
        EXPECT_EQ(vdlsim_card_open_count(static_cast<unsigned>(card)), opens ? 1 : 0);
        EXPECT_EQ(devtest::countEvents(VDLSIM_EV_OPEN, static_cast<unsigned>(card)),
                  opens ? 1u : static_cast<std::size_t>(kThreads))
            << "a failed open is tried again by the next caller";
        if (opens) {
            int index = -1;
            EXPECT_EQ(vdlpci_dev_index(handles[0], &index), 0);
            EXPECT_EQ(index, card);
        }
    }
}

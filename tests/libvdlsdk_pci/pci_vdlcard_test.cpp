// The driver interface against the stand-in driver: open and close, access
// test, status requests and register access.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "pci_test_support.hpp"
#include "vdlsdk/vdl_exception.hpp"

using namespace pcitest;
using Strings = std::vector<std::string>;

namespace {

constexpr uint32_t kCard = 3;
constexpr const char* kCard3Node = "/dev/vdlsdk_pci/vdlpci3";

class pciOpen : public vdltest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        ASSERT_EQ(vdlsim_card_setup(kCard), 0);
        vdlsim_log_clear();
    }
};

TEST_F(pciOpen, OpensTheNodeReadWriteAndSynchronous)
{
    vdltest::LogCapture log(LOGGER_PCI);
    vdlcard_handle* h = vdlcard_Open(kCard, VDLCARD_OPEN_FLAGS);
    ASSERT_NE(h, nullptr);
    EXPECT_GE(h->fd, 0);
    EXPECT_EQ(h->head, nullptr);
    EXPECT_EQ(h->tail, nullptr);
    EXPECT_EQ(vdlsim_card_open_count(kCard), 1);

    const auto entries = vdltest::simLog();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].event, VDLSIM_EV_OPEN);
    EXPECT_EQ(entries[0].card, kCard);
    EXPECT_EQ(entries[0].fd, h->fd);
    const auto flags = static_cast<int>(entries[0].value);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
    EXPECT_EQ(flags & O_SYNC, O_SYNC);
    EXPECT_EQ(flags & O_CREAT, 0);

    const Strings traces = log.at("debug");
    ASSERT_EQ(traces.size(), 2u);
    EXPECT_EQ(traces[0], "cardnum : 3, flags :      0x1");
    EXPECT_EQ(traces[1].rfind("hcard : 0X", 0), 0u) << traces[1];
    EXPECT_EQ(log.at("error"), Strings{});

    vdlcard_Close(h);
    EXPECT_EQ(vdlsim_card_open_count(kCard), 0);
    EXPECT_EQ(eventNames(), (Strings{"open", "close"}));
}

TEST_F(pciOpen, FlagsOtherThanOneOpenNothing)
{
    for (uint32_t flags : {0u, 2u, 3u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(flags);
        vdltest::LogCapture log(LOGGER_PCI);
        vdlsim_log_clear();
        EXPECT_EQ(vdlcard_Open(kCard, flags), nullptr);
        EXPECT_EQ(log.at("error"), Strings{"Error opening device file /dev/vdlsdk_pci/vdlpci3"});
        const Strings traces = log.at("debug");
        ASSERT_FALSE(traces.empty());
        EXPECT_EQ(traces.back(), "hcard returned as NULL");
        EXPECT_EQ(eventNames(), Strings{});
    }
}

TEST_F(pciOpen, FailedOpenLogsTheSystemText)
{
    struct Case {
        const char* what;
        int err;       // the stand-in's open errno; 0: node absent
        int expected;  // errno whose text the message carries
    };
    const Case cases[] = {
        {"node absent", 0, ENOENT},
        {"access refused", EACCES, EACCES},
        {"busy", EBUSY, EBUSY},
        {"no device", ENODEV, ENODEV},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(vdlsim_card_setup(kCard), 0);
        if (c.err == 0)
            ASSERT_EQ(vdlsim_card_set_present(kCard, 0), 0);
        else
            ASSERT_EQ(vdlsim_card_set_open_errno(kCard, c.err), 0);
        vdltest::LogCapture log(LOGGER_PCI);
        EXPECT_EQ(vdlcard_Open(kCard, VDLCARD_OPEN_FLAGS), nullptr);
        EXPECT_EQ(log.at("error"), Strings{std::string("Error opening device file ") + kCard3Node +
                                           ": " + std::strerror(c.expected)});
        EXPECT_EQ(log.at("debug").back(), "hcard returned as NULL");
        EXPECT_EQ(vdlsim_card_open_count(kCard), 0);
    }
}

// The message of a failed open is built while other threads fail theirs with
// other errors; each must carry its own text.
TEST_F(pciOpen, ErrorTextsOfConcurrentFailuresStayApart)
{
    ASSERT_EQ(vdlsim_card_setup(4), 0);
    ASSERT_EQ(vdlsim_card_set_open_errno(kCard, EBUSY), 0);
    ASSERT_EQ(vdlsim_card_set_open_errno(4, EACCES), 0);
    vdltest::LogCapture log(LOGGER_PCI);
    constexpr int kRounds = 200;
    auto opener = [](uint32_t card) {
        for (int i = 0; i < kRounds; ++i)
            EXPECT_EQ(vdlcard_Open(card, VDLCARD_OPEN_FLAGS), nullptr);
    };
    std::thread a(opener, kCard);
    std::thread b(opener, 4u);
    a.join();
    b.join();
    const std::string busy = std::string("Error opening device file ") + kCard3Node + ": " +
                             std::strerror(EBUSY);
    const std::string denied =
        std::string("Error opening device file /dev/vdlsdk_pci/vdlpci4: ") + std::strerror(EACCES);
    int busyLines = 0;
    int deniedLines = 0;
    for (const auto& line : log.at("error")) {
        busyLines += line == busy;
        deniedLines += line == denied;
    }
    EXPECT_EQ(busyLines, kRounds);
    EXPECT_EQ(deniedLines, kRounds);
}

// The card number goes into the path as the value the caller passed.
TEST_F(pciOpen, CardNumbersKeepTheirDecimalText)
{
    vdltest::LogCapture log(LOGGER_PCI);
    EXPECT_EQ(vdlcard_Open(0xFFFFFFFFu, VDLCARD_OPEN_FLAGS), nullptr);
    EXPECT_EQ(log.at("error"),
              Strings{std::string("Error opening device file /dev/vdlsdk_pci/vdlpci4294967295: ") +
                      std::strerror(ENOENT)});
    EXPECT_RAISES(vdlcard_has_access(-1), -13, "Device /dev/vdlsdk_pci/vdlpci-1 does not exist");
}

TEST_F(pciOpen, CloseOfNullOnlyTraces)
{
    vdltest::LogCapture log(LOGGER_PCI);
    vdlcard_Close(nullptr);
    EXPECT_EQ(log.at("debug"), Strings{"hcard : 0X0"});
    EXPECT_EQ(eventNames(), Strings{});
}

// Descriptor 0 is as good as any other: a process without standard input gets
// it for the node, and the close must give it back.
TEST_F(pciOpen, CloseReleasesDescriptorZero)
{
    const int savedStdin = ::dup(0);
    ASSERT_GE(savedStdin, 0);
    ::close(0);
    vdlcard_handle* h = vdlcard_Open(kCard, VDLCARD_OPEN_FLAGS);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->fd, 0);
    EXPECT_EQ(vdlsim_card_open_count(kCard), 1);
    vdlcard_Close(h);
    EXPECT_EQ(vdlsim_card_open_count(kCard), 0);
    EXPECT_EQ(eventNames(), (Strings{"open", "close"}));
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
}

TEST_F(pciOpen, ListOfANewHandleIsEmptyAndFindsNothing)
{
    vdlcard_handle* h = openCard(kCard);
    int local = 0;
    EXPECT_EQ(vdlcard_find_buffer_from_list(h, &local), nullptr);
    EXPECT_EQ(vdlcard_find_buffer_from_list(h, nullptr), nullptr);
    vdlcard_Close(h);
}

using pciAccess = vdltest::SimTest;

TEST_F(pciAccess, MissingNodeRaisesMinus13)
{
    EXPECT_RAISES(vdlcard_has_access(7), -13, "Device /dev/vdlsdk_pci/vdlpci7 does not exist");
    // A node that is configured but absent is just as missing.
    ASSERT_EQ(vdlsim_card_setup(7), 0);
    ASSERT_EQ(vdlsim_card_set_present(7, 0), 0);
    EXPECT_THROW(vdlcard_has_access(7), VDLException<-13>);
}

TEST_F(pciAccess, AnswersReadAndWritePermissionWithoutOpening)
{
    EXPECT_TRUE(vdlcard_has_access(0));
    ASSERT_EQ(vdlsim_card_set_access(0, 0), 0);
    EXPECT_FALSE(vdlcard_has_access(0));
    for (const auto& e : vdltest::simLog())
        EXPECT_EQ(e.event, VDLSIM_EV_ACCESS) << eventName(e);
    // The last test asks for both permissions at once.
    const auto entries = vdltest::simLog();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().address, static_cast<uint64_t>(R_OK | W_OK));
    EXPECT_EQ(vdlsim_card_open_count(0), 0);
}

class pciStatus : public CardTest {
protected:
    void SetUp() override
    {
        CardTest::SetUp();
        ASSERT_EQ(vdlsim_card_set_ids(0, 0x1F3A, 0x0123, 0x1F3B, 0x0456), 0);
        ASSERT_EQ(vdlsim_card_set_location(0, 0x42, 0x1D, 0x3), 0);
        ASSERT_EQ(vdlsim_card_set_slot_path(0, "slot/7"), 0);
        ASSERT_EQ(vdlsim_card_set_bar(0, 2, 0x10000, 0x12340000ull), 0);
    }
};

// Every mode of the table: the request it sends and what the record carries
// back.
TEST_F(pciStatus, EveryModeSendsItsRequest)
{
    uint32_t word = 0;
    dirtyStack();
    EXPECT_EQ(vdlcard_Status(m_handle, VDLCARD_STATUS_WORD, &word), 0);
    EXPECT_EQ(word, VDLSIM_DRIVER_WORD);
    EXPECT_EQ(vdlcard_Status(m_handle, VDLCARD_STATUS_DEVICE_ID, &word), 0);
    EXPECT_EQ(word, 0x01231F3Au);
    EXPECT_EQ(vdlcard_Status(m_handle, VDLCARD_STATUS_SUBSYSTEM_ID, &word), 0);
    EXPECT_EQ(word, 0x04561F3Bu);

    vdlcard_upstream_descriptor up{};
    vdlcard_command cmd{};
    cmd.readCount = VDLCARD_UPSTREAM_DESCRIPTOR_SIZE;
    cmd.readBuffer = &up;
    EXPECT_EQ(vdlcard_Status(m_handle, VDLCARD_STATUS_UPSTREAM, &cmd), 0);
    EXPECT_EQ(up.vendorId, 0x1F3A);
    EXPECT_EQ(up.deviceId, 0x0200);

    int32_t count = 0;
    cmd = vdlcard_command{};
    cmd.command = VDLCARD_CMD_CARD_COUNT;
    cmd.readCount = 4;
    cmd.readBuffer = &count;
    EXPECT_EQ(vdlcard_Status(m_handle, VDLCARD_STATUS_COMMAND, &cmd), 0);
    EXPECT_EQ(count, 1);

    vdlcard_bar_query bar{};
    bar.bar = 2;
    EXPECT_EQ(vdlcard_Status(m_handle, VDLCARD_STATUS_BAR_SIZE, &bar), 0);
    EXPECT_EQ(bar.value, 0x10000u);
    EXPECT_EQ(vdlcard_Status(m_handle, VDLCARD_STATUS_LOCATION, &word), 0);
    EXPECT_EQ(word, 0x00421D03u);
    char text[VDLCARD_SLOT_PATH_SIZE] = {};
    vdlcard_slot_path slot{};
    slot.buffer = text;
    slot.length = sizeof(text);
    EXPECT_EQ(vdlcard_Status(m_handle, VDLCARD_STATUS_SLOT_PATH, &slot), 0);
    EXPECT_STREQ(text, "slot/7");
    bar = vdlcard_bar_query{};
    bar.bar = 2;
    EXPECT_EQ(vdlcard_Status(m_handle, VDLCARD_STATUS_BAR_ADDRESS, &bar), 0);
    EXPECT_EQ(bar.value, 0x12340000u);

    EXPECT_EQ(eventNames(),
              (Strings{req(VDLCARD_REQ_STATUS_WORD), req(VDLCARD_REQ_DEVICE_ID),
                       req(VDLCARD_REQ_SUBSYSTEM_ID), req(VDLCARD_REQ_UPSTREAM),
                       req(VDLCARD_REQ_COMMAND), req(VDLCARD_REQ_BAR_SIZE),
                       req(VDLCARD_REQ_LOCATION), req(VDLCARD_REQ_SLOT_PATH),
                       req(VDLCARD_REQ_BAR_ADDRESS)}));
    const auto entries = vdltest::simLog();
    EXPECT_EQ(entries[4].command, VDLCARD_CMD_CARD_COUNT);
    EXPECT_EQ(entries[4].address, 0u);
    EXPECT_EQ(entries[5].address, 2u);
    EXPECT_EQ(entries[8].address, 2u);
}

TEST_F(pciStatus, TracesModeAndResult)
{
    vdltest::LogCapture log(LOGGER_PCI);
    uint32_t word = 0;
    vdlcard_Status(m_handle, VDLCARD_STATUS_DEVICE_ID, &word);
    const Strings traces = log.at("debug");
    ASSERT_EQ(traces.size(), 2u);
    EXPECT_NE(traces[0].find(" cmdmode :  0X11002 status : 0X"), std::string::npos) << traces[0];
    EXPECT_EQ(traces[1], "retval :      0X0");
}

TEST_F(pciStatus, RefusedWithoutRequest)
{
    uint32_t word = 0;
    for (uint32_t mode : {0x11000u, 0x1100Au, VDLCARD_CONTROL_ALLOC, 0u, 0x21005u}) {
        SCOPED_TRACE(mode);
        vdltest::LogCapture log(LOGGER_PCI);
        EXPECT_EQ(vdlcard_Status(m_handle, mode, &word), -1);
        const Strings traces = log.at("debug");
        ASSERT_EQ(traces.size(), 3u);
        EXPECT_EQ(traces[1], "invalid vdlcard command mode");
        EXPECT_EQ(traces[2], "retval :     -0X1");
    }
    // A null handle or record never reaches the driver.
    for (uint32_t mode = VDLCARD_STATUS_WORD; mode <= VDLCARD_STATUS_BAR_ADDRESS; ++mode) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(vdlcard_Status(nullptr, mode, &word), -1);
        EXPECT_EQ(vdlcard_Status(m_handle, mode, nullptr), -1);
    }
    EXPECT_EQ(eventNames(), Strings{});
}

TEST_F(pciStatus, DriverRefusalIsPassedOn)
{
    ASSERT_GE(vdltest::addFault(VDLCARD_REQ_DEVICE_ID, 0, EIO), 0);
    uint32_t word = 0;
    EXPECT_EQ(vdlcard_Status(m_handle, VDLCARD_STATUS_DEVICE_ID, &word), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(vdlcard_Status(m_handle, VDLCARD_STATUS_DEVICE_ID, &word), 0);
    // A BAR that does not exist is the driver's to refuse.
    vdlcard_bar_query bar{};
    bar.bar = 6;
    m_checkViolations = false;
    EXPECT_NE(vdlcard_Status(m_handle, VDLCARD_STATUS_BAR_SIZE, &bar), 0);
}

class pciRegister : public CardTest {
protected:
    void SetUp() override
    {
        CardTest::SetUp();
        bar0 = static_cast<unsigned char*>(vdlsim_card_bar_memory(0, 0));
        bar2 = static_cast<unsigned char*>(vdlsim_card_bar_memory(0, 2));
        ASSERT_NE(bar0, nullptr);
        ASSERT_NE(bar2, nullptr);
    }
    unsigned char* bar0 = nullptr;
    unsigned char* bar2 = nullptr;
};

// The four accesses: command word, address, value and result, with garbage on
// the stack so that a field left unset is refused by the stand-in.
TEST_F(pciRegister, EachAccessIsOneCommandPacket)
{
    const uint32_t w32 = 0xCAFEF00D;
    const uint64_t w64 = 0x0123456789ABCDEFull;
    std::memcpy(bar2 + 0x40, &w32, sizeof(w32));
    std::memcpy(bar0 + 0x100, &w64, sizeof(w64));

    uint32_t r32 = 0;
    uint64_t r64 = 0;
    dirtyStack();
    EXPECT_EQ(vdlcard_Read32(m_handle, 0x102, &r32, 0x40), 4u);
    EXPECT_EQ(r32, w32);
    dirtyStack();
    EXPECT_EQ(vdlcard_Read64(m_handle, 0, &r64, 0x100), 8u);
    EXPECT_EQ(r64, w64);
    dirtyStack();
    EXPECT_EQ(vdlcard_Write32(m_handle, 2, &w32, 0x80), 4u);
    dirtyStack();
    EXPECT_EQ(vdlcard_Write64(m_handle, 0, &w64, 0x200), 8u);
    uint32_t got32 = 0;
    uint64_t got64 = 0;
    std::memcpy(&got32, bar2 + 0x80, sizeof(got32));
    std::memcpy(&got64, bar0 + 0x200, sizeof(got64));
    EXPECT_EQ(got32, w32);
    EXPECT_EQ(got64, w64);

    struct Expected {
        uint32_t command;
        uint64_t address;
        uint64_t value;
    };
    const Expected expected[] = {
        {0x91003002u, 0x40, w32},
        {0x91004000u, 0x100, w64},
        {0x91007002u, 0x80, w32},
        {0x91008000u, 0x200, w64},
    };
    const auto entries = vdltest::simLog();
    ASSERT_EQ(entries.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(entries[i].event, VDLSIM_EV_IOCTL);
        EXPECT_EQ(entries[i].request, VDLCARD_REQ_COMMAND);
        EXPECT_EQ(entries[i].command, expected[i].command);
        EXPECT_EQ(entries[i].address, expected[i].address);
        EXPECT_EQ(entries[i].value, expected[i].value);
        EXPECT_EQ(entries[i].result, 0);
    }
}

TEST_F(pciRegister, DriverRefusalGivesZeroBytesAndNoLog)
{
    vdltest::LogCapture log(LOGGER_PCI);
    ASSERT_GE(vdltest::addFault(VDLCARD_REQ_COMMAND, 0, EIO, VDLSIM_FAULT_ANY_ADDRESS, 0,
                                VDLSIM_FAULT_FOREVER),
              0);
    uint32_t r32 = 0x1111;
    uint64_t r64 = 0x2222;
    EXPECT_EQ(vdlcard_Read32(m_handle, 0, &r32, 0), 0u);
    EXPECT_EQ(vdlcard_Read64(m_handle, 0, &r64, 0), 0u);
    EXPECT_EQ(vdlcard_Write32(m_handle, 0, &r32, 0), 0u);
    EXPECT_EQ(vdlcard_Write64(m_handle, 0, &r64, 0), 0u);
    EXPECT_EQ(vdlsim_log_count_requests(VDLCARD_REQ_COMMAND, 0), 4u);
    EXPECT_EQ(log.lines(), Strings{});
}

TEST_F(pciRegister, OutOfRangeAccessIsTheDriversToRefuse)
{
    uint32_t r32 = 0;
    // BAR 1 is absent in the default model, 1 MiB is past the end of BAR 0.
    EXPECT_EQ(vdlcard_Read32(m_handle, 1, &r32, 0), 0u);
    EXPECT_EQ(vdlcard_Read32(m_handle, 0, &r32, 0x100000), 0u);
    m_checkViolations = false;
}

TEST_F(pciRegister, NullHandleOrValueSendsNothing)
{
    uint32_t r32 = 0;
    uint64_t r64 = 0;
    EXPECT_EQ(vdlcard_Read32(nullptr, 0, &r32, 0), 0u);
    EXPECT_EQ(vdlcard_Read64(nullptr, 0, &r64, 0), 0u);
    EXPECT_EQ(vdlcard_Write32(nullptr, 0, &r32, 0), 0u);
    EXPECT_EQ(vdlcard_Write64(nullptr, 0, &r64, 0), 0u);
    EXPECT_EQ(vdlcard_Read32(m_handle, 0, nullptr, 0), 0u);
    EXPECT_EQ(vdlcard_Read64(m_handle, 0, nullptr, 0), 0u);
    EXPECT_EQ(vdlcard_Write32(m_handle, 0, nullptr, 0), 0u);
    EXPECT_EQ(vdlcard_Write64(m_handle, 0, nullptr, 0), 0u);
    EXPECT_EQ(eventNames(), Strings{});
}

TEST_F(pciRegister, ReadbackOnlyTraces)
{
    vdltest::LogCapture log(LOGGER_PCI);
    int data = 0;
    EXPECT_EQ(vdlcard_Readback(m_handle, 0x12, &data, 0x20, 0x30, 0x1), 0);
    const Strings traces = log.at("debug");
    ASSERT_EQ(traces.size(), 2u);
    EXPECT_NE(traces[0].find("Device : 0x000012 pData : 0X"), std::string::npos) << traces[0];
    EXPECT_NE(traces[0].find("bytelen :     0X20 offset :     0X30 flags :      0X1"),
              std::string::npos)
        << traces[0];
    EXPECT_EQ(traces[1], "retval :      0X0");
    EXPECT_EQ(eventNames(), Strings{});
}

} // namespace

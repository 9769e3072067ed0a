// The exported boundary: which arguments are refused before any work (without
// logging and without creating the library object), and how exceptions of
// every type come back as codes.
#include <functional>
#include <new>
#include <stdexcept>

#include "device_support.hpp"
#include "vdlsdk/VdlpciLinuxDevice.hpp"
#include "vdlsdk/vdl_exception.hpp"

using pciDevice = devtest::DeviceTest;

namespace {

struct Call {
    const char* name;
    std::function<int()> call;
    int code;
};

// A card that was never opened: no configuration space, no bridge, link down.
class Unopened : public VdlpciLinuxDevice {
public:
    Unopened() : VdlpciLinuxDevice(7) {}
};

// A card whose link re-check raises what the test asks for, so that every
// path through the memory-space lookup meets that exception.
class Throwing : public VdlpciLinuxDevice {
public:
    explicit Throwing(std::function<void()> raise)
        : VdlpciLinuxDevice(7), m_raise(std::move(raise))
    {
    }
    bool recheckPcieLink() override
    {
        m_raise();
        return false;
    }

private:
    std::function<void()> m_raise;
};

} // namespace

TEST_F(pciDevice, BoundaryNullArgumentsAreRefusedSilently)
{
    int dummyCard = 0;
    void* h = &dummyCard; // never reached: each call is refused first
    char buf[32];
    uint8_t b8 = 0;
    uint16_t b16 = 0;
    uint32_t b32 = 0;
    uint64_t b64 = 0;
    int i = 0;
    msix_info info{};
    void* out = nullptr;

    const std::vector<Call> calls = {
        {"dev_id", [&] { return vdlpci_dev_id(0, nullptr, &b16, &b16, &b16); }, -5},
        {"dev_id sub", [&] { return vdlpci_dev_id(0, &b16, &b16, &b16, nullptr); }, -5},
        {"dev_open", [&] { return vdlpci_dev_open(0, nullptr); }, -5},
        {"dev_index handle", [&] { return vdlpci_dev_index(nullptr, &i); }, -5},
        {"dev_index index", [&] { return vdlpci_dev_index(h, nullptr); }, -5},
        {"ms_size handle", [&] { return vdlpci_ms_size(nullptr, 0, &b64); }, -5},
        {"ms_size size", [&] { return vdlpci_ms_size(h, 0, nullptr); }, -5},
        {"read8s", [&] { return vdlpci_ms_read8s(nullptr, 0, 0, &b8, 1); }, -5},
        {"read16s", [&] { return vdlpci_ms_read16s(nullptr, 0, 0, &b16, 1); }, -5},
        {"read32s", [&] { return vdlpci_ms_read32s(nullptr, 0, 0, &b32, 1); }, -5},
        {"read64s", [&] { return vdlpci_ms_read64s(nullptr, 0, 0, &b64, 1); }, -5},
        {"write8s", [&] { return vdlpci_ms_write8s(nullptr, 0, 0, &b8, 1); }, -5},
        {"write16s", [&] { return vdlpci_ms_write16s(nullptr, 0, 0, &b16, 1); }, -5},
        {"write32s", [&] { return vdlpci_ms_write32s(nullptr, 0, 0, &b32, 1); }, -5},
        {"write64s", [&] { return vdlpci_ms_write64s(nullptr, 0, 0, &b64, 1); }, -5},
        {"msi_info", [&] { return vdlpci_msi_info(nullptr, &i, &b64, &b16, &i); }, -5},
        {"msi_info out", [&] { return vdlpci_msi_info(h, &i, nullptr, &b16, &i); }, -5},
        {"msix_info", [&] { return vdlpci_msix_info(nullptr, &info); }, -5},
        {"msix_info out", [&] { return vdlpci_msix_info(h, nullptr); }, -5},
        {"link_status", [&] { return vdlpci_link_status(0, nullptr, &i, &i, &i, &i); }, -5},
        {"link_errors", [&] { return vdlpci_link_errors(nullptr, &i, 0); }, -5},
        {"set_option key", [&] { return vdlpci_set_option(nullptr, "v"); }, -5},
        {"set_option value", [&] { return vdlpci_set_option("k", nullptr); }, -5},
        {"get_option key", [&] { return vdlpci_get_option(nullptr, buf, sizeof(buf)); }, -5},
        {"get_option buffer", [&] { return vdlpci_get_option("k", nullptr, 8); }, -5},
        {"alloc_mem", [&] { return vdlpci_alloc_mem(nullptr, 64, &out, &b32, 1); }, -5},
        {"alloc_mem flags", [&] { return vdlpci_alloc_mem(h, 64, &out, &b32, 0); }, -7},
        {"free_mem", [&] { return vdlpci_free_mem(nullptr, 0x20000); }, -5},
        {"phys_addr", [&] { return vdlpci_ms_phys_addr(nullptr, 0, 0, &b64); }, -5},
        {"phys_addr out", [&] { return vdlpci_ms_phys_addr(h, 0, 0, nullptr); }, -5},
        {"flush_cache", [&] { return vdlpci_flush_cache(nullptr, 0x20000, 1); }, -5},
        {"flush_cache direction", [&] { return vdlpci_flush_cache(h, 0x20000, 3); }, -7},
        {"int_wait", [&] { return vdlpci_int_wait(nullptr, 0, 1, &b32); }, -5},
        {"int_wait value", [&] { return vdlpci_int_wait(h, 0, 1, nullptr); }, -5},
        {"int_cancel_wait", [&] { return vdlpci_int_cancel_wait(nullptr, 0); }, -5},
    };
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    for (const auto& c : calls)
        EXPECT_EQ(c.call(), c.code) << c.name;
    EXPECT_EQ(logs.lines(), std::vector<std::string>{});
    EXPECT_EQ(vdltest::simLog().size(), 0u) << "no card was opened";
    EXPECT_EQ(devtest::optionFile(), "<none>") << "the library object was not created";
}

TEST_F(pciDevice, BoundaryCardWithoutConfigurationSpace)
{
    Unopened card;
    int i = 0;
    uint64_t b64 = 0;
    uint16_t b16 = 0;
    msix_info info{};
    vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
    EXPECT_EQ(vdlpci_msi_info(&card, &i, &b64, &b16, &i), -13);
    EXPECT_EQ(vdlpci_msix_info(&card, &info), -13);
    EXPECT_EQ(vdlpci_link_errors(&card, &i, 1), -13);
    EXPECT_EQ(logs.lines(), std::vector<std::string>{});

    // A memory-space lookup re-checks the link, which such a card cannot test.
    uint32_t word = 0;
    EXPECT_EQ(vdlpci_ms_read32s(&card, VDLPCI_MS_ID_CONFIG, 0, &word, 1), -39);
    EXPECT_EQ(logs.at("vdlsdk_pci", "error"),
              std::vector<std::string>{"Re-Check Pcie Link: PCI-e link is still disabled"});
}

TEST_F(pciDevice, BoundaryNoExceptionLeavesAnExportedFunction)
{
    struct {
        const char* name;
        std::function<void()> raise;
        int code;
        std::vector<std::string> logged;
    } const cases[] = {
        {"kit", [] { throw VDLException<-12>("cancelled {}", 3); }, -12, {"cancelled 3"}},
        {"memory", [] { throw std::bad_alloc(); }, -4, {}},
        {"standard", [] { throw std::runtime_error("boom"); }, -1, {"boom"}},
        {"other", [] { throw 42; }, -1, {"unknown exception"}},
    };
    for (const auto& c : cases) {
        Throwing card(c.raise);
        uint32_t word = 0;
        uint64_t size = 0;
        const std::vector<std::function<int()>> calls = {
            [&] { return vdlpci_ms_read32s(&card, 0, 0, &word, 1); },
            [&] { return vdlpci_ms_write32s(&card, 0, 0, &word, 1); },
            [&] { return vdlpci_ms_size(&card, 0, &size); },
            [&] { return vdlpci_flush_cache(&card, 0x20000, 1); },
        };
        for (const auto& call : calls) {
            vdltest::LogCapture logs({LOGGER_GENERAL, LOGGER_PCI});
            EXPECT_EQ(call(), c.code) << c.name;
            EXPECT_EQ(logs.at("general", "error"), c.logged) << c.name;
        }
    }
}

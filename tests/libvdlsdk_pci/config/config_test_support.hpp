#pragma once
// Pieces shared by the configuration-space tests: dump loading, register
// peeks and pokes, and request-log queries.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../pci_test_support.hpp"
#include "vdlsim.h"

namespace cfgtest {

// Where the stand-in's default model puts its registers.
inline constexpr unsigned CARD_MSI = 0x50;
inline constexpr unsigned CARD_EXP = 0x70;
inline constexpr unsigned CARD_MSIX = 0xB0;
inline constexpr unsigned BRIDGE_EXP = 0x60;
inline constexpr unsigned BRIDGE_AER = 0x100;
inline constexpr unsigned EXP_DEVSTA = 0x0A;
inline constexpr unsigned EXP_LNKCAP = 0x0C;
inline constexpr unsigned EXP_LNKCTL = 0x10;
inline constexpr unsigned EXP_LNKSTA = 0x12;
inline constexpr unsigned AER_UESTA = 0x04;
inline constexpr unsigned AER_UEMSK = 0x08;

// The driver interface traces every request it sends; the tests of the
// classes leave those traces out (LogCapture::skipTracesFrom).
inline constexpr const char* kDriverInterface = "vdlcard.cpp";

inline std::string dumpPath(const std::string& name)
{
    return std::string(VDLTEST_PCI_DUMPS_DIR) + "/" + name;
}

using pcitest::peek;
using pcitest::poke;

inline std::vector<vdlsim_log_entry> commands(std::uint32_t command)
{
    std::vector<vdlsim_log_entry> out;
    const std::size_t n = vdlsim_log_count();
    for (std::size_t i = 0; i < n; ++i) {
        vdlsim_log_entry e{};
        if (vdlsim_log_get(i, &e) == 0 && e.event == VDLSIM_EV_IOCTL &&
            e.request == VDLSIM_REQ_COMMAND && e.command == command)
            out.push_back(e);
    }
    return out;
}

inline std::size_t count(std::uint32_t command)
{
    return vdlsim_log_count_requests(VDLSIM_REQ_COMMAND, command);
}

// Addresses of the logged commands of one word, in order.
inline std::vector<std::uint64_t> addresses(std::uint32_t command)
{
    std::vector<std::uint64_t> out;
    for (const auto& e : commands(command))
        out.push_back(e.address);
    return out;
}

inline std::vector<std::uint64_t> values(std::uint32_t command)
{
    std::vector<std::uint64_t> out;
    for (const auto& e : commands(command))
        out.push_back(e.value);
    return out;
}

// Loads a function of a dump into card 0's configuration image or its
// bridge's, and forgets the requests made so far.
inline void loadImage(int space, const std::string& dump, const char* function)
{
    ASSERT_EQ(vdlsim_config_load_lspci_file(0, space, dumpPath(dump).c_str(), function), 0)
        << dump << " " << function;
    vdlsim_log_clear();
}
inline void loadCard(const std::string& dump, const char* function)
{
    loadImage(VDLSIM_SPACE_CARD, dump, function);
}
inline void loadBridge(const std::string& dump, const char* function)
{
    loadImage(VDLSIM_SPACE_BRIDGE, dump, function);
}

} // namespace cfgtest

#pragma once
// Pieces shared by the memory-space tests: the driver's register requests as
// values.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "../pci_test_support.hpp"

namespace memtest {

using Strings = std::vector<std::string>;

// One register request of the command packet as the driver saw it.
struct Command {
    uint32_t command;
    uint64_t address;
    uint64_t value;
    int32_t result;

    bool operator==(const Command& o) const
    {
        return command == o.command && address == o.address && value == o.value &&
               result == o.result;
    }
};

inline std::ostream& operator<<(std::ostream& os, const Command& c)
{
    char text[128];
    std::snprintf(text, sizeof(text), "{%#x @%#llx = %#llx -> %d}", c.command,
                  static_cast<unsigned long long>(c.address),
                  static_cast<unsigned long long>(c.value), c.result);
    return os << text;
}

inline std::vector<Command> commands()
{
    std::vector<Command> out;
    for (const auto& e : vdltest::simLog()) {
        if (e.event == VDLSIM_EV_IOCTL && e.request == VDLSIM_REQ_COMMAND)
            out.push_back({e.command, e.address, e.value, e.result});
    }
    return out;
}

// Requests other than register commands, by request value.
inline std::vector<uint32_t> requests()
{
    std::vector<uint32_t> out;
    for (const auto& e : vdltest::simLog()) {
        if (e.event == VDLSIM_EV_IOCTL)
            out.push_back(e.request);
    }
    return out;
}

} // namespace memtest

#pragma once
// What a call raised from the kit's exception family.
#include <gtest/gtest.h>

#include <string>

#include "vdlsdk/vdl_exception.hpp"

namespace vdltest {

// `raised` is false, and `code` 0, when the call raised nothing.
struct Raised {
    bool raised = false;
    int code = 0;
    std::string message;
};

template <typename F>
Raised raised(F&& call)
{
    try {
        call();
    } catch (const VDLBaseException& e) {
        return {true, e.code, e.what()};
    }
    return {};
}

} // namespace vdltest

// Expects `call` (a statement) to raise exactly that code and message.
#define EXPECT_RAISES(call, expectedCode, expectedMessage)                 \
    do {                                                                   \
        const auto r_ = ::vdltest::raised([&] { call; });                  \
        EXPECT_TRUE(r_.raised) << #call << " raised nothing";              \
        EXPECT_EQ(r_.code, (expectedCode)) << #call;                       \
        EXPECT_EQ(r_.message, std::string(expectedMessage)) << #call;      \
    } while (0)

#pragma once
// The exception family of the kit: one class per negative error code -1 to -40.
//
// Header code with vague linkage and default visibility, so a handler in one
// library catches by type what another library throws.
#include <stdexcept>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "vdlsdk/vdl_logger.hpp"

class VDLBaseException : public std::runtime_error {
public:
    VDLBaseException(const std::string& message, int code)
        : std::runtime_error(message), code(code)
    {
    }

    // Writes the message, verbatim, on "general" at error level.
    void log() const { log<int>(spdlog::level::err); }

    // The same at a given level number (0 trace ... 6 off).
    template <typename T>
    void log(T level) const
    {
        auto& logger = VDLLogger<LOGGER_GENERAL>::_logger;
        // Off and numbers outside 0 to 6 name no message level: nothing to write,
        // and the sinks index their per-level tables by it.
        if (!(level >= spdlog::level::trace && level < spdlog::level::off))
            return;
        const auto lvl = static_cast<spdlog::level::level_enum>(level);
        if (logger && logger->should_log(lvl))
            logger->log(lvl, spdlog::string_view_t(what()));
    }

    int code;
};

template <int N>
class VDLException : public VDLBaseException {
    static_assert(N >= -40 && N <= -1, "error codes run from -40 to -1");

public:
    explicit VDLException(const std::string& message) : VDLBaseException(message, N) {}

    // Formats the message at run time with "{}" fields. A format that does not fit
    // its arguments raises fmt::format_error instead.
    template <typename... Args>
    VDLException(const std::string& format, Args... args)
        : VDLBaseException(fmt::vformat(format, fmt::make_format_args(args...)), N)
    {
    }
};

namespace vdl_detail {
template <int N>
[[noreturn]] void throwCode(std::string&& message)
{
    throw VDLException<N>(message);
}

template <int... I>
[[noreturn]] void throwFromTable(int code, std::string&& message, std::integer_sequence<int, I...>)
{
    using Thrower = void (*)(std::string&&);
    static constexpr Thrower throwers[] = {&throwCode<I - 40>...};
    throwers[code + 40](std::move(message));
    __builtin_unreachable();
}
} // namespace vdl_detail

// Throws VDLException<code> with `message` for a code from -40 to -1; any other
// code returns without effect.
inline void vdl_throw_from_c_error(int code, std::string&& message)
{
    if (static_cast<unsigned int>(code) < 0xFFFFFFD8u)
        return;
    vdl_detail::throwFromTable(code, std::move(message), std::make_integer_sequence<int, 40>{});
}

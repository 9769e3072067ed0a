#pragma once
// Internal: logger lookup by type and the once-per-logger file sink.
#include <functional>
#include <memory>
#include <string>

#include <spdlog/spdlog.h>

namespace vdl_detail {

// The logger of type 0 to 4, or null.
std::shared_ptr<spdlog::logger> loggerOfType(int type);

// Runs makeSink and appends its sink to the logger of `type`, once per logger per
// process. When makeSink throws, the exception passes and the logger stays free.
void addFileSink(int type, const std::function<spdlog::sink_ptr()>& makeSink);

// An appending, thread-safe file sink on `path`.
spdlog::sink_ptr makeFileSink(const std::string& path);

} // namespace vdl_detail

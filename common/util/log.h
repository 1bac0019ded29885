#pragma once
// Logging: one spdlog logger per subsystem and category, named "subsystem/category" (for example
// "com.zavel.ferrowin.server/auth"). Every logger writes through one shared sink: to the journal
// when the process runs under systemd with its output going there, to standard error otherwise.
// Level from FERROWIN_LOG_LEVEL (trace, debug, info, warn, error, critical or off, in any letter
// case; default info). A value that is none of these is reported as a warning and logs at info.

#include <spdlog/sinks/sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <optional>
#include <string_view>

namespace ferrowin::common {

inline constexpr std::string_view kServerSubsystem = "com.zavel.ferrowin.server";
inline constexpr std::string_view kHelperSubsystem = "com.zavel.ferrowin.inputhelper";

/// The logger for (subsystem, category), created on first use. Thread-safe.
std::shared_ptr<spdlog::logger> logger(std::string_view subsystem, std::string_view category);

/// Host loggers by category alone.
inline std::shared_ptr<spdlog::logger> serverLog(std::string_view category) {
  return logger(kServerSubsystem, category);
}

/// A FERROWIN_LOG_LEVEL value (any letter case; "warning" = "warn"); nullopt when it names none.
std::optional<spdlog::level::level_enum> parseLogLevel(std::string_view text);

/// Writes `stderrLine` (and a newline) to standard error and logs `message` through `logger` —
/// unless the log itself goes to standard error, where the one line says it: a reader of standard
/// error (the host, for its helper) sees every message once.
void logAndWriteStderr(spdlog::logger& logger, spdlog::level::level_enum level,
                       const std::string& message, const std::string& stderrLine);

/// Adds or removes a sink that sees every log record (tests capture lines this way).
void addLogSink(const std::shared_ptr<spdlog::sinks::sink>& sink);
void removeLogSink(const std::shared_ptr<spdlog::sinks::sink>& sink);

}  // namespace ferrowin::common

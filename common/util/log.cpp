#include "common/util/log.h"

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#ifdef FERROWIN_HAVE_SYSTEMD
#include <spdlog/sinks/systemd_sink.h>
#endif

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace ferrowin::common {

namespace {

// systemd sets JOURNAL_STREAM to "device:inode" of the stream it connected to our stderr.
bool stderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  struct stat st{};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) == stream;
}

bool& sinkIsStderr() {
  static bool value = false;
  return value;
}

std::shared_ptr<spdlog::sinks::dist_sink_mt> sharedSink() {
  static const auto sink = [] {
    auto dist = std::make_shared<spdlog::sinks::dist_sink_mt>();
#ifdef FERROWIN_HAVE_SYSTEMD
    if (stderrIsJournal()) {
      dist->add_sink(std::make_shared<spdlog::sinks::systemd_sink_mt>());
      return dist;
    }
#else
    (void)stderrIsJournal;
#endif
    sinkIsStderr() = true;
    auto err = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    err->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ [%n] %v");
    dist->add_sink(err);
    return dist;
  }();
  return sink;
}

spdlog::level::level_enum configuredLevel() {
  // Read once: a bad value is reported once, not by every logger created later.
  static const spdlog::level::level_enum level = [] {
    const char* text = std::getenv("FERROWIN_LOG_LEVEL");
    if (!text || *text == '\0') return spdlog::level::info;
    if (auto parsed = parseLogLevel(text)) return *parsed;
    // Said through a logger of its own: no logger exists yet while this runs.
    auto sink = sharedSink();
    spdlog::logger("com.zavel.ferrowin/log", sink)
        .warn(
            "FERROWIN_LOG_LEVEL \"{}\" is not a level (trace, debug, info, warn, error, "
            "critical, off); logging at info",
            text);
    return spdlog::level::info;
  }();
  return level;
}

}  // namespace

std::optional<spdlog::level::level_enum> parseLogLevel(std::string_view text) {
  std::string lower;
  for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static constexpr std::pair<std::string_view, spdlog::level::level_enum> kLevels[] = {
      {"trace", spdlog::level::trace},       {"debug", spdlog::level::debug},
      {"info", spdlog::level::info},         {"warn", spdlog::level::warn},
      {"warning", spdlog::level::warn},      {"error", spdlog::level::err},
      {"critical", spdlog::level::critical}, {"off", spdlog::level::off}};
  for (const auto& [name, level] : kLevels)
    if (lower == name) return level;
  return std::nullopt;
}

std::shared_ptr<spdlog::logger> logger(std::string_view subsystem, std::string_view category) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::string name = std::string(subsystem) + "/" + std::string(category);
  if (auto existing = spdlog::get(name)) return existing;
  auto created = std::make_shared<spdlog::logger>(name, sharedSink());
  created->set_level(configuredLevel());
  created->flush_on(spdlog::level::warn);
  spdlog::register_logger(created);
  return created;
}

void logAndWriteStderr(spdlog::logger& logger, spdlog::level::level_enum level,
                       const std::string& message, const std::string& stderrLine) {
  sharedSink();
  if (!sinkIsStderr()) logger.log(level, "{}", message);
  std::fprintf(stderr, "%s\n", stderrLine.c_str());
  std::fflush(stderr);
}

void addLogSink(const std::shared_ptr<spdlog::sinks::sink>& sink) { sharedSink()->add_sink(sink); }

void removeLogSink(const std::shared_ptr<spdlog::sinks::sink>& sink) {
  sharedSink()->remove_sink(sink);
}

}  // namespace ferrowin::common

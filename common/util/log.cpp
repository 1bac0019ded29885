#include "common/util/log.h"

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#ifdef FERROWIN_HAVE_SYSTEMD
#include <spdlog/sinks/systemd_sink.h>
#endif

#include <sys/stat.h>
#include <unistd.h>

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
    auto err = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    err->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ [%n] %v");
    dist->add_sink(err);
    return dist;
  }();
  return sink;
}

spdlog::level::level_enum configuredLevel() {
  const char* text = std::getenv("FERROWIN_LOG_LEVEL");
  if (!text) return spdlog::level::info;
  return spdlog::level::from_str(text);
}

}  // namespace

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

void addLogSink(const std::shared_ptr<spdlog::sinks::sink>& sink) { sharedSink()->add_sink(sink); }

void removeLogSink(const std::shared_ptr<spdlog::sinks::sink>& sink) {
  sharedSink()->remove_sink(sink);
}

}  // namespace ferrowin::common

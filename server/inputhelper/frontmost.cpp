#include "server/inputhelper/frontmost.h"

#include <filesystem>

namespace ferrowin::inputhelper {

std::optional<std::string> frontmostBundleIdentifier(
    const std::optional<platform::FrontmostApplication>& application) {
  if (!application) return std::nullopt;
  std::string program;
  if (application->executablePath) {
    program = std::filesystem::path(*application->executablePath).filename().string();
  }
  const std::string windowClass = application->bundleId.value_or("");
  if (program == "steam" || program == "steamwebhelper" || windowClass == "Steam" ||
      windowClass == "steam" || windowClass == "steamwebhelper") {
    return kSteamHelperBundleID;
  }
  if (!windowClass.empty()) return windowClass;
  if (!program.empty()) return program;
  return std::nullopt;
}

FrontmostWatcher::FrontmostWatcher(std::shared_ptr<platform::HostInfo> hostInfo,
                                   const common::Clock& clock, common::TimerFactory& timers,
                                   OnChange onChange)
    : hostInfo_(std::move(hostInfo)),
      onChange_(std::move(onChange)),
      timer_(clock, timers, [this] { poll(); }) {}

std::optional<std::string> FrontmostWatcher::current() const {
  if (!hostInfo_) return std::nullopt;
  return frontmostBundleIdentifier(hostInfo_->frontmostApplication());
}

void FrontmostWatcher::start(std::optional<std::string> initial) {
  last_ = std::move(initial);
  if (hostInfo_) timer_.start();
}

void FrontmostWatcher::poll() {
  auto now = current();
  if (now == last_) return;
  last_ = now;
  onChange_(now);
}

}  // namespace ferrowin::inputhelper

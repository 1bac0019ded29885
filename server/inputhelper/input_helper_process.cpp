#include "server/inputhelper/input_helper_process.h"

#include <fmt/format.h>

#include <array>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/read.hpp>
#include <csignal>

#include "common/runtime/weak.h"
#include "common/util/log.h"

namespace ferrowin::inputhelper {

namespace {

auto helperLog() { return common::serverLog("inputhelper"); }

const char* boolText(bool value) { return value ? "true" : "false"; }

// What an exited child left in its output pipe. Without blocking: a process it started could
// still hold the write end open.
std::string readAvailable(asio::posix::stream_descriptor& pipe) {
  std::string text;
  std::error_code error;
  pipe.non_blocking(true, error);
  std::array<char, 4096> buffer{};
  while (!error && text.size() < 1024 * 1024) {
    const size_t n = pipe.read_some(asio::buffer(buffer), error);
    text.append(buffer.data(), n);
  }
  return text;
}

std::string profileText(common::DeviceProfile profile) {
  return std::string(common::deviceProfileText(profile));
}

}  // namespace

// Copies the helper's standard error into the log, line by line, on the main executor.
struct InputHelperProcess::StandardErrorReader : std::enable_shared_from_this<StandardErrorReader> {
  StandardErrorReader(asio::io_context& context, int fd) : pipe(context, fd) {}

  void read() {
    pipe.async_read_some(asio::buffer(buffer),
                         [self = shared_from_this()](const std::error_code& error, size_t n) {
                           self->received(error, n);
                         });
  }

  void received(const std::error_code& error, size_t n) {
    for (auto& line : splitter.feed(std::string_view(buffer.data(), n))) log(line);
    if (!error) {
      read();
      return;
    }
    if (auto rest = splitter.finish()) log(*rest);
  }

  void log(const std::string& line) const {
    if (!forwarding || line.empty()) return;
    const auto parsed = classifyHelperLine(line);
    static constexpr spdlog::level::level_enum kLevels[] = {
        spdlog::level::trace, spdlog::level::debug, spdlog::level::info,
        spdlog::level::warn,  spdlog::level::err,   spdlog::level::critical};
    helperLog()->log(kLevels[static_cast<int>(parsed.level)], "helper: {}", parsed.text);
  }

  // Stops forwarding but keeps draining until the helper closes its end: closing ours would
  // kill a helper that is still shutting down with SIGPIPE at its next diagnostic line.
  void cancel() { forwarding = false; }

  asio::posix::stream_descriptor pipe;
  OutputLineSplitter splitter;
  std::array<char, 4096> buffer{};
  bool forwarding = true;
};

std::shared_ptr<InputHelperProcess> InputHelperProcess::create(Dependencies dependencies) {
  auto manager =
      std::shared_ptr<InputHelperProcess>(new InputHelperProcess(std::move(dependencies)));
  manager->frontmostBundleID_ = manager->frontmostObserver_.current();
  manager->frontmostObserver_.start(manager->frontmostBundleID_);
  return manager;
}

InputHelperProcess::InputHelperProcess(Dependencies dependencies)
    : isRunning(dependencies.main, false),
      statusMessage(dependencies.main, "Idle"),
      activeProfile(dependencies.main, std::nullopt),
      sessionHasGamepad(dependencies.main, false),
      deps_(std::move(dependencies)),
      // The watcher is a member and its timer dies with it, so `this` cannot dangle.
      frontmostObserver_(deps_.hostInfo, deps_.clock, deps_.timers,
                         [this](const std::optional<std::string>& bundleID) {
                           frontmostApplicationChanged(bundleID);
                         }) {}

InputHelperProcess::~InputHelperProcess() {
  // Whoever owns us should have awaited stop(); a helper must not outlive its manager anyway.
  cancelStandardError();
  for (auto& [pid, child] : ownedProcesses_) child->signal(SIGTERM);
}

bool InputHelperProcess::running() const {
  return isRunning.get() && process_ && !process_->hasExited();
}

void InputHelperProcess::clearSession() {
  stdinWriter_.reset();
  process_.reset();
  cancelStandardError();
  isRunning.set(false);
  activeProfile.set(std::nullopt);
  sessionProfile_.reset();
  sessionGamepadHID_ = false;
  sessionMouseHID_ = false;
  sessionHasGamepad.set(false);
  statusMessage.set("Idle");
}

asio::awaitable<void> InputHelperProcess::ensureSession(common::DeviceProfile profile,
                                                        bool gamepadHID, bool mouseHID) {
  if (!gamepadHID && !mouseHID) co_return;
  if (running() && sessionProfile_ == profile && sessionGamepadHID_ == gamepadHID &&
      sessionMouseHID_ == mouseHID) {
    helperLog()->info("Keeping input helper pid={} profile={} gamepadHID={} mouseHID={}",
                      process_->pid(), profileText(profile), boolText(gamepadHID),
                      boolText(mouseHID));
    co_return;
  }
  co_await spawn(profile, gamepadHID, mouseHID);
}

asio::awaitable<void> InputHelperProcess::endSession() {
  if (!running() || !sessionMouseHID_) co_return;
  if (sessionGamepadHID_ && sessionProfile_) {
    co_await spawn(*sessionProfile_, true, false);
  } else {
    co_await stop();
  }
}

asio::awaitable<void> InputHelperProcess::releaseGamepad() {
  if (!running() || !sessionGamepadHID_) co_return;
  if (sessionMouseHID_ && sessionProfile_) {
    co_await spawn(*sessionProfile_, false, true);
  } else {
    co_await stop();
  }
}

std::optional<std::filesystem::path> InputHelperProcess::locateHelper() const {
  std::vector<std::filesystem::path> candidates;
  if (deps_.helperPath) {
    candidates.push_back(*deps_.helperPath);
  } else {
    // Beside the host in a build tree; libexec/ferrowin beside its bin/ when installed.
    const auto directory = platform::currentExecutablePath().parent_path();
    candidates.push_back(directory / kHelperProgramName);
    candidates.push_back(
        (directory / ".." / "libexec" / "ferrowin" / kHelperProgramName).lexically_normal());
  }
  for (const auto& candidate : candidates) {
    if (platform::isExecutableFile(candidate)) return candidate;
  }
  return std::nullopt;
}

asio::awaitable<void> InputHelperProcess::spawn(common::DeviceProfile profile, bool gamepadHID,
                                                bool mouseHID) {
  auto self = shared_from_this();
  co_await stop();
  if (!gamepadHID && !mouseHID) {
    statusMessage.set("Idle");
    co_return;
  }
  // This attempt's ticket. Taken before the wait below, so that a stop or another spawn that
  // starts during the wait supersedes this one rather than stopping nothing and running beside
  // the helper this one would adopt.
  const uint64_t ticket = lifecycleGeneration_.begin();

  for (auto& [pid, child] : ownedProcesses_) {
    if (!child->hasExited()) sendSignal(*child, SIGKILL);
  }
  ownedProcesses_.clear();
  killStaleHelpers();
  co_await common::sleepFor(deps_.timers, 0.05);
  if (!lifecycleGeneration_.isCurrent(ticket)) {
    helperLog()->info("Aborting superseded helper spawn");
    co_return;
  }

  const auto path = locateHelper();
  if (!path) {
    statusMessage.set("Input helper missing");
    helperLog()->error("FerrowinInputHelper not found in app bundle");
    co_return;
  }

  platform::ChildProcess::Options options;
  options.executable = path->string();
  options.arguments = {"--port",       std::to_string(port),     "--profile", profileText(profile),
                       "--timeout-ms", std::to_string(timeoutMs)};
  if (gamepadHID) options.arguments.push_back("--gamepad-hid");
  if (mouseHID) options.arguments.push_back("--mouse-hid");
  options.standardInput = platform::ChildProcess::Stream::pipe;
  options.standardError = platform::ChildProcess::Stream::pipe;

  auto launched = platform::ChildProcess::spawn(
      deps_.main, options,
      common::weakCallback(weak_from_this(),
                           [](InputHelperProcess& manager, pid_t pid, int status) {
                             manager.onTermination(pid, status);
                           }));
  if (!launched) {
    const auto& error = launched.error();
    if (error.kind == platform::ChildProcessError::Kind::pipe) {
      statusMessage.set("Helper stdin pipe failed");
      helperLog()->error("dup(stdin write) failed errno={}", error.code);
    } else {
      statusMessage.set("Helper spawn failed");
      helperLog()->error("Failed to spawn input helper: {}", error.description());
    }
    co_return;
  }

  auto child = *launched;
  ownedProcesses_[child->pid()] = child;
  process_ = child;
  stdinWriter_ = child->takeStandardInput();
  forwardStandardError(child->takeStandardError());
  isRunning.set(true);
  activeProfile.set(profile);
  sessionProfile_ = profile;
  sessionGamepadHID_ = gamepadHID;
  sessionMouseHID_ = mouseHID;
  sessionHasGamepad.set(gamepadHID);
  statusMessage.set(mouseHID ? "Input Helper (KBM Remap)" : "Input Helper (Native Gamepad)");
  helperLog()->info("Spawned {} pid={} port={} profile={} stdinFD={}", path->string(), child->pid(),
                    port, profileText(profile), stdinWriter_->fd());

  if (mouseHID && lastRemapLookSettings_) pushStoredLookSettings();
  pushSteamSupport(true);
  setAllowedPeers(allowedPeers_);
}

asio::awaitable<void> InputHelperProcess::stop() {
  auto self = shared_from_this();
  const uint64_t ticket = lifecycleGeneration_.begin();
  cancelStandardError();
  if (running()) helperLog()->info("Stopping input helper pid={}", process_->pid());
  stdinWriter_.reset();

  // Only the children known now: one adopted by a later spawn while this stop waits is that
  // spawn's to keep.
  const auto owned = ownedProcesses_;
  for (auto& [pid, child] : owned) {
    if (!child->hasExited()) sendSignal(*child, SIGTERM);
  }
  for (auto& [pid, child] : owned) {
    if (co_await waitForExit(child, 2.0)) continue;
    helperLog()->warn("Helper pid={} did not exit after SIGTERM; sending SIGKILL", pid);
    child->signal(SIGKILL);
    co_await waitForExit(child, 0.5);
  }
  for (auto& [pid, child] : owned) {
    auto it = ownedProcesses_.find(pid);
    if (it != ownedProcesses_.end() && it->second == child) ownedProcesses_.erase(it);
  }
  if (lifecycleGeneration_.isCurrent(ticket)) clearSession();
}

void InputHelperProcess::sendSignal(platform::ChildProcess& child, int signo) {
  helperLog()->info("Sending signal {} to owned helper pid={}", signo, child.pid());
  child.signal(signo);
}

asio::awaitable<bool> InputHelperProcess::waitForExit(std::shared_ptr<platform::ChildProcess> child,
                                                      double seconds) {
  const double deadline = deps_.clock.now() + seconds;
  while (!child->hasExited()) {
    if (deps_.clock.now() >= deadline) co_return false;
    co_await common::sleepFor(deps_.timers, 0.02);
  }
  co_return true;
}

void InputHelperProcess::onTermination(int pid, int status) {
  ownedProcesses_.erase(pid);
  if (!process_ || process_->pid() != pid) return;
  helperLog()->info("Input helper exited status={}", status);
  clearSession();
}

void InputHelperProcess::forwardStandardError(int fd) {
  cancelStandardError();
  if (fd < 0) return;
  stderrReader_ = std::make_shared<StandardErrorReader>(deps_.main, fd);
  stderrReader_->read();
}

void InputHelperProcess::cancelStandardError() {
  if (stderrReader_) std::exchange(stderrReader_, nullptr)->cancel();
}

void InputHelperProcess::killStaleHelpers() {
  for (const auto& name : deps_.staleHelperNames) {
    auto signalled = platform::terminateProcessesNamed(name);
    if (!signalled) {
      helperLog()->error("killall {} failed: {}", name, signalled.error());
    } else if (*signalled > 0) {
      helperLog()->info("killall {} succeeded", name);
    }
  }
}

void InputHelperProcess::write(std::string line, std::string failure, std::string success) {
  writeQueue_.post([writer = stdinWriter_, line = std::move(line), failure = std::move(failure),
                    success = std::move(success)] {
    auto written = writer->writeAll(line);
    if (!written) {
      helperLog()->error("{}{}", failure, written.error());
    } else if (!success.empty()) {
      helperLog()->info("{}", success);
    }
  });
}

void InputHelperProcess::setAllowedPeers(std::vector<std::string> peers) {
  allowedPeers_ = std::move(peers);
  if (!isRunning.get() || !stdinWriter_) return;
  write(common::encodeLine(common::PeerAllowlistWire{allowedPeers_}),
        "Peer allowlist stdin write failed: ", "");
}

void InputHelperProcess::setRemapLook(const common::GamepadRemapLookTuning& settings) {
  lastRemapLookSettings_ = settings;
  pushStoredLookSettings();
}

void InputHelperProcess::pushStoredLookSettings() {
  if (!lastRemapLookSettings_ || !isRunning.get() || !stdinWriter_) return;
  const auto& settings = *lastRemapLookSettings_;
  write(common::encodeLine(common::RemapLookStdinWire::from(settings)),
        "Remap settings stdin write failed: ",
        fmt::format("Pushed remap look sensitivity={:.2f} curve={}", settings.sensitivity,
                    common::rawValue(settings.stickCurve)));
}

void InputHelperProcess::pushGeometry(
    const std::optional<common::CapturePointerGeometry>& geometry) {
  if (!isRunning.get() || !stdinWriter_) {
    // Every capture change pushes; without a helper one line says it, not one per change.
    if (!geometrySkipLogged_) helperLog()->info("pushGeometry skipped (helper not running)");
    geometrySkipLogged_ = true;
    return;
  }
  geometrySkipLogged_ = false;
  std::string success = "Pushed geometry clear";
  if (geometry) {
    success = fmt::format("Pushed geometry {}x{} @ ({},{})", geometry->activeWidth,
                          geometry->activeHeight, static_cast<long>(geometry->contentRect.x),
                          static_cast<long>(geometry->contentRect.y));
  }
  write(common::encodeLine(common::PointerGeometryWire::from(geometry)),
        "Geometry stdin write failed: ", std::move(success));
}

void InputHelperProcess::pushSteamSupport(bool force) {
  const bool effective = clientSteamSupport_ && frontmostBundleID_ == kSteamHelperBundleID;
  if (!force && pushedSteamSupport_ == effective) return;
  if (!isRunning.get() || !stdinWriter_) return;
  pushedSteamSupport_ = effective;
  write(common::encodeLine(common::SteamSupportStdinWire{effective}),
        "Steam support stdin write failed: ",
        fmt::format("Pushed steam support {} (client {}, frontmost {})", boolText(effective),
                    boolText(clientSteamSupport_), frontmostBundleID_.value_or("(nil)")));
}

void InputHelperProcess::frontmostApplicationChanged(std::optional<std::string> bundleID) {
  frontmostBundleID_ = std::move(bundleID);
  pushSteamSupport(false);
}

asio::awaitable<std::optional<InputHelperPreflightResult>> InputHelperProcess::preflight(
    bool promptAccessibility, bool skipHID) {
  auto self = shared_from_this();
  const auto path = locateHelper();
  if (!path) {
    helperLog()->error("Preflight: FerrowinInputHelper not found in app bundle");
    co_return std::nullopt;
  }
  platform::ChildProcess::Options options;
  options.executable = path->string();
  options.arguments = {"--preflight"};
  if (promptAccessibility) options.arguments.push_back("--prompt-accessibility");
  if (skipHID) options.arguments.push_back("--skip-hid");
  options.standardOutput = platform::ChildProcess::Stream::pipe;
  auto launched = platform::ChildProcess::spawn(deps_.main, options, nullptr);
  if (!launched) {
    helperLog()->error("Preflight spawn failed: {}", launched.error().description());
    co_return std::nullopt;
  }
  auto child = *launched;
  auto output =
      std::make_shared<asio::posix::stream_descriptor>(deps_.main, child->takeStandardOutput());

  if (!co_await waitForExit(child, 3.0)) {
    helperLog()->error("Preflight timed out; terminating helper");
    child->signal(SIGTERM);
    if (!child->hasExited()) child->signal(SIGKILL);
    co_await waitForExit(child, 0.5);
    co_return std::nullopt;
  }
  const std::string text = readAvailable(*output);
  if (text.empty()) {
    helperLog()->error("Preflight produced no stdout");
    co_return std::nullopt;
  }
  auto result = decodePreflightResult(text);
  if (!result) {
    helperLog()->error("Preflight JSON decode failed: {} raw={}", result.error().description(),
                       textOrBinary(text));
    co_return std::nullopt;
  }
  co_return *result;
}

}  // namespace ferrowin::inputhelper

// FerrowinInputHelper: the input session the host starts for one client (UDP input in, virtual
// HID devices and synthesized pointer and key events out), or the one-line preflight probe.
//
// There is no code signature to check the parent against on Linux, so any parent may start it.

#include <unistd.h>

#include <asio/signal_set.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/pointer_geometry.h"
#include "common/runtime/clock.h"
#include "common/runtime/main_executor.h"
#include "common/runtime/serial_queue.h"
#include "common/util/log.h"
#include "inputhelper/arguments.h"
#include "inputhelper/gamepad_server.h"
#include "inputhelper/preflight.h"
#include "inputhelper/stdin_handler.h"
#include "inputhelper/wiring.h"

namespace ferrowin::inputhelper {
namespace {

auto mainLog() { return common::logger(common::kHelperSubsystem, "main"); }

#if FERROWIN_COVERAGE
// A build instrumented for line coverage writes its counters from an exit handler, which _Exit
// skips.
extern "C" void __gcov_dump();
#endif

void writeStderr(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// Ends the process without running static destructors: the stdin reader may still be blocked in
// read() and must not see the process tear its objects down around it.
[[noreturn]] void exitProcess(int status) {
  spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& l) { l->flush(); });
  std::fflush(stdout);
  std::fflush(stderr);
#if FERROWIN_COVERAGE
  __gcov_dump();
#endif
  std::_Exit(status);
}

void readStdin(StdinLineHandler& handler) {
  common::nameCurrentThread("com.zavel.ferrowin.inputhelper.stdin");
  auto log = mainLog();
  common::logAndWriteStderr(*log, spdlog::level::info, "Stdin reader started (posix)",
                            "stdin: reader started (posix)");
  LineSplitter splitter;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const std::string reason = std::strerror(errno);
      common::logAndWriteStderr(*log, spdlog::level::err, "Stdin read failed: " + reason,
                                "stdin: read failed " + reason);
      return;
    }
    if (n == 0) {
      common::logAndWriteStderr(*log, spdlog::level::info, "Stdin EOF", "stdin: EOF");
      return;
    }
    for (const auto& line : splitter.feed(std::string_view(buffer, static_cast<size_t>(n)))) {
      handler.handle(line);
    }
  }
}

int run(int argc, char** argv) {
  mainLog();
  static SessionBox session;

  auto args = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (!args) {
    writeStderr(args.error().description());
    return kUsageExitStatus;
  }
  common::MainExecutor main;

  if (args->preflight) {
    main.post([&] {
      auto gamepads = makeGamepadFactory();
      const auto result =
          runPreflight(args->promptAccessibility, !args->skipHID, accessibilityTrusted, *gamepads);
      const std::string line = encodePreflightLine(result);
      std::fwrite(line.data(), 1, line.size(), stdout);
      exitProcess(0);
    });
    main.run();
    return 0;
  }

  mainLog()->info("Starting port={} profile={} gamepadHID={} mouseHID={}", args->port,
                  common::deviceProfileText(args->profile), args->enableGamepadHID,
                  args->enableMouseHID);
  static common::CapturePointerGeometryStore geometry;
  static PeerAllowlist allowlist;
  std::shared_ptr<MouseInput> mouse = makeMouseInput(geometry);
  std::shared_ptr<KeyboardInput> keyboard = makeKeyboardInput();
  auto gamepads = makeGamepadFactory();

  // Tear down in order (devices destroyed, keymap restored) and leave.
  auto finish = [&](int status) {
    session.server.reset();
    mouse.reset();
    keyboard.reset();
    gamepads.reset();
    exitProcess(status);
  };

  asio::signal_set signals(main.context(), SIGTERM, SIGINT);
  signals.async_wait([&](const std::error_code& ec, int) {
    if (ec) return;
    if (session.server) session.server->stop();
    finish(0);
  });

  static StdinLineHandler handler(StdinLineHandler::Context{
      allowlist, geometry, session,
      [&main](std::function<void()> work) { main.post(std::move(work)); }, writeStderr});
  std::thread(readStdin, std::ref(handler)).detach();

  main.post([&] {
    auto server = std::make_shared<GamepadServer>(
        main.context(), main.timers(), common::SteadyClock::instance(), allowlist, gamepads);
    server->setPort(args->port);
    server->setTimeoutMs(args->timeoutMs);
    server->setMouseInjector(mouse);
    server->setKeyboardInjector(keyboard);
    session.server = server;
    bool steamSupport;
    std::optional<common::GamepadRemapLookTuning> lookTuning;
    {
      std::lock_guard guard(session.lock);
      steamSupport = session.steamSupport;
      lookTuning = session.lookTuning;
    }
    server->applySteamSupport(steamSupport);
    if (lookTuning) server->setLookTuning(*lookTuning);
    server->start(args->profile, args->enableGamepadHID, args->enableMouseHID);
    if (server->isRunning.get()) {
      mainLog()->info("Input session running: {}", server->statusMessage.get());
    } else {
      mainLog()->error("GamepadServer failed to start: {}", server->statusMessage.get());
      finish(1);
    }
  });
  main.run();
  return 0;
}

}  // namespace
}  // namespace ferrowin::inputhelper

int main(int argc, char** argv) { return ferrowin::inputhelper::run(argc, argv); }

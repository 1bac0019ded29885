#include "tests/support/fake_screencast_portal.h"

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/support/run_command.h"
#include "tests/support/spawn_logged.h"

namespace ferrowin::testing {

std::string FakeScreenCastPortal::missing() {
  if (runCommand("/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null && echo yes") != "yes\n") {
    return "python3-dbus or python3-gi is not installed (scripts/bootstrap)";
  }
  return "";
}

FakeScreenCastPortal::FakeScreenCastPortal(const PipeWireServer& server, std::string nodeName,
                                           int width, int height)
    : server_(server), nodeName_(std::move(nodeName)), width_(width), height_(height) {}

FakeScreenCastPortal::~FakeScreenCastPortal() { stop(); }

bool FakeScreenCastPortal::start(bool deny) {
  stop();
  std::vector<std::string> args = {
      "/usr/bin/python3", std::string(FERROWIN_TEST_SUPPORT_DIR) + "/fake_screencast_portal.py",
      "--node-id", std::to_string(server_.nodeId(nodeName_)),
      "--width", std::to_string(width_), "--height", std::to_string(height_),
      "--pipewire-socket", server_.socketPath(), "--state", (dir_ / "state.json").string(),
      "--log", (dir_ / "portal.log").string()};
  if (deny) args.push_back("--deny");
  pid_ = spawnLogged(args, {"DBUS_SESSION_BUS_ADDRESS=" + server_.busAddress()},
                     (dir_ / "portal.out").string());
  if (pid_ < 0) return false;
  for (int i = 0; i < 200; ++i) {
    if (runCommand("dbus-send --bus=" + server_.busAddress() +
                   " --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner "
                   "string:org.freedesktop.portal.Desktop 2>/dev/null")
            .find("true") != std::string::npos) {
      return true;
    }
    usleep(50'000);
  }
  return false;
}

void FakeScreenCastPortal::stop() { endChild(pid_); }

bool FakeScreenCastPortal::revoke() {
  const auto revocations = [&] {
    const std::string text = log();
    size_t count = 0;
    for (size_t at = 0; (at = text.find(R"("step": "Revoked")", at)) != std::string::npos; ++at) {
      ++count;
    }
    return count;
  };
  const size_t before = revocations();
  if (pid_ <= 0 || ::kill(pid_, SIGUSR1) != 0) return false;
  for (int i = 0; i < 200; ++i) {
    if (revocations() > before) return true;
    usleep(25'000);
  }
  return false;
}

std::string FakeScreenCastPortal::log() const {
  std::ifstream in(dir_ / "portal.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace ferrowin::testing

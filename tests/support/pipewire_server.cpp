#include "tests/support/pipewire_server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/support/run_command.h"
#include "tests/support/spawn_logged.h"

namespace ferrowin::testing {

std::string PipeWireServer::missing() {
  for (const char* program : {"dbus-daemon", "pipewire", "wireplumber", "pw-cli", "gst-launch-1.0"}) {
    if (!onPath(program)) return std::string(program) + " is not installed (scripts/bootstrap)";
  }
  if (runCommand("gst-inspect-1.0 pipewiresink >/dev/null 2>&1 && echo yes") != "yes\n") {
    return "GStreamer's pipewiresink is not installed (gstreamer1.0-pipewire, scripts/bootstrap)";
  }
  return "";
}

PipeWireServer::PipeWireServer() = default;

PipeWireServer::~PipeWireServer() { stop(); }

std::vector<std::string> PipeWireServer::environment() const {
  const std::string dir = dir_.path().string();
  // The daemons' sockets, state and configuration stay in the temporary directory.
  // The session manager needs a session bus: a private one.
  return {"XDG_RUNTIME_DIR=" + dir, "PIPEWIRE_RUNTIME_DIR=" + dir, "XDG_CONFIG_HOME=" + dir,
          "XDG_STATE_HOME=" + dir,  "HOME=" + dir,                 "PIPEWIRE_REMOTE=pipewire-0",
          "DISABLE_RTKIT=1",        "DBUS_SESSION_BUS_ADDRESS=" + busAddress()};
}

bool PipeWireServer::start(double timeoutSeconds) {
  const std::string log = (dir_ / "daemons.log").string();
  // Nothing is started on demand on this bus (XDG_DATA_DIRS holds no service files): the desktop
  // portal installed here must not answer in place of the one a test runs.
  auto busEnvironment = environment();
  busEnvironment.push_back("XDG_DATA_DIRS=" + dir_.path().string());
  bus_ = spawnLogged({"dbus-daemon", "--session", "--nofork",
                      "--address=unix:path=" + (dir_ / "bus").string()},
                     busEnvironment, log);
  if (bus_ < 0 || !waitUntil(timeoutSeconds, [&] { return std::filesystem::exists(dir_ / "bus"); })) {
    return false;
  }
  pipewire_ = spawnLogged({"pipewire"}, environment(), log);
  if (pipewire_ < 0) return false;
  if (!waitUntil(timeoutSeconds, [&] { return std::filesystem::exists(dir_ / "pipewire-0"); })) {
    return false;
  }
  wireplumber_ = spawnLogged({"wireplumber"}, environment(), log);
  if (wireplumber_ < 0) return false;
  // The session manager announces itself as a client of the daemon.
  return waitUntil(timeoutSeconds, [&] {
    std::string command = "env";
    for (const auto& variable : environment()) command += " '" + variable + "'";
    return runCommand(command + " pw-cli ls Client 2>/dev/null").find("WirePlumber") !=
           std::string::npos;
  });
}

void PipeWireServer::stop() {
  endChild(wireplumber_);
  endChild(pipewire_);
  endChild(bus_);
}

int PipeWireServer::connect() const {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = (dir_ / "pipewire-0").string();
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

long PipeWireServer::nodeId(const std::string& name) const {
  std::string command = "env";
  for (const auto& variable : environment()) command += " '" + variable + "'";
  // "\tid 30, type PipeWire:Interface:Node/3" heads each node's properties.
  const std::string listing = runCommand(command + " pw-cli ls Node 2>/dev/null");
  const size_t property = listing.find("node.name = \"" + name + "\"");
  if (property == std::string::npos) return -1;
  const size_t head = listing.rfind("\tid ", property);
  if (head == std::string::npos) return -1;
  return std::strtol(listing.c_str() + head + 4, nullptr, 10);
}

bool PipeWireServer::hasNode(const std::string& name) const { return nodeId(name) >= 0; }

bool PipeWireServer::waitForNode(const std::string& name, bool present,
                                 double timeoutSeconds) const {
  return waitUntil(timeoutSeconds, [&] { return hasNode(name) == present; });
}

std::string PipeWireServer::log() const {
  std::ifstream in(dir_ / "daemons.log");
  return {std::istreambuf_iterator<char>(in), {}};
}

std::unique_ptr<PipeWireServer::GstNode> PipeWireServer::publishTestPattern(
    const std::string& name, int width, int height, const std::string& pattern, uint32_t argb,
    const std::string& format) const {
  const pid_t pid = spawnLogged(
      {"gst-launch-1.0", "-q", "videotestsrc", "is-live=true", "pattern=" + pattern,
       "foreground-color=" + std::to_string(argb), "!",
       "video/x-raw,format=" + format + ",width=" + std::to_string(width) +
           ",height=" + std::to_string(height) + ",framerate=30/1",
       "!", "pipewiresink",
       "stream-properties=p,media.class=Video/Source,node.name=" + name},
      environment(), (dir_ / "gst.log").string());
  if (pid < 0) return nullptr;
  auto node = std::unique_ptr<GstNode>(new GstNode(*this, name, pid));
  if (!waitForNode(name)) return nullptr;
  return node;
}

PipeWireServer::GstNode::~GstNode() { remove(); }

void PipeWireServer::GstNode::remove() {
  if (pid_ < 0) return;
  endChild(pid_);
  server_.waitForNode(name_, false);
}

}  // namespace ferrowin::testing

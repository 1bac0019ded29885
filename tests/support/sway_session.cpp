#include "tests/support/sway_session.h"

#include <grp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/support/run_command.h"
#include "tests/support/spawn_logged.h"

namespace ferrowin::testing {

namespace {

constexpr const char* kPortal = "/usr/libexec/xdg-desktop-portal";
constexpr const char* kWlrPortal = "/usr/libexec/xdg-desktop-portal-wlr";
// The user a root test runs the desktop as.
constexpr uid_t kNobody = 65534;

bool asRoot() { return ::geteuid() == 0; }

void write(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

}  // namespace

std::string SwaySession::missing() {
  for (const char* program : {"sway", "swaybg", "swaymsg", "dbus-daemon", "dbus-send", "pipewire",
                              "wireplumber", "setpriv"}) {
    if (!onPath(program)) return std::string(program) + " is not installed (scripts/bootstrap)";
  }
  for (const char* program : {kPortal, kWlrPortal}) {
    if (!std::filesystem::exists(program)) {
      return std::string(program) + " is not installed (scripts/bootstrap)";
    }
  }
  return "";
}

SwaySession::SwaySession() = default;

SwaySession::~SwaySession() { stop(); }

std::vector<std::string> SwaySession::environment() const {
  const std::string dir = dir_.path().string();
  std::vector<std::string> variables = {"XDG_RUNTIME_DIR=" + dir + "/run",
                                        "PIPEWIRE_RUNTIME_DIR=" + dir + "/run",
                                        "HOME=" + dir,
                                        "XDG_CONFIG_HOME=" + dir + "/config",
                                        "XDG_DATA_HOME=" + dir + "/data",
                                        "XDG_STATE_HOME=" + dir + "/state",
                                        "XDG_CURRENT_DESKTOP=sway",
                                        "XDG_SESSION_TYPE=wayland",
                                        "DISABLE_RTKIT=1",
                                        "DBUS_SESSION_BUS_ADDRESS=" + busAddress()};
  if (!waylandDisplay_.empty()) variables.push_back("WAYLAND_DISPLAY=" + waylandDisplay_);
  return variables;
}

pid_t SwaySession::spawn(std::vector<std::string> args, std::vector<std::string> extra) {
  if (asRoot()) {
    args.insert(args.begin(), {"setpriv", "--reuid=" + std::to_string(kNobody),
                               "--regid=" + std::to_string(kNobody), "--clear-groups", "--"});
  }
  auto variables = environment();
  variables.insert(variables.end(), extra.begin(), extra.end());
  const pid_t pid = spawnLogged(std::move(args), variables, (dir_ / "daemons.log").string());
  if (pid > 0) daemons_.push_back(pid);
  return pid;
}

bool SwaySession::ownsName(const std::string& name) const {
  std::string command = "env";
  for (const auto& variable : environment()) command += " '" + variable + "'";
  if (asRoot()) command += " setpriv --reuid=65534 --regid=65534 --clear-groups --";
  return runCommand(command +
                    " dbus-send --session --print-reply --dest=org.freedesktop.DBus / "
                    "org.freedesktop.DBus.NameHasOwner string:" +
                    name + " 2>/dev/null")
             .find("true") != std::string::npos;
}

bool SwaySession::start(double timeoutSeconds) {
  const auto dir = dir_.path();
  write(dir / "sway.conf", "output HEADLESS-1 resolution " + std::to_string(kWidth) + "x" +
                               std::to_string(kHeight) + "\n");
  write(dir / "config" / "xdg-desktop-portal-wlr" / "config",
        "[screencast]\nchooser_type=none\noutput_name=HEADLESS-1\n");
  // A copy the session's user can read wherever the build tree is.
  std::filesystem::copy_file(FERROWIN_XDPW_SHIM, dir / "xdpw_dmabuf_shim.so");
  std::filesystem::create_directories(dir / "run");
  std::filesystem::permissions(dir / "run", std::filesystem::perms::owner_all);
  if (asRoot()) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
      if (::chown(entry.path().c_str(), kNobody, kNobody) != 0) return false;
    }
    if (::chown(dir.c_str(), kNobody, kNobody) != 0) return false;
  }

  if (spawn({"dbus-daemon", "--session", "--nofork", "--address=" + busAddress()}) < 0 ||
      !waitUntil(timeoutSeconds, [&] { return std::filesystem::exists(dir / "bus"); })) {
    return false;
  }
  if (spawn({"pipewire"}) < 0 ||
      !waitUntil(timeoutSeconds, [&] { return std::filesystem::exists(dir / "run/pipewire-0"); })) {
    return false;
  }
  if (spawn({"wireplumber"}) < 0) return false;
  const std::string swaySocket = "SWAYSOCK=" + (dir / "run" / "sway.sock").string();
  if (spawn({"sway", "-c", (dir / "sway.conf").string()},
            {"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman",
             swaySocket}) < 0) {
    return false;
  }
  const bool waylandUp = waitUntil(timeoutSeconds, [&] {
    for (const auto& entry : std::filesystem::directory_iterator(dir / "run")) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("wayland-", 0) == 0 && entry.path().extension() != ".lock") {
        waylandDisplay_ = name;
        return true;
      }
    }
    return false;
  });
  if (!waylandUp) return false;
  // The background is painted by a swaybg of ours, not sway's, so that nothing outlives stop().
  // sway renders only what changed, and the portal copies only what sway renders: the output's
  // transform applied again every 100 ms makes it render the same picture again.
  char background[16];
  std::snprintf(background, sizeof background, "#%06x", kBackground);
  if (spawn({"swaybg", "-o", "HEADLESS-1", "-c", background}) < 0 ||
      spawn({"sh", "-c",
             "trap exit TERM; while :; do swaymsg -q output HEADLESS-1 transform normal; sleep "
             "0.1; done"},
            {swaySocket}) < 0) {
    return false;
  }
  // Its preloaded shim stands in for the GPU this machine lacks (xdpw_dmabuf_shim.c).
  if (spawn({kWlrPortal}, {"LD_PRELOAD=" + (dir / "xdpw_dmabuf_shim.so").string()}) < 0 ||
      !waitUntil(timeoutSeconds,
                 [&] { return ownsName("org.freedesktop.impl.portal.desktop.wlr"); })) {
    return false;
  }
  return spawn({kPortal, "--replace"}) >= 0 &&
         waitUntil(timeoutSeconds, [&] { return ownsName("org.freedesktop.portal.Desktop"); });
}

void SwaySession::stop() {
  for (auto it = daemons_.rbegin(); it != daemons_.rend(); ++it) endChild(*it);
  daemons_.clear();
}

std::string SwaySession::log() const {
  std::ifstream in(dir_ / "daemons.log");
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string SwaySession::runAsUser(const std::function<std::string()>& work) const {
  int answer[2];
  if (::pipe(answer) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child < 0) return "no child";
  if (child == 0) {
    ::close(answer[0]);
    std::string result;
    if (asRoot() &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      result = "cannot become nobody";
    } else {
      // The portal reads the caller's /proc entries to tell what kind of application it is.
      ::prctl(PR_SET_DUMPABLE, 1);
      result = work();
    }
    (void)!::write(answer[1], result.data(), result.size());
    ::_exit(0);
  }
  ::close(answer[1]);
  std::string result;
  char buffer[512];
  for (ssize_t n; (n = ::read(answer[0], buffer, sizeof buffer)) > 0;) result.append(buffer, n);
  ::close(answer[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status)) return "the child died: " + std::to_string(status) + " " + result;
  return result;
}

}  // namespace ferrowin::testing

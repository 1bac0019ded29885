#include "tests/support/pulse_server.h"

#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/support/spawn_logged.h"

namespace ferrowin::testing {

bool PulseServer::installed() { return onPath("pulseaudio") && onPath("pactl"); }

PulseServer::PulseServer() : address_("unix:" + (dir_ / "native").string()) {}

PulseServer::~PulseServer() { stop(); }

bool PulseServer::start(double timeoutSeconds) {
  const std::string dir = dir_.path().string();
  // The server's own files (cookie, state) stay in the temporary directory.
  const std::vector<std::string> environment = {"HOME=" + dir, "XDG_RUNTIME_DIR=" + dir,
                                                "XDG_CONFIG_HOME=" + dir, "XDG_STATE_HOME=" + dir};
  pid_ = spawnLogged({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                "--disable-shm=yes", "--log-level=error", "--log-target=stderr",
                "-L", "module-native-protocol-unix socket=" + (dir_ / "native").string() +
                          " auth-anonymous=1",
                "-L", "module-null-sink sink_name=ferrowin_a rate=48000",
                "-L", "module-null-sink sink_name=ferrowin_b rate=48000"},
               environment, (dir_ / "pulse.log").string());
  if (pid_ < 0) return false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (std::chrono::steady_clock::now() < end) {
    if (pactl({"set-default-sink", "ferrowin_a"})) return true;
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void PulseServer::stop() { endChild(pid_); }

bool PulseServer::pactl(const std::vector<std::string>& arguments) const {
  std::vector<std::string> args = {"pactl", "--server=" + address_};
  args.insert(args.end(), arguments.begin(), arguments.end());
  const pid_t pid = spawnLogged(args, {}, (dir_ / "pactl.log").string());
  if (pid < 0) return false;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string PulseServer::log() const {
  std::ifstream in(dir_ / "pulse.log");
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace ferrowin::testing

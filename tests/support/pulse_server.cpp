#include "tests/support/pulse_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace ferrowin::testing {
namespace {

bool onPath(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

/// Spawns `args` with `environment` added, standard output and error to `logPath`.
pid_t spawn(std::vector<std::string> args, const std::vector<std::string>& environment,
            const std::string& logPath) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.insert(env.end(), environment.begin(), environment.end());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

}  // namespace

bool PulseServer::installed() { return onPath("pulseaudio") && onPath("pactl"); }

PulseServer::PulseServer() : address_("unix:" + (dir_ / "native").string()) {}

PulseServer::~PulseServer() { stop(); }

bool PulseServer::start(double timeoutSeconds) {
  const std::string dir = dir_.path().string();
  // The server's own files (cookie, state) stay in the temporary directory.
  const std::vector<std::string> environment = {"HOME=" + dir, "XDG_RUNTIME_DIR=" + dir,
                                                "XDG_CONFIG_HOME=" + dir, "XDG_STATE_HOME=" + dir};
  pid_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
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

void PulseServer::stop() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool PulseServer::pactl(const std::vector<std::string>& arguments) const {
  std::vector<std::string> args = {"pactl", "--server=" + address_};
  args.insert(args.end(), arguments.begin(), arguments.end());
  const pid_t pid = spawn(args, {}, (dir_ / "pactl.log").string());
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

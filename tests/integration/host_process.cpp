#include "tests/integration/host_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <regex>

#include "tests/support/run_command.h"
#include "tests/support/spawn_logged.h"

extern char** environ;

namespace ferrowin::testing {

namespace {

sockaddr_in ipv4(uint32_t host, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(host);
  return address;
}

// Whether a socket of `type` can bind `port` on every address.
bool portFree(uint16_t port, int type) {
  const int fd = ::socket(AF_INET, type, 0);
  if (fd < 0) return false;
  const sockaddr_in address = ipv4(INADDR_ANY, port);
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

// Whether something accepts TCP connections on `port` on loopback.
bool accepting(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  const sockaddr_in address = ipv4(INADDR_LOOPBACK, port);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

std::filesystem::path serverBinary() {
  return std::filesystem::path(FERROWIN_BINARY_DIR) / "bin" / "ferrowin-server";
}

std::string runClient(const std::string& arguments, int* status) {
  return runCommand(
      (serverBinary().parent_path() / "ferrowin-client").string() + " " + arguments + " 2>&1",
      status);
}

uint16_t freeControlPort() {
  std::mt19937 random(
      static_cast<unsigned>(::getpid()) ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  // Below the kernel's ephemeral ports: a host restarted on the port must not find it taken as
  // the local end of some other program's outgoing connection.
  unsigned ephemeralLow = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeralLow;
  const unsigned low = std::min(10000u, ephemeralLow / 2), high = ephemeralLow - 3;
  for (int attempt = 0; attempt < 200; ++attempt) {
    const uint16_t port = static_cast<uint16_t>(low + random() % (high - low));
    bool all = true;
    for (uint16_t p = port; p < port + 3 && all; ++p)
      all = portFree(p, SOCK_STREAM) && portFree(p, SOCK_DGRAM);
    if (all) return port;
  }
  return 0;
}

HostProcess::HostProcess(Options options) : options_(std::move(options)) {
  if (options_.port == 0) options_.port = freeControlPort();
}

HostProcess::~HostProcess() { stop(); }

bool HostProcess::start(double timeoutSeconds) {
  {
    std::lock_guard lock(mutex_);
    output_.clear();
    code_.clear();
    outputEnded_ = false;
  }
  std::vector<std::string> args = {serverBinary().string(),
                                   "--control-port",
                                   std::to_string(options_.port),
                                   "--data-dir",
                                   options_.dataDir.string(),
                                   "--config-dir",
                                   options_.configDir.string()};
  if (options_.headless) args.push_back("--headless");
  args.insert(args.end(), options_.arguments.begin(), options_.arguments.end());
  if (options_.devAttestationRoot) {
    args.push_back("--dev-attestation-root");
    args.push_back(options_.devAttestationRoot->string());
  }
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    // The options' variables replace ours (the first of two entries would win).
    const bool replaced =
        std::any_of(options_.environment.begin(), options_.environment.end(),
                    [&](const auto& variable) { return entry.starts_with(variable.first + "="); });
    if (!replaced && !entry.starts_with("FERROWIN_PAIR_EVERY_CONNECTION=") &&
        !entry.starts_with("DISPLAY="))
      env.push_back(entry);
  }
  // A private copy of the helper under a name of its own: the host ends leftover helpers by name,
  // and must not end those of tests running beside this one.
  const auto helper = options_.dataDir / ("FerrowinInputHelper-it" + std::to_string(::getpid()) +
                                          "-" + std::to_string(options_.port));
  std::error_code copyError;
  std::filesystem::copy_file(serverBinary().parent_path() / "FerrowinInputHelper", helper,
                             std::filesystem::copy_options::skip_existing, copyError);
  env.push_back("FERROWIN_INPUT_HELPER=" + helper.string());
  for (const auto& [name, value] : options_.environment) env.push_back(name + "=" + value);

  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    pid_ = -1;
    return false;
  }
  if (reader_.joinable()) reader_.join();
  reader_ = std::thread([this, fd = pipeFds[0]] { readOutput(fd); });

  // Ready once the status says it listens: before that the listener may still be reopened (the
  // Bonjour failure path restarts it without Bonjour), refusing or resetting connections.
  const std::string listening = "Listening on port " + std::to_string(options_.port);
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(
          lock, std::chrono::duration<double>(timeoutSeconds),
          [&] {
            return (!code_.empty() && output_.find(listening) != std::string::npos) || outputEnded_;
          }) ||
      outputEnded_)
    return false;
  lock.unlock();
  return accepting(options_.port);
}

std::optional<int> HostProcess::exitStatus(double timeoutSeconds) {
  if (pid_ <= 0) return std::nullopt;
  int status = 0;
  if (!waitUntil(timeoutSeconds, [&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }))
    return std::nullopt;
  pid_ = -1;
  if (reader_.joinable()) reader_.join();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int HostProcess::stop(double graceSeconds) {
  int result = -1;
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (waitUntil(graceSeconds, [&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) {
      result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
  return result;
}

void HostProcess::readOutput(int fd) {
  static const std::regex codeLine("Pairing code: ([0-9]{6})");
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      std::lock_guard lock(mutex_);
      outputEnded_ = true;
      changed_.notify_all();
      break;
    }
    std::lock_guard lock(mutex_);
    output_.append(buffer, static_cast<size_t>(n));
    // The latest complete code line wins.
    std::string text = output_;
    for (std::sregex_iterator it(text.begin(), text.end(), codeLine), end; it != end; ++it)
      code_ = (*it)[1];
    changed_.notify_all();
  }
  ::close(fd);
}

std::string HostProcess::pairingCode(const std::string& notThis, double timeoutSeconds) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                    [&] { return !code_.empty() && code_ != notThis; });
  return code_ != notThis ? code_ : std::string();
}

std::string HostProcess::log() const {
  std::lock_guard lock(mutex_);
  return output_;
}

bool HostProcess::logShows(const std::string& text, double seconds) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                           [&] { return output_.find(text) != std::string::npos; });
}

}  // namespace ferrowin::testing

// posix_spawn with close-on-exec pipes; exits are watched through a pidfd on the caller's
// io_context, so no thread waits and no SIGCHLD handler is installed.
#include "platform/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <asio/posix/stream_descriptor.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

extern char** environ;

namespace ferrowin::platform {

namespace {

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

struct Pipe {
  int read = -1;
  int write = -1;
  ~Pipe() {
    closeIfOpen(read);
    closeIfOpen(write);
  }
};

}  // namespace

std::string ChildProcessError::description() const {
  return (kind == Kind::pipe ? "pipe: " : "") + std::string(std::strerror(code));
}

PipeWriter::~PipeWriter() {
  if (fd_ >= 0) ::close(fd_);
}

Expected<void, std::string> PipeWriter::writeAll(std::string_view bytes) {
  // SIGPIPE is thread-directed for a write: block it here, and take back the one a vanished
  // reader raises, so the process never dies of it whatever its disposition is.
  sigset_t pipeOnly;
  sigset_t previous;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  std::string failure;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      if (error == EPIPE) {
        const timespec zero{};
        while (sigtimedwait(&pipeOnly, nullptr, &zero) == SIGPIPE) {
        }
      }
      failure = std::strerror(error);
      break;
    }
    if (n == 0) {
      failure = "stdin write returned 0";
      break;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!failure.empty()) return make_unexpected(failure);
  return {};
}

// What outlives the ChildProcess object: the pidfd watch and whether the child was reaped.
struct ChildProcess::State {
  State(asio::io_context& context, int pidfd) : watch(context, pidfd) {}
  asio::posix::stream_descriptor watch;
  mutable std::mutex lock;
  bool exited = false;
};

ChildProcess::ChildProcess(pid_t pid, std::shared_ptr<State> state, int in, int out, int err)
    : pid_(pid), state_(std::move(state)), stdin_(in), stdout_(out), stderr_(err) {}

ChildProcess::~ChildProcess() {
  closeIfOpen(stdin_);
  closeIfOpen(stdout_);
  closeIfOpen(stderr_);
}

Expected<std::shared_ptr<ChildProcess>, ChildProcessError> ChildProcess::spawn(
    asio::io_context& context, const Options& options, OnExit onExit) {
  Pipe in, out, err;
  const std::array<std::pair<Stream, Pipe*>, 3> streams = {{{options.standardInput, &in},
                                                            {options.standardOutput, &out},
                                                            {options.standardError, &err}}};
  for (auto [mode, pipe] : streams) {
    if (mode != Stream::pipe) continue;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return make_unexpected(ChildProcessError{ChildProcessError::Kind::pipe, errno});
    }
    pipe->read = fds[0];
    pipe->write = fds[1];
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int childEnds[3] = {in.read, out.write, err.write};
  for (int target = 0; target < 3; ++target) {
    if (childEnds[target] >= 0) {
      posix_spawn_file_actions_adddup2(&actions, childEnds[target], target);
    } else {
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                       target == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  // Whatever a library opened without O_CLOEXEC still stays with the host.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  // The child starts with no blocked signals and default dispositions, whatever the host's
  // threads had.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signo : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&defaults, signo);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(options.executable.c_str()));
  for (const auto& argument : options.arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, options.executable.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0)
    return make_unexpected(ChildProcessError{ChildProcessError::Kind::spawn, spawned});

  // glibc 2.36's <sys/pidfd.h> lacks C linkage for C++, so the system call directly.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    // Without a watch the child could never be reaped; don't leave it running.
    const int error = errno;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return make_unexpected(ChildProcessError{ChildProcessError::Kind::spawn, error});
  }
  ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);

  auto state = std::make_shared<State>(context, pidfd);
  // The handler holds the state, so the child is reaped even when nobody holds the process.
  state->watch.async_wait(asio::posix::stream_descriptor::wait_read,
                          [state, pid, onExit = std::move(onExit)](const std::error_code& error) {
                            if (error) return;
                            int status = 0;
                            int code = 0;
                            {
                              // Reaped and marked under one lock: signal() never sees a
                              // reaped pid as ours.
                              std::lock_guard guard(state->lock);
                              if (::waitpid(pid, &status, 0) == pid) {
                                code = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
                              }
                              state->exited = true;
                            }
                            state->watch.close();
                            if (onExit) onExit(pid, code);
                          });

  auto child = std::shared_ptr<ChildProcess>(
      new ChildProcess(pid, std::move(state), std::exchange(in.write, -1),
                       std::exchange(out.read, -1), std::exchange(err.read, -1)));
  return child;
}

bool ChildProcess::hasExited() const {
  std::lock_guard guard(state_->lock);
  return state_->exited;
}

bool ChildProcess::signal(int signo) {
  // Holding the lock keeps the reaper from running between the check and the kill.
  std::lock_guard guard(state_->lock);
  if (state_->exited) return false;
  return ::kill(pid_, signo) == 0;
}

std::shared_ptr<PipeWriter> ChildProcess::takeStandardInput() {
  if (stdin_ < 0) return nullptr;
  return std::make_shared<PipeWriter>(std::exchange(stdin_, -1));
}

int ChildProcess::takeStandardOutput() { return std::exchange(stdout_, -1); }
int ChildProcess::takeStandardError() { return std::exchange(stderr_, -1); }

std::filesystem::path currentExecutablePath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}

bool isExecutableFile(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

namespace {

std::optional<uid_t> realUid(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) != 0) continue;
    std::istringstream fields(line.substr(4));
    long uid = -1;
    if (fields >> uid && uid >= 0) return static_cast<uid_t>(uid);
    return std::nullopt;
  }
  return std::nullopt;
}

std::string fileName(std::string path) {
  static constexpr std::string_view kDeleted = " (deleted)";  // the binary was replaced meanwhile
  if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
  return std::filesystem::path(path).filename().string();
}

bool hasName(const std::string& pid, const std::string& name) {
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/" + pid + "/exe", error);
  if (!error && fileName(exe.string()) == name) return true;
  std::ifstream cmdline("/proc/" + pid + "/cmdline", std::ios::binary);
  std::string argv0;
  std::getline(cmdline, argv0, '\0');
  return !argv0.empty() && fileName(argv0) == name;
}

}  // namespace

Expected<int, std::string> terminateProcessesNamed(const std::string& name) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return make_unexpected(std::string(std::strerror(errno)));
  const uid_t self = ::getuid();
  const std::string ownPid = std::to_string(::getpid());
  int signalled = 0;
  while (const dirent* entry = ::readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (pid == ownPid || realUid(pid) != self || !hasName(pid, name)) continue;
    if (::kill(static_cast<pid_t>(std::stol(pid)), SIGTERM) == 0) ++signalled;
  }
  ::closedir(proc);
  return signalled;
}

}  // namespace ferrowin::platform

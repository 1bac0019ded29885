#pragma once
// Child processes with pipes: start a program with an argument list, write its standard input,
// read its output, signal it and learn when it has exited. Every descriptor the host holds is
// close-on-exec and the child starts with nothing open beyond its three standard streams, so a
// helper never inherits a listening socket.
//
// Also the process-table questions the helper manager asks: where this program lives, whether a
// file may be executed, and ending leftover processes of a given name.

#include <sys/types.h>

#include <asio/io_context.hpp>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::platform {

struct ChildProcessError {
  enum class Kind { pipe, spawn };
  Kind kind = Kind::spawn;
  int code = 0;  // errno
  std::string description() const;
};

/// The write end of a child's standard input. Shared by whoever may still write; the descriptor
/// closes (and the child sees end of input) when the last holder lets go.
class PipeWriter {
 public:
  explicit PipeWriter(int fd) : fd_(fd) {}
  ~PipeWriter();
  PipeWriter(const PipeWriter&) = delete;
  PipeWriter& operator=(const PipeWriter&) = delete;

  int fd() const { return fd_; }
  /// Writes every byte, retrying short writes and EINTR. A reader that has gone away is an error
  /// (EPIPE), never a SIGPIPE. Blocking; call it off the main executor.
  [[nodiscard]] Expected<void, std::string> writeAll(std::string_view bytes);

 private:
  int fd_;
};

class ChildProcess {
 public:
  enum class Stream { null, pipe };
  struct Options {
    std::string executable;
    std::vector<std::string> arguments;  // after argv[0], which is the executable path
    Stream standardInput = Stream::null;
    Stream standardOutput = Stream::null;
    Stream standardError = Stream::null;
  };
  /// The child's pid and exit status: the exit code, or the number of the signal that ended it.
  using OnExit = std::function<void(pid_t pid, int status)>;

  /// Starts the program with the host's environment. `onExit` runs on `context` once the child
  /// has exited and been reaped; the child is reaped even if this object is gone by then.
  [[nodiscard]] static Expected<std::shared_ptr<ChildProcess>, ChildProcessError> spawn(
      asio::io_context& context, const Options& options, OnExit onExit);
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  /// True once the exit has been seen (on the context's thread).
  bool hasExited() const;
  /// Sends `signo` unless the child has already been reaped (so a reused pid is never hit).
  /// Returns whether it was sent.
  bool signal(int signo);

  /// The parent's ends of the pipes asked for; each can be taken once (-1/null otherwise). The
  /// caller owns what it takes.
  std::shared_ptr<PipeWriter> takeStandardInput();
  int takeStandardOutput();
  int takeStandardError();

  struct State;

 private:
  ChildProcess(pid_t pid, std::shared_ptr<State> state, int in, int out, int err);

  pid_t pid_;
  std::shared_ptr<State> state_;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
};

/// The running program's own executable (/proc/self/exe).
std::filesystem::path currentExecutablePath();
/// A regular file this process may execute.
bool isExecutableFile(const std::filesystem::path& path);

/// Sends SIGTERM to every process of this user (real uid) other than this one whose executable or
/// argv[0] has the file name `name`. Returns how many were signalled, or the error that kept the
/// process table from being read.
[[nodiscard]] Expected<int, std::string> terminateProcessesNamed(const std::string& name);

}  // namespace ferrowin::platform

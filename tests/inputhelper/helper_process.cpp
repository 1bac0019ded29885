#include "tests/inputhelper/helper_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace ferrowin::inputhelper::testing {

extern "C" char** environ;

std::string HelperProcess::binaryPath() {
  return std::string(FERROWIN_BINARY_DIR) + "/bin/FerrowinInputHelper";
}

HelperProcess::HelperProcess(const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& environment) {
  ::signal(SIGPIPE, SIG_IGN);  // a helper that has exited must not take the test with it
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (!environment.contains(entry.substr(0, entry.find('=')))) env.push_back(entry);
  }
  for (const auto& [key, value] : environment) env.push_back(key + "=" + value);
  std::vector<std::string> argv = {binaryPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> argvPtrs, envPtrs;
  for (auto& a : argv) argvPtrs.push_back(a.data());
  for (auto& e : env) envPtrs.push_back(e.data());
  argvPtrs.push_back(nullptr);
  envPtrs.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execve(argvPtrs[0], argvPtrs.data(), envPtrs.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdin_ = in[1];
  stdoutReader_ = std::thread([this, fd = out[0]] { collect(fd, stdout_); });
  stderrReader_ = std::thread([this, fd = err[0]] { collect(fd, stderr_); });
}

HelperProcess::~HelperProcess() {
  if (!exited_) {
    ::kill(pid_, SIGKILL);
    waitForExit(5);
  }
  closeStdin();
  if (stdoutReader_.joinable()) stdoutReader_.join();
  if (stderrReader_.joinable()) stderrReader_.join();
}

void HelperProcess::collect(int fd, std::string& into) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    std::lock_guard guard(lock_);
    into.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
}

void HelperProcess::writeStdin(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(stdin_, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void HelperProcess::closeStdin() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

void HelperProcess::signal(int signo) { ::kill(pid_, signo); }

std::optional<int> HelperProcess::waitForExit(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!exited_) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = status;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Everything the process wrote is collected once its pipes reach end of file.
  if (stdoutReader_.joinable()) stdoutReader_.join();
  if (stderrReader_.joinable()) stderrReader_.join();
  if (!WIFEXITED(status_)) return std::nullopt;
  return WEXITSTATUS(status_);
}

bool HelperProcess::waitForStderr(const std::string& text, double seconds) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (standardError().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string HelperProcess::standardOutput() const {
  std::lock_guard guard(lock_);
  return stdout_;
}

std::string HelperProcess::standardError() const {
  std::lock_guard guard(lock_);
  return stderr_;
}

}  // namespace ferrowin::inputhelper::testing

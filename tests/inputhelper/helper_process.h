#pragma once
// The real FerrowinInputHelper as a child process: arguments and environment in, standard input as
// a pipe the test writes, standard output and error collected as they arrive.

#include <sys/types.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ferrowin::inputhelper::testing {

class HelperProcess {
 public:
  static std::string binaryPath();

  HelperProcess(const std::vector<std::string>& args,
                const std::map<std::string, std::string>& environment = {});
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  void writeStdin(const std::string& bytes);
  void closeStdin();
  void signal(int signo);
  /// Exit status once the process has exited within `seconds`; nullopt if it is still running or
  /// was killed by a signal.
  std::optional<int> waitForExit(double seconds = 10.0);
  bool waitForStderr(const std::string& text, double seconds = 5.0) const;

  std::string standardOutput() const;
  std::string standardError() const;

 private:
  void collect(int fd, std::string& into);

  pid_t pid_ = -1;
  int stdin_ = -1;
  bool exited_ = false;
  int status_ = 0;
  mutable std::mutex lock_;
  std::string stdout_;
  std::string stderr_;
  std::thread stdoutReader_;
  std::thread stderrReader_;
};

}  // namespace ferrowin::inputhelper::testing

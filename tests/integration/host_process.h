#pragma once
// Runs the real ferrowin-server as a child process for end-to-end tests: headless, on free ports,
// with its own data and config directories, its stderr collected so tests can read its log
// (for example the pairing code).

#include <sys/types.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ferrowin::testing {

/// The built binary next to the test binaries ($FERROWIN_BINARY_DIR/bin).
std::filesystem::path serverBinary();

/// Runs the built ferrowin-client with `arguments` (shell words) and answers what it printed on
/// standard output and standard error; its exit status in `status` when given.
std::string runClient(const std::string& arguments, int* status = nullptr);

/// A port P with P, P + 1 and P + 2 free for TCP and UDP on loopback (control, video, input),
/// below the kernel's range of ephemeral ports.
uint16_t freeControlPort();

class HostProcess {
 public:
  struct Options {
    std::filesystem::path dataDir;
    std::filesystem::path configDir;
    std::optional<std::filesystem::path> devAttestationRoot;
    std::vector<std::pair<std::string, std::string>> environment;  // added to ours, replacing
    uint16_t port = 0;                                             // 0: a free one
    std::vector<std::string> arguments;                            // added to the command line
    bool headless = true;  // false: the tray and windows, where Qt finds a display
  };

  explicit HostProcess(Options options);
  ~HostProcess();  // stops the host
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  /// Starts the host and waits until it logs a pairing code and that it listens.
  bool start(double timeoutSeconds = 20.0);
  /// SIGTERM, then SIGKILL after `graceSeconds`. Returns the exit status (-1 when killed).
  int stop(double graceSeconds = 10.0);
  /// Waits up to `timeoutSeconds` for the host to exit on its own; its exit status, or nullopt
  /// while it still runs.
  std::optional<int> exitStatus(double timeoutSeconds = 20.0);

  uint16_t port() const { return options_.port; }
  /// The host's process id while it runs, else -1.
  pid_t pid() const { return pid_; }
  /// The latest "Pairing code: NNNNNN" the host logged; waits up to `timeoutSeconds` for one
  /// other than `notThis`.
  std::string pairingCode(const std::string& notThis = {}, double timeoutSeconds = 10.0);
  std::string log() const;
  /// Waits up to `seconds` for `text` to appear in the log.
  bool logShows(const std::string& text, double seconds = 20.0);

 private:
  void readOutput(int fd);

  Options options_;
  pid_t pid_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  std::string code_;
  bool outputEnded_ = false;  // the host closed its output (it exited)
};

}  // namespace ferrowin::testing

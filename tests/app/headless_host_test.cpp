// The real ferrowin-server binary: starts headless, serves the control API, stops cleanly on a
// signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <asio/ip/tcp.hpp>
#include <chrono>
#include <regex>
#include <thread>

#include "common/util/files.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace ferrowin::app {
namespace {

uint16_t freePort() {
  asio::io_context io;
  asio::ip::tcp::acceptor probe(io, {asio::ip::tcp::v4(), 0});
  return probe.local_endpoint().port();
}

class HeadlessHost {
 public:
  HeadlessHost(const testing::TempDir& dir, uint16_t port) : log_(dir / "host.log") {
    const std::string binary = std::string(FERROWIN_BINARY_DIR) + "/bin/ferrowin-server";
    const std::string data = (dir / "data").string(), config = (dir / "config").string();
    const std::string portText = std::to_string(port);
    std::vector<const char*> argv = {binary.c_str(),   "--headless",     "--data-dir",
                                     data.c_str(),     "--config-dir",   config.c_str(),
                                     "--control-port", portText.c_str(), nullptr};
    // A helper name of its own, so the host's sweep of leftover helpers ends nobody else's.
    const auto helper = dir / ("FerrowinInputHelper-headless" + std::to_string(::getpid()));
    ::setenv("FERROWIN_INPUT_HELPER", helper.c_str(), 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn(&pid_, binary.c_str(), &actions, nullptr, const_cast<char**>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~HeadlessHost() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  std::string log() const { return common::readFile(log_).value_or(""); }
  bool waitForLog(const std::string& text) const {
    for (int i = 0; i < 500; ++i) {
      if (log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  /// Sends `signal` and returns the exit status (-1 if it did not exit within 10 s).
  int stop(int signal) {
    ::kill(pid_, signal);
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

 private:
  std::filesystem::path log_;
  pid_t pid_ = -1;
};

TEST(HeadlessHost, ListensLogsThePairingCodeAndStopsOnSignals) {
  for (int signal : {SIGTERM, SIGINT}) {
    testing::TempDir dir;
    const uint16_t port = freePort();
    HeadlessHost host(dir, port);
    ASSERT_TRUE(host.waitForLog("Control: Listening on port " + std::to_string(port)))
        << host.log();
    EXPECT_TRUE(std::regex_search(host.log(), std::regex("Pairing code: [0-9]{6}\n")));
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    std::error_code error;
    socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
    EXPECT_FALSE(error) << error.message();
    EXPECT_TRUE(std::filesystem::exists(dir / "data/com.zavel.ferrowin.server/control-tls/key"));
    EXPECT_EQ(host.stop(signal), 0) << host.log();
  }
}

}  // namespace
}  // namespace ferrowin::app

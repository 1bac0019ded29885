#include "tests/inputhelper_manager/manager_fixture.h"

#include <signal.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/ip/udp.hpp>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "tests/support/temp_dir.h"

namespace ferrowin::inputhelper::testing {

const PrivateHelper& privateHelper() {
  static const PrivateHelper helper = [] {
    static ferrowin::testing::TempDir dir;
    PrivateHelper made;
    made.name = "FerrowinInputHelper-t" + std::to_string(::getpid());
    made.path = dir / made.name;
    std::filesystem::copy_file(FERROWIN_BINARY_DIR "/bin/FerrowinInputHelper", made.path);
    return made;
  }();
  return helper;
}

bool MainLoop::run(asio::awaitable<void> flow, double seconds) {
  auto done = std::make_shared<bool>(false);
  asio::co_spawn(context, std::move(flow), [done](std::exception_ptr error) {
    if (error) std::rethrow_exception(error);
    *done = true;
  });
  return pumpUntil([done] { return *done; }, seconds);
}

bool MainLoop::pumpUntil(const std::function<bool()>& predicate, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    context.restart();
    context.run_for(std::chrono::milliseconds(5));
  }
  return true;
}

void MainLoop::pumpFor(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  pumpUntil([&] { return std::chrono::steady_clock::now() > deadline; }, seconds + 1);
}

std::vector<std::string> commandLine(pid_t pid) {
  // A process that has only just been started may not have its arguments mapped yet: the
  // spawning parent resumes while exec is still setting up the new image.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::vector<std::string> args;
  while (args.empty() && std::chrono::steady_clock::now() < deadline) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    for (std::string arg; std::getline(file, arg, '\0');) args.push_back(arg);
    if (args.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return args;
}

namespace {
bool isZombie(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close == std::string::npos || line.compare(close + 2, 1, "Z") == 0;
}
}  // namespace

bool processExists(pid_t pid) { return ::kill(pid, 0) == 0 && !isZombie(std::to_string(pid)); }

std::vector<pid_t> processesRunning(const std::filesystem::path& path) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code error;
    const auto exe = std::filesystem::read_symlink(entry.path() / "exe", error);
    if (!error && exe == path && !isZombie(pid)) found.push_back(std::stoi(pid));
  }
  return found;
}

size_t countContaining(const ferrowin::testing::LogCapture& log, const std::string& text) {
  size_t count = 0;
  for (const auto& message : log.messages()) count += message.find(text) != std::string::npos;
  return count;
}

uint16_t freeUdpPort() {
  asio::io_context context;
  asio::ip::udp::socket socket(context, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
  return socket.local_endpoint().port();
}

}  // namespace ferrowin::inputhelper::testing

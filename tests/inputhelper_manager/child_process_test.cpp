// Child processes and the sweep for leftover helpers, against real processes. (The everyday
// pipes, signals and reaping are the manager's work with the real helper:
// input_helper_process_test.)
#include "platform/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "server/inputhelper/input_helper_process.h"
#include "tests/inputhelper_manager/manager_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::platform {
namespace {

using inputhelper::testing::MainLoop;

struct Exit {
  std::optional<int> status;
  ChildProcess::OnExit handler() {
    return [this](pid_t, int code) { status = code; };
  }
};

TEST(ChildProcess, InheritsNothingButItsStreamsAndFailsToSpawnAsAnError) {
  MainLoop loop;
  Exit exit;
  // A descriptor some library opened without O_CLOEXEC.
  const int leaky = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(::dup2(leaky, 57), 0);
  auto child = ChildProcess::spawn(
      loop.context, {"/bin/sh", {"-c", "[ -e /proc/self/fd/57 ] && exit 1; exit 0"}}, exit.handler());
  ASSERT_TRUE(child);
  ASSERT_TRUE(loop.pumpUntil([&] { return exit.status.has_value(); }));
  EXPECT_EQ(exit.status, 0);
  ::close(57);
  ::close(leaky);

  // A program that cannot be started is an error.
  auto missing = ChildProcess::spawn(loop.context, {"/nonexistent/helper", {}}, nullptr);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, ChildProcessError::Kind::spawn);
  EXPECT_EQ(missing.error().description(), "No such file or directory");
  EXPECT_FALSE(isExecutableFile("/tmp"));  // a directory
}

// A helper that died must not take the host down with it: writing to its input is an error, not
// a SIGPIPE.
TEST(ChildProcess, WritingToAChildThatExitedIsAnErrorNotASignal) {
  MainLoop loop;
  Exit exit;
  ChildProcess::Options options{"/bin/sh", {"-c", "exit 3"}};
  options.standardInput = ChildProcess::Stream::pipe;
  auto child = ChildProcess::spawn(loop.context, options, exit.handler());
  ASSERT_TRUE(child);
  auto input = (*child)->takeStandardInput();
  ASSERT_TRUE(input);
  ASSERT_TRUE(loop.pumpUntil([&] { return exit.status.has_value(); }));
  EXPECT_EQ(exit.status, 3);
  auto written = input->writeAll(std::string(1 << 17, 'x'));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error(), "Broken pipe");
}

// The stale-helper sweep ends this user's processes of the two names and nothing else.
TEST(KillStaleHelpers, EndsOnlyThisUsersMatchingProcesses) {
  ferrowin::testing::TempDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);  // others may exec
  const std::string name = "FerrowinInputHelper-s" + std::to_string(::getpid());
  MainLoop loop;
  // Copies of sleep under the two names the sweep looks for, and under a third.
  const std::string files[] = {name, name + "-dev", name + "-other"};
  Exit exits[3];
  std::vector<std::shared_ptr<ChildProcess>> children;
  for (int i = 0; i < 3; ++i) {
    std::filesystem::copy_file("/bin/sleep", dir / files[i]);
    std::filesystem::permissions(dir / files[i], std::filesystem::perms::all);
    auto child =
        ChildProcess::spawn(loop.context, {(dir / files[i]).string(), {"30"}}, exits[i].handler());
    ASSERT_TRUE(child);
    children.push_back(*child);
  }

  // Another user's process of the same name (needs root to make one).
  pid_t foreign = -1;
  if (::getuid() == 0) {
    foreign = ::fork();
    if (foreign == 0) {
      if (::setuid(65534) != 0) ::_exit(127);
      const std::string path = (dir / name).string();
      ::execl(path.c_str(), path.c_str(), "30", nullptr);
      ::_exit(127);
    }
  }

  ferrowin::testing::LogCapture log;
  auto manager = inputhelper::InputHelperProcess::create(
      {.main = loop.context, .timers = loop.timers, .staleHelperNames = {name, name + "-dev"}});
  ASSERT_TRUE(loop.pumpUntil([&] {
    // Give the foreign child time to reach its exec before sweeping.
    if (foreign < 0) return true;
    auto running = inputhelper::testing::processesRunning(dir / name);
    return std::find(running.begin(), running.end(), foreign) != running.end();
  }));
  manager->killStaleHelpers();
  ASSERT_TRUE(loop.pumpUntil([&] { return exits[0].status && exits[1].status; }));
  EXPECT_EQ(exits[0].status, SIGTERM);
  EXPECT_EQ(exits[1].status, SIGTERM);
  EXPECT_TRUE(log.contains("killall " + name + " succeeded"));
  EXPECT_TRUE(log.contains("killall " + name + "-dev succeeded"));

  loop.pumpFor(0.1);
  EXPECT_FALSE(exits[2].status.has_value());
  if (foreign > 0) {
    EXPECT_TRUE(inputhelper::testing::processExists(foreign));
    ::kill(foreign, SIGKILL);
    ::waitpid(foreign, nullptr, 0);
  }
  children[2]->signal(SIGKILL);
  ASSERT_TRUE(loop.pumpUntil([&] { return exits[2].status.has_value(); }));
}

}  // namespace
}  // namespace ferrowin::platform

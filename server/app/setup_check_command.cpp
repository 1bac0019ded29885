#include "server/app/setup_check_command.h"

#include "common/runtime/flow.h"
#include "common/runtime/main_executor.h"
#include "common/util/log.h"
#include "server/app/permission_monitor.h"
#include "server/app/setup_rows.h"

namespace ferrowin::app {

namespace {

asio::awaitable<void> checkThenStop(std::shared_ptr<HostPermissionMonitor> monitor,
                                    common::MainExecutor& main, double advertisementWait) {
  monitor->networkProbe().start();
  monitor->refresh();
  constexpr double kStep = 0.05;
  for (double waited = 0; waited < advertisementWait; waited += kStep) {
    if (!monitor->probing() && monitor->networkProbe().isAdvertised.get()) break;
    co_await common::sleepFor(main.timers(), kStep);
  }
  // The helper's preflight gives up by itself after 3 s.
  while (monitor->probing()) co_await common::sleepFor(main.timers(), kStep);
  monitor->refresh();
  monitor->networkProbe().stop();
  main.stop();
}

}  // namespace

int runSetupCheck(SetupCheckDependencies deps, std::FILE* out) {
  common::MainExecutor main;
  inputhelper::InputHelperProcess::Dependencies helperDeps{.main = main.context(),
                                                           .timers = main.timers()};
  if (deps.inputHelperPath) {
    helperDeps.helperPath = deps.inputHelperPath;
    helperDeps.staleHelperNames = {deps.inputHelperPath->filename().string()};
  }
  auto helper = inputhelper::InputHelperProcess::create(std::move(helperDeps));
  auto monitor = HostPermissionMonitor::create({.main = main.context(),
                                                .timers = main.timers(),
                                                .settings = deps.settings,
                                                .checks = deps.checks,
                                                .bonjour = deps.bonjour});
  main.post([&] {
    monitor->setInputHelper(helper);
    common::spawn(main.executor(), checkThenStop(monitor, main, deps.advertisementWait));
  });
  main.run();
  const PermissionState state = monitor->state();
  std::fputs(setupTable(state, monitor->powerSavingFixCommand()).c_str(), out);
  return state.canFinish() ? 0 : 1;
}

void logUnsatisfiedSetup(const HostPermissionMonitor& permissions) {
  auto log = common::serverLog("setup");
  for (const auto& row : setupRows(permissions.state(), permissions.powerSavingFixCommand())) {
    // The control service advertises itself once it runs and says so in its status; the
    // gamepad is probed only by --check and the setup window.
    if (row.satisfied || row.kind == SetupRowKind::localNetwork ||
        row.kind == SetupRowKind::virtualGamepad)
      continue;
    log->warn("Setup: {}: {}: {}", row.name, row.state,
              row.remedy.empty() ? row.explanation : row.remedy);
  }
}

}  // namespace ferrowin::app

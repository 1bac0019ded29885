#include "common/runtime/main_executor.h"

#include <asio/executor_work_guard.hpp>

namespace ferrowin::common {

void MainExecutor::run() {
  auto guard = asio::make_work_guard(context_);
  context_.run();
}

}  // namespace ferrowin::common

#include <gtest/gtest.h>

#include <thread>

#include "common/runtime/main_executor.h"
#include "common/runtime/published.h"
#include "common/runtime/weak.h"

namespace ferrowin::common {
namespace {

TEST(WeakCallback, DoesNothingOnceTheOwnerIsGone) {
  struct Service {
    int calls = 0;
  };
  auto service = std::make_shared<Service>();
  auto callback = weakCallback(service, [](Service& s, int n) { s.calls += n; });
  callback(2);
  EXPECT_EQ(service->calls, 2);
  std::weak_ptr<Service> watch = service;
  service.reset();
  EXPECT_TRUE(watch.expired());
  callback(5);  // must not touch freed memory (ASan would say)
}

TEST(Published, NotifiesObserversOnTheMainExecutorInOrder) {
  MainExecutor main;
  Published<std::string> status(main.context(), "Idle");
  std::vector<std::string> seen;
  auto token = status.observe([&](const std::string& v) {
    seen.push_back(v);
    EXPECT_TRUE(main.isCurrent());
  });
  std::thread other([&] {
    status.set("Starting…");
    status.set("Streaming");
  });
  other.join();
  EXPECT_EQ(status.get(), "Streaming");
  EXPECT_TRUE(seen.empty());  // not yet: delivery waits for the main executor
  main.context().poll();
  EXPECT_EQ(seen, (std::vector<std::string>{"Starting…", "Streaming"}));

  token.reset();
  status.set("Idle");
  main.context().poll();
  EXPECT_EQ(seen.size(), 2u);
}

}  // namespace
}  // namespace ferrowin::common

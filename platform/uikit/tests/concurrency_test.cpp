#include <gtest/gtest.h>

#include <atomic>

#include "support.h"

namespace uikit_test {
namespace {

class ApplicationConcurrency : public ApplicationTest {};

TEST_F(ApplicationConcurrency, PresentingFromThreadsDeliversOnTheMainThread) {
  auto system = std::make_shared<RecordingSystem>();
  app->setSystem(system);
  auto delegate = make<TestAppDelegate>();
  app->setDelegate(delegate);
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) {
        app->presentLocalNotificationNow(notificationWithBody("n" + std::to_string(t)));
        app->setApplicationIconBadgeNumber(i + 1);
        app->scheduleLocalNotification(notificationWithBody("s"));
        (void)app->scheduledLocalNotifications();
        (void)app->delegate();
      }
    });
  }
  EXPECT_TRUE(runMainUntil([&] { return delegate->received.size() == kThreads * kEach; }));
  for (auto& t : threads) t.join();
  runMainUntilIdle();
  EXPECT_EQ(delegate->received.size(), size_t{kThreads * kEach});
  EXPECT_TRUE(delegate->receivedOnMain);
  EXPECT_EQ(app->scheduledEntries().size(), size_t{kThreads * kEach});
  size_t badgeWrites = 0;
  for (auto& e : system->events()) badgeWrites += e.rfind("badge ", 0) == 0;
  EXPECT_EQ(badgeWrites, size_t{kThreads * kEach});
}

}  // namespace
}  // namespace uikit_test

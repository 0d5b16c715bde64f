#include <gtest/gtest.h>

#include <atomic>

#include "support.h"

namespace un_test {
namespace {

class CenterConcurrency : public CenterTest {};

// Several threads use the centre while the main thread runs its loop; every
// completion runs on the centre's queue and hands its result to the main
// queue, as a host's handler would.
TEST_F(CenterConcurrency, CompletionsArriveOnTheQueueWhileTheMainLoopRuns) {
  constexpr int kThreads = 4, kEach = 20;
  int arrivedOnMain = 0;  // touched on the main thread only
  std::atomic<int> offQueue{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto delegate = make<NSObject>();
      for (int i = 0; i < kEach; ++i) {
        auto handler = makeBlock<void(NSError*)>([&](NSError* e) {
          if (!UNUserNotificationCenter::isOnCompletionQueue() || e) ++offQueue;
          dispatch_async(dispatch_get_main_queue(), [&] { ++arrivedOnMain; });
        });
        // Thread t's requests fire at t*1000 + i seconds: thread 0's are the soonest.
        center->addNotificationRequest(requestIn(std::to_string(t) + "-" + std::to_string(i), t * 1000.0 + i + 1),
                                       handler);
        center->getPendingNotificationRequestsWithCompletionHandler(makeBlock<void(NSArray*)>([&](NSArray* list) {
          if (!UNUserNotificationCenter::isOnCompletionQueue() || list->count() > 64) ++offQueue;
        }));
        center->getNotificationSettingsWithCompletionHandler(makeBlock<void(id)>([](id) {}));
        center->setDelegate(delegate);
        (void)center->delegate();
      }
      center->removeDeliveredNotificationsWithIdentifiers(NSArray::arrayWithObjects({str("0-0")}));
    });
  }
  center->requestAuthorizationWithOptions(7, makeBlock<void(bool, NSError*)>([&](bool, NSError*) {
                                            dispatch_async(dispatch_get_main_queue(), [&] { ++arrivedOnMain; });
                                          }));
  EXPECT_TRUE(runMainUntil([&] { return arrivedOnMain == kThreads * kEach + 1; }, 30));
  for (auto& t : threads) t.join();
  drainCompletions();
  runMainUntilIdle();
  EXPECT_EQ(arrivedOnMain, kThreads * kEach + 1);
  EXPECT_EQ(offQueue, 0);
  auto pending = center->pendingRequests();
  ASSERT_EQ(pending.size(), 64u);
  EXPECT_EQ(pending.front().request->identifier()->utf8(), "0-0");
  EXPECT_EQ(pending.back().request->identifier()->utf8(), "3-3") << "the 64 soonest of 80";
  EXPECT_EQ(center->authorizationStatus(), UNAuthorizationStatusAuthorized);
}

}  // namespace
}  // namespace un_test

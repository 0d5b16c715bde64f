#include <atomic>
#include <thread>

#include "support.h"

namespace device_test {
namespace {

class DeviceConcurrency : public DeviceTest {};

TEST_F(DeviceConcurrency, FrameworkCompletionsArriveOnTheirQueueWhileTheDeviceRunsTheMainLoop) {
  useVersion("10.0");
  auto hostQueue = dispatch_queue_create("host.work");
  launch(kFullHost, {}, [&](Host& h) { h.completionQueue = hostQueue; });

  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      (void)device->records().size();
      (void)app->applicationIconBadgeNumber();
      centre->getDeliveredNotificationsWithCompletionHandler(nullptr);
      NSLog("reader");
    }
  });

  constexpr int kRequests = 20;
  std::atomic<int> completed{0}, offQueue{0};
  int seenOnMain = 0;  // main thread only
  for (int i = 0; i < kRequests; ++i) {
    auto content = make<UNMutableNotificationContent>();
    content->setBody(str("n" + std::to_string(i)));
    auto trigger = UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(1 + i, false);
    auto request = UNNotificationRequest::requestWithIdentifier(str("n" + std::to_string(i)), content, trigger);
    centre->addNotificationRequest(request, makeBlock<void(NSError*)>([&](NSError*) {
                                     if (!UNUserNotificationCenter::isOnCompletionQueue()) ++offQueue;
                                     ++completed;
                                     dispatch_async(dispatch_get_main_queue(), [&] { ++seenOnMain; });
                                   }));
  }
  device->advance(kRequests + 1);
  // The host answers each presentation from its own queue, which the device
  // does not wait for; once that queue has drained, one more settle applies
  // the last answers.
  dispatch_sync(hostQueue.get(), [] {});
  device->settle();
  stop.store(true);
  reader.join();

  EXPECT_EQ(completed.load(), kRequests);
  EXPECT_EQ(offQueue.load(), 0);
  EXPECT_EQ(seenOnMain, kRequests) << "the device ran the main queue until the completions' work was done";
  EXPECT_EQ(host->calls.size(), size_t{kRequests} + 1) << "launch and one presentation each";
  EXPECT_EQ(centre->deliveredNotifications().size(), size_t{kRequests})
      << "each presentation applied once its completion came from the host's queue";
  EXPECT_TRUE(device->faults().empty());
}

}  // namespace
}  // namespace device_test

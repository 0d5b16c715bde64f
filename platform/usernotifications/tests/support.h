// Helpers shared by the notification-framework tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UIKit/UIKit.h"
#include "UserNotifications/UNUserNotificationCenter+System.h"
#include "UserNotifications/UserNotifications.h"

namespace un_test {

using namespace objc;

// Counts arrivals from any thread; waits are bounded.
class Latch {
 public:
  void arrive() {
    {
      std::lock_guard<std::mutex> g(lock_);
      ++count_;
    }
    changed_.notify_all();
  }
  bool waitFor(int n, double seconds = 10) {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, std::chrono::duration<double>(seconds), [&] { return count_ >= n; });
  }
  int count() {
    std::lock_guard<std::mutex> g(lock_);
    return count_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int count_ = 0;
};

// Waits until everything queued on the centre's queue so far has run.
inline void drainCompletions() {
  dispatch_sync(UNUserNotificationCenter::currentNotificationCenter()->completionQueue(), [] {});
}

inline Ref<UNNotificationContent> contentWithTitle(std::string_view title) {
  auto c = make<UNMutableNotificationContent>();
  c->setTitle(str(title));
  return cast<UNNotificationContent>(c->copy());
}

inline Ref<UNNotificationRequest> requestIn(std::string_view identifier, double seconds) {
  return UNNotificationRequest::requestWithIdentifier(
      str(identifier), contentWithTitle(identifier),
      UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(seconds, false));
}

inline std::vector<std::string> pendingIdentifiers() {
  std::vector<std::string> ids;
  for (auto& p : UNUserNotificationCenter::currentNotificationCenter()->pendingRequests())
    ids.push_back(p.request->identifier()->utf8());
  return ids;
}

inline void writeFile(const std::filesystem::path& p, size_t bytes) {
  std::ofstream out(p, std::ios::binary);
  out << std::string(bytes, 'x');
}

// Puts the centre back in its starting state, so that the tests also pass
// when the binary runs them all in one process.
class CenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UIDevice::currentDevice()->setSystemVersion("13.0");
    center->setSystem(nullptr);
    center->removeAllPendingNotificationRequests();
    center->removeAllDeliveredNotifications();
    center->setAuthorizationStatus(UNAuthorizationStatusNotDetermined, 0);
    center->setDelegate(nullptr);
    drainCompletions();
    runMainUntilIdle();
  }
  UNUserNotificationCenter* center = UNUserNotificationCenter::currentNotificationCenter();
};

}  // namespace un_test

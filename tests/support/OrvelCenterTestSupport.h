// Helpers for tests of the library as the notification centre's delegate:
// what the centre was asked, the handlers the platform hands out, and
// platform notifications made the way the system makes them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "UserNotifications/UNUserNotificationCenter+System.h"
#include "UserNotifications/UserNotifications.h"
#include "support/OrvelTestSupport.h"

namespace orveltest {

// From the first call on, every "requestAuthorizationWithOptions:completionHandler:"
// sent to the centre is noted with its options, then runs as before.
void spyOnAuthorizationRequests();
std::vector<uint64_t> authorizationRequests();

// A platform presentation handler that notes the options of each call.
struct PresentationProbe {
  objc::Ref<objc::UNPresentationOptionsHandler> handler;
  std::shared_ptr<std::mutex> lock;
  std::shared_ptr<std::vector<uint64_t>> options;
  std::vector<uint64_t> calls() const;
};
PresentationProbe makePresentationProbe();

// A platform response handler that counts its calls.
struct ResponseProbe {
  objc::Ref<objc::UNResponseCompletionHandler> handler;
  std::shared_ptr<std::mutex> lock;
  std::shared_ptr<int> count;
  int calls() const;
};
ResponseProbe makeResponseProbe();

// A content with `body` and nothing else set.
objc::Ref<objc::UNMutableNotificationContent> platformContent(std::string_view body);
// A delivered notification of a request; a nil trigger is a request that
// was delivered at once.
objc::Ref<objc::UNNotification> platformNotification(std::string_view identifier, objc::UNNotificationContent* content,
                                                     objc::UNNotificationTrigger* trigger);

// The context's notification-centre callbacks, sent as the centre sends them.
void sendWillPresent(objc::NSObject* notification, objc::NSObject* handler);
void sendDidReceiveResponse(objc::NSObject* response, objc::NSObject* handler);

}  // namespace orveltest

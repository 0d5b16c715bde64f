// Helpers for the local-notification tests: requests as a host builds them,
// and a handler that records what scheduling reported.
#pragma once

#include <initializer_list>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "orvel/Orvel.h"

namespace orveltest {

// One call of a local-notification handler.
struct HandlerCall {
  objc::Id result;
  objc::Ref<objc::NSError> error;
  bool beforeReturn = false;  // made while the scheduling call was running
};

// An OrvelLocalNotificationHandler that records its calls, from any thread.
class HandlerProbe {
 public:
  HandlerProbe();
  objc::NSObject* handler() const { return block_.get(); }
  std::vector<HandlerCall> calls() const;
  size_t count() const;
  // Runs the main queue until `n` calls have come; false after a generous
  // bound, so that a fault fails instead of hanging.
  bool waitFor(size_t n = 1) const;

  // Set around a scheduling call, so that calls can tell whether they came
  // before it returned.
  void setScheduling(bool scheduling);

 private:
  struct State {
    std::mutex lock;
    std::vector<HandlerCall> calls;
    bool scheduling = false;
  };
  std::shared_ptr<State> state_;
  objc::Ref<OrvelLocalNotificationHandler> block_;
};

// Sends "addLocalNotification:handler:" to the context, as the facade does.
void addLocalNotification(OrvelNotificationRequest* request, HandlerProbe& probe);
void addLocalNotification(OrvelNotificationRequest* request, objc::NSObject* handler);
// Sends "removeNotificationWithIdentifiers:requestStatuses:" to the context.
void removeNotifications(objc::NSArray* identifiers, uint64_t statuses);

objc::Ref<OrvelNotificationContent> makeContent(std::string_view body);
objc::Ref<OrvelNotificationRequest> makeRequest(objc::NSString* identifier, OrvelNotificationContent* content,
                                                OrvelNotificationTrigger* trigger = nullptr);
objc::Ref<OrvelNotificationTrigger> intervalTrigger(double seconds, bool repeat);
objc::Ref<objc::NSArray> strings(std::initializer_list<std::string_view> items);

// A platform attachment made by the notification framework's factory from a
// new file `fileName` of a few bytes; nil when the factory refuses it.
objc::Id makePlatformAttachment(std::string_view identifier, std::string_view fileName);

}  // namespace orveltest

// What the context's files share: the version test, the badge step, the hop of
// events to the main queue, message sends to the notification framework
// (which the library reaches by name only), and the conversion of that
// framework's notifications that presentation and responses both use.
#pragma once

#include <atomic>
#include <memory>
#include <string_view>

#include "Foundation/Foundation.h"
#include "UIKit/UIKit.h"
#include "orvel/OrvelContext.h"
#include "orvel/OrvelDevice.h"
#include "orvel/OrvelNotificationContent.h"
#include "orvel/OrvelNotificationMessage.h"

namespace orvel::detail {

inline bool systemBelow(objc::NSString* version) { return OrvelDevice::versionCompare(version) < 0; }

// Through the context's own setter, so that the version rules for clearing
// apply: from a badge of 1 this clears it, from 0 it does nothing.
void lowerBadgeByOne(OrvelContext* context);

// Events never reach observers inside the callback that causes them: they
// are posted from the main queue on a later turn, so the host's own callback
// has returned first, and successive events keep their order.
void postOnMainQueue(objc::NSString* name, objc::Id object, objc::Ref<objc::NSDictionary> userInfo = nullptr);

void reportWrongHandler(objc::NSObject* given, const char* operation, const char* expected);

// A handler passed as an object, recovered by its signature. Nil stays nil;
// an object of any other kind is told in one log line, naming `operation`
// and `expected` (the signature it takes), and is treated as absent.
template <class Handler>
Handler* handlerOf(objc::NSObject* object, const char* operation, const char* expected) {
  auto* handler = objc::cast<Handler>(object);
  if (object && !handler) reportWrongHandler(object, operation, expected);
  return handler;
}

// ---- The notification framework, by name ----

// Nil below "10.0", where the framework's classes cannot be found by name.
objc::Id currentNotificationCenter();

// Sent as a message, so that nil answers no.
bool responds(objc::NSObject* object, objc::SEL selector);
bool isKindOfClassNamed(objc::NSObject* object, std::string_view className);
inline objc::Id property(objc::NSObject* object, objc::SEL name) { return objc::send<objc::Id>(object, name); }

// The system raises when a completion handler is called twice, and a host
// delegate is expected to call the one it is given, while the library
// completes the callback too. Everyone therefore gets this guard in front of
// the platform's handler: the first call, from whichever thread, reaches the
// platform; later calls are dropped. Nil for an absent handler.
template <class... A>
objc::Ref<objc::Block<void(A...)>> firstCallOnly(objc::Block<void(A...)>* platformHandler) {
  if (!platformHandler) return nullptr;
  auto called = std::make_shared<std::atomic<bool>>(false);
  return objc::makeBlock<void(A...)>(
      [platform = objc::Ref<objc::Block<void(A...)>>(platformHandler), called](A... args) {
        if (!called->exchange(true, std::memory_order_acq_rel)) (*platform)(args...);
      });
}

// ---- Notifications of the current interface (presentation, responses) ----

struct PlatformMessage {
  objc::Ref<OrvelNotificationMessage> message;
  objc::Id trigger;
};

// The message for a platform notification: `pushType` when it came from the
// push service, `otherType` for any other trigger or none.
PlatformMessage messageFromPlatformNotification(objc::NSObject* notification, OrvelNotificationMessageType pushType,
                                                OrvelNotificationMessageType otherType);

// Hands a notification of the current interface to the host's application
// delegate through its classic callbacks: a push to the remote-notification
// callback with the content's user info, anything else to the
// local-notification callback as a legacy notification.
void forwardToApplicationDelegate(OrvelContext* context, objc::NSObject* applicationDelegate,
                                  const PlatformMessage& built, bool fromPush);

}  // namespace orvel::detail

// The application-delegate interception: a host installs its delegate with a
// plain setDelegate: and from then on every push callback reaches the
// context first and the host's own implementation once, afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/OrvelTestSupport.h"

using namespace objc;
using orveltest::journal;
using orveltest::record;

namespace {

// Host delegates, written as a host application writes them.

// Implements all five push callbacks.
struct FullDelegate : NSObject {
  static Class class_();
  void didRegister(UIApplication*, NSData*) { record("host:token"); }
  void didFail(UIApplication*, NSError*) { record("host:failure"); }
  void didReceiveRemote(UIApplication*, NSDictionary*) { record("host:remote"); }
  void didReceiveLocal(UIApplication*, UILocalNotification*) { record("host:local"); }
  void didReceiveRemoteFetch(UIApplication*, NSDictionary*, UIBackgroundFetchResultHandler* handler) {
    record("host:fetch");
    if (handler) (*handler)(UIBackgroundFetchResultNoData);
  }
};
Class FullDelegate::class_() {
  static Class c =
      ClassBuilder<FullDelegate>("FullDelegate")
          .conforms("UIApplicationDelegate")
          .method<&FullDelegate::didRegister>("application:didRegisterForRemoteNotificationsWithDeviceToken:")
          .method<&FullDelegate::didFail>("application:didFailToRegisterForRemoteNotificationsWithError:")
          .method<&FullDelegate::didReceiveRemote>("application:didReceiveRemoteNotification:")
          .method<&FullDelegate::didReceiveLocal>("application:didReceiveLocalNotification:")
          .method<&FullDelegate::didReceiveRemoteFetch>(
              "application:didReceiveRemoteNotification:fetchCompletionHandler:")
          .build();
  return c;
}

// Implements only the plain remote-notification callback, and notes the
// selector it was reached under.
struct RemoteOnlyDelegate : NSObject {
  static Class class_();
  std::string reachedAs;
};
Class RemoteOnlyDelegate::class_() {
  static Class c = ClassBuilder<RemoteOnlyDelegate>("RemoteOnlyDelegate")
                       .conforms("UIApplicationDelegate")
                       .method("application:didReceiveRemoteNotification:",
                               [](RemoteOnlyDelegate* self, SEL cmd, UIApplication*, NSDictionary*) {
                                 self->reachedAs = sel_getName(cmd);
                                 record("host:remote");
                               })
                       .build();
  return c;
}

// Inherits its only callback.
struct InheritingDelegate : RemoteOnlyDelegate {
  static Class class_();
};
Class InheritingDelegate::class_() {
  static Class c = ClassBuilder<InheritingDelegate, RemoteOnlyDelegate>("InheritingDelegate").build();
  return c;
}

// Has the callbacks but does not declare the protocol.
struct NonConformingDelegate : NSObject {
  static Class class_();
  void didReceiveRemote(UIApplication*, NSDictionary*) { record("host:remote"); }
};
Class NonConformingDelegate::class_() {
  static Class c = ClassBuilder<NonConformingDelegate>("NonConformingDelegate")
                       .method<&NonConformingDelegate::didReceiveRemote>("application:didReceiveRemoteNotification:")
                       .build();
  return c;
}

// A host class whose own name carries the generated prefix.
struct PrefixedDelegate : NSObject {
  static Class class_();
};
Class PrefixedDelegate::class_() {
  static Class c = ClassBuilder<PrefixedDelegate>("Orvel_PrefixedDelegate").conforms("UIApplicationDelegate").build();
  return c;
}

const char* const kCallbacks[] = {
    "application:didRegisterForRemoteNotificationsWithDeviceToken:",
    "application:didFailToRegisterForRemoteNotificationsWithError:",
    "application:didReceiveRemoteNotification:",
    "application:didReceiveLocalNotification:",
    "application:didReceiveRemoteNotification:fetchCompletionHandler:",
};
const char* const kBackups[] = {
    "OrvelApplication:didRegisterForRemoteNotificationsWithDeviceToken:",
    "OrvelApplication:didFailToRegisterForRemoteNotificationsWithError:",
    "OrvelApplication:didReceiveRemoteNotification:",
    "OrvelApplication:didReceiveLocalNotification:",
    "OrvelApplication:didReceiveRemoteNotification:fetchCompletionHandler:",
};

std::vector<std::string> backupsOf(NSObject* delegate) {
  std::vector<std::string> found;
  for (const char* backup : kBackups) {
    if (delegate->respondsToSelector(NSSelectorFromString(backup))) found.push_back(backup);
  }
  return found;
}

unsigned int ownMethodCount(Class cls) {
  unsigned int count = 0;
  std::free(class_copyMethodList(cls, &count));
  return count;
}

UIApplication* app() { return UIApplication::sharedApplication(); }

class OrvelInterception : public ::testing::Test {
 protected:
  void SetUp() override {
    app()->setApplicationState(UIApplicationStateActive);
    orveltest::clearJournal();
  }
  orveltest::EventRecorder events;
};

TEST_F(OrvelInterception, DelegateWithOnlyTheRemoteCallbackAnswersAllFiveAndKeepsOneBackup) {
  auto delegate = make<RemoteOnlyDelegate>();
  orveltest::installApplicationDelegate(delegate);

  Class generated = object_getClass(delegate);
  EXPECT_STREQ(class_getName(generated), "Orvel_RemoteOnlyDelegate");
  EXPECT_EQ(class_getSuperclass(generated), RemoteOnlyDelegate::class_());
  for (const char* callback : kCallbacks)
    EXPECT_TRUE(delegate->respondsToSelector(NSSelectorFromString(callback))) << callback;
  EXPECT_EQ(backupsOf(delegate), std::vector<std::string>{"OrvelApplication:didReceiveRemoteNotification:"});
  EXPECT_EQ(ownMethodCount(generated), 6u) << "five intercepting functions and one backup";

  EXPECT_EQ(app()->delegate().get(), delegate.get()) << "the platform's own setter still installed it";
  EXPECT_EQ(OrvelContext::currentContext()->applicationDelegate().get(), delegate.get());

  send<void>(delegate, sel<"application:didReceiveRemoteNotification:">(), app(), orveltest::remotePayload("hi", 1));
  EXPECT_EQ(delegate->reachedAs, "OrvelApplication:didReceiveRemoteNotification:")
      << "the host's implementation is reached under its backup selector";
}

TEST_F(OrvelInterception, BackupsFollowWhatTheHostClassImplementsItselfOrInherits) {
  auto full = make<FullDelegate>();
  orveltest::installApplicationDelegate(full);
  EXPECT_EQ(backupsOf(full), std::vector<std::string>(std::begin(kBackups), std::end(kBackups)));
  EXPECT_EQ(ownMethodCount(object_getClass(full)), 10u);

  auto inheriting = make<InheritingDelegate>();
  orveltest::installApplicationDelegate(inheriting);
  EXPECT_STREQ(object_getClassName(inheriting), "Orvel_InheritingDelegate");
  EXPECT_EQ(backupsOf(inheriting), std::vector<std::string>{"OrvelApplication:didReceiveRemoteNotification:"});
  EXPECT_TRUE(full->isKindOfClass(FullDelegate::class_())) << "the object is still an instance of the host's class";
}

TEST_F(OrvelInterception, SecondDelegateOfTheSameClassReusesTheSubclass) {
  auto first = make<FullDelegate>();
  auto second = make<FullDelegate>();
  orveltest::installApplicationDelegate(first);
  int classes = objc_getClassCount();
  orveltest::installApplicationDelegate(second);

  EXPECT_EQ(objc_getClassCount(), classes) << "no second class";
  EXPECT_EQ(object_getClass(second), object_getClass(first));
  EXPECT_EQ(OrvelContext::currentContext()->applicationDelegate().get(), second.get());
  EXPECT_EQ(app()->delegate().get(), second.get());
}

TEST_F(OrvelInterception, HookedPrefixedAndNonConformingDelegatesAreLeftAlone) {
  auto first = make<FullDelegate>();
  auto second = make<FullDelegate>();
  orveltest::installApplicationDelegate(first);
  Class generated = object_getClass(first);
  orveltest::installApplicationDelegate(second);
  orveltest::installApplicationDelegate(first);  // held no longer, so the context hooks it again
  EXPECT_EQ(object_getClass(first), generated);
  EXPECT_EQ(objc_getClass("Orvel_Orvel_FullDelegate"), nullptr);

  auto prefixed = make<PrefixedDelegate>();
  orveltest::installApplicationDelegate(prefixed);
  EXPECT_EQ(object_getClass(prefixed), PrefixedDelegate::class_());
  EXPECT_EQ(objc_getClass("Orvel_Orvel_PrefixedDelegate"), nullptr);

  orveltest::spyOnContextDeliveryHandlers();
  orveltest::clearJournal();
  auto plain = make<NonConformingDelegate>();
  orveltest::installApplicationDelegate(plain);
  EXPECT_EQ(object_getClass(plain), NonConformingDelegate::class_());
  EXPECT_EQ(app()->delegate().get(), plain.get()) << "installed by the platform's setter all the same";
  send<void>(plain, sel<"application:didReceiveRemoteNotification:">(), app(), orveltest::remotePayload("x", 1));
  runMainUntilIdle();
  EXPECT_EQ(journal(), std::vector<std::string>{"host:remote"}) << "the context sees nothing of it";
  EXPECT_EQ(events.count(), 0u);
}

TEST_F(OrvelInterception, NilReachesThePlatformSetterAndLeavesTheContextsDelegate) {
  auto delegate = make<FullDelegate>();
  orveltest::installApplicationDelegate(delegate);
  int classes = objc_getClassCount();
  orveltest::installApplicationDelegate(nullptr);
  EXPECT_EQ(app()->delegate().get(), nullptr);
  EXPECT_EQ(OrvelContext::currentContext()->applicationDelegate().get(), delegate.get());
  EXPECT_EQ(objc_getClassCount(), classes);
}

TEST_F(OrvelInterception, ContextRunsBeforeTheHostAndEventsFollowOnTheMainQueueInOrder) {
  orveltest::spyOnContextDeliveryHandlers();
  auto delegate = make<FullDelegate>();
  orveltest::installApplicationDelegate(delegate);
  auto token = orveltest::bytes({0x01, 0xAB});
  auto error = NSError::errorWithDomain("NSCocoaErrorDomain", 3010);
  auto payload = orveltest::remotePayload("remote", 1);
  auto local = orveltest::localNotification("local");
  auto fetch = orveltest::makeFetchHandlerProbe();

  // The callbacks as the system makes them.
  send<void>(delegate, sel<"application:didRegisterForRemoteNotificationsWithDeviceToken:">(), app(), token);
  send<void>(delegate, sel<"application:didFailToRegisterForRemoteNotificationsWithError:">(), app(), error);
  send<void>(delegate, sel<"application:didReceiveRemoteNotification:">(), app(), payload);
  send<void>(delegate, sel<"application:didReceiveLocalNotification:">(), app(), local);
  send<void>(delegate, sel<"application:didReceiveRemoteNotification:fetchCompletionHandler:">(), app(), payload,
             fetch.handler);

  EXPECT_EQ(journal(), (std::vector<std::string>{
                           "context:didRegisterForRemoteNotificationsWithDeviceToken:",
                           "host:token",
                           "context:didFailToRegisterForRemoteNotificationsWithError:",
                           "host:failure",
                           "context:didReceiveRemoteNotification:",
                           "host:remote",
                           "context:didReceiveLocalNotification:",
                           "host:local",
                           "context:didReceiveRemoteNotification:",
                           "host:fetch",
                       }));
  EXPECT_EQ(events.count(), 0u) << "nothing is posted inside the callbacks";

  runMainUntilIdle();
  auto seen = events.events();
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].name, "OrvelDidRegisterRemoteNotification");
  EXPECT_EQ(seen[0].object, Id(token));
  EXPECT_EQ(seen[1].name, "OrvelFailedRegisterRemoteNotification");
  EXPECT_EQ(seen[1].object, Id(error));
  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeRemoteReceived);
  EXPECT_EQ(messages[1]->notificationMessageType(), OrvelNotificationMessageTypeLocalReceived);
  EXPECT_EQ(orveltest::text(messages[1]->content()->body()), "local");
  EXPECT_EQ(messages[2]->notificationMessageType(), OrvelNotificationMessageTypeRemoteReceived);
  for (const auto& e : seen) EXPECT_TRUE(e.onMainThread) << e.name;
}

TEST_F(OrvelInterception, HostWithoutACallbackStillGivesTheContextItsEvent) {
  orveltest::spyOnContextDeliveryHandlers();
  auto delegate = make<RemoteOnlyDelegate>();
  orveltest::installApplicationDelegate(delegate);
  send<void>(delegate, sel<"application:didFailToRegisterForRemoteNotificationsWithError:">(), app(),
             NSError::errorWithDomain("NSCocoaErrorDomain", 3000));
  send<void>(delegate, sel<"application:didReceiveLocalNotification:">(), app(), orveltest::localNotification("l"));
  EXPECT_EQ(journal(), (std::vector<std::string>{"context:didFailToRegisterForRemoteNotificationsWithError:",
                                                 "context:didReceiveLocalNotification:"}));
  runMainUntilIdle();
  EXPECT_EQ(events.count(), 2u);
}

TEST_F(OrvelInterception, ClearBadgeCommandIsSwallowedOnlyWhenItsValueIsTrue) {
  orveltest::spyOnContextDeliveryHandlers();
  auto delegate = make<FullDelegate>();
  orveltest::installApplicationDelegate(delegate);
  auto command = [](Id value) {
    return orveltest::localNotification("", NSDictionary::dictionaryWithEntries({{OrvelCommandClearBadge, value}}));
  };

  send<void>(delegate, sel<"application:didReceiveLocalNotification:">(), app(),
             command(NSNumber::numberWithBool(true)));
  send<void>(delegate, sel<"application:didReceiveLocalNotification:">(), app(), command(str("YES")));
  runMainUntilIdle();
  EXPECT_TRUE(journal().empty());
  EXPECT_EQ(events.count(), 0u);

  send<void>(delegate, sel<"application:didReceiveLocalNotification:">(), app(),
             command(NSNumber::numberWithBool(false)));
  runMainUntilIdle();
  EXPECT_EQ(journal(), (std::vector<std::string>{"context:didReceiveLocalNotification:", "host:local"}));
  EXPECT_EQ(events.count(), 1u);
}

}  // namespace

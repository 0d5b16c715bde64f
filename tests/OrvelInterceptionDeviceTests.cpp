// End to end on the simulated device (system "13.0"): the device launches
// the host, answers its registration and delivers pushes; the host installs
// nothing but its delegate, and the library hears of everything first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Device/Device.h"
#include "support/OrvelTestSupport.h"

using namespace objc;
using orveltest::journal;
using orveltest::record;

namespace {

// A host application's delegate. What its fetch callback does with the
// completion handler is up to the test.
enum class FetchBehaviour { CompleteAtOnce, CompleteLater };

struct DeviceHost : NSObject {
  static Class class_();
  FetchBehaviour behaviour = FetchBehaviour::CompleteAtOnce;
  Ref<UIBackgroundFetchResultHandler> kept;

  void didRegister(UIApplication*, NSData*) { record("host:token"); }
  void didFail(UIApplication*, NSError*) { record("host:failure"); }
  void didReceiveRemoteFetch(UIApplication*, NSDictionary*, UIBackgroundFetchResultHandler* handler) {
    record("host:fetch");
    if (behaviour == FetchBehaviour::CompleteAtOnce) {
      (*handler)(UIBackgroundFetchResultNoData);
    } else {
      kept = handler;
    }
  }
};
Class DeviceHost::class_() {
  static Class c =
      ClassBuilder<DeviceHost>("DeviceHost")
          .conforms("UIApplicationDelegate")
          .method<&DeviceHost::didRegister>("application:didRegisterForRemoteNotificationsWithDeviceToken:")
          .method<&DeviceHost::didFail>("application:didFailToRegisterForRemoteNotificationsWithError:")
          .method<&DeviceHost::didReceiveRemoteFetch>(
              "application:didReceiveRemoteNotification:fetchCompletionHandler:")
          .build();
  return c;
}

// Only the plain remote callback.
struct PlainDeviceHost : NSObject {
  static Class class_();
  void didReceiveRemote(UIApplication*, NSDictionary*) { record("host:remote"); }
};
Class PlainDeviceHost::class_() {
  static Class c = ClassBuilder<PlainDeviceHost>("PlainDeviceHost")
                       .conforms("UIApplicationDelegate")
                       .method<&PlainDeviceHost::didReceiveRemote>("application:didReceiveRemoteNotification:")
                       .build();
  return c;
}

// No remote callback at all.
struct QuietDeviceHost : NSObject {
  static Class class_();
};
Class QuietDeviceHost::class_() {
  static Class c = ClassBuilder<QuietDeviceHost>("QuietDeviceHost").conforms("UIApplicationDelegate").build();
  return c;
}

// Shares code between its two remote callbacks the common way: the fetch
// callback hands the push to the plain one.
struct ForwardingDeviceHost : NSObject {
  static Class class_();
  void didReceiveRemote(UIApplication*, NSDictionary*) { record("host:remote"); }
  void didReceiveRemoteFetch(UIApplication* app, NSDictionary* payload, UIBackgroundFetchResultHandler* handler) {
    record("host:fetch");
    send<void>(this, sel<"application:didReceiveRemoteNotification:">(), app, payload);
    (*handler)(UIBackgroundFetchResultNewData);
  }
};
Class ForwardingDeviceHost::class_() {
  static Class c = ClassBuilder<ForwardingDeviceHost>("ForwardingDeviceHost")
                       .conforms("UIApplicationDelegate")
                       .method<&ForwardingDeviceHost::didReceiveRemote>("application:didReceiveRemoteNotification:")
                       .method<&ForwardingDeviceHost::didReceiveRemoteFetch>(
                           "application:didReceiveRemoteNotification:fetchCompletionHandler:")
                       .build();
  return c;
}

template <class T>
Device::DelegateFactory factoryOf() {
  return [] { return Id(make<T>()); };
}

// The device's records of calls of the fetch completion handler.
std::vector<std::string> fetchCompletions(const Device& device) {
  std::vector<std::string> values;
  for (const auto& r : device.records("completion")) {
    if (r.get("callback") == "application:didReceiveRemoteNotification:fetchCompletionHandler:")
      values.push_back(r.get("value"));
  }
  return values;
}

class OrvelOnDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    UIDevice::currentDevice()->setSystemVersion("13.0");
    orveltest::clearJournal();
  }
  // Launches, moves to the background and delivers one push that asks for
  // background work; returns the hooked delegate.
  Id backgroundFetch(Device::DelegateFactory factory, FetchBehaviour behaviour = FetchBehaviour::CompleteAtOnce) {
    device.launch(std::move(factory));
    if (auto* host = cast<DeviceHost>(device.applicationDelegate().get())) host->behaviour = behaviour;
    device.setState(AppState::Background);
    device.clearRecords();
    device.push(orveltest::silentPayload());
    return device.applicationDelegate();
  }

  Device device;
  orveltest::EventRecorder events;
};

TEST_F(OrvelOnDevice, LaunchedDelegateIsHookedAndRegistrationIsBroadcast) {
  device.launch(factoryOf<DeviceHost>());
  EXPECT_STREQ(object_getClassName(device.applicationDelegate()), "Orvel_DeviceHost");
  EXPECT_EQ(OrvelContext::currentContext()->applicationDelegate(), device.applicationDelegate());

  orveltest::spyOnContextDeliveryHandlers();
  UIApplication::sharedApplication()->registerForRemoteNotifications();
  device.settle();
  auto error = NSError::errorWithDomain("NSCocoaErrorDomain", 3010);
  device.setRemoteRegistrationError(error);
  UIApplication::sharedApplication()->registerForRemoteNotifications();
  device.settle();

  EXPECT_EQ(journal(),
            (std::vector<std::string>{"context:didRegisterForRemoteNotificationsWithDeviceToken:", "host:token",
                                      "context:didFailToRegisterForRemoteNotificationsWithError:", "host:failure"}));
  auto seen = events.events();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].name, "OrvelDidRegisterRemoteNotification");
  EXPECT_EQ(seen[0].object, Id(device.deviceToken()));
  ASSERT_TRUE(seen[0].userInfo);
  std::string hex = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";
  EXPECT_EQ(orveltest::text(seen[0].userInfo->objectForKey("deviceToken")), hex);
  EXPECT_EQ(seen[1].name, "OrvelFailedRegisterRemoteNotification");
  EXPECT_EQ(seen[1].object, Id(error));

  bool logged = false;
  for (const auto& r : device.records("log")) logged |= r.get("line") == "deviceToken:" + hex;
  EXPECT_TRUE(logged);
}

TEST_F(OrvelOnDevice, HostCompletingAtOnceReachesTheDeviceOnceWithItsValue) {
  backgroundFetch(factoryOf<DeviceHost>());
  EXPECT_EQ(journal(), std::vector<std::string>{"host:fetch"});
  EXPECT_EQ(fetchCompletions(device), std::vector<std::string>{std::to_string(UIBackgroundFetchResultNoData)});
  device.advance(Device::kFetchCompletionLimit + 1);
  EXPECT_TRUE(device.faults().empty());

  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeRemoteReceived) << "a silent push";
}

TEST_F(OrvelOnDevice, HostCompletingLaterIsDroppedAfterTheLibrarysZero) {
  Id delegate = backgroundFetch(factoryOf<DeviceHost>(), FetchBehaviour::CompleteLater);
  EXPECT_EQ(fetchCompletions(device), std::vector<std::string>{"0"});

  auto* host = cast<DeviceHost>(delegate.get());
  ASSERT_TRUE(host && host->kept);
  (*host->kept)(UIBackgroundFetchResultNewData);
  device.settle();
  EXPECT_EQ(fetchCompletions(device), std::vector<std::string>{"0"});
  EXPECT_TRUE(device.faults().empty()) << "the system never sees a second call";
}

TEST_F(OrvelOnDevice, HostWithThePlainCallbackOrNoneStillCompletesOnce) {
  backgroundFetch(factoryOf<PlainDeviceHost>());
  EXPECT_EQ(journal(), std::vector<std::string>{"host:remote"});
  EXPECT_EQ(fetchCompletions(device), std::vector<std::string>{"0"});
  EXPECT_TRUE(device.faults().empty());

  device.terminate();
  orveltest::clearJournal();
  backgroundFetch(factoryOf<QuietDeviceHost>());
  EXPECT_TRUE(journal().empty());
  EXPECT_EQ(fetchCompletions(device), std::vector<std::string>{"0"});
  device.advance(Device::kFetchCompletionLimit + 1);
  EXPECT_TRUE(device.faults().empty());
  EXPECT_EQ(events.messages().size(), 2u);
}

TEST_F(OrvelOnDevice, OpeningADeliveredPushGivesAnOpenedMessageAndLowersTheBadge) {
  device.launch(factoryOf<PlainDeviceHost>());
  device.setState(AppState::Background);
  device.push(orveltest::remotePayload("tap me", 3));
  EXPECT_EQ(UIApplication::sharedApplication()->applicationIconBadgeNumber(), 3);
  EXPECT_EQ(events.count(), 0u) << "shown by the system only";

  ASSERT_TRUE(device.openLatest());
  EXPECT_EQ(journal(), std::vector<std::string>{"host:remote"});
  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeRemoteOpened);
  EXPECT_EQ(orveltest::text(messages[0]->content()->body()), "tap me");
  EXPECT_EQ(UIApplication::sharedApplication()->applicationIconBadgeNumber(), 2);
  EXPECT_EQ(device.state(), AppState::Active);
  EXPECT_TRUE(device.faults().empty());
}

TEST_F(OrvelOnDevice, AHostForwardingOneCallbackToAnotherGivesTheLibraryThePushOnce) {
  orveltest::spyOnContextDeliveryHandlers();
  backgroundFetch(factoryOf<ForwardingDeviceHost>());
  EXPECT_EQ(journal(), (std::vector<std::string>{"context:didReceiveRemoteNotification:", "host:fetch", "host:remote"}))
      << "the host's code runs as written";
  EXPECT_EQ(events.messages().size(), 1u);
  EXPECT_EQ(fetchCompletions(device), std::vector<std::string>{std::to_string(UIBackgroundFetchResultNewData)});
  EXPECT_TRUE(device.faults().empty());
}

TEST_F(OrvelOnDevice, ADelegateSubclassedAgainAfterHookingIsNotHookedTwice) {
  auto host = make<DeviceHost>();
  device.launch(host.get());
  // What key-value observing does to an observed object: a class of its own
  // below the one it has.
  Class generated = object_getClass(host);
  Class observed = objc_allocateClassPair(generated, "KVOLike_Orvel_DeviceHost", 0);
  ASSERT_TRUE(observed);
  objc_registerClassPair(observed);
  object_setClass(host, observed);
  // Installed again: another delegate first, so that the context takes it anew.
  orveltest::installApplicationDelegate(make<QuietDeviceHost>());
  orveltest::installApplicationDelegate(host);
  EXPECT_EQ(object_getClass(host), observed);
  EXPECT_EQ(objc_getClass("Orvel_KVOLike_Orvel_DeviceHost"), nullptr);

  orveltest::spyOnContextDeliveryHandlers();
  orveltest::clearJournal();
  device.setState(AppState::Background);
  device.push(orveltest::silentPayload());
  EXPECT_EQ(journal(), (std::vector<std::string>{"context:didReceiveRemoteNotification:", "host:fetch"}));
  EXPECT_EQ(events.messages().size(), 1u);
  EXPECT_TRUE(device.faults().empty());
}

}  // namespace

// The delivery handlers: what each logs, which message it builds, how it
// moves the badge, and that its event arrives on a later main-queue turn.
#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "UserNotifications/UserNotifications.h"
#include "support/OrvelTestSupport.h"

using namespace objc;
using orveltest::text;

namespace {

UIApplication* app() { return UIApplication::sharedApplication(); }

class OrvelDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    UIDevice::currentDevice()->setSystemVersion("13.0");
    app()->setApplicationState(UIApplicationStateActive);
    app()->setApplicationIconBadgeNumber(0);
    context = OrvelContext::currentContext();
  }
  // Sends `selector` to the context as the interception does, then turns
  // the main queue.
  void deliver(SEL selector, NSObject* argument) {
    send<void>(context, selector, argument);
    EXPECT_EQ(events.count(), 0u) << "posted only from a later main-queue turn";
    runMainUntilIdle();
  }
  Ref<OrvelNotificationMessage> onlyMessage() {
    auto messages = events.messages();
    EXPECT_EQ(messages.size(), 1u);
    return messages.empty() ? nullptr : messages[0];
  }

  OrvelContext* context = nullptr;
  orveltest::EventRecorder events;
  orveltest::LogCapture log;
};

TEST_F(OrvelDelivery, DeviceTokenIsPostedAsGivenWithItsHexText) {
  auto token = orveltest::bytes({0x01, 0xAB});
  deliver(sel<"didRegisterForRemoteNotificationsWithDeviceToken:">(), token);
  auto seen = events.events();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].name, "OrvelDidRegisterRemoteNotification");
  EXPECT_EQ(seen[0].object, Id(token)) << "the very buffer the system delivered";
  ASSERT_TRUE(seen[0].userInfo);
  EXPECT_EQ(seen[0].userInfo->count(), 1u);
  EXPECT_EQ(text(seen[0].userInfo->objectForKey("deviceToken")), "01AB");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"deviceToken:01AB"});
}

TEST_F(OrvelDelivery, TokenThatIsNotAByteBufferIsPostedWithoutUserInfo) {
  auto notBytes = str("01AB");
  deliver(sel<"didRegisterForRemoteNotificationsWithDeviceToken:">(), notBytes);
  auto seen = events.events();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].object, Id(notBytes));
  EXPECT_FALSE(seen[0].userInfo);
}

TEST_F(OrvelDelivery, RegistrationFailureCarriesTheErrorAndLogsIt) {
  auto error = NSError::errorWithDomain("NSCocoaErrorDomain", 3010);
  deliver(sel<"didFailToRegisterForRemoteNotificationsWithError:">(), error);
  auto seen = events.events();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].name, "OrvelFailedRegisterRemoteNotification");
  EXPECT_EQ(seen[0].object, Id(error));
  EXPECT_FALSE(seen[0].userInfo);
  EXPECT_EQ(log.lines(), std::vector<std::string>{error->description()});
}

TEST_F(OrvelDelivery, RemoteNotificationTypeAndBadgeFollowStateAndSilence) {
  struct Case {
    const char* name;
    UIApplicationState state;
    Ref<NSObject> payload;
    int64_t badgeAfter;
    OrvelNotificationMessageType type;
    bool hasContent;
  };
  // An alert that also asks for background work, without sound or badge:
  // silent by its fields, yet the user sees it.
  auto silentAlert = NSDictionary::dictionaryWithEntries(
      {{str("aps"), NSDictionary::dictionaryWithEntries(
                        {{str("alert"), str("hi")}, {str("content-available"), NSNumber::numberWithInt(1)}})}});
  const Case cases[] = {
      {"visible, background: the system's delivery, not the user's", UIApplicationStateBackground,
       orveltest::remotePayload("hi", 9), 5, OrvelNotificationMessageTypeRemoteReceived, true},
      {"visible, inactive: the user's tap", UIApplicationStateInactive, orveltest::remotePayload("hi", 9), 4,
       OrvelNotificationMessageTypeRemoteOpened, true},
      {"silent with an alert, inactive", UIApplicationStateInactive, silentAlert, 4,
       OrvelNotificationMessageTypeRemoteOpened, true},
      {"silent with an alert, background", UIApplicationStateBackground, silentAlert, 5,
       OrvelNotificationMessageTypeRemoteReceived, true},
      {"silent, inactive", UIApplicationStateInactive, orveltest::silentPayload(), 5,
       OrvelNotificationMessageTypeRemoteReceived, true},
      {"visible, active", UIApplicationStateActive, orveltest::remotePayload("hi", 9), 5,
       OrvelNotificationMessageTypeRemoteReceived, true},
      {"silent, background", UIApplicationStateBackground, orveltest::silentPayload(), 5,
       OrvelNotificationMessageTypeRemoteReceived, true},
      {"not a dictionary, inactive", UIApplicationStateInactive, str("payload"), 5,
       OrvelNotificationMessageTypeRemoteReceived, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    orveltest::EventRecorder recorder;
    app()->setApplicationIconBadgeNumber(5);
    app()->setApplicationState(c.state);
    send<void>(context, sel<"didReceiveRemoteNotification:">(), c.payload);
    EXPECT_EQ(app()->applicationIconBadgeNumber(), c.badgeAfter) << "adjusted at once, within the handler";
    runMainUntilIdle();
    auto messages = recorder.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]->notificationMessageType(), c.type);
    EXPECT_EQ(messages[0]->content() != nullptr, c.hasContent);
    EXPECT_EQ(messages[0]->identifier(), nullptr);
  }
  EXPECT_EQ(log.lines().size(), std::size(cases)) << "each payload is logged";
}

TEST_F(OrvelDelivery, FromTenACentreWithADelegateGetsTheTapSoAnInactiveCallbackIsNoOpening) {
  UNUserNotificationCenter::currentNotificationCenter()->setDelegate(context);
  app()->setApplicationIconBadgeNumber(5);
  app()->setApplicationState(UIApplicationStateInactive);
  deliver(sel<"didReceiveRemoteNotification:">(), orveltest::remotePayload("woken", 9));
  auto message = onlyMessage();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->notificationMessageType(), OrvelNotificationMessageTypeRemoteReceived);
  EXPECT_EQ(app()->applicationIconBadgeNumber(), 5);
}

TEST_F(OrvelDelivery, RemoteContentIsTakenFromASnapshotOfThePayload) {
  auto payload = NSMutableDictionary::dictionaryWithDictionary(orveltest::remotePayload("first", 1));
  std::string logged = payload->description();
  send<void>(context, sel<"didReceiveRemoteNotification:">(), payload);
  payload->setObject(str("later"), "extra");
  runMainUntilIdle();
  auto message = onlyMessage();
  ASSERT_TRUE(message && message->content());
  EXPECT_EQ(text(message->content()->body()), "first");
  EXPECT_EQ(message->content()->userInfo()->objectForKey("extra"), nullptr);
  EXPECT_EQ(log.lines(), std::vector<std::string>{logged});
}

TEST_F(OrvelDelivery, LocalNotificationFieldsIdentifierAndType) {
  auto local = orveltest::localNotification(
      "body", NSDictionary::dictionaryWithEntries({{OrvelIdentifierKey, str("req-7")}, {str("k"), str("v")}}));
  local->setAlertTitle(str("title"));
  local->setSoundName(str("ding.caf"));
  deliver(sel<"didReceiveLocalNotification:">(), local);

  auto message = onlyMessage();
  ASSERT_TRUE(message && message->content());
  EXPECT_EQ(message->notificationMessageType(), OrvelNotificationMessageTypeLocalReceived);
  EXPECT_EQ(text(message->identifier()), "req-7");
  OrvelNotificationContent* content = message->content();
  EXPECT_EQ(text(content->title()), "title");
  EXPECT_EQ(text(content->body()), "body");
  EXPECT_EQ(text(content->sound()), "ding.caf");
  ASSERT_TRUE(content->badge());
  EXPECT_EQ(content->badge()->integerValue(), 0) << "a badge number of 0 is still carried";
  EXPECT_EQ(text(content->userInfo()->objectForKey("k")), "v");
  EXPECT_EQ(content->subTitle(), nullptr);
  EXPECT_FALSE(content->silentPush());
  EXPECT_EQ(app()->applicationIconBadgeNumber(), 0);
  EXPECT_TRUE(log.lines().empty()) << "the local handler logs nothing";
}

TEST_F(OrvelDelivery, LocalNotificationWithoutUserInfoOrBefore82) {
  UIDevice::currentDevice()->setSystemVersion("8.1");
  auto local = orveltest::localNotification("body");
  local->setAlertTitle(str("title"));
  local->setApplicationIconBadgeNumber(3);
  deliver(sel<"didReceiveLocalNotification:">(), local);
  auto message = onlyMessage();
  ASSERT_TRUE(message && message->content());
  EXPECT_EQ(message->identifier(), nullptr);
  EXPECT_EQ(message->content()->userInfo(), nullptr);
  EXPECT_EQ(message->content()->title(), nullptr) << "no alert title below 8.2";
  EXPECT_EQ(message->content()->badge()->integerValue(), 3);
}

TEST_F(OrvelDelivery, LocalNotificationOpenedLowersTheBadgeWhateverItCarries) {
  app()->setApplicationState(UIApplicationStateBackground);
  app()->setApplicationIconBadgeNumber(1);
  deliver(sel<"didReceiveLocalNotification:">(), orveltest::localNotification("opened"));
  auto message = onlyMessage();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->notificationMessageType(), OrvelNotificationMessageTypeLocalOpened);
  EXPECT_EQ(app()->applicationIconBadgeNumber(), -1) << "from 1, setBadge: 0 clears it by the 13.0 rule";

  orveltest::EventRecorder second;
  app()->setApplicationIconBadgeNumber(0);
  send<void>(context, sel<"didReceiveLocalNotification:">(), orveltest::localNotification("again"));
  runMainUntilIdle();
  EXPECT_EQ(app()->applicationIconBadgeNumber(), 0) << "nothing to clear from 0";
  ASSERT_EQ(second.messages().size(), 1u);
  EXPECT_EQ(second.messages()[0]->notificationMessageType(), OrvelNotificationMessageTypeLocalOpened);
}

TEST_F(OrvelDelivery, EventsOfSuccessiveCallbacksKeepTheirOrder) {
  for (int i = 0; i < 20; ++i) {
    if (i % 2) {
      send<void>(context, sel<"didReceiveRemoteNotification:">(), orveltest::remotePayload(std::to_string(i), 0));
    } else {
      send<void>(context, sel<"didReceiveLocalNotification:">(), orveltest::localNotification(std::to_string(i)));
    }
  }
  runMainUntilIdle();
  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(text(messages[i]->content()->body()), std::to_string(i));
}

}  // namespace

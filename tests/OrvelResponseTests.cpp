// The user acting on a notification, and asking for the notification
// settings: the badge goes down by one, the opened message is broadcast, the
// platform is answered once, before the host hears of it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Device/Device.h"
#include "support/OrvelCenterTestSupport.h"

using namespace objc;
using orveltest::ClassicHost;
using orveltest::journal;
using orveltest::record;
using orveltest::SilentCentreHost;
using orveltest::text;

namespace {

const char* const kSettingsLine =
    "====== iOS12以后新增[UNUserNotificationCenter userNotificationCenter:openSettingsForNotification:] ====== ";

// The host's notification-centre delegate: calls the handler it is given,
// twice, as a careless host might.
struct RespondingCentreHost : NSObject {
  static Class class_();
  Id center, notification;

  void didReceive(NSObject*, NSObject*, NSObject* handler) {
    record("host:response");
    auto* completion = cast<UNResponseCompletionHandler>(handler);
    callBlock(completion);
    callBlock(completion);
  }
  void openSettings(NSObject* c, NSObject* n) {
    record("host:settings");
    center = c;
    notification = n;
  }
};
Class RespondingCentreHost::class_() {
  static Class c =
      ClassBuilder<RespondingCentreHost>("RespondingCentreHost")
          .conforms("UNUserNotificationCenterDelegate")
          .method<&RespondingCentreHost::didReceive>(
              "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:")
          .method<&RespondingCentreHost::openSettings>("userNotificationCenter:openSettingsForNotification:")
          .build();
  return c;
}

UIApplication* app() { return UIApplication::sharedApplication(); }
UNUserNotificationCenter* centre() { return UNUserNotificationCenter::currentNotificationCenter(); }
OrvelContext* context() { return OrvelContext::currentContext(); }

const char* const kResponseCallback = "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:";

class OrvelResponse : public ::testing::Test {
 protected:
  void SetUp() override {
    UIDevice::currentDevice()->setSystemVersion("13.0");
    orveltest::clearJournal();
    device.launch([] { return Id(make<ClassicHost>()); });
    host = cast<ClassicHost>(device.applicationDelegate().get());
    ASSERT_NE(host, nullptr);
    // What the library's own registration does to the centre.
    performSelector(centre(), sel<"setDelegate:">(), context());
  }

  // A push shown while in the background, then opened by the user.
  Ref<NSDictionary> openPush(int64_t badge) {
    device.setState(AppState::Background);
    auto payload = orveltest::remotePayload("tap", badge);
    device.push(payload);
    device.clearRecords();
    EXPECT_TRUE(device.openLatest());
    return payload;
  }
  std::vector<std::string> responseCompletions() const {
    std::vector<std::string> calls;
    for (const auto& r : device.records("completion"))
      if (r.get("callback") == kResponseCallback) calls.push_back(r.get("call"));
    return calls;
  }
  std::vector<std::string> badgeWrites() const {
    std::vector<std::string> values;
    for (const auto& r : device.records("badge")) values.push_back(r.get("value"));
    return values;
  }

  Device device;
  orveltest::EventRecorder events;
  ClassicHost* host = nullptr;
};

TEST_F(OrvelResponse, OpenedPushLowersTheBadgeAndReachesTheClassicRemoteCallback) {
  auto payload = openPush(3);
  EXPECT_EQ(app()->applicationIconBadgeNumber(), 2);
  EXPECT_EQ(badgeWrites(), std::vector<std::string>{"2"});

  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeRemoteOpened);
  EXPECT_EQ(text(messages[0]->content()->body()), "tap");

  EXPECT_EQ(journal(), std::vector<std::string>{"host:remote"});
  ASSERT_TRUE(host->remoteUserInfo);
  EXPECT_TRUE(host->remoteUserInfo->isEqual(payload));
  EXPECT_EQ(responseCompletions(), std::vector<std::string>{"1"});
  EXPECT_TRUE(device.faults().empty());
}

TEST_F(OrvelResponse, BadgeOfOneIsClearedAndZeroStays) {
  openPush(1);
  EXPECT_EQ(badgeWrites(), std::vector<std::string>{"-1"}) << "hidden, keeping the other notices";
  EXPECT_LE(app()->applicationIconBadgeNumber(), 0);

  openPush(0);
  EXPECT_TRUE(badgeWrites().empty());
  EXPECT_EQ(app()->applicationIconBadgeNumber(), 0);
  EXPECT_EQ(events.messages().size(), 2u);
}

TEST_F(OrvelResponse, OpenedLocalRequestIsTypeThreeAndReachesTheClassicLocalCallback) {
  device.setState(AppState::Background);
  auto content = orveltest::platformContent("stretch");
  content->setBadge(NSNumber::numberWithInteger(4));
  centre()->addNotificationRequest(
      UNNotificationRequest::requestWithIdentifier(
          str("stretch-1"), content, UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(60, false)),
      nullptr);
  device.advance(60);
  ASSERT_EQ(device.deliveredIdentifiers(), std::vector<std::string>{"stretch-1"});
  device.advance(5);
  ASSERT_TRUE(device.openLatest());

  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeLocalOpened);
  EXPECT_EQ(text(messages[0]->identifier()), "stretch-1");
  EXPECT_EQ(app()->applicationIconBadgeNumber(), 3);

  EXPECT_EQ(journal(), std::vector<std::string>{"host:local"});
  ASSERT_TRUE(host->local && host->local->fireDate());
  EXPECT_DOUBLE_EQ(host->local->fireDate()->timeIntervalSince1970(), device.now()) << "the moment it was opened";
  EXPECT_EQ(text(host->local->alertBody()), "stretch");
  EXPECT_EQ(host->local->applicationIconBadgeNumber(), 4);
  EXPECT_EQ(responseCompletions(), std::vector<std::string>{"1"});
}

TEST_F(OrvelResponse, LibraryCompletesBeforeTheHostWhoseOwnCallsAreDropped) {
  auto centreHost = make<RespondingCentreHost>();
  centre()->setDelegate(centreHost);
  device.setRecordObserver([](const DeviceRecord& r) {
    if (r.kind == "completion" && r.get("callback") == kResponseCallback) record("platform:completion");
  });
  openPush(2);

  EXPECT_EQ(journal(), (std::vector<std::string>{"platform:completion", "host:response"}))
      << "the host's centre delegate takes it; the classic callback is not used";
  EXPECT_EQ(responseCompletions(), std::vector<std::string>{"1"});
  EXPECT_TRUE(device.faults().empty()) << "the system never sees a second call";
  EXPECT_EQ(events.messages().size(), 1u);
}

TEST_F(OrvelResponse, CentreDelegateWithoutTheCallbackIsSkipped) {
  auto silent = make<SilentCentreHost>();
  centre()->setDelegate(silent);
  openPush(2);
  EXPECT_EQ(journal(), std::vector<std::string>{"host:remote"});
  EXPECT_EQ(responseCompletions(), std::vector<std::string>{"1"});
  EXPECT_EQ(events.messages().size(), 1u);
}

TEST_F(OrvelResponse, SettingsAreLoggedThenForwarded) {
  device.setRecordObserver([](const DeviceRecord& r) {
    if (r.kind == "log") record("log:" + r.get("line"));
  });
  ASSERT_TRUE(device.openSettings());
  EXPECT_EQ(journal(), std::vector<std::string>{std::string("log:") + kSettingsLine}) << "no host delegate yet";

  auto centreHost = make<RespondingCentreHost>();
  centre()->setDelegate(centreHost);
  orveltest::clearJournal();
  auto notification = orveltest::platformNotification("s-1", orveltest::platformContent("s"), nullptr);
  ASSERT_TRUE(device.openSettings(notification));
  EXPECT_EQ(journal(), (std::vector<std::string>{std::string("log:") + kSettingsLine, "host:settings"}));
  EXPECT_EQ(centreHost->center.get(), centre());
  EXPECT_EQ(centreHost->notification.get(), notification.get());
  EXPECT_EQ(events.count(), 0u);
}

// Called as the centre calls it, without a host.
TEST(OrvelResponseCall, MissingTriggerIsALocalOpenAndTheHandlerIsCalledOnce) {
  UIDevice::currentDevice()->setSystemVersion("13.0");
  orveltest::EventRecorder events;
  auto notification = orveltest::platformNotification("plain", orveltest::platformContent("plain"), nullptr);
  auto probe = orveltest::makeResponseProbe();
  orveltest::sendDidReceiveResponse(UNNotificationResponse::responseWithNotification(notification), probe.handler);
  EXPECT_EQ(probe.calls(), 1) << "before the operation returns";
  runMainUntilIdle();
  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeLocalOpened);
  EXPECT_EQ(text(messages[0]->identifier()), "plain");

  orveltest::sendDidReceiveResponse(UNNotificationResponse::responseWithNotification(notification), nullptr);
  runMainUntilIdle();
  EXPECT_EQ(events.messages().size(), 2u) << "an absent handler is skipped";
}

}  // namespace

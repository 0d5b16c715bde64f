#include "support.h"

namespace device_test {
namespace {

using Calls = std::vector<std::string>;

TEST_F(DeviceTest, OpeningANoticeBringsTheApplicationForwardInactiveDuringTheCallback) {
  struct Case {
    const char* version;
    Calls expected;
  } cases[] = {{"9.3", {"willEnterForeground@background", "fetch@inactive", "didBecomeActive@active"}},
               {"10.0", {"willEnterForeground@background", "response@inactive", "didBecomeActive@active"}}};
  for (const auto& c : cases) {
    useVersion(c.version);
    launch(kFullHost | kLifecycle);
    device->setState(AppState::Background);
    auto id = device->push(json(kVisible));
    takeCalls();
    EXPECT_EQ(device->deliveredIdentifiers(), std::vector<std::string>{id->utf8()});

    ASSERT_TRUE(device->open(id));
    EXPECT_EQ(takeCalls(), c.expected) << c.version;
    EXPECT_EQ(device->state(), AppState::Active);
    EXPECT_TRUE(device->deliveredIdentifiers().empty()) << "opening removes it from the list";
    EXPECT_TRUE(app->notices().empty());
    EXPECT_FALSE(device->open(id)) << "it is gone";
    device->terminate();
  }
  ASSERT_TRUE(host->response);
  EXPECT_TRUE(host->response->actionIdentifier()->isEqual(UNNotificationDefaultActionIdentifier()));
  EXPECT_NE(cast<UNPushNotificationTrigger>(host->response->notification()->request()->trigger()), nullptr);
}

TEST_F(DeviceTest, OpeningANoticeOfANotRunningApplicationLaunchesItWithTheNotification) {
  struct Case {
    const char* version;
    Calls expected;
  } cases[] = {{"9.3", {"launch@inactive", "fetch@inactive"}}, {"10.0", {"launch@inactive", "response@inactive"}}};
  for (const auto& c : cases) {
    useVersion(c.version);
    launch(kFullHost);
    device->terminate();
    auto id = device->push(json(kVisible));
    ASSERT_TRUE(device->openLatest());
    EXPECT_EQ(device->state(), AppState::Active);
    EXPECT_EQ(takeCalls(), c.expected) << c.version;
    ASSERT_TRUE(host->launchOptions);
    auto* payload = asDictionary(host->launchOptions->objectForKey(UIApplicationLaunchOptionsRemoteNotificationKey()));
    ASSERT_NE(payload, nullptr) << c.version;
    EXPECT_EQ(asString(payload->objectForKey("k"))->utf8(), "v");
    EXPECT_TRUE(device->deliveredIdentifiers().empty());
    device->terminate();
  }
}

TEST_F(DeviceTest, LegacyLocalNotificationFiresInTheForegroundAndIsOpenedFromTheBackground) {
  useVersion("9.3");
  launch(kFullHost);
  takeCalls();
  auto schedule = [&](double in, const char* body) {
    auto n = make<UILocalNotification>();
    n->setAlertBody(str(body));
    n->setApplicationIconBadgeNumber(2);
    n->setFireDate(NSDate::dateWithTimeIntervalSince1970(device->now() + in));
    app->scheduleLocalNotification(n);
  };
  schedule(60, "first");
  device->advance(59);
  EXPECT_EQ(takeCalls(), Calls{});
  device->advance(1);
  EXPECT_EQ(takeCalls(), Calls{"local@active"});
  EXPECT_EQ(host->local->alertBody()->utf8(), "first");
  EXPECT_EQ(app->applicationIconBadgeNumber(), 0) << "a frontmost application gets no badge";
  EXPECT_TRUE(app->scheduledEntries().empty()) << "a notification without repeat leaves the schedule when it fires";

  schedule(30, "second");
  device->setState(AppState::Background);
  device->advance(30);
  EXPECT_EQ(takeCalls(), Calls{});
  ASSERT_EQ(app->notices().size(), 1u);
  ASSERT_TRUE(device->openLatest());
  EXPECT_EQ(takeCalls(), Calls{"local@inactive"});
  EXPECT_EQ(host->local->alertBody()->utf8(), "second");
  EXPECT_TRUE(app->notices().empty());
}

TEST_F(DeviceTest, ALegacyLocalNotificationLaunchesTheApplicationInItsLaunchOptions) {
  useVersion("9.3");
  launch(kFullHost);
  auto n = make<UILocalNotification>();
  n->setAlertBody(str("wake up"));
  n->setFireDate(NSDate::dateWithTimeIntervalSince1970(device->now() + 10));
  app->scheduleLocalNotification(n);
  device->terminate();
  device->advance(10);
  ASSERT_EQ(app->notices().size(), 1u) << "it fires while the application is not running";

  Ref<NSDictionary> broadcastInfo;
  auto token = NSNotificationCenter::defaultCenter()->addObserverForName(
      UIApplicationDidFinishLaunchingNotification(), nullptr, nullptr,
      [&](NSNotification* note) { broadcastInfo = note->userInfo(); });
  ASSERT_TRUE(device->openLatest());
  NSNotificationCenter::defaultCenter()->removeObserver(token);

  EXPECT_EQ(takeCalls(), Calls{"launch@inactive"});
  ASSERT_TRUE(broadcastInfo);
  auto* launched =
      cast<UILocalNotification>(broadcastInfo->objectForKey(UIApplicationLaunchOptionsLocalNotificationKey()));
  ASSERT_NE(launched, nullptr);
  EXPECT_EQ(launched->alertBody()->utf8(), "wake up");
  EXPECT_TRUE(host->launchOptions->isEqual(broadcastInfo.get()));
}

TEST_F(DeviceTest, OpeningTheNotificationSettingsExistsFrom12) {
  useVersion("10.0");
  launch(kFullHost);
  takeCalls();
  EXPECT_FALSE(device->openSettings());
  EXPECT_EQ(takeCalls(), Calls{});

  useVersion("12.0");
  device->setState(AppState::Background);
  auto id = device->push(json(kVisible));
  EXPECT_TRUE(device->openSettings(centre->deliveredNotifications().front()));
  EXPECT_EQ(takeCalls(), Calls{"settings@inactive"});
  EXPECT_EQ(host->presented->request()->identifier()->utf8(), id->utf8());
  EXPECT_EQ(device->state(), AppState::Active);
}

}  // namespace
}  // namespace device_test

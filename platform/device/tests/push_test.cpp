#include <string>

#include "support.h"

namespace device_test {
namespace {

using Calls = std::vector<std::string>;

TEST_F(DeviceTest, Below10EveryPushReachesTheActiveAppAndOnlyBackgroundWorkTheOthers) {
  useVersion("9.3");
  launch(kFullHost);
  EXPECT_EQ(takeCalls(), Calls{"launch@inactive"});

  for (const char* payload : {kVisible, kSilent, kVisibleAndSilent}) {
    device->push(json(payload));
    EXPECT_EQ(takeCalls(), Calls{"fetch@active"}) << payload;
  }
  EXPECT_TRUE(app->notices().empty()) << "nothing is shown to an active application";
  EXPECT_EQ(app->applicationIconBadgeNumber(), 0);

  device->setState(AppState::Background);
  device->push(json(kVisible));
  EXPECT_EQ(takeCalls(), Calls{});
  EXPECT_EQ(app->notices().size(), 1u);
  EXPECT_EQ(app->applicationIconBadgeNumber(), 3);
  device->push(json(kSilent));
  EXPECT_EQ(takeCalls(), Calls{"fetch@background"});
  EXPECT_EQ(app->notices().size(), 1u);
  device->push(json(kVisibleAndSilent));
  EXPECT_EQ(takeCalls(), Calls{"fetch@background"});
  EXPECT_EQ(app->notices().size(), 2u);
  EXPECT_EQ(app->applicationIconBadgeNumber(), 4);
  EXPECT_EQ(centre->deliveredNotifications().size(), 0u) << "below 10.0 the notice bar is the only list";
}

TEST_F(DeviceTest, Below10AHostWithoutTheFetchCallbackHearsOnlyInTheForeground) {
  useVersion("9.3");
  launch(kLaunch | kRemote);
  takeCalls();
  device->push(json(kSilent));
  EXPECT_EQ(takeCalls(), Calls{"remote@active"});
  device->setState(AppState::Background);
  device->push(json(kSilent));
  EXPECT_EQ(takeCalls(), Calls{});
  EXPECT_EQ(device->records("fault").size(), 0u);
}

TEST_F(DeviceTest, ABackgroundPushLaunchesANotRunningApplicationInTheBackground) {
  for (const char* version : {"9.3", "10.0"}) {
    useVersion(version);
    launch(kFullHost);
    device->terminate();
    device->push(json(kVisible));
    EXPECT_EQ(device->state(), AppState::NotRunning) << "a visible push does not launch " << version;

    device->push(json(kSilent));
    EXPECT_EQ(device->state(), AppState::Background) << version;
    EXPECT_EQ(takeCalls(), (Calls{"launch@background", "fetch@background"})) << version;
    ASSERT_TRUE(host->launchOptions);
    auto* launchPayload =
        asDictionary(host->launchOptions->objectForKey(UIApplicationLaunchOptionsRemoteNotificationKey()));
    ASSERT_NE(launchPayload, nullptr);
    EXPECT_TRUE(launchPayload->isEqual(json(kSilent).get()));
    device->terminate();
    app->setApplicationIconBadgeNumber(0);
  }
}

class CurrentSystemPush : public DeviceTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(CurrentSystemPush, TheCentreDelegatePresentsAndTheFetchCallbackWorks) {
  useVersion(GetParam());
  launch(kFullHost);
  takeCalls();

  auto visible = device->push(json(kVisible));
  EXPECT_EQ(takeCalls(), Calls{"present@active"});
  EXPECT_EQ(device->deliveredIdentifiers(), std::vector<std::string>{visible->utf8()});
  EXPECT_EQ(app->applicationIconBadgeNumber(), 3);
  device->push(json(kSilent));
  EXPECT_EQ(takeCalls(), Calls{"fetch@active"});
  device->push(json(kVisibleAndSilent));
  EXPECT_EQ(takeCalls(), (Calls{"present@active", "fetch@active"}));
  device->setForegroundOrder(ForegroundOrder::FetchFirst);
  device->push(json(kVisibleAndSilent));
  EXPECT_EQ(takeCalls(), (Calls{"fetch@active", "present@active"}));

  device->setState(AppState::Background);
  app->setApplicationIconBadgeNumber(0);
  auto shown = device->push(json(kVisible));
  EXPECT_EQ(takeCalls(), Calls{});
  EXPECT_EQ(device->deliveredIdentifiers(), std::vector<std::string>{shown->utf8()});
  EXPECT_EQ(app->applicationIconBadgeNumber(), 3);
  device->push(json(kVisibleAndSilent));
  EXPECT_EQ(takeCalls(), Calls{"fetch@background"});
  EXPECT_EQ(device->deliveredIdentifiers().size(), 2u);
  EXPECT_TRUE(app->notices().empty()) << "from 10.0 the centre keeps delivered notifications";

  device->setState(AppState::Inactive);
  device->push(json(kVisible));
  EXPECT_EQ(takeCalls(), Calls{}) << "an inactive application is not asked how to present";
  EXPECT_EQ(device->deliveredIdentifiers().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Versions, CurrentSystemPush, ::testing::Values("10.0", "12.0", "13.0"));

TEST_F(DeviceTest, ThePresentationOptionsDecideWhatShowsInTheForeground) {
  useVersion("10.0");
  launch(kFullHost);
  struct Case {
    UNNotificationPresentationOptions options;
    bool listed;
    int64_t badge;
  } cases[] = {{0, false, 0},
               {UNNotificationPresentationOptionBadge, false, 3},
               {UNNotificationPresentationOptionAlert, true, 0},
               {UNNotificationPresentationOptionSound, false, 0}};
  for (const auto& c : cases) {
    host->presentOptions = c.options;
    app->setApplicationIconBadgeNumber(0);
    device->push(json(kVisible));
    EXPECT_EQ(centre->deliveredNotifications().size(), c.listed ? 1u : 0u) << c.options;
    EXPECT_EQ(app->applicationIconBadgeNumber(), c.badge) << c.options;
  }
}

TEST_F(DeviceTest, WithoutACentreDelegateTheApplicationDelegateHearsAndNothingShows) {
  useVersion("10.0");
  launch(kLaunch | kFetch | kRemote);
  takeCalls();
  device->push(json(kVisible));
  EXPECT_EQ(takeCalls(), Calls{"fetch@active"});
  EXPECT_TRUE(centre->deliveredNotifications().empty());
  device->terminate();

  launch(kLaunch | kRemote);
  takeCalls();
  device->push(json(kVisibleAndSilent));
  EXPECT_EQ(takeCalls(), Calls{"remote@active"});
}

TEST_F(DeviceTest, APayloadOverFourKilobytesIsRefusedAndNothingIsDelivered) {
  useVersion("10.0");
  launch(kFullHost);
  takeCalls();
  auto sized = [](size_t bytes) {
    std::string head = R"({"aps":{"alert":"hi"},"pad":")", tail = R"("})";
    return json(head + std::string(bytes - head.size() - tail.size(), 'x') + tail);
  };
  EXPECT_EQ(JSONSerialize(sized(4096).get()).size(), 4096u);
  EXPECT_NO_THROW(device->push(sized(4096)));
  EXPECT_EQ(takeCalls(), Calls{"present@active"});

  auto before = device->records().size();
  try {
    device->push(sized(4097));
    FAIL() << "a 4097-byte payload was accepted";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), kInvalidArgumentException);
    EXPECT_NE(e.reason().find("4097 bytes"), std::string::npos) << e.reason();
    EXPECT_NE(e.reason().find("4096"), std::string::npos) << e.reason();
  }
  EXPECT_EQ(takeCalls(), Calls{});
  EXPECT_EQ(device->records().size(), before);
  EXPECT_EQ(centre->deliveredNotifications().size(), 1u);
}

TEST_F(DeviceTest, ThePayloadsApsEntriesBecomeTheContentAndTheWholePayloadItsUserInfo) {
  useVersion("13.0");
  auto payload = json(R"({"aps":{"alert":{"title":"T","subtitle":"S","body":"B","launch-image":"L.png"},
      "badge":7,"sound":{"critical":1,"name":"bell.caf"},"thread-id":"th","category":"cat",
      "summary-arg":"Ann","summary-arg-count":2,"target-content-id":"win"},"custom":[1,2]})");
  auto c = Device::contentFromPayload(payload);
  EXPECT_EQ(c->title()->utf8(), "T");
  EXPECT_EQ(c->subtitle()->utf8(), "S");
  EXPECT_EQ(c->body()->utf8(), "B");
  EXPECT_EQ(c->launchImageName()->utf8(), "L.png");
  EXPECT_EQ(c->badge()->integerValue(), 7);
  ASSERT_TRUE(c->sound());
  EXPECT_EQ(c->sound()->name()->utf8(), "bell.caf");
  EXPECT_EQ(c->threadIdentifier()->utf8(), "th");
  EXPECT_EQ(c->categoryIdentifier()->utf8(), "cat");
  EXPECT_EQ(c->summaryArgument()->utf8(), "Ann");
  EXPECT_EQ(c->summaryArgumentCount(), 2u);
  EXPECT_EQ(c->targetContentIdentifier()->utf8(), "win");
  EXPECT_TRUE(c->userInfo()->isEqual(payload.get()));

  auto plain = Device::contentFromPayload(json(R"({"aps":{"alert":"just text","sound":"default"}})"));
  EXPECT_EQ(plain->body()->utf8(), "just text");
  EXPECT_EQ(plain->title(), nullptr);
  EXPECT_TRUE(plain->sound()->isDefault());
  EXPECT_EQ(plain->badge(), nullptr);

  launch(kFullHost);
  device->push(payload, str("push-id-1"));
  ASSERT_TRUE(host->presented);
  UNNotificationRequest* request = host->presented->request();
  EXPECT_EQ(request->identifier()->utf8(), "push-id-1");
  EXPECT_NE(cast<UNPushNotificationTrigger>(request->trigger()), nullptr);
  EXPECT_EQ(request->content()->categoryIdentifier()->utf8(), "cat");
  auto fresh = device->push(json(kVisible));
  EXPECT_EQ(fresh->length(), 36u) << fresh->utf8();
  EXPECT_NE(fresh->utf8(), device->push(json(kVisible))->utf8());
}

}  // namespace
}  // namespace device_test

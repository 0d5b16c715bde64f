#include "support.h"

namespace device_test {
namespace {

using Calls = std::vector<std::string>;

int replacedCalls = 0;
void replacementSetDelegate(id self, SEL, id delegate) {
  ++replacedCalls;
  send<void>(self, sel<"test_setDelegate:">(), delegate);  // the platform's setter, after the exchange
}

TEST_F(DeviceTest, LaunchInstallsTheDelegateWithAPlainSetDelegateMessageAndBecomesActive) {
  // Whoever replaced the setter sees the device's call.
  Class cls = UIApplication::class_();
  ASSERT_TRUE(addMethod(cls, sel<"test_setDelegate:">(), &replacementSetDelegate));
  method_exchangeImplementations(class_getInstanceMethod(cls, sel<"setDelegate:">()),
                                 class_getInstanceMethod(cls, sel<"test_setDelegate:">()));
  std::vector<std::string> broadcasts;
  auto token = NSNotificationCenter::defaultCenter()->addObserverForName(
      nullptr, app, nullptr, [&](NSNotification* n) { broadcasts.push_back(n->name()->utf8() + "@" + stateName()); });

  EXPECT_EQ(device->state(), AppState::NotRunning);
  launch(kFullHost | kLifecycle);
  EXPECT_EQ(replacedCalls, 1);
  EXPECT_EQ(app->delegate().get(), host.get());
  EXPECT_EQ(device->applicationDelegate().get(), host.get());
  EXPECT_EQ(takeCalls(), (Calls{"launch@inactive", "didBecomeActive@active"}));
  EXPECT_EQ(host->launchOptions, nullptr);

  device->setState(AppState::Background);
  device->setState(AppState::Active);
  device->setState(AppState::Inactive);
  device->terminate();
  EXPECT_EQ(takeCalls(), (Calls{"willResignActive@active", "didEnterBackground@background",
                                "willEnterForeground@background", "didBecomeActive@active", "willResignActive@active",
                                "didEnterBackground@background", "willTerminate@background"}));
  NSNotificationCenter::defaultCenter()->removeObserver(token);
  EXPECT_EQ(
      broadcasts,
      (std::vector<std::string>{
          "UIApplicationDidFinishLaunchingNotification@inactive", "UIApplicationDidBecomeActiveNotification@active",
          "UIApplicationWillResignActiveNotification@active", "UIApplicationDidEnterBackgroundNotification@background",
          "UIApplicationWillEnterForegroundNotification@background", "UIApplicationDidBecomeActiveNotification@active",
          "UIApplicationWillResignActiveNotification@active", "UIApplicationDidEnterBackgroundNotification@background",
          "UIApplicationWillTerminateNotification@background"}));
  EXPECT_EQ(device->state(), AppState::NotRunning);
  EXPECT_EQ(device->applicationDelegate(), nullptr);
  EXPECT_THROW(device->setState(AppState::Active), Exception) << "a stopped application must be launched";

  LaunchOptions background;
  background.background = true;
  launch(kFullHost | kLifecycle, background);
  EXPECT_EQ(takeCalls(), (Calls{"launch@background", "didEnterBackground@background"}));
  EXPECT_THROW(launch(kFullHost), Exception) << "it is running";
}

TEST_F(DeviceTest, RegistrationIsAnsweredOnTheNextTurnWithTheTokenOrTheError) {
  launch(kFullHost, {}, [](Host& h) { h.registerAtLaunch = true; });
  EXPECT_EQ(takeCalls(), (Calls{"launch@inactive", "token@inactive"}));
  ASSERT_TRUE(host->token);
  EXPECT_EQ(host->token->length(), 32u);
  EXPECT_TRUE(host->token->isEqual(device->deviceToken().get()));
  EXPECT_TRUE(app->isRegisteredForRemoteNotifications());

  uint8_t mine[] = {0x01, 0xab};
  device->setDeviceToken(NSData::dataWithBytes(mine, 2));
  app->registerForRemoteNotifications();
  EXPECT_EQ(host->calls, Calls{}) << "not on the caller's stack";
  device->settle();
  EXPECT_EQ(host->token->length(), 2u);

  device->setRemoteRegistrationError(NSError::errorWithDomain("NSCocoaErrorDomain", 3010));
  app->registerForRemoteNotifications();
  device->settle();
  EXPECT_EQ(takeCalls(), (Calls{"token@active", "failed@active"}));
  EXPECT_EQ(host->error->code(), 3010);
}

TEST_F(DeviceTest, TheUsersAnswerToThePermissionPromptSetsTheStatus) {
  useVersion("10.0");
  launch(kFullHost);
  device->setAuthorizationAnswer(false);
  std::atomic<int> answers{0};
  bool granted = true;
  auto completion = makeBlock<void(bool, NSError*)>([&](bool g, NSError*) {
    granted = g;
    ++answers;
  });
  centre->requestAuthorizationWithOptions(UNAuthorizationOptionAlert, completion);
  device->settle();  // waits for the centre's completion
  EXPECT_EQ(answers.load(), 1);
  EXPECT_FALSE(granted);
  EXPECT_EQ(centre->authorizationStatus(), UNAuthorizationStatusDenied);

  device->setAuthorizationStatus(UNAuthorizationStatusAuthorized);
  EXPECT_EQ(centre->currentSettings()->alertSetting(), UNNotificationSettingEnabled);

  useVersion("9.3");
  app->registerUserNotificationSettings(
      UIUserNotificationSettings::settingsForTypes(UIUserNotificationTypeAlert, nullptr));
  device->settle();
  EXPECT_EQ(app->currentUserNotificationSettings()->types(), UIUserNotificationTypeNone);
}

TEST_F(DeviceTest, RecordsShowEveryCallBadgeListChangeAndLogLineInOrderAsJSON) {
  useVersion("10.0");
  launch(kFullHost);
  device->clearRecords();
  device->setState(AppState::Background);
  device->clearRecords();
  device->advance(5);
  NSLog("hello %@", str("log"));
  auto id = device->push(json(kVisible));

  std::vector<std::string> lines;
  for (const auto& r : device->records()) lines.push_back(r.toJSON());
  double t = DeviceOptions{}.startTime + 5;
  auto at = [&](const std::string& rest) { return "{\"time\":" + std::to_string(int64_t(t)) + ".0," + rest + "}"; };
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], at(R"("kind":"log","line":"hello log")"));
  EXPECT_EQ(lines[1], at(R"("kind":"badge","value":"3")"));
  EXPECT_EQ(lines[2], at(R"("kind":"local","list":"delivered","change":"delivered","id":")" + id->utf8() + "\""));
  EXPECT_EQ(lines[3], at(R"("kind":"sound","id":")" + id->utf8() + R"(","sound":"default")"));

  device->clearRecords();
  device->open(id);
  auto records = device->records();
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(records[0].kind, "local");
  EXPECT_EQ(records[0].get("change"), "removed");
  EXPECT_EQ(records[1].get("notification"), "UIApplicationWillEnterForegroundNotification");
  EXPECT_EQ(records[2].get("selector"), "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:");
  EXPECT_EQ(records[2].get("state"), "inactive");
  EXPECT_EQ(records[2].get("receiver"), "centre delegate");
  EXPECT_EQ(records[2].get("id"), id->utf8());
  EXPECT_EQ(records[3].kind, "completion");
}

}  // namespace
}  // namespace device_test

#include <gtest/gtest.h>

#include <atomic>

#include "support.h"

namespace uikit_test {
namespace {

TEST(UIKitLoad, ClassesProtocolAndSetterExistBeforeFirstUse) {
  // Nothing in this process has touched UIKit's classes yet: loading the
  // library registered them, as the library's load-time exchange needs.
  Class cls = objc_getClass("UIApplication");
  ASSERT_NE(cls, nullptr);
  EXPECT_NE(class_getInstanceMethod(cls, sel<"setDelegate:">()), nullptr);
  for (const char* name : {"UILocalNotification", "UIUserNotificationSettings", "UIDevice", "CLCircularRegion"})
    EXPECT_NE(objc_getClass(name), nullptr) << name;
  EXPECT_NE(NSProtocolFromString("UIApplicationDelegate"), nullptr);
  auto shared = send<Id>(cls, sel<"sharedApplication">());
  EXPECT_EQ(shared.get(), UIApplication::sharedApplication());
  EXPECT_THROW(send<Id>(cls, sel<"new">()), Exception) << "there is only one application object";
}

TEST(UIKitLoad, ConstantsCarryThePlatformTexts) {
  EXPECT_EQ(UIApplicationDidFinishLaunchingNotification()->utf8(), "UIApplicationDidFinishLaunchingNotification");
  EXPECT_EQ(UIApplicationDidEnterBackgroundNotification()->utf8(), "UIApplicationDidEnterBackgroundNotification");
  EXPECT_EQ(UIApplicationWillEnterForegroundNotification()->utf8(), "UIApplicationWillEnterForegroundNotification");
  EXPECT_EQ(UIApplicationWillTerminateNotification()->utf8(), "UIApplicationWillTerminateNotification");
  EXPECT_EQ(UIApplicationLaunchOptionsLocalNotificationKey()->utf8(), "UIApplicationLaunchOptionsLocalNotificationKey");
  EXPECT_EQ(UIApplicationLaunchOptionsRemoteNotificationKey()->utf8(),
            "UIApplicationLaunchOptionsRemoteNotificationKey");
  EXPECT_EQ(UILocalNotificationDefaultSoundName()->utf8(), "UILocalNotificationDefaultSoundName");
  EXPECT_EQ(UIApplicationDidFinishLaunchingNotification(), UIApplicationDidFinishLaunchingNotification());
}

std::atomic<int> gReplacementCalls{0};
void replacementSetDelegate(id self, SEL, id delegate) {
  ++gReplacementCalls;
  send<void>(self, sel<"test_setDelegate:">(), delegate);  // runs the platform's setter after the exchange
}

TEST_F(ApplicationTest, SetDelegateCanBeExchangedAndHoldsTheDelegateWeakly) {
  Class cls = UIApplication::class_();
  ASSERT_TRUE(addMethod(cls, sel<"test_setDelegate:">(), &replacementSetDelegate));
  method_exchangeImplementations(class_getInstanceMethod(cls, sel<"setDelegate:">()),
                                 class_getInstanceMethod(cls, sel<"test_setDelegate:">()));

  auto delegate = make<TestAppDelegate>();
  app->setDelegate(delegate.get());
  EXPECT_EQ(gReplacementCalls, 1);
  EXPECT_EQ(app->delegate().get(), delegate.get());
  EXPECT_EQ(send<Id>(app, sel<"delegate">()).get(), delegate.get());
  EXPECT_TRUE(delegate->conformsToProtocol(UIApplicationDelegateProtocol()));

  delegate = nullptr;
  EXPECT_EQ(app->delegate().get(), nullptr) << "the application does not keep its delegate alive";
}

TEST_F(ApplicationTest, BadgeNumberRulesAndEveryWriteIsSeen) {
  auto system = std::make_shared<RecordingSystem>();
  app->setSystem(system);
  int cleared = 0;
  app->addNoticeBarClearHandler([&] { ++cleared; });
  app->addNotice(notificationWithBody("a"));
  app->addNotice(notificationWithBody("b"));

  send<void>(app, sel<"setApplicationIconBadgeNumber:">(), int64_t{5});
  EXPECT_EQ(send<int64_t>(app, sel<"applicationIconBadgeNumber">()), 5);
  app->setApplicationIconBadgeNumber(5);
  app->setApplicationIconBadgeNumber(-1);
  EXPECT_EQ(app->applicationIconBadgeNumber(), -1);
  EXPECT_EQ(app->notices().size(), 2u) << "a negative number hides the badge only";
  EXPECT_EQ(cleared, 0);

  app->setApplicationIconBadgeNumber(0);
  EXPECT_EQ(app->applicationIconBadgeNumber(), 0);
  EXPECT_TRUE(app->notices().empty()) << "0 clears the notices too";
  EXPECT_EQ(cleared, 1);
  app->setApplicationIconBadgeNumber(0);
  EXPECT_EQ(cleared, 2);

  EXPECT_EQ(system->events(), (std::vector<std::string>{"notices 1", "notices 2", "badge 5", "badge 5", "badge -1",
                                                        "badge 0", "notices 0", "badge 0"}));
}

TEST_F(ApplicationTest, ScheduledNotificationsAreCopiesListedAsSnapshots) {
  auto system = std::make_shared<RecordingSystem>();
  app->setSystem(system);
  auto info = NSMutableDictionary::dictionary();
  info->setObject(str("A"), "OrvelIdentifier");
  auto n = notificationWithBody("first");
  n->setUserInfo(info);
  send<void>(app, sel<"scheduleLocalNotification:">(), n);
  n->setAlertBody(str("changed later"));
  info->setObject(str("B"), "OrvelIdentifier");

  auto list = send<Ref<NSArray>>(app, sel<"scheduledLocalNotifications">());
  ASSERT_EQ(list->count(), 1u);
  auto* scheduled = cast<UILocalNotification>(list->objectAtIndex(0));
  ASSERT_NE(scheduled, nullptr);
  EXPECT_NE(scheduled, n.get());
  EXPECT_EQ(scheduled->alertBody()->utf8(), "first");
  EXPECT_EQ(asString(scheduled->userInfo()->objectForKey("OrvelIdentifier"))->utf8(), "A");

  app->cancelAllLocalNotifications();
  EXPECT_EQ(list->count(), 1u) << "a snapshot does not follow the list";
  EXPECT_EQ(app->scheduledLocalNotifications()->count(), 0u);
  EXPECT_EQ(system->events(), (std::vector<std::string>{"scheduled first", "cancelled first"}));
}

TEST_F(ApplicationTest, CancelRemovesTheEntryItCameFromOrElseTheFirstEqualOne) {
  auto same1 = notificationWithBody("same");
  app->scheduleLocalNotification(same1);
  app->scheduleLocalNotification(same1);  // two entries with equal fields
  app->scheduleLocalNotification(notificationWithBody("other"));

  auto snapshot = app->scheduledLocalNotifications();
  ASSERT_EQ(snapshot->count(), 3u);
  auto entries = app->scheduledEntries();
  send<void>(app, sel<"cancelLocalNotification:">(), snapshot->objectAtIndex(1));
  send<void>(app, sel<"cancelLocalNotification:">(), snapshot->objectAtIndex(1));  // already gone: nothing
  auto left = app->scheduledEntries();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].get(), entries[0].get()) << "only the second of two equal entries was cancelled";
  EXPECT_EQ(left[1].get(), entries[2].get());

  app->cancelLocalNotification(notificationWithBody("other"));  // not one of the app's own: equal fields match
  ASSERT_EQ(app->scheduledEntries().size(), 1u);
  EXPECT_EQ(app->scheduledEntries()[0]->alertBody()->utf8(), "same");
  app->cancelLocalNotification(nullptr);
  app->cancelLocalNotification(notificationWithBody("unknown"));
  EXPECT_EQ(app->scheduledEntries().size(), 1u);
}

TEST_F(ApplicationTest, CancellingDismissesTheShownNoticeOfThatEntry) {
  app->scheduleLocalNotification(notificationWithBody("fires"));
  auto entry = app->scheduledEntries()[0];
  ASSERT_TRUE(app->removeScheduledEntry(entry));  // the device fires it...
  app->setApplicationState(UIApplicationStateBackground);
  app->deliverLocalNotification(entry);  // ...and, in the background, it shows as a notice
  ASSERT_EQ(app->notices().size(), 1u);
  app->scheduleLocalNotification(notificationWithBody("fires"));
  app->cancelLocalNotification(entry);
  EXPECT_TRUE(app->notices().empty());
  EXPECT_EQ(app->scheduledEntries().size(), 1u) << "the entry had fired; the equal pending one stays";
}

TEST_F(ApplicationTest, PresentNowDeliversToTheDelegateOnTheNextMainQueueTurn) {
  auto delegate = make<TestAppDelegate>();
  app->setDelegate(delegate);
  auto n = notificationWithBody("now", 3);
  send<void>(app, sel<"presentLocalNotificationNow:">(), n);
  n->setAlertBody(str("changed"));
  EXPECT_TRUE(delegate->received.empty()) << "not on the caller's stack";
  EXPECT_EQ(app->applicationIconBadgeNumber(), 0);

  runMainUntilIdle();
  ASSERT_EQ(delegate->received.size(), 1u);
  EXPECT_EQ(delegate->received[0]->alertBody()->utf8(), "now") << "a copy was presented";
  EXPECT_TRUE(delegate->receivedOnMain);
  EXPECT_EQ(app->applicationIconBadgeNumber(), 0) << "a frontmost application gets no badge";
  EXPECT_TRUE(app->scheduledEntries().empty());
  EXPECT_TRUE(app->notices().empty());
}

TEST_F(ApplicationTest, PresentNowInTheBackgroundShowsANoticeInstead) {
  auto delegate = make<TestAppDelegate>();
  app->setDelegate(delegate);
  app->setApplicationIconBadgeNumber(4);
  app->setApplicationState(UIApplicationStateBackground);
  EXPECT_EQ(send<int64_t>(app, sel<"applicationState">()), UIApplicationStateBackground);
  auto clear = notificationWithBody("clear", -1);
  app->presentLocalNotificationNow(clear);
  app->presentLocalNotificationNow(nullptr);
  runMainUntilIdle();
  EXPECT_TRUE(delegate->received.empty());
  EXPECT_EQ(app->notices().size(), 1u);
  EXPECT_EQ(app->applicationIconBadgeNumber(), -1);
}

TEST_F(ApplicationTest, AnAttachedSystemDecidesWhatPresentingDoes) {
  struct Swallow : RecordingSystem {
    void localNotificationPresented(UIApplication*, UILocalNotification* n) override { seen.emplace_back(n); }
    std::vector<Ref<UILocalNotification>> seen;
  };
  auto system = std::make_shared<Swallow>();
  app->setSystem(system);
  auto delegate = make<TestAppDelegate>();
  app->setDelegate(delegate);
  app->presentLocalNotificationNow(notificationWithBody("x"));
  runMainUntilIdle();
  EXPECT_EQ(system->seen.size(), 1u);
  EXPECT_TRUE(delegate->received.empty());
}

TEST_F(ApplicationTest, RemoteRegistrationIsOnlyARequestToTheSystem) {
  auto delegate = make<TestAppDelegate>();
  app->setDelegate(delegate);
  send<void>(app, sel<"registerForRemoteNotifications">());
  runMainUntilIdle();
  EXPECT_FALSE(send<bool>(app, sel<"isRegisteredForRemoteNotifications">())) << "no device answered";

  auto system = std::make_shared<RecordingSystem>();
  app->setSystem(system);
  app->registerForRemoteNotifications();
  EXPECT_EQ(system->events(), std::vector<std::string>{"remote"});
}

TEST_F(ApplicationTest, LegacySettingsAreGrantedAndReportedToTheDelegate) {
  auto delegate = make<TestAppDelegate>();
  app->setDelegate(delegate);
  auto system = std::make_shared<RecordingSystem>();
  app->setSystem(system);
  EXPECT_EQ(send<Ref<UIUserNotificationSettings>>(app, sel<"currentUserNotificationSettings">())->types(), 0u);

  auto settings =
      send<Id>(UIUserNotificationSettings::class_(), sel<"settingsForTypes:categories:">(), uint64_t{7}, nullptr);
  EXPECT_EQ(send<uint64_t>(settings, sel<"types">()), 7u);
  send<void>(app, sel<"registerUserNotificationSettings:">(), settings);
  EXPECT_EQ(app->currentUserNotificationSettings()->types(), 7u);
  EXPECT_TRUE(delegate->registered.empty());
  runMainUntilIdle();
  ASSERT_EQ(delegate->registered.size(), 1u);
  EXPECT_EQ(delegate->registered[0]->types(), 7u);
  EXPECT_EQ(system->events(), std::vector<std::string>{"settings 7"});

  app->answerUserNotificationSettings(UIUserNotificationSettings::settingsForTypes(1, nullptr));  // the user's change
  EXPECT_EQ(app->currentUserNotificationSettings()->types(), 1u);
}

}  // namespace
}  // namespace uikit_test

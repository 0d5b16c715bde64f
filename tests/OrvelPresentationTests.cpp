// A notification arriving while the application is in the foreground: the
// context broadcasts it, hands it to the host's notification-centre delegate
// (or, failing that, to the application delegate's classic callbacks) and
// answers the platform once, with the host's options when the host answers
// and with foregroundType otherwise.
#include <gtest/gtest.h>

#include <atomic>
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

// The host's notification-centre delegate; answers with `options` when told to.
struct PresentingCentreHost : NSObject {
  static Class class_();
  bool answers = false;
  uint64_t options = 0;
  Id center, notification, handler;

  void willPresent(NSObject* c, NSObject* n, NSObject* h) {
    record("host:willPresent");
    center = c;
    notification = n;
    handler = h;
    if (answers) callBlock(cast<UNPresentationOptionsHandler>(h), options);
  }
};
Class PresentingCentreHost::class_() {
  static Class c = ClassBuilder<PresentingCentreHost>("PresentingCentreHost")
                       .conforms("UNUserNotificationCenterDelegate")
                       .method<&PresentingCentreHost::willPresent>(
                           "userNotificationCenter:willPresentNotification:withCompletionHandler:")
                       .build();
  return c;
}

UNUserNotificationCenter* centre() { return UNUserNotificationCenter::currentNotificationCenter(); }
OrvelContext* context() { return OrvelContext::currentContext(); }

// What the library's own registration does to the centre.
void makeTheContextTheCentresDelegate() { performSelector(centre(), sel<"setDelegate:">(), context()); }

std::vector<std::string> presentationCompletions(const Device& device) {
  std::vector<std::string> values;
  for (const auto& r : device.records("completion")) {
    if (r.get("callback") == "userNotificationCenter:willPresentNotification:withCompletionHandler:")
      values.push_back(r.get("value"));
  }
  return values;
}

void addLocalRequest(std::string_view identifier, UNNotificationContent* content, UNNotificationTrigger* trigger) {
  centre()->addNotificationRequest(UNNotificationRequest::requestWithIdentifier(str(identifier), content, trigger),
                                   nullptr);
}

class OrvelPresentation : public ::testing::Test {
 protected:
  void SetUp() override {
    UIDevice::currentDevice()->setSystemVersion("13.0");
    orveltest::clearJournal();
    device.launch([] { return Id(make<ClassicHost>()); });
    host = cast<ClassicHost>(device.applicationDelegate().get());
    ASSERT_NE(host, nullptr);
  }
  Device device;
  orveltest::EventRecorder events;
  ClassicHost* host = nullptr;
};

TEST_F(OrvelPresentation, HostCentreDelegateGetsTheCallAndItsOwnAnswerWins) {
  auto centreHost = make<PresentingCentreHost>();
  centreHost->answers = true;
  centreHost->options = UNNotificationPresentationOptionSound;
  centre()->setDelegate(centreHost);

  Ref<NSString> id = device.push(orveltest::remotePayload("hello", 5));
  EXPECT_EQ(journal(), std::vector<std::string>{"host:willPresent"});
  EXPECT_EQ(centreHost->center.get(), centre());
  auto* notification = cast<UNNotification>(centreHost->notification.get());
  ASSERT_NE(notification, nullptr);
  EXPECT_EQ(text(notification->request()->identifier()), text(id));
  EXPECT_NE(centreHost->handler, nullptr);

  EXPECT_EQ(presentationCompletions(device), std::vector<std::string>{"2"});
  EXPECT_TRUE(device.faults().empty()) << "the library's own call after the host's was dropped";
  EXPECT_EQ(UIApplication::sharedApplication()->applicationIconBadgeNumber(), 0) << "sound only, as the host asked";
  EXPECT_TRUE(device.deliveredIdentifiers().empty());

  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeRemoteReceived);
  EXPECT_EQ(text(messages[0]->identifier()), text(id));
  EXPECT_EQ(text(messages[0]->content()->body()), "hello");
}

TEST_F(OrvelPresentation, HostThatDoesNotAnswerLeavesItToForegroundType) {
  auto centreHost = make<PresentingCentreHost>();
  centre()->setDelegate(centreHost);

  Ref<NSString> first = device.push(orveltest::remotePayload("first", 5));
  EXPECT_EQ(presentationCompletions(device), std::vector<std::string>{"7"});
  EXPECT_EQ(UIApplication::sharedApplication()->applicationIconBadgeNumber(), 5);
  EXPECT_EQ(device.deliveredIdentifiers(), std::vector<std::string>{first->utf8()});

  // The host answering afterwards reaches nobody.
  callBlock(cast<UNPresentationOptionsHandler>(centreHost->handler.get()), uint64_t{0});
  context()->setForegroundType(0);
  device.push(orveltest::remotePayload("second", 6));
  EXPECT_EQ(presentationCompletions(device), (std::vector<std::string>{"7", "0"}));
  EXPECT_TRUE(device.faults().empty());
  EXPECT_EQ(events.messages().size(), 2u);
}

TEST_F(OrvelPresentation, WithoutAUsableCentreDelegateTheApplicationDelegateGetsTheUserInfo) {
  makeTheContextTheCentresDelegate();
  auto payload = orveltest::remotePayload("classic", 1);
  auto withExtra = NSMutableDictionary::dictionary();
  withExtra->addEntriesFromDictionary(payload);
  withExtra->setObject(str("42"), "order");
  device.push(withExtra);
  EXPECT_EQ(journal(), std::vector<std::string>{"host:remote"});
  ASSERT_TRUE(host->remoteUserInfo);
  EXPECT_TRUE(host->remoteUserInfo->isEqual(withExtra));

  auto silent = make<SilentCentreHost>();  // a centre delegate that cannot take it is skipped
  centre()->setDelegate(silent);
  device.push(payload);
  EXPECT_EQ(journal(), (std::vector<std::string>{"host:remote", "host:remote"}));
  EXPECT_TRUE(host->remoteUserInfo->isEqual(payload));

  EXPECT_EQ(presentationCompletions(device), (std::vector<std::string>{"7", "7"}));
  EXPECT_TRUE(device.faults().empty());
  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 2u);
  for (const auto& m : messages) EXPECT_EQ(m->notificationMessageType(), OrvelNotificationMessageTypeRemoteReceived);
}

TEST_F(OrvelPresentation, TimeIntervalRequestReachesTheLocalCallbackAsFiringNow) {
  makeTheContextTheCentresDelegate();
  auto content = orveltest::platformContent("tick");
  content->setTitle(str("Alarm"));
  content->setLaunchImageName(str("launch"));
  content->setUserInfo(NSDictionary::dictionaryWithEntries({{str("k"), str("v")}}));
  addLocalRequest("tick-1", content, UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(60, false));
  device.advance(60);

  EXPECT_EQ(journal(), std::vector<std::string>{"host:local"});
  UILocalNotification* local = host->local.get();
  ASSERT_NE(local, nullptr);
  ASSERT_TRUE(local->fireDate());
  EXPECT_DOUBLE_EQ(local->fireDate()->timeIntervalSince1970(), device.now());
  EXPECT_EQ(local->repeatInterval(), 0u);
  EXPECT_EQ(local->applicationIconBadgeNumber(), 0) << "no badge";
  EXPECT_EQ(text(local->alertBody()), "tick");
  EXPECT_EQ(text(local->alertTitle()), "Alarm");
  EXPECT_EQ(text(local->alertLaunchImage()), "launch");
  EXPECT_EQ(local->soundName(), nullptr);
  EXPECT_TRUE(local->hasAction());
  EXPECT_EQ(text(local->userInfo()->objectForKey("k")), "v");

  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeLocalReceived);
  EXPECT_EQ(text(messages[0]->identifier()), "tick-1");
  EXPECT_EQ(presentationCompletions(device), std::vector<std::string>{"7"});
}

TEST_F(OrvelPresentation, RepeatingLocationRequestGivesARegionThatTriggersAgain) {
  makeTheContextTheCentresDelegate();
  auto content = orveltest::platformContent("home again");
  content->setBadge(NSNumber::numberWithInteger(3));
  auto region = CLCircularRegion::regionWithCenter({52.5, 13.4}, 100, str("home"));
  addLocalRequest("home-1", content, UNLocationNotificationTrigger::triggerWithRegion(region, true));
  device.enterRegion("home");

  UILocalNotification* local = host->local.get();
  ASSERT_NE(local, nullptr);
  ASSERT_TRUE(local->region());
  EXPECT_EQ(text(local->region()->identifier()), "home");
  EXPECT_FALSE(local->regionTriggersOnce());
  EXPECT_EQ(local->fireDate(), nullptr);
  EXPECT_EQ(local->applicationIconBadgeNumber(), 3);
  ASSERT_EQ(events.messages().size(), 1u);
  EXPECT_EQ(events.messages()[0]->notificationMessageType(), OrvelNotificationMessageTypeLocalReceived);
}

// ---- the conversion, called as the centre calls it ----

class OrvelPresentationCall : public ::testing::Test {
 protected:
  void SetUp() override {
    UIDevice::currentDevice()->setSystemVersion("13.0");
    orveltest::clearJournal();
  }
  // Presents `notification` and returns the broadcast message.
  Ref<OrvelNotificationMessage> present(NSObject* notification, NSObject* handler = nullptr) {
    size_t before = events.messages().size();
    orveltest::sendWillPresent(notification, handler);
    runMainUntilIdle();
    auto messages = events.messages();
    EXPECT_EQ(messages.size(), before + 1);
    return messages.empty() ? nullptr : messages.back();
  }
  orveltest::EventRecorder events;
};

TEST_F(OrvelPresentationCall, EveryFieldIsCopiedAndTheNewerOnesFollowTheVersion) {
  auto content = orveltest::platformContent("body");
  content->setTitle(str("title"));
  content->setSubtitle(str("subtitle"));
  content->setBadge(NSNumber::numberWithInteger(9));
  content->setThreadIdentifier(str("thread"));
  content->setLaunchImageName(str("image"));
  content->setSummaryArgument(str("summary"));
  content->setSummaryArgumentCount(3);
  content->setTargetContentIdentifier(str("target"));
  content->setSound(UNNotificationSound::defaultSound());
  content->setUserInfo(NSDictionary::dictionaryWithEntries({{str("k"), str("v")}}));
  auto notification = orveltest::platformNotification("n-1", content, UNPushNotificationTrigger::trigger());

  struct Case {
    const char* version;
    bool summary, target;
  };
  for (Case c : {Case{"11.0", false, false}, Case{"12.0", true, false}, Case{"13.0", true, true}}) {
    SCOPED_TRACE(c.version);
    UIDevice::currentDevice()->setSystemVersion(c.version);
    auto probe = orveltest::makePresentationProbe();
    auto message = present(notification, probe.handler);
    ASSERT_TRUE(message);
    EXPECT_EQ(probe.calls(), std::vector<uint64_t>{7}) << "nobody to forward to: the event and the answer only";

    EXPECT_EQ(message->notificationMessageType(), OrvelNotificationMessageTypeRemoteReceived);
    EXPECT_EQ(text(message->identifier()), "n-1");
    OrvelNotificationContent* m = message->content();
    EXPECT_EQ(text(m->title()), "title");
    EXPECT_EQ(text(m->subTitle()), "subtitle");
    EXPECT_EQ(text(m->body()), "body");
    EXPECT_EQ(text(m->badge()), "9");
    ASSERT_TRUE(m->attachments());
    EXPECT_EQ(m->attachments()->count(), 0u);
    EXPECT_EQ(text(m->threadIdentifier()), "thread");
    EXPECT_EQ(text(m->launchImageName()), "image");
    EXPECT_EQ(text(m->userInfo()->objectForKey("k")), "v");
    EXPECT_EQ(m->sound(), nullptr) << "the platform's sound is not read";
    EXPECT_FALSE(m->silentPush() || m->contentAvailable() || m->mutableContent());
    EXPECT_EQ(text(m->summaryArgument()), c.summary ? "summary" : "<nil>");
    EXPECT_EQ(m->summaryArgumentCount(), c.summary ? 3u : 0u);
    EXPECT_EQ(text(m->targetContentIdentifier()), c.target ? "target" : "<nil>");
  }
  EXPECT_TRUE(journal().empty());
}

TEST_F(OrvelPresentationCall, CalendarTriggerAndNoTriggerBecomeLegacyNotifications) {
  auto host = make<ClassicHost>();
  orveltest::installApplicationDelegate(host);

  auto components = make<NSDateComponents>();
  components->year = 2026;
  components->month = 3;
  components->day = 1;
  components->hour = 8;
  components->minute = 30;
  components->timeZone = NSTimeZone::timeZoneForSecondsFromGMT(3600);
  auto calendar = UNCalendarNotificationTrigger::triggerWithDateMatchingComponents(components, false);
  auto content = orveltest::platformContent("breakfast");
  content->setBadge(NSNumber::numberWithInteger(2));
  auto message = present(orveltest::platformNotification("cal-1", content, calendar));
  ASSERT_TRUE(message);
  EXPECT_EQ(message->notificationMessageType(), OrvelNotificationMessageTypeLocalReceived);
  ASSERT_TRUE(host->local && host->local->fireDate());
  EXPECT_TRUE(host->local->fireDate()->isEqual(components->date()));
  EXPECT_TRUE(host->local->timeZone()->isEqual(components->timeZone));
  EXPECT_EQ(host->local->repeatInterval(), 0u);
  EXPECT_EQ(host->local->applicationIconBadgeNumber(), 2);

  message = present(orveltest::platformNotification("now-1", orveltest::platformContent("now"), nullptr));
  ASSERT_TRUE(message);
  EXPECT_EQ(message->notificationMessageType(), OrvelNotificationMessageTypeLocalReceived) << "no trigger";
  EXPECT_EQ(text(host->local->alertBody()), "now");
  EXPECT_EQ(host->local->fireDate(), nullptr);
  EXPECT_EQ(host->local->region(), nullptr);
  EXPECT_EQ(journal(), (std::vector<std::string>{"host:local", "host:local"}));
}

TEST_F(OrvelPresentationCall, AbsentHandlerIsNeverCalledAndTheHostGetsNone) {
  auto centreHost = make<PresentingCentreHost>();
  centreHost->answers = true;
  send<void>(context(), sel<"setUnDelegate:">(), centreHost);
  auto notification = orveltest::platformNotification("n-2", orveltest::platformContent("x"), nullptr);
  present(notification, nullptr);
  EXPECT_EQ(centreHost->handler, nullptr);

  // Not a presentation handler: treated as absent too.
  auto other = orveltest::makeResponseProbe();
  present(notification, other.handler);
  EXPECT_EQ(centreHost->handler, nullptr);
  EXPECT_EQ(other.calls(), 0);
  EXPECT_EQ(journal(), (std::vector<std::string>{"host:willPresent", "host:willPresent"}));
}

// ---- threads ----

// The host's delegates answer from a queue of their own while the library
// answers on the thread the centre called it on.
struct ThreadedCentreHost : NSObject {
  static Class class_();
  Ref<DispatchQueue> queue = dispatch_queue_create("host.answers");
  std::atomic<int> answered{0};

  void willPresent(NSObject*, NSObject*, NSObject* h) {
    dispatch_async(queue, [this, handler = Id(h)] {
      callBlock(cast<UNPresentationOptionsHandler>(handler.get()), UNNotificationPresentationOptionBadge);
      answered.fetch_add(1);
    });
  }
  void didReceive(NSObject*, NSObject*, NSObject* h) {
    dispatch_async(queue, [this, handler = Id(h)] {
      callBlock(cast<UNResponseCompletionHandler>(handler.get()));
      answered.fetch_add(1);
    });
  }
};
Class ThreadedCentreHost::class_() {
  static Class c = ClassBuilder<ThreadedCentreHost>("ThreadedCentreHost")
                       .conforms("UNUserNotificationCenterDelegate")
                       .method<&ThreadedCentreHost::willPresent>(
                           "userNotificationCenter:willPresentNotification:withCompletionHandler:")
                       .method<&ThreadedCentreHost::didReceive>(
                           "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:")
                       .build();
  return c;
}

TEST(OrvelPresentationConcurrency, HandlersAnsweredFromSeveralThreadsReachThePlatformOnce) {
  UIDevice::currentDevice()->setSystemVersion("13.0");
  auto host = make<ThreadedCentreHost>();
  send<void>(context(), sel<"setUnDelegate:">(), host);
  auto notification =
      orveltest::platformNotification("race", orveltest::platformContent("race"), UNPushNotificationTrigger::trigger());
  auto response = UNNotificationResponse::responseWithNotification(notification);
  constexpr int kRounds = 100;
  std::vector<orveltest::PresentationProbe> presentations;
  std::vector<orveltest::ResponseProbe> responses;
  for (int i = 0; i < kRounds; ++i) {
    presentations.push_back(orveltest::makePresentationProbe());
    responses.push_back(orveltest::makeResponseProbe());
  }

  // The centre calls its delegate from its own queue here.
  Ref<DispatchQueue> platform = dispatch_queue_create("platform.delegate");
  std::atomic<int> delivered{0};
  for (int i = 0; i < kRounds; ++i) {
    dispatch_async(platform, [&, i] {
      orveltest::sendWillPresent(notification, presentations[i].handler);
      orveltest::sendDidReceiveResponse(response, responses[i].handler);
      delivered.fetch_add(1);
    });
  }
  ASSERT_TRUE(runMainUntil([&] { return delivered.load() == kRounds && host->answered.load() == 2 * kRounds; }));

  for (int i = 0; i < kRounds; ++i) {
    auto options = presentations[i].calls();
    ASSERT_EQ(options.size(), 1u) << "presentation " << i;
    EXPECT_TRUE(options[0] == 7 || options[0] == UNNotificationPresentationOptionBadge) << options[0];
    EXPECT_EQ(responses[i].calls(), 1) << "response " << i;
  }
  runMainUntilIdle();
}

}  // namespace

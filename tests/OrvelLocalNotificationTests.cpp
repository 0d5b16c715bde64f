// Scheduling local notifications through the context: what reaches the
// notification framework from "10.0" and the legacy application object
// below it, what the handler is told, and the notifications firing on the
// simulated device.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "Device/Device.h"
#include "UserNotifications/UserNotifications.h"
#include "support/OrvelLocalTestSupport.h"
#include "support/OrvelTestSupport.h"

using namespace objc;
using orveltest::HandlerProbe;
using orveltest::intervalTrigger;
using orveltest::makeContent;
using orveltest::makeRequest;

namespace {

UNUserNotificationCenter* centre() { return UNUserNotificationCenter::currentNotificationCenter(); }
UIApplication* app() { return UIApplication::sharedApplication(); }

// The default delay: 0.1 second in single precision, widened.
constexpr double kDefaultDelay = 0.10000000149011612;

// Counts the attachment step and the launch-image setter while letting them
// run as before.
std::atomic<int> gAttachmentSteps{0};
IMP gAttachmentStep = nullptr;
void countedAttachmentStep(id self, SEL cmd, id url, id complete) {
  ++gAttachmentSteps;
  reinterpret_cast<void (*)(id, SEL, id, id)>(gAttachmentStep)(self, cmd, url, complete);
}
void countAttachmentSteps() {
  if (gAttachmentStep) return;
  Method m = class_getInstanceMethod(OrvelContext::class_(),
                                     sel<"_handleNotificationServiceRequestUrl:withAttachmentsComplete:">());
  gAttachmentStep = method_setImplementation(m, reinterpret_cast<IMP>(&countedAttachmentStep));
}

std::vector<std::string> gLaunchImagesSet;
IMP gSetLaunchImage = nullptr;
void recordedSetLaunchImage(id self, SEL cmd, id name) {
  gLaunchImagesSet.push_back(orveltest::text(name));
  reinterpret_cast<void (*)(id, SEL, id)>(gSetLaunchImage)(self, cmd, name);
}
void recordLaunchImages() {
  if (gSetLaunchImage) return;
  Method m = class_getInstanceMethod(UNMutableNotificationContent::class_(), sel<"setLaunchImageName:">());
  gSetLaunchImage = method_setImplementation(m, reinterpret_cast<IMP>(&recordedSetLaunchImage));
}

class OrvelLocalScheduling : public ::testing::Test {
 protected:
  void SetUp() override {
    UIDevice::currentDevice()->setSystemVersion("13.0");
    centre()->setAuthorizationStatus(UNAuthorizationStatusAuthorized, 7);
    centre()->removeAllPendingNotificationRequests();
  }
  void TearDown() override { UIDevice::currentDevice()->setSystemVersion("13.0"); }

  // Schedules on the current interface; the platform request the handler
  // was given.
  Ref<UNNotificationRequest> schedule(OrvelNotificationRequest* request) {
    HandlerProbe probe;
    orveltest::addLocalNotification(request, probe);
    EXPECT_TRUE(probe.waitFor(1));
    auto calls = probe.calls();
    if (calls.size() != 1) return nullptr;
    EXPECT_FALSE(calls[0].error) << orveltest::text(calls[0].error.get());
    return cast<UNNotificationRequest>(calls[0].result);
  }
  UNNotificationContent* scheduledContent(OrvelNotificationRequest* request) {
    last_ = schedule(request);
    return last_ ? last_->content() : nullptr;
  }
  // Schedules below "10.0"; the legacy notification the handler was given,
  // which it must be given before scheduling returns.
  Ref<UILocalNotification> scheduleLegacy(OrvelNotificationRequest* request) {
    HandlerProbe probe;
    orveltest::addLocalNotification(request, probe);
    auto calls = probe.calls();
    EXPECT_EQ(calls.size(), 1u);
    if (calls.size() != 1) return nullptr;
    EXPECT_TRUE(calls[0].beforeReturn);
    EXPECT_FALSE(calls[0].error);
    return cast<UILocalNotification>(calls[0].result);
  }

  Ref<UNNotificationRequest> last_;
};

// ---- triggers ----

TEST_F(OrvelLocalScheduling, RegionComesBeforeDateComponentsBeforeTheInterval) {
  auto home = CLCircularRegion::regionWithCenter({52.5, 13.4}, 100, str("home"));
  auto eight = make<NSDateComponents>();
  eight->hour = 8;

  auto everything = make<OrvelNotificationTrigger>();
  everything->setRegion(home);
  everything->setDateComponents(eight);
  everything->setTimeInterval(120);
  everything->setRepeat(true);
  auto r = schedule(makeRequest(str("region"), makeContent("b"), everything));
  ASSERT_TRUE(r);
  auto* location = cast<UNLocationNotificationTrigger>(r->trigger());
  ASSERT_TRUE(location) << orveltest::text(r->trigger());
  EXPECT_TRUE(location->region()->isEqual(home));
  EXPECT_TRUE(location->repeats());

  auto dated = make<OrvelNotificationTrigger>();
  dated->setDateComponents(eight);
  dated->setTimeInterval(120);
  r = schedule(makeRequest(str("dated"), makeContent("b"), dated));
  ASSERT_TRUE(r);
  auto* calendar = cast<UNCalendarNotificationTrigger>(r->trigger());
  ASSERT_TRUE(calendar) << orveltest::text(r->trigger());
  EXPECT_TRUE(calendar->dateComponents()->isEqual(eight));
  EXPECT_FALSE(calendar->repeats());
}

TEST_F(OrvelLocalScheduling, TimeIntervalTriggers) {
  auto fireDateOnly = make<OrvelNotificationTrigger>();
  fireDateOnly->setFireDate(NSDate::dateWithTimeIntervalSinceNow(3600));
  fireDateOnly->setRepeat(true);
  struct Case {
    const char* name;
    Ref<OrvelNotificationTrigger> trigger;
    double interval;
    bool repeats;
  } cases[] = {
      {"no trigger", nullptr, kDefaultDelay, false},
      {"a fire date only", fireDateOnly, kDefaultDelay, false},
      {"0 with repeat", intervalTrigger(0, true), kDefaultDelay, false},
      {"120 with repeat", intervalTrigger(120, true), 120, true},
      {"60 with repeat", intervalTrigger(60, true), 60, true},
      {"5 without repeat", intervalTrigger(5, false), 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = schedule(makeRequest(str(c.name), makeContent("b"), c.trigger));
    ASSERT_TRUE(r);
    auto* interval = cast<UNTimeIntervalNotificationTrigger>(r->trigger());
    ASSERT_TRUE(interval) << orveltest::text(r->trigger());
    EXPECT_EQ(interval->timeInterval(), c.interval);
    EXPECT_EQ(interval->repeats(), c.repeats);
  }
  EXPECT_EQ(kDefaultDelay, static_cast<double>(0.1f));
}

// The platform's trigger raises for these; the host gets an error instead
// and nothing is scheduled or downloaded.
TEST_F(OrvelLocalScheduling, DelaysThePlatformRefusesAreReportedThroughTheHandler) {
  countAttachmentSteps();
  struct Case {
    double seconds;
    bool repeat;
    const char* reason;
  } cases[] = {
      {-5, false, "time interval must be greater than 0"},
      {-5, true, "time interval must be greater than 0"},
      {std::numeric_limits<double>::quiet_NaN(), false, "time interval must be greater than 0"},
      {59.5, true, "time interval must be at least 60 if repeating"},
      {30, true, "time interval must be at least 60 if repeating"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    auto content = makeContent("b");
    content->setUserInfo(NSDictionary::dictionaryWithEntries({{str("attachment"), str("http://127.0.0.1:1/a.jpg")}}));
    HandlerProbe probe;
    orveltest::addLocalNotification(makeRequest(str("refused"), content, intervalTrigger(c.seconds, c.repeat)), probe);
    ASSERT_EQ(probe.count(), 1u);
    auto call = probe.calls()[0];
    EXPECT_FALSE(call.result);
    ASSERT_TRUE(call.error);
    EXPECT_EQ(call.error->domain()->utf8(), "OrvelLocalNotification");
    EXPECT_EQ(call.error->code(), 1000);
    EXPECT_EQ(orveltest::text(call.error->userInfo()->objectForKey("Description")), c.reason);
    EXPECT_EQ(call.error->localizedDescription()->utf8(), c.reason);
  }
  EXPECT_EQ(gAttachmentSteps.load(), 0);
  EXPECT_TRUE(centre()->pendingRequests().empty());
}

// ---- identifiers ----

TEST_F(OrvelLocalScheduling, AbsentAndEmptyIdentifiersAreGeneratedFromTheClock) {
  Device device;  // its clock starts at 1767225600 seconds
  auto r = schedule(makeRequest(nullptr, makeContent("b")));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->identifier()->utf8(), "1767225600000");
  device.advance(1.5);
  r = schedule(makeRequest(str(""), makeContent("b")));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->identifier()->utf8(), "1767225601500");
  r = schedule(makeRequest(str("tea"), makeContent("b")));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->identifier()->utf8(), "tea");
}

TEST_F(OrvelLocalScheduling, LegacyIdentifiersTravelInTheUserInfo) {
  UIDevice::currentDevice()->setSystemVersion("9.3");
  auto absent = scheduleLegacy(makeRequest(nullptr, makeContent("b")));
  ASSERT_TRUE(absent);
  EXPECT_EQ(absent->userInfo()->count(), 0u) << "nothing is generated on this interface";

  auto empty = scheduleLegacy(makeRequest(str(""), makeContent("b")));
  ASSERT_TRUE(empty);
  EXPECT_EQ(orveltest::text(empty->userInfo()->objectForKey(OrvelIdentifierKey)), "");

  auto content = makeContent("b");
  content->setUserInfo(
      NSDictionary::dictionaryWithEntries({{OrvelIdentifierKey, str("host's")}, {str("k"), str("v")}}));
  auto hostWins = scheduleLegacy(makeRequest(str("mine"), content));
  ASSERT_TRUE(hostWins);
  EXPECT_EQ(orveltest::text(hostWins->userInfo()->objectForKey(OrvelIdentifierKey)), "host's");
  EXPECT_EQ(orveltest::text(hostWins->userInfo()->objectForKey("k")), "v");
}

// ---- content ----

TEST_F(OrvelLocalScheduling, ContentFieldsOnTheCurrentInterface) {
  auto content = makeContent("body");
  content->setTitle(str("title"));
  content->setSubTitle(str("subtitle"));
  content->setThreadIdentifier(str("thread"));
  content->setUserInfo(NSDictionary::dictionaryWithEntries({{str("attachment"), NSNumber::numberWithInt(5)}}));
  UNNotificationContent* c = scheduledContent(makeRequest(str("fields"), content));
  ASSERT_TRUE(c);
  EXPECT_EQ(orveltest::text(c->title()), "title");
  EXPECT_EQ(orveltest::text(c->subtitle()), "subtitle");
  EXPECT_EQ(orveltest::text(c->body()), "body");
  EXPECT_EQ(orveltest::text(c->threadIdentifier()), "thread");
  EXPECT_TRUE(c->userInfo()->isEqual(content->userInfo())) << "kept whole, with no identifier added";

  c = scheduledContent(makeRequest(str("bare"), objc::make<OrvelNotificationContent>()));
  ASSERT_TRUE(c);
  EXPECT_FALSE(c->title());
  EXPECT_FALSE(c->body());
  EXPECT_FALSE(c->userInfo()) << "an absent value is passed as absent";
  EXPECT_EQ(orveltest::text(c->threadIdentifier()), "");
}

TEST_F(OrvelLocalScheduling, SilentPushesGetNoSoundAndOnlyTheLegacyBadge) {
  auto loud = makeContent("b");
  loud->setBadge(NSNumber::numberWithInt(3));
  loud->setSound(str("ding.caf"));
  UNNotificationContent* c = scheduledContent(makeRequest(str("loud"), loud));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->badge()->integerValue(), 3);
  ASSERT_TRUE(c->sound());
  EXPECT_EQ(orveltest::text(c->sound()->name()), "ding.caf");

  c = scheduledContent(makeRequest(str("plain"), makeContent("b")));
  ASSERT_TRUE(c && c->sound());
  EXPECT_TRUE(c->sound()->isDefault());
  EXPECT_FALSE(c->badge());

  loud->setSilentPush(true);
  c = scheduledContent(makeRequest(str("silent"), loud));
  ASSERT_TRUE(c);
  EXPECT_FALSE(c->badge());
  EXPECT_FALSE(c->sound());

  UIDevice::currentDevice()->setSystemVersion("9.3");
  auto legacySilent = scheduleLegacy(makeRequest(str("silent"), loud));
  ASSERT_TRUE(legacySilent);
  EXPECT_EQ(legacySilent->applicationIconBadgeNumber(), 3);
  EXPECT_FALSE(legacySilent->soundName());
  loud->setSilentPush(false);
  loud->setSound(nullptr);
  auto legacyLoud = scheduleLegacy(makeRequest(str("loud"), loud));
  ASSERT_TRUE(legacyLoud);
  EXPECT_EQ(orveltest::text(legacyLoud->soundName()), orveltest::text(UILocalNotificationDefaultSoundName()));
}

TEST_F(OrvelLocalScheduling, VersionGates) {
  auto content = makeContent("b");
  content->setSummaryArgument(str("Anna"));
  content->setSummaryArgumentCount(2);
  content->setTargetContentIdentifier(str("target"));

  UIDevice::currentDevice()->setSystemVersion("11.4");
  UNNotificationContent* c = scheduledContent(makeRequest(str("11.4"), content));
  ASSERT_TRUE(c);
  EXPECT_EQ(orveltest::text(c->summaryArgument()), "");
  EXPECT_EQ(c->summaryArgumentCount(), 0u);

  UIDevice::currentDevice()->setSystemVersion("12.0");
  c = scheduledContent(makeRequest(str("12.0"), content));
  ASSERT_TRUE(c);
  EXPECT_EQ(orveltest::text(c->summaryArgument()), "Anna");
  EXPECT_EQ(c->summaryArgumentCount(), 2u);
  EXPECT_FALSE(c->targetContentIdentifier()) << "from 13.0 only";

  auto countOnly = makeContent("b");
  countOnly->setSummaryArgumentCount(4);
  c = scheduledContent(makeRequest(str("count only"), countOnly));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->summaryArgumentCount(), 0u) << "the count goes only with its argument";

  UIDevice::currentDevice()->setSystemVersion("13.0");
  c = scheduledContent(makeRequest(str("13.0"), content));
  ASSERT_TRUE(c);
  EXPECT_EQ(orveltest::text(c->targetContentIdentifier()), "target");

  UIDevice::currentDevice()->setSystemVersion("10.0");
  EXPECT_TRUE(schedule(makeRequest(str("10.0"), content))) << "exactly 10.0 uses the notification framework";
  EXPECT_EQ(centre()->pendingRequests().size(), 5u);
}

TEST_F(OrvelLocalScheduling, AnEmptyLaunchImageIsSetOnlyOnTheLegacyInterface) {
  recordLaunchImages();
  auto content = makeContent("b");
  content->setLaunchImageName(str(""));
  ASSERT_TRUE(schedule(makeRequest(str("empty"), content)));
  content->setLaunchImageName(str("splash"));
  UNNotificationContent* c = scheduledContent(makeRequest(str("named"), content));
  ASSERT_TRUE(c);
  EXPECT_EQ(orveltest::text(c->launchImageName()), "splash");
  EXPECT_EQ(gLaunchImagesSet, std::vector<std::string>{"splash"});

  UIDevice::currentDevice()->setSystemVersion("9.3");
  content->setLaunchImageName(str(""));
  auto legacy = scheduleLegacy(makeRequest(str("empty"), content));
  ASSERT_TRUE(legacy);
  EXPECT_EQ(orveltest::text(legacy->alertLaunchImage()), "");
  content->setLaunchImageName(nullptr);
  legacy = scheduleLegacy(makeRequest(str("none"), content));
  ASSERT_TRUE(legacy);
  EXPECT_FALSE(legacy->alertLaunchImage());
}

TEST_F(OrvelLocalScheduling, OnlyANonEmptyStringAddressStartsADownload) {
  countAttachmentSteps();
  Id own = orveltest::makePlatformAttachment("own", "own.png");
  ASSERT_TRUE(own);
  for (Id value : {Id(NSNumber::numberWithInt(1)), Id(str(""))}) {
    auto content = makeContent("b");
    content->setAttachments(NSArray::arrayWithObjects({own}));
    content->setUserInfo(NSDictionary::dictionaryWithEntries({{str("attachment"), value}}));
    UNNotificationContent* c = scheduledContent(makeRequest(str("own"), content));
    ASSERT_TRUE(c);
    ASSERT_EQ(c->attachments()->count(), 1u);
    EXPECT_EQ(c->attachments()->objectAtIndex(0), own.get());
  }
  EXPECT_EQ(gAttachmentSteps.load(), 0);
}

// ---- the legacy interface ----

TEST_F(OrvelLocalScheduling, LegacyTriggers) {
  UIDevice::currentDevice()->setSystemVersion("9.3");
  auto system = orveltest::attachRecordingSystem();
  app()->cancelAllLocalNotifications();

  // Shown at once: without a trigger, and with only the fields this
  // interface does not read.
  auto unread = make<OrvelNotificationTrigger>();
  unread->setTimeInterval(120);
  unread->setDateComponents(make<NSDateComponents>());
  auto shown = scheduleLegacy(makeRequest(str("now"), makeContent("now")));
  auto shownToo = scheduleLegacy(makeRequest(str("now too"), makeContent("now too"), unread));
  ASSERT_TRUE(shown && shownToo);
  ASSERT_EQ(system->presented().size(), 2u);
  EXPECT_EQ(orveltest::text(system->presented()[0]->alertBody()), "now");
  EXPECT_EQ(app()->scheduledLocalNotifications()->count(), 0u);

  auto dated = make<OrvelNotificationTrigger>();
  auto at = NSDate::dateWithTimeIntervalSince1970(2000000000);
  dated->setFireDate(at);
  auto scheduled = scheduleLegacy(makeRequest(str("dated"), makeContent("dated"), dated));
  ASSERT_TRUE(scheduled);
  EXPECT_TRUE(scheduled->fireDate()->isEqual(at));
  EXPECT_EQ(scheduled->repeatInterval(), 0u);
  EXPECT_TRUE(scheduled->timeZone()->isEqual(NSTimeZone::defaultTimeZone()));

  // A region wins over the fire date; repeating means it triggers more than once.
  auto home = CLCircularRegion::regionWithCenter({52.5, 13.4}, 100, str("home"));
  for (bool repeat : {false, true}) {
    auto regional = make<OrvelNotificationTrigger>();
    regional->setRegion(home);
    regional->setFireDate(at);
    regional->setRepeat(repeat);
    auto n = scheduleLegacy(makeRequest(str("region"), makeContent("region"), regional));
    ASSERT_TRUE(n);
    EXPECT_TRUE(n->region()->isEqual(home));
    EXPECT_FALSE(n->fireDate());
    EXPECT_EQ(n->regionTriggersOnce(), !repeat);
  }
  EXPECT_EQ(app()->scheduledLocalNotifications()->count(), 3u);
  EXPECT_EQ(system->presented().size(), 2u);
}

TEST_F(OrvelLocalScheduling, LegacyFields) {
  auto content = makeContent("body");
  content->setTitle(str("title"));
  content->setBadge(NSNumber::numberWithInt(7));
  content->setSound(str("ding.caf"));
  content->setSubTitle(str("not used"));

  UIDevice::currentDevice()->setSystemVersion("9.3");
  auto n = scheduleLegacy(makeRequest(str("fields"), content));
  ASSERT_TRUE(n);
  EXPECT_EQ(orveltest::text(n->alertTitle()), "title");
  EXPECT_EQ(orveltest::text(n->alertBody()), "body");
  EXPECT_EQ(n->applicationIconBadgeNumber(), 7);
  EXPECT_EQ(orveltest::text(n->soundName()), "ding.caf");

  UIDevice::currentDevice()->setSystemVersion("8.1");
  n = scheduleLegacy(makeRequest(str("8.1"), content));
  ASSERT_TRUE(n);
  EXPECT_FALSE(n->alertTitle()) << "alert titles come with 8.2";
  EXPECT_EQ(n->applicationIconBadgeNumber(), 7);
}

// ---- the handler ----

TEST_F(OrvelLocalScheduling, TheHandlerGetsTheSubmittedRequestOrThePlatformsError) {
  HandlerProbe accepted;
  orveltest::addLocalNotification(makeRequest(str("ok"), makeContent("b")), accepted);
  ASSERT_TRUE(accepted.waitFor(1));
  ASSERT_EQ(centre()->pendingRequests().size(), 1u);
  EXPECT_EQ(accepted.calls()[0].result.get(), centre()->pendingRequests()[0].request.get());
  EXPECT_FALSE(accepted.calls()[0].error);

  centre()->setAuthorizationStatus(UNAuthorizationStatusDenied, 0);
  HandlerProbe refused;
  orveltest::addLocalNotification(makeRequest(str("denied"), makeContent("b")), refused);
  ASSERT_TRUE(refused.waitFor(1));
  auto call = refused.calls()[0];
  EXPECT_FALSE(call.result);
  ASSERT_TRUE(call.error);
  auto platformError = NSError::errorWithDomain(
      UNErrorDomain, UNErrorCodeNotificationsNotAllowed,
      NSDictionary::dictionaryWithEntries(
          {{str(NSLocalizedDescriptionKey), str("Notifications are not allowed for this application")}}));
  EXPECT_TRUE(call.error->isEqual(platformError)) << orveltest::text(call.error.get());
  EXPECT_EQ(centre()->pendingRequests().size(), 1u);
  EXPECT_EQ(accepted.count(), 1u);
}

TEST_F(OrvelLocalScheduling, RequestsWithoutContentAreIgnoredAndTheHandlerIsOptional) {
  HandlerProbe ignored;
  orveltest::addLocalNotification(makeRequest(str("empty"), nullptr), ignored);
  orveltest::addLocalNotification(nullptr, ignored);
  orveltest::addLocalNotification(makeRequest(str("no handler"), makeContent("b")), nullptr);
  HandlerProbe fence;
  orveltest::addLocalNotification(makeRequest(str("fence"), makeContent("b")), fence);
  ASSERT_TRUE(fence.waitFor(1));
  EXPECT_EQ(centre()->pendingRequests().size(), 2u);
  EXPECT_EQ(ignored.count(), 0u);

  UIDevice::currentDevice()->setSystemVersion("9.3");
  app()->cancelAllLocalNotifications();
  auto system = orveltest::attachRecordingSystem();
  orveltest::addLocalNotification(makeRequest(str("empty"), nullptr), ignored);
  orveltest::addLocalNotification(makeRequest(str("no handler"), makeContent("b")), nullptr);
  EXPECT_EQ(ignored.count(), 0u);
  EXPECT_EQ(system->presented().size(), 1u);
}

// ---- on the simulated device ----

struct SchedulingHost : NSObject {
  static Class class_();
  void didReceiveLocal(UIApplication*, UILocalNotification*) { orveltest::record("host:local"); }
};
Class SchedulingHost::class_() {
  static Class c = ClassBuilder<SchedulingHost>("SchedulingHost")
                       .conforms("UIApplicationDelegate")
                       .method<&SchedulingHost::didReceiveLocal>("application:didReceiveLocalNotification:")
                       .build();
  return c;
}

// A host's notification-centre delegate that leaves everything to the
// application delegate.
struct SchedulingCentreDelegate : NSObject {
  static Class class_();
};
Class SchedulingCentreDelegate::class_() {
  static Class c = ClassBuilder<SchedulingCentreDelegate>("SchedulingCentreDelegate")
                       .conforms("UNUserNotificationCenterDelegate")
                       .build();
  return c;
}

Ref<OrvelNotificationRequest> firingAt(Device& device, const char* identifier, double delay) {
  auto trigger = make<OrvelNotificationTrigger>();
  trigger->setFireDate(NSDate::dateWithTimeIntervalSince1970(device.now() + delay));
  return makeRequest(str(identifier), makeContent(identifier), trigger);
}

class OrvelLocalOnDevice : public ::testing::Test {
 protected:
  void SetUp() override { orveltest::clearJournal(); }
  void TearDown() override { UIDevice::currentDevice()->setSystemVersion("13.0"); }

  Device device;
  orveltest::EventRecorder events;
};

TEST_F(OrvelLocalOnDevice, LegacyNotificationsFireOnTheDeviceClockAndComeBackAsEvents) {
  UIDevice::currentDevice()->setSystemVersion("9.3");
  device.launch([] { return Id(make<SchedulingHost>()); });
  HandlerProbe probe;
  orveltest::addLocalNotification(firingAt(device, "tea", 60), probe);
  ASSERT_EQ(probe.count(), 1u);
  device.advance(59);
  EXPECT_EQ(events.count(), 0u);
  device.advance(1);
  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeLocalReceived);
  EXPECT_EQ(orveltest::text(messages[0]->identifier()), "tea");
  EXPECT_EQ(orveltest::text(messages[0]->content()->body()), "tea");

  orveltest::addLocalNotification(firingAt(device, "coffee", 30), probe);
  device.setState(AppState::Background);
  device.advance(30);
  EXPECT_EQ(events.messages().size(), 1u) << "in the background it is only a notice";
  ASSERT_TRUE(device.openLatest());
  messages = events.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1]->notificationMessageType(), OrvelNotificationMessageTypeLocalOpened);
  EXPECT_EQ(orveltest::text(messages[1]->identifier()), "coffee");
  EXPECT_EQ(orveltest::journal(), (std::vector<std::string>{"host:local", "host:local"}));
  EXPECT_TRUE(device.faults().empty());
}

TEST_F(OrvelLocalOnDevice, FiveRequestsWithoutIdentifiersInOneBurstAreFivePendingRequests) {
  device.launch([] { return Id(make<SchedulingHost>()); });
  HandlerProbe probe;
  for (int i = 0; i < 5; ++i) {
    OrvelCenter::addLocalNotification(makeRequest(nullptr, makeContent("burst"), intervalTrigger(60, false)),
                                      probe.handler());
  }
  ASSERT_TRUE(probe.waitFor(5));
  device.settle();
  EXPECT_EQ(centre()->pendingRequests().size(), 5u) << "the device's clock stands still: one millisecond";
  std::set<std::string> identifiers;
  for (const auto& call : probe.calls()) {
    auto* request = cast<UNNotificationRequest>(call.result.get());
    ASSERT_TRUE(request) << orveltest::text(call.error.get());
    identifiers.insert(request->identifier()->utf8());
  }
  EXPECT_EQ(identifiers.size(), 5u);
  device.setState(AppState::Background);
  device.advance(60);
  EXPECT_EQ(device.deliveredIdentifiers().size(), 5u);
}

TEST_F(OrvelLocalOnDevice, RequestsFireOnTheDeviceClock) {
  device.launch([] { return Id(make<SchedulingHost>()); });
  device.setState(AppState::Background);
  HandlerProbe probe;
  orveltest::addLocalNotification(makeRequest(str("tea"), makeContent("tea"), intervalTrigger(120, true)), probe);
  ASSERT_TRUE(probe.waitFor(1));
  device.advance(119);
  EXPECT_TRUE(device.deliveredIdentifiers().empty());
  device.advance(1);
  EXPECT_EQ(device.deliveredIdentifiers(), std::vector<std::string>{"tea"});
  EXPECT_EQ(centre()->pendingRequests().size(), 1u) << "it repeats";
}

TEST_F(OrvelLocalOnDevice, RequestsComeBackAsEventsWhenPresentedOrOpened) {
  device.launch([] { return Id(make<SchedulingHost>()); });
  auto centreDelegate = make<SchedulingCentreDelegate>();
  centre()->setDelegate(centreDelegate);
  HandlerProbe probe;
  orveltest::addLocalNotification(makeRequest(str("tea"), makeContent("tea"), intervalTrigger(60, false)), probe);
  ASSERT_TRUE(probe.waitFor(1));
  device.advance(60);
  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeLocalReceived);
  EXPECT_EQ(orveltest::text(messages[0]->identifier()), "tea");
  EXPECT_EQ(orveltest::text(messages[0]->content()->body()), "tea");

  orveltest::addLocalNotification(makeRequest(str("coffee"), makeContent("coffee"), intervalTrigger(60, false)), probe);
  ASSERT_TRUE(probe.waitFor(2));
  device.setState(AppState::Background);
  device.advance(60);
  EXPECT_EQ(events.messages().size(), 1u);
  ASSERT_TRUE(device.open("coffee"));
  messages = events.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1]->notificationMessageType(), OrvelNotificationMessageTypeLocalOpened);
  EXPECT_EQ(orveltest::text(messages[1]->identifier()), "coffee");
  EXPECT_TRUE(device.faults().empty());
}

}  // namespace

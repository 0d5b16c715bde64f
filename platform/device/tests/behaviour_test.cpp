// The cases where the device follows the platform's documented behaviour
// (docs/architecture.md, "Device behaviour"), one test per case, on the
// system versions it concerns, checked through the device's records.
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "support.h"

namespace device_test {
namespace {

using Calls = std::vector<std::string>;

class Behaviour : public DeviceTest {
 protected:
  // What the user saw and heard of the notification since the records were
  // last cleared: its list changes, badge writes and sounds.
  std::string shown() {
    std::string out;
    for (const auto& r : device->records()) {
      if (r.kind == "local") out += r.get("change") + " ";
      if (r.kind == "badge") out += "badge=" + r.get("value") + " ";
      if (r.kind == "sound") out += "sound ";
    }
    if (!out.empty()) out.pop_back();
    return out;
  }
};

// ---- 1. a tapped remote notice launches the application below 10.0 ----

TEST_F(Behaviour, Below10ATappedRemoteNoticeLaunchesThenReachesTheFetchCallbackWhileInactive) {
  // From 10.0 an application without a centre delegate is treated alike.
  for (const char* version : {"9.3", "10.0"}) {
    useVersion(version);
    launch(kLaunch | kRemote | kFetch);
    device->terminate();
    device->push(json(kVisible));
    ASSERT_TRUE(device->openLatest());
    EXPECT_EQ(takeCalls(), (Calls{"launch@inactive", "fetch@inactive"})) << version;
    EXPECT_EQ(device->state(), AppState::Active);
    EXPECT_TRUE(host->payload->isEqual(json(kVisible).get()));
    EXPECT_EQ(device->records("completion").size(), 1u) << "the fetch handler was completed";

    // A host with only the plain callback gets the launch options alone.
    device->terminate();
    launch(kLaunch | kRemote);
    device->terminate();
    device->push(json(kVisible));
    ASSERT_TRUE(device->openLatest());
    EXPECT_EQ(takeCalls(), Calls{"launch@inactive"}) << version;
    ASSERT_TRUE(host->launchOptions);
    EXPECT_TRUE(host->launchOptions->objectForKey(UIApplicationLaunchOptionsRemoteNotificationKey()));
    EXPECT_FALSE(host->payload);
    device->terminate();
    device->clearRecords();
  }
}

// ---- 2. a legacy local notification for a frontmost application ----

TEST_F(Behaviour, Below10ALocalNotificationForTheFrontmostApplicationOnlyCallsItsDelegate) {
  useVersion("9.3");
  launch(kFullHost);
  takeCalls();
  auto schedule = [&] {
    auto n = make<UILocalNotification>();
    n->setAlertBody(str("due"));
    n->setApplicationIconBadgeNumber(5);
    n->setSoundName(UILocalNotificationDefaultSoundName());
    n->setFireDate(NSDate::dateWithTimeIntervalSince1970(device->now() + 10));
    app->scheduleLocalNotification(n);
  };
  schedule();
  device->clearRecords();
  device->advance(10);
  EXPECT_EQ(takeCalls(), Calls{"local@active"});
  EXPECT_EQ(shown(), "removed") << "it left the schedule; no notice, badge or sound";
  EXPECT_EQ(app->applicationIconBadgeNumber(), 0);

  schedule();
  device->setState(AppState::Background);
  device->clearRecords();
  device->advance(10);
  EXPECT_EQ(takeCalls(), Calls{});
  EXPECT_EQ(shown(), "removed badge=5 delivered sound");
}

// ---- 3. 64 legacy notifications ----

TEST_F(Behaviour, Below10TheSystemKeepsTheSixtyFourLegacyNotificationsThatFireSoonest) {
  useVersion("9.3");
  launch(kFullHost);
  device->setState(AppState::Background);
  auto schedule = [&](double in, bool onRegion) {
    auto n = make<UILocalNotification>();
    n->setAlertBody(str(std::to_string(static_cast<int>(in))));
    if (onRegion) {
      n->setRegion(CLCircularRegion::regionWithCenter({52.5, 13.4}, 100, str("home")));
    } else {
      n->setFireDate(NSDate::dateWithTimeIntervalSince1970(device->now() + in));
    }
    app->scheduleLocalNotification(n);
  };
  for (int i = 64; i >= 1; --i) schedule(i, false);
  schedule(0, true);  // on no date: the latest of all
  schedule(65, false);
  auto records = device->records("local");
  ASSERT_EQ(records.size(), 68u);
  EXPECT_EQ(records[65].get("reason"), "limit");
  EXPECT_EQ(records[65].get("id"), records[64].get("id")) << "the region one goes first";
  EXPECT_EQ(records[67].get("reason"), "limit");
  EXPECT_EQ(records[67].get("id"), records[66].get("id")) << "then the one in 65 seconds, as soon as it comes";
  EXPECT_EQ(app->scheduledEntries().size(), 64u);
  EXPECT_EQ(app->scheduledLocalNotifications()->count(), 64u);

  device->advance(100);
  EXPECT_EQ(app->notices().size(), 64u);
  auto* last = cast<UILocalNotification>(app->notices().back().get());
  EXPECT_EQ(last->alertBody()->utf8(), "64");
}

// ---- 4. the user's permission for remote pushes ----

class PermissionBehaviour : public Behaviour, public ::testing::WithParamInterface<const char*> {};

TEST_P(PermissionBehaviour, DeniedShowsNothingYetTheApplicationsCallbacksRun) {
  useVersion(GetParam());
  bool legacy = !UIDevice::systemVersionAtLeast("10.0");
  launch(kFullHost);
  if (legacy) {
    // Below 10.0 the user says no to the legacy prompt.
    device->setAuthorizationAnswer(false);
    app->registerUserNotificationSettings(UIUserNotificationSettings::settingsForTypes(7, nullptr));
    device->settle();
  } else {
    device->setAuthorizationStatus(UNAuthorizationStatusDenied);
  }
  takeCalls();
  device->setState(AppState::Background);
  device->clearRecords();
  device->push(json(kVisible));
  device->push(json(kVisibleAndSilent));
  EXPECT_EQ(shown(), "") << "no list, badge or sound";
  EXPECT_EQ(takeCalls(), Calls{"fetch@background"}) << "background work still runs";
  EXPECT_TRUE(device->deliveredIdentifiers().empty());

  device->setState(AppState::Active);
  takeCalls();
  device->clearRecords();
  device->push(json(kVisible));
  EXPECT_EQ(takeCalls(), Calls{legacy ? "fetch@active" : "present@active"}) << "the application is still told";
  EXPECT_EQ(shown(), "") << "whatever the delegate answers";

  // Allowed again in the settings: everything shows.
  device->setAuthorizationStatus(UNAuthorizationStatusAuthorized);
  EXPECT_EQ(app->currentUserNotificationSettings()->types(), 7u);
  device->setState(AppState::Background);
  device->clearRecords();
  device->push(json(kVisible));
  EXPECT_EQ(shown(), "badge=3 delivered sound");
}

TEST_P(PermissionBehaviour, ProvisionalDeliversQuietlyToTheListFrom12) {
  useVersion(GetParam());
  launch(kFullHost);
  if (!UIDevice::systemVersionAtLeast("12.0")) {
    EXPECT_THROW(device->setAuthorizationStatus(UNAuthorizationStatusProvisional), Exception);
    EXPECT_NE(centre->authorizationStatus(), UNAuthorizationStatusProvisional);
    return;
  }
  device->setAuthorizationStatus(UNAuthorizationStatusProvisional);
  device->setState(AppState::Background);
  device->clearRecords();
  auto id = device->push(json(kVisible));
  EXPECT_EQ(shown(), "delivered") << "no banner, badge or sound";
  EXPECT_EQ(device->deliveredIdentifiers(), std::vector<std::string>{id->utf8()});

  device->setState(AppState::Active);
  device->clearRecords();
  device->push(json(kVisible));  // the delegate answers badge, sound and alert
  EXPECT_EQ(shown(), "delivered");
}

INSTANTIATE_TEST_SUITE_P(Versions, PermissionBehaviour, ::testing::Values("9.3", "10.0", "12.0", "13.0"));

// ---- 5. list and banner from 14.0 ----

TEST_F(Behaviour, From14ListAndBannerPresentSeparatelyAndAlertMeansBoth) {
  struct Case {
    UNNotificationPresentationOptions options;
    const char* on13;
    const char* on14;
  } cases[] = {
      {UNNotificationPresentationOptionList, "", "delivered"},
      {UNNotificationPresentationOptionBanner, "", "presented"},
      {UNNotificationPresentationOptionList | UNNotificationPresentationOptionBanner, "", "presented delivered"},
      {UNNotificationPresentationOptionAlert, "presented delivered", "presented delivered"},
      {UNNotificationPresentationOptionBadge | UNNotificationPresentationOptionSound, "badge=3 sound",
       "badge=3 sound"}};
  for (const char* version : {"13.0", "14.0"}) {
    useVersion(version);
    launch(kFullHost);
    for (const auto& c : cases) {
      host->presentOptions = c.options;
      device->clearRecords();
      device->push(json(kVisible), str("p"));
      EXPECT_EQ(shown(), std::string(version) == "13.0" ? c.on13 : c.on14) << version << " options " << c.options;
      centre->removeAllDeliveredNotifications();
    }
    device->terminate();
  }
}

TEST_F(Behaviour, TheListKeepsTheLatestAndTheOldestGoesWithTheReasonLimit) {
  for (const char* version : {"9.3", "13.0"}) {
    useVersion(version);
    launch(kFullHost);
    device->setState(AppState::Background);
    device->clearRecords();
    for (size_t i = 0; i <= Device::kDeliveredLimit; ++i) device->push(json(kVisible), str("n" + std::to_string(i)));
    std::vector<std::string> listed = device->deliveredIdentifiers();
    ASSERT_EQ(listed.size(), Device::kDeliveredLimit) << version;
    EXPECT_EQ(listed.front(), "n1") << version;
    EXPECT_EQ(listed.back(), "n" + std::to_string(Device::kDeliveredLimit)) << version;
    std::vector<std::string> limited;
    for (const DeviceRecord& r : device->records("local"))
      if (r.get("reason") == "limit") limited.push_back(r.get("list") + " " + r.get("change") + " " + r.get("id"));
    const std::string list = std::string(version) == "9.3" ? "notices" : "delivered";
    EXPECT_EQ(limited, std::vector<std::string>{list + " removed n0"}) << version;
    // The latest one is still opened from the list.
    EXPECT_TRUE(device->open(str("n" + std::to_string(Device::kDeliveredLimit)).get())) << version;
    device->terminate();
  }
}

// ---- 6. a launch into the background ----

TEST_F(Behaviour, AnApplicationLaunchedByASilentPushEntersTheBackgroundBeforeTheFetch) {
  for (const char* version : {"9.3", "13.0"}) {
    useVersion(version);
    launch(kFullHost | kLifecycle);
    device->setState(AppState::Inactive);
    device->terminate();
    takeCalls();
    std::vector<std::string> broadcasts;
    auto token = NSNotificationCenter::defaultCenter()->addObserverForName(
        nullptr, app, nullptr, [&](NSNotification* n) { broadcasts.push_back(n->name()->utf8()); });
    device->push(json(kSilent));
    NSNotificationCenter::defaultCenter()->removeObserver(token);
    EXPECT_EQ(takeCalls(), (Calls{"launch@background", "didEnterBackground@background", "fetch@background"}))
        << version;
    EXPECT_EQ(broadcasts, (std::vector<std::string>{"UIApplicationDidFinishLaunchingNotification",
                                                    "UIApplicationDidEnterBackgroundNotification"}));
    device->terminate();
  }
}

// ---- 7. force-quit ----

TEST_F(Behaviour, AForceQuitApplicationIsNotWokenByBackgroundWorkButLaunchesWhenTapped) {
  for (const char* version : {"9.3", "13.0"}) {
    useVersion(version);
    launch(kFullHost | kLifecycle);
    takeCalls();
    device->setState(AppState::ForceQuit);
    EXPECT_EQ(takeCalls(),
              (Calls{"willResignActive@active", "didEnterBackground@background", "willTerminate@background"}))
        << "it was running, so it is told";
    EXPECT_EQ(device->state(), AppState::ForceQuit);
    EXPECT_EQ(device->applicationDelegate(), nullptr);

    device->push(json(kSilent));
    device->push(json(kVisibleAndSilent));
    EXPECT_EQ(device->state(), AppState::ForceQuit) << version;
    EXPECT_EQ(takeCalls(), Calls{});
    EXPECT_EQ(device->deliveredIdentifiers().size(), 1u) << "the visible one is listed";
    EXPECT_THROW(device->setState(AppState::Background), Exception);

    ASSERT_TRUE(device->openLatest());
    EXPECT_EQ(device->state(), AppState::Active) << "the user's tap launches it normally";
    EXPECT_EQ(takeCalls().front(), "launch@inactive");
    device->terminate();
    app->setApplicationIconBadgeNumber(0);
  }
}

TEST_F(Behaviour, OnlyARunningNotSuspendedApplicationHearsThatItIsTerminated) {
  useVersion("13.0");
  launch(kFullHost | kLifecycle);
  device->setState(AppState::Background);
  takeCalls();
  device->setState(AppState::ForceQuit);
  EXPECT_EQ(takeCalls(), Calls{}) << "suspended in the background: ended without a word";

  launch(kFullHost | kLifecycle, {}, [](Host& h) { h.completeFetch = false; });
  device->setState(AppState::Background);
  device->push(json(kSilent));
  takeCalls();
  device->terminate();
  EXPECT_EQ(takeCalls(), Calls{"willTerminate@background"}) << "still at work on a fetch";

  // Not running: swiping it away only marks it, and a restart forgets that.
  device->setState(AppState::ForceQuit);
  EXPECT_EQ(device->state(), AppState::ForceQuit);
  device->setState(AppState::NotRunning);
  device->push(json(kSilent));
  EXPECT_EQ(device->state(), AppState::Background) << "woken again";
}

// ---- 8. attachment contents ----

TEST_F(Behaviour, AnAttachmentWhoseContentsAreNotItsTypeIsInvalid) {
  useVersion("10.0");
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("device-behaviour-" + std::to_string(getpid()));
  fs::create_directories(dir);
  auto offer = [&](const char* name, const std::string& bytes, Ref<NSError>* error) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return send<Ref<NSObject>>(UNNotificationAttachment::class_(), sel<"attachmentWithIdentifier:URL:options:error:">(),
                               str("a"), NSURL::fileURLWithPath(str((dir / name).string())), nullptr,
                               static_cast<void*>(error));
  };
  Ref<NSError> error;
  EXPECT_FALSE(offer("picture.png", "<html><h1>Not Found</h1></html>", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), UNErrorCodeAttachmentCorrupt);
  EXPECT_EQ(error->domain()->utf8(), UNErrorDomain);
  error = nullptr;
  EXPECT_TRUE(offer("real.png", std::string("\x89PNG\r\n\x1A\n", 8) + "rest of it", &error));
  EXPECT_FALSE(error);
  fs::remove_all(dir);
}

// ---- 9. calendar triggers ----

Ref<UNNotificationTrigger> matching(std::initializer_list<std::pair<const char*, int64_t>> fields, bool repeats,
                                    NSTimeZone* zone = nullptr) {
  auto c = make<NSDateComponents>();
  for (auto [unit, value] : fields) {
    std::string_view u = unit;
    if (u == "year") c->year = value;
    if (u == "month") c->month = value;
    if (u == "day") c->day = value;
    if (u == "hour") c->hour = value;
    if (u == "minute") c->minute = value;
  }
  c->timeZone = zone;
  return UNCalendarNotificationTrigger::triggerWithDateMatchingComponents(c, repeats);
}

TEST_F(Behaviour, CalendarTriggersMatchComponentsAsGivenWithoutAHorizon) {
  for (const char* version : {"10.0", "13.0"}) {
    useVersion(version);
    launch(kFullHost);
    device->setState(AppState::Background);
    centre->removeAllPendingNotificationRequests();
    double start = device->now();
    int64_t today = static_cast<int64_t>(std::floor(start / 86400));
    int64_t farYear = civilFromDays(today).year + 11;  // beyond the ten years searched before
    centre->addNotificationRequest(request("hour-25", matching({{"hour", 25}}, true)), nullptr);
    centre->addNotificationRequest(request("minute-75", matching({{"hour", 8}, {"minute", 75}}, false)), nullptr);
    centre->addNotificationRequest(request("hour-minus-1", matching({{"day", 2}, {"hour", -1}}, false)), nullptr);
    centre->addNotificationRequest(
        request("far", matching({{"year", farYear}, {"month", 6}, {"day", 1}, {"hour", 9}}, false)), nullptr);
    device->clearRecords();
    device->advance(12.0 * 365 * 86400);
    std::vector<std::string> fired;
    for (const auto& r : device->records("local"))
      if (r.get("change") == "delivered") fired.push_back(r.get("id"));
    EXPECT_EQ(fired, std::vector<std::string>{"far"}) << version;
    EXPECT_EQ(device->records("local").front().time, daysFromCivil(farYear, 6, 1) * 86400.0 + 9 * 3600) << version;
    EXPECT_EQ(centre->pendingRequests().size(), 3u) << "the others stay, never firing";
    device->terminate();
  }
}

TEST_F(Behaviour, AFloatingCalendarTriggerFollowsTheWallClockWhenTheTimeZoneChanges) {
  useVersion("13.0");
  launch(kFullHost);
  device->setState(AppState::Background);
  double start = device->now();  // 00:00 in the device's zone, GMT
  centre->addNotificationRequest(request("floating", matching({{"hour", 8}}, true)), nullptr);
  centre->addNotificationRequest(
      request("fixed", matching({{"hour", 8}}, true, NSTimeZone::timeZoneForSecondsFromGMT(0))), nullptr);
  device->advance(3600);
  device->setTimeZone(NSTimeZone::timeZoneWithName("GMT+02:00"));
  device->advance(47 * 3600);
  std::vector<std::string> fired;
  for (const auto& r : device->records("local"))
    if (r.get("change") == "delivered") fired.push_back(r.get("id") + "@" + std::to_string(int(r.time - start) / 3600));
  EXPECT_EQ(fired, (std::vector<std::string>{"floating@6", "fixed@8", "floating@30", "fixed@32"}))
      << "08:00 in the new zone is 06:00 UTC";
  EXPECT_THROW(device->setTimeZone(nullptr), Exception);
}

TEST_F(Behaviour, Below10ALegacyNotificationWithATimeZoneKeepsItsWallClockTime) {
  useVersion("9.3");
  launch(kFullHost);
  device->setState(AppState::Background);
  double start = device->now();
  auto schedule = [&](NSTimeZone* zone) {
    auto n = make<UILocalNotification>();
    n->setFireDate(NSDate::dateWithTimeIntervalSince1970(start + 8 * 3600));
    n->setTimeZone(zone);
    app->scheduleLocalNotification(n);
  };
  schedule(NSTimeZone::defaultTimeZone());
  schedule(nullptr);  // an absolute time
  device->setTimeZone(NSTimeZone::timeZoneWithName("GMT-03:00"));
  device->advance(12 * 3600);
  std::vector<double> hours;
  for (const auto& r : device->records("local"))
    if (r.get("change") == "delivered") hours.push_back((r.time - start) / 3600);
  EXPECT_EQ(hours, (std::vector<double>{8, 11}));
}

}  // namespace
}  // namespace device_test

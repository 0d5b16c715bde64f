#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "support.h"

namespace device_test {
namespace {

using Calls = std::vector<std::string>;

class LocalTest : public DeviceTest {
 protected:
  void add(const Ref<UNNotificationRequest>& r) { centre->addNotificationRequest(r, nullptr); }

  // The identifiers presented to the host and the device times of those calls.
  std::vector<std::pair<std::string, double>> presentations() {
    std::vector<std::pair<std::string, double>> out;
    for (const auto& r : device->records("os"))
      if (r.get("selector") == "userNotificationCenter:willPresentNotification:withCompletionHandler:")
        out.emplace_back(r.get("id"), r.time - start);
    return out;
  }

  double start = 0;
};

TEST_F(LocalTest, RequestsFireInTimeOrderAndRepeatingOnesAreRescheduled) {
  useVersion("10.0");
  launch(kFullHost);
  start = device->now();
  add(request("thirty", after(30)));
  add(request("ten", after(10)));
  add(request("minute", after(60, true)));
  add(request("twenty", after(20)));
  device->settle();
  EXPECT_EQ(presentations().size(), 0u);

  device->advance(25);
  using P = std::vector<std::pair<std::string, double>>;
  EXPECT_EQ(presentations(), (P{{"ten", 10}, {"twenty", 20}}));
  device->setState(AppState::Background);
  device->advance(100);
  EXPECT_EQ(presentations().size(), 2u) << "in the background nothing is presented";
  EXPECT_EQ(device->deliveredIdentifiers(), (std::vector<std::string>{"ten", "twenty", "thirty", "minute"}))
      << "the second firing of 'minute' replaced its first in the list";
  ASSERT_EQ(centre->pendingRequests().size(), 1u);
  EXPECT_EQ(centre->pendingRequests().front().fireTime - start, 180) << "repeats every 60 seconds";
  std::vector<std::string> fired;
  for (const auto& r : device->records("local"))
    if (r.get("change") == "delivered") fired.push_back(r.get("id") + "@" + std::to_string(int(r.time - start)));
  EXPECT_EQ(fired, (std::vector<std::string>{"ten@10", "twenty@20", "thirty@30", "minute@60", "minute@120"}));
}

TEST_F(LocalTest, CalendarAndRegionTriggersFire) {
  useVersion("10.0");
  launch(kFullHost);
  start = device->now();  // 00:00:00 UTC
  auto at = make<NSDateComponents>();
  at->minute = 30;
  at->second = 0;
  at->timeZone = NSTimeZone::timeZoneForSecondsFromGMT(0);
  add(request("half-past", UNCalendarNotificationTrigger::triggerWithDateMatchingComponents(at, true)));
  auto home = CLCircularRegion::regionWithCenter({52.5, 13.4}, 100, str("home"));
  add(request("arrive", UNLocationNotificationTrigger::triggerWithRegion(home, false)));
  auto legacy = make<UILocalNotification>();
  legacy->setRegion(home);
  legacy->setAlertBody(str("legacy"));
  app->scheduleLocalNotification(legacy);

  device->advance(3 * 3600);
  using P = std::vector<std::pair<std::string, double>>;
  EXPECT_EQ(presentations(), (P{{"half-past", 1800}, {"half-past", 5400}, {"half-past", 9000}}));

  takeCalls();
  device->enterRegion("work");
  EXPECT_EQ(takeCalls(), Calls{});
  device->enterRegion("home");
  EXPECT_EQ(takeCalls(), (Calls{"present@active", "local@active"}));
  device->enterRegion("home");
  EXPECT_EQ(takeCalls(), Calls{}) << "both fire once";
}

TEST_F(LocalTest, RefusedTimeIntervalsNeverReachTheSchedule) {
  useVersion("10.0");
  launch(kFullHost);
  struct Case {
    double seconds;
    bool repeats;
    const char* reason;
  } cases[] = {{0, false, "time interval must be greater than 0"},
               {-5, false, "time interval must be greater than 0"},
               {59, true, "time interval must be at least 60 if repeating"}};
  for (const auto& c : cases) {
    try {
      add(request("refused", after(c.seconds, c.repeats)));
      ADD_FAILURE() << c.seconds << " was accepted";
    } catch (const Exception& e) {
      EXPECT_EQ(e.name(), kInternalInconsistencyException);
      EXPECT_EQ(e.reason(), c.reason);
    }
  }
  add(request("fine", after(60, true)));
  device->advance(120);
  auto ids = field("local", "id");
  EXPECT_EQ(std::count(ids.begin(), ids.end(), "refused"), 0) << "a refused trigger never makes a request";
  ASSERT_EQ(centre->pendingRequests().size(), 1u);
  EXPECT_EQ(presentations().size(), 2u);
}

TEST_F(LocalTest, TheCentreKeepsTheSixtyFourRequestsThatFireSoonest) {
  useVersion("10.0");
  launch(kFullHost);
  device->setState(AppState::Background);
  for (int i = 65; i >= 1; --i) add(request("r" + std::to_string(i), after(i)));
  device->settle();
  EXPECT_EQ(centre->pendingRequests().size(), 64u);
  auto records = device->records("local");
  ASSERT_EQ(records.size(), 66u);
  EXPECT_EQ(records[64].get("id"), "r1");
  const auto& dropped = records[65];  // right after the 65th was scheduled
  EXPECT_EQ(dropped.get("id"), "r65");
  EXPECT_EQ(dropped.get("change"), "removed");
  EXPECT_EQ(dropped.get("reason"), "limit");

  device->advance(100);
  EXPECT_EQ(centre->deliveredNotifications().size(), 64u);
  EXPECT_EQ(device->deliveredIdentifiers().front(), "r1");
  EXPECT_EQ(device->deliveredIdentifiers().back(), "r64");
}

TEST_F(LocalTest, AttachmentsAreAcceptedOrRefusedAsTheScheduledNotificationSees) {
  useVersion("10.0");
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("device-attachments-" + std::to_string(getpid()));
  fs::create_directories(dir);
  auto file = [&](const char* name, size_t bytes, const std::string& head = "") {
    std::ofstream(dir / name, std::ios::binary) << head << std::string(bytes - std::min(bytes, head.size()), 'x');
    return NSURL::fileURLWithPath(str((dir / name).string()));
  };
  auto attach = [&](NSURL* url, int64_t expectedCode) {
    Ref<NSError> error;
    auto a =
        send<Ref<NSObject>>(UNNotificationAttachment::class_(), sel<"attachmentWithIdentifier:URL:options:error:">(),
                            str("a"), url, nullptr, static_cast<void*>(&error));
    EXPECT_EQ(error ? error->code() : 0, expectedCode) << (url ? url->description() : "nil");
    if (error) {
      EXPECT_EQ(error->domain()->utf8(), UNErrorDomain);
    }
    return cast<UNNotificationAttachment>(a);
  };
  EXPECT_FALSE(attach(nullptr, 100));
  EXPECT_FALSE(attach(NSURL::fileURLWithPath(str((dir / "missing.png").string())), 100));
  EXPECT_FALSE(attach(file("notes.txt", 10), 101));
  EXPECT_FALSE(attach(file("empty.png", 0), 102));
  EXPECT_FALSE(attach(file("huge.mp3", 5 * 1024 * 1024 + 1), 102));
  EXPECT_FALSE(attach(file("page.png", 100, "<html>"), 105)) << "contents that are not a picture";
  auto picture = attach(file("picture.JPG", 100, "\xFF\xD8\xFF\xE0"), 0);
  ASSERT_TRUE(picture);
  EXPECT_FALSE(fs::exists(dir / "picture.JPG")) << "the file is moved into the store";

  launch(kFullHost);
  device->setState(AppState::Background);
  auto content = make<UNMutableNotificationContent>();
  content->setAttachments(NSArray::arrayWithObjects({Id(picture)}));
  add(UNNotificationRequest::requestWithIdentifier(str("with-picture"), content, after(5)));
  device->advance(5);
  ASSERT_EQ(centre->deliveredNotifications().size(), 1u);
  NSArray* shown = centre->deliveredNotifications().front()->request()->content()->attachments();
  ASSERT_EQ(shown->count(), 1u);
  auto* stored = cast<UNNotificationAttachment>(shown->objectAtIndex(0));
  EXPECT_TRUE(fs::exists(stored->URL()->path()->utf8()));
  fs::remove_all(dir);
}

TEST_F(LocalTest, PresentingALegacyNotificationNowReachesTheRunningApplicationOnTheNextTurn) {
  useVersion("9.3");
  launch(kFullHost);
  takeCalls();
  auto n = make<UILocalNotification>();
  n->setAlertBody(str("now"));
  app->presentLocalNotificationNow(n);
  EXPECT_EQ(host->calls, Calls{}) << "not on the caller's stack";
  device->settle();
  EXPECT_EQ(takeCalls(), Calls{"local@active"});
  EXPECT_NE(host->local.get(), n.get()) << "the application object keeps its own copy";

  device->setState(AppState::Background);
  app->presentLocalNotificationNow(n);
  device->settle();
  EXPECT_EQ(takeCalls(), Calls{});
  EXPECT_EQ(app->notices().size(), 1u);
}

}  // namespace
}  // namespace device_test

namespace device_test {
namespace {

TEST_F(DeviceTest, RepeatingLegacyNotificationsFollowTheCalendar) {
  useVersion("9.3");
  launch(kFullHost);
  device->setState(AppState::Background);
  double start = device->now();  // 2026-01-01 00:00 UTC
  auto schedule = [&](double at, uint64_t unit) {
    auto n = make<UILocalNotification>();
    n->setFireDate(NSDate::dateWithTimeIntervalSince1970(at));
    n->setRepeatInterval(unit);
    app->scheduleLocalNotification(n);
  };
  constexpr uint64_t kMonth = 8, kDay = 16;
  schedule(start + 30 * 86400 + 9 * 3600, kMonth);  // January 31, 09:00
  schedule(start - 86400 * 5 - 60, kDay);           // already past: fires once now, then daily
  device->advance(60 * 86400);
  std::vector<double> monthly;
  int daily = 0;
  for (const auto& r : device->records("local")) {
    if (r.get("change") != "delivered") continue;
    double t = r.time - start;
    if (t == 0 || std::fmod(t + 60, 86400) == 0) {
      ++daily;
    } else {
      monthly.push_back(t);
    }
  }
  EXPECT_EQ(monthly, (std::vector<double>{30 * 86400 + 9 * 3600, 58 * 86400 + 9 * 3600}))
      << "January 31, then the last day of February";
  EXPECT_EQ(daily, 1 + 60) << "the missed days fire once";
  EXPECT_EQ(app->scheduledEntries().size(), 2u) << "repeating notifications stay scheduled";
}

}  // namespace
}  // namespace device_test

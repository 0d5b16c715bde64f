// Removing pending and delivered notifications through the context, from
// the notification centre's lists and from the legacy scheduled list, and
// the clock-based request identifiers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Device/Device.h"
#include "UserNotifications/UserNotifications.h"
#include "support/OrvelLocalTestSupport.h"
#include "support/OrvelTestSupport.h"

using namespace objc;
using orveltest::removeNotifications;
using orveltest::strings;

namespace {

using Ids = std::vector<std::string>;

UNUserNotificationCenter* centre() { return UNUserNotificationCenter::currentNotificationCenter(); }
UIApplication* app() { return UIApplication::sharedApplication(); }

Ref<UNNotificationRequest> platformRequest(const char* identifier) {
  auto content = make<UNMutableNotificationContent>();
  content->setBody(str(identifier));
  auto trigger = UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(3600, false);
  return UNNotificationRequest::requestWithIdentifier(str(identifier), content, trigger);
}

Ids pendingIds() {
  Ids ids;
  for (const auto& p : centre()->pendingRequests()) ids.push_back(p.request->identifier()->utf8());
  return ids;
}

Ids deliveredIds() {
  Ids ids;
  for (const auto& n : centre()->deliveredNotifications()) ids.push_back(n->request()->identifier()->utf8());
  return ids;
}

// Pending A and B, delivered A and B.
void fillCentre() {
  centre()->removeAllPendingNotificationRequests();
  centre()->removeAllDeliveredNotifications();
  for (const char* id : {"A", "B"}) {
    centre()->addNotificationRequest(platformRequest(id), nullptr);
    centre()->addDeliveredNotification(UNNotification::notificationWithRequest(platformRequest(id), NSDate::date()));
  }
}

// A scheduled legacy notification whose user info is `userInfo`.
void scheduleLegacy(const char* body, NSDictionary* userInfo) {
  auto n = orveltest::localNotification(body, userInfo);
  n->setFireDate(NSDate::dateWithTimeIntervalSinceNow(3600));
  app()->scheduleLocalNotification(n);
}

Ref<NSDictionary> identified(NSObject* identifier) {
  return NSDictionary::dictionaryWithEntries({{OrvelIdentifierKey, Id(identifier)}});
}

Ids scheduledBodies() {
  Ids bodies;
  Ref<NSArray> scheduled = app()->scheduledLocalNotifications();
  for (const Id& n : *scheduled) bodies.push_back(cast<UILocalNotification>(n.get())->alertBody()->utf8());
  return bodies;
}

class OrvelRemoval : public ::testing::Test {
 protected:
  void SetUp() override { UIDevice::currentDevice()->setSystemVersion("13.0"); }
  void TearDown() override { UIDevice::currentDevice()->setSystemVersion("13.0"); }
};

TEST_F(OrvelRemoval, WithoutIdentifiersTheStatusesChooseWholeLists) {
  struct Case {
    uint64_t statuses;
    Ids pending, delivered;
  } cases[] = {
      {0, {"A", "B"}, {"A", "B"}}, {1, {}, {"A", "B"}}, {2, {"A", "B"}, {}}, {3, {}, {}}, {4, {"A", "B"}, {"A", "B"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statuses);
    for (Ref<NSArray> none : {Ref<NSArray>(), NSArray::array()}) {
      fillCentre();
      removeNotifications(none, c.statuses);
      EXPECT_EQ(pendingIds(), c.pending);
      EXPECT_EQ(deliveredIds(), c.delivered);
    }
  }
}

TEST_F(OrvelRemoval, IdentifiersNarrowTheChosenLists) {
  struct Case {
    uint64_t statuses;
    Ids pending, delivered;
  } cases[] = {
      {0, {"A", "B"}, {"A", "B"}},
      {1, {"B"}, {"A", "B"}},
      {2, {"A", "B"}, {"B"}},
      {3, {"B"}, {"B"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statuses);
    fillCentre();
    removeNotifications(strings({"A", "unknown"}), c.statuses);
    EXPECT_EQ(pendingIds(), c.pending);
    EXPECT_EQ(deliveredIds(), c.delivered);
  }
}

TEST_F(OrvelRemoval, LegacyRemovalWithoutIdentifiersCancelsEverythingWhateverTheStatuses) {
  UIDevice::currentDevice()->setSystemVersion("9.3");
  for (uint64_t statuses : {0, 1, 2, 3}) {
    SCOPED_TRACE(statuses);
    scheduleLegacy("one", identified(str("A")));
    scheduleLegacy("two", nullptr);
    removeNotifications(statuses % 2 ? nullptr : NSArray::array().get(), statuses);
    EXPECT_EQ(app()->scheduledLocalNotifications()->count(), 0u);
  }
}

// The scheduled list holds what has not fired yet: the pending bit selects it.
TEST_F(OrvelRemoval, LegacyRemovalByIdentifierRunsForThePendingBitOnly) {
  UIDevice::currentDevice()->setSystemVersion("9.3");
  app()->cancelAllLocalNotifications();
  scheduleLegacy("A first", identified(str("A")));
  scheduleLegacy("B", identified(str("B")));
  scheduleLegacy("A second", identified(str("A")));

  removeNotifications(strings({"A"}), 0);
  removeNotifications(strings({"A"}), OrvelNotificationRequestStatusDelivered);
  EXPECT_EQ(scheduledBodies(), (Ids{"A first", "B", "A second"}));

  // Every identifier walks the same snapshot from its start and stops at the
  // first match, so a repeated identifier cancels nothing more.
  removeNotifications(strings({"A", "A", "C"}), OrvelNotificationRequestStatusPending);
  EXPECT_EQ(scheduledBodies(), (Ids{"B", "A second"}));

  removeNotifications(strings({"B", "A"}), 3);
  EXPECT_EQ(scheduledBodies(), Ids{});
}

TEST_F(OrvelRemoval, LegacyIdentifiersMatchOnlyAsStrings) {
  UIDevice::currentDevice()->setSystemVersion("9.3");
  app()->cancelAllLocalNotifications();
  scheduleLegacy("number", identified(NSNumber::numberWithInt(7)));
  scheduleLegacy("none", nullptr);
  scheduleLegacy("text", identified(str("7")));

  auto mixed = NSMutableArray::array();
  mixed->addObject(NSNumber::numberWithInt(7));
  mixed->addObject(str("7"));
  removeNotifications(mixed, OrvelNotificationRequestStatusPending);
  EXPECT_EQ(scheduledBodies(), (Ids{"number", "none"}));
  removeNotifications(strings({"7"}), OrvelNotificationRequestStatusPending);
  EXPECT_EQ(scheduledBodies(), (Ids{"number", "none"}));
}

// ---- request identifiers ----

std::string generatedIdentifier() {
  return send<Ref<NSString>>(OrvelContext::currentContext(), sel<"_randomRequestIdentifier">())->utf8();
}

TEST(OrvelRequestIdentifier, MillisecondsSince1970RoundedToNearest) {
  struct Case {
    double now;
    const char* identifier;
  } cases[] = {
      {0.1234, "123"},
      {0.1236, "124"},
      {1767225600.0004, "1767225600000"},
      {1767225600.25, "1767225600250"},
  };
  for (const Case& c : cases) {
    setClock([now = c.now] { return now; });
    EXPECT_EQ(generatedIdentifier(), c.identifier) << c.now;
  }
  setClock({});
}

TEST(OrvelRequestIdentifier, OneMillisecondOrAClockSetBackNeverRepeatsOne) {
  setClock([] { return 1767225600.0; });
  std::vector<std::string> burst;
  for (int i = 0; i < 3; ++i) burst.push_back(generatedIdentifier());
  EXPECT_EQ(burst, (std::vector<std::string>{"1767225600000", "1767225600001", "1767225600002"}));
  setClock([] { return 1767225599.0; });
  EXPECT_EQ(generatedIdentifier(), "1767225600003") << "still after every earlier one";
  setClock([] { return 1767225601.0; });
  EXPECT_EQ(generatedIdentifier(), "1767225601000") << "the clock again once it has passed them";
  setClock({});
}

TEST(OrvelRequestIdentifier, ReadsTheDevicesClock) {
  Device device;
  EXPECT_EQ(generatedIdentifier(), "1767225600000");
  device.advance(0.5);
  EXPECT_EQ(generatedIdentifier(), "1767225600500");
}

}  // namespace

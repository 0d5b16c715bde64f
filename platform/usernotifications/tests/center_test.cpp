#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>

#include "support.h"

namespace un_test {
namespace {

// Records the centre's hooks; answers authorisation as told.
class RecordingSystem : public UNUserNotificationCenterSystem {
 public:
  void authorizationRequested(UNAuthorizationOptions options, std::function<void(bool)> answer) override {
    bool hold, yes;
    {
      std::lock_guard<std::mutex> g(lock);
      prompts.push_back(options);
      hold = holdAnswer;
      yes = allow;
      if (hold) held = answer;
    }
    if (!hold) answer(yes);
  }
  void pendingRequestAdded(UNNotificationRequest* r) override { log("+" + r->identifier()->utf8()); }
  void pendingRequestRemoved(UNNotificationRequest* r, UNPendingRemoval why) override {
    static const char* names[] = {"replaced", "limit", "removed", "fired"};
    log("-" + r->identifier()->utf8() + " " + names[static_cast<int>(why)]);
  }
  void deliveredNotificationAdded(UNNotification* n) override {
    log("delivered " + n->request()->identifier()->utf8());
  }
  void deliveredNotificationRemoved(UNNotification* n) override { log("gone " + n->request()->identifier()->utf8()); }

  std::vector<std::string> take() {
    std::lock_guard<std::mutex> g(lock);
    return std::exchange(events, {});
  }
  void log(std::string e) {
    std::lock_guard<std::mutex> g(lock);
    events.push_back(std::move(e));
  }

  std::mutex lock;
  bool allow = true;
  bool holdAnswer = false;
  std::function<void(bool)> held;
  std::vector<UNAuthorizationOptions> prompts;
  std::vector<std::string> events;
};

TEST_F(CenterTest, KeepsTheSixtyFourRequestsThatFireSoonest) {
  auto system = std::make_shared<RecordingSystem>();
  center->setSystem(system);
  std::vector<int> order(70);
  for (int i = 0; i < 70; ++i) order[i] = i + 1;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  Latch done;
  std::atomic<int> errors{0};
  auto completion = makeBlock<void(NSError*)>([&](NSError* e) {
    if (e) ++errors;
    done.arrive();
  });
  for (int minutes : order) {
    send<void>(center, sel<"addNotificationRequest:withCompletionHandler:">(),
               requestIn("m" + std::to_string(minutes), minutes * 60.0), completion);
  }
  ASSERT_TRUE(done.waitFor(70));
  EXPECT_EQ(errors, 0) << "dropped requests are dropped silently";

  std::vector<std::string> expected;
  for (int m = 1; m <= 64; ++m) expected.push_back("m" + std::to_string(m));
  EXPECT_EQ(pendingIdentifiers(), expected) << "the 64 soonest, soonest first";
  auto events = system->take();
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](auto& e) { return e.find(" limit") != e.npos; }), 6);

  Latch listed;
  std::vector<std::string> reported;
  center->getPendingNotificationRequestsWithCompletionHandler(makeBlock<void(NSArray*)>([&](NSArray* list) {
    for (const Id& r : *list) reported.push_back(cast<UNNotificationRequest>(r.get())->identifier()->utf8());
    listed.arrive();
  }));
  ASSERT_TRUE(listed.waitFor(1));
  EXPECT_EQ(reported, expected);

  // A later request that fires sooner than all still gets in, and the latest goes.
  center->addNotificationRequest(requestIn("soonest", 1), nullptr);
  EXPECT_EQ(pendingIdentifiers().front(), "soonest");
  EXPECT_EQ(pendingIdentifiers().back(), "m63");
  EXPECT_EQ(system->take(), (std::vector<std::string>{"+soonest", "-m64 limit"}));
}

TEST_F(CenterTest, AddingAPendingIdentifierReplacesThatRequest) {
  auto system = std::make_shared<RecordingSystem>();
  center->setSystem(system);
  center->addNotificationRequest(requestIn("a", 100), nullptr);
  center->addNotificationRequest(requestIn("b", 200), nullptr);
  auto replacement = requestIn("a", 300);
  center->addNotificationRequest(replacement, nullptr);
  EXPECT_EQ(pendingIdentifiers(), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(center->pendingRequests()[1].request.get(), replacement.get());
  EXPECT_EQ(system->take(), (std::vector<std::string>{"+a", "+b", "-a replaced", "+a"}));

  // A request without a trigger fires at once; a region never by date.
  auto region = CLCircularRegion::regionWithCenter({0, 0}, 10, str("z"));
  center->addNotificationRequest(
      UNNotificationRequest::requestWithIdentifier(str("where"), contentWithTitle("w"),
                                                   UNLocationNotificationTrigger::triggerWithRegion(region, false)),
      nullptr);
  center->addNotificationRequest(
      UNNotificationRequest::requestWithIdentifier(str("now"), contentWithTitle("n"), nullptr), nullptr);
  EXPECT_EQ(pendingIdentifiers(), (std::vector<std::string>{"now", "b", "a", "where"}));
  EXPECT_EQ(center->pendingRequests().back().fireTime, kUNNeverFires);
}

TEST_F(CenterTest, CompletionsRunOnceOnTheCentresQueueNeverOnTheCallersStack) {
  const auto caller = std::this_thread::get_id();
  std::mutex lock;
  std::vector<std::string> calls;
  bool allOnQueue = true;
  auto note = [&](const char* what) {
    std::lock_guard<std::mutex> g(lock);
    calls.emplace_back(what);
    allOnQueue = allOnQueue && UNUserNotificationCenter::isOnCompletionQueue() && std::this_thread::get_id() != caller;
  };
  Latch done;
  center->getNotificationSettingsWithCompletionHandler(makeBlock<void(id)>([&](id) {
    note("settings");
    done.arrive();
  }));
  center->requestAuthorizationWithOptions(7, makeBlock<void(bool, NSError*)>([&](bool, NSError*) {
                                            note("authorization");
                                            done.arrive();
                                          }));
  center->addNotificationRequest(requestIn("x", 10), makeBlock<void(NSError*)>([&](NSError*) {
                                   note("add");
                                   done.arrive();
                                 }));
  center->getPendingNotificationRequestsWithCompletionHandler(makeBlock<void(NSArray*)>([&](NSArray*) {
    note("pending");
    done.arrive();
  }));
  center->getDeliveredNotificationsWithCompletionHandler(makeBlock<void(NSArray*)>([&](NSArray*) {
    note("delivered");
    done.arrive();
  }));
  ASSERT_TRUE(done.waitFor(5));
  drainCompletions();
  drainCompletions();
  std::sort(calls.begin(), calls.end());
  EXPECT_EQ(calls, (std::vector<std::string>{"add", "authorization", "delivered", "pending", "settings"}));
  EXPECT_TRUE(allOnQueue);
  EXPECT_FALSE(UNUserNotificationCenter::isOnCompletionQueue());

  // Called from a completion, on the queue itself, the next completion
  // still waits until the caller has returned.
  std::atomic<bool> returned{false}, ranAfterReturn{false};
  Latch nested;
  center->getNotificationSettingsWithCompletionHandler(makeBlock<void(id)>([&](id) {
    center->getNotificationSettingsWithCompletionHandler(makeBlock<void(id)>([&](id) {
      ranAfterReturn = returned.load();
      nested.arrive();
    }));
    returned = true;
  }));
  ASSERT_TRUE(nested.waitFor(1));
  EXPECT_TRUE(ranAfterReturn);

  // Nil completions are allowed.
  center->getNotificationSettingsWithCompletionHandler(nullptr);
  center->requestAuthorizationWithOptions(1, nullptr);
  center->addNotificationRequest(requestIn("y", 10), nullptr);
  drainCompletions();
}

TEST_F(CenterTest, ABlockOfAnotherSignatureIsRefused) {
  auto wrong = makeBlock<void(id)>([](id) {});
  EXPECT_THROW(send<void>(center, sel<"addNotificationRequest:withCompletionHandler:">(), requestIn("a", 5), wrong),
               Exception);
  EXPECT_THROW(send<void>(center, sel<"requestAuthorizationWithOptions:completionHandler:">(), uint64_t{7}, wrong),
               Exception);
  EXPECT_THROW(send<void>(center, sel<"addNotificationRequest:withCompletionHandler:">(), nullptr, nullptr), Exception);
}

TEST_F(CenterTest, TheUserIsAskedOnceAndTheAnswerSetsTheStatus) {
  auto system = std::make_shared<RecordingSystem>();
  center->setSystem(system);
  std::atomic<int> grantedCalls{0}, calls{0};
  Latch done;
  auto completion = makeBlock<void(bool, NSError*)>([&](bool granted, NSError* error) {
    EXPECT_EQ(error, nullptr);
    grantedCalls += granted;
    ++calls;
    done.arrive();
  });
  send<void>(center, sel<"requestAuthorizationWithOptions:completionHandler:">(), uint64_t{1 | 4 | 64}, completion);
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(center->authorizationStatus(), UNAuthorizationStatusAuthorized);
  EXPECT_EQ(center->grantedOptions(), uint64_t{1 | 4 | 64}) << "higher bits pass through";

  Latch settingsRead;
  Ref<UNNotificationSettings> settings;
  center->getNotificationSettingsWithCompletionHandler(makeBlock<void(id)>([&](id s) {
    settings = cast<UNNotificationSettings>(s);
    settingsRead.arrive();
  }));
  ASSERT_TRUE(settingsRead.waitFor(1));
  ASSERT_TRUE(settings);
  EXPECT_EQ(send<int64_t>(settings, sel<"authorizationStatus">()), 2);
  EXPECT_EQ(settings->alertSetting(), UNNotificationSettingEnabled);
  EXPECT_EQ(settings->soundSetting(), UNNotificationSettingDisabled);

  center->requestAuthorizationWithOptions(7, completion);
  ASSERT_TRUE(done.waitFor(2));
  EXPECT_EQ(system->prompts, std::vector<UNAuthorizationOptions>{1 | 4 | 64}) << "not asked a second time";
  EXPECT_EQ(grantedCalls, 2);
  EXPECT_EQ(calls, 2);
}

TEST_F(CenterTest, ADeniedUserIsNotAskedAgainAndRequestsAreRefused) {
  auto system = std::make_shared<RecordingSystem>();
  system->allow = false;
  center->setSystem(system);
  std::atomic<int> granted{0};
  Latch done;
  auto completion = makeBlock<void(bool, NSError*)>([&](bool g, NSError*) {
    granted += g;
    done.arrive();
  });
  center->requestAuthorizationWithOptions(7, completion);
  center->requestAuthorizationWithOptions(7, completion);
  ASSERT_TRUE(done.waitFor(2));
  EXPECT_EQ(granted, 0);
  EXPECT_EQ(system->prompts.size(), 1u);
  EXPECT_EQ(center->authorizationStatus(), UNAuthorizationStatusDenied);
  EXPECT_EQ(center->currentSettings()->badgeSetting(), UNNotificationSettingDisabled);

  Latch added;
  Ref<NSError> error;
  center->addNotificationRequest(requestIn("a", 10), makeBlock<void(NSError*)>([&](NSError* e) {
                                   error = e;
                                   added.arrive();
                                 }));
  ASSERT_TRUE(added.waitFor(1));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain()->utf8(), "UNErrorDomain");
  EXPECT_EQ(error->code(), UNErrorCodeNotificationsNotAllowed);
  EXPECT_TRUE(center->pendingRequests().empty());

  // The user changes it in the settings.
  center->setAuthorizationStatus(UNAuthorizationStatusProvisional, 1);
  Latch read;
  int64_t status = -1;
  center->getNotificationSettingsWithCompletionHandler(makeBlock<void(id)>([&](id s) {
    status = send<int64_t>(s, sel<"authorizationStatus">());
    read.arrive();
  }));
  ASSERT_TRUE(read.waitFor(1));
  EXPECT_EQ(status, UNAuthorizationStatusProvisional);
}

TEST_F(CenterTest, RequestsMadeWhileTheUserDecidesAllGetTheAnswerOnce) {
  auto system = std::make_shared<RecordingSystem>();
  system->holdAnswer = true;
  center->setSystem(system);
  std::atomic<int> calls{0}, granted{0};
  Latch done;
  auto completion = makeBlock<void(bool, NSError*)>([&](bool g, NSError*) {
    ++calls;
    granted += g;
    done.arrive();
  });
  center->requestAuthorizationWithOptions(2, completion);
  center->requestAuthorizationWithOptions(4, completion);
  drainCompletions();
  EXPECT_EQ(calls, 0) << "waiting for the user";
  EXPECT_EQ(center->authorizationStatus(), UNAuthorizationStatusNotDetermined);
  std::function<void(bool)> answer;
  {
    std::lock_guard<std::mutex> g(system->lock);
    answer = system->held;
  }
  ASSERT_TRUE(answer);
  answer(true);
  answer(false);  // a second answer is ignored
  ASSERT_TRUE(done.waitFor(2));
  drainCompletions();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(granted, 2);
  EXPECT_EQ(system->prompts.size(), 1u);
  EXPECT_EQ(center->authorizationStatus(), UNAuthorizationStatusAuthorized);
  EXPECT_EQ(center->grantedOptions(), 2u) << "what the user was asked for";
}

TEST_F(CenterTest, RemovalByIdentifierAndAll) {
  for (const char* id : {"a", "b", "c"}) center->addNotificationRequest(requestIn(id, 10), nullptr);
  for (const char* id : {"a", "d"}) {
    center->addDeliveredNotification(UNNotification::notificationWithRequest(requestIn(id, 10), nullptr));
  }
  auto ids = NSArray::arrayWithObjects({str("a"), NSNumber::numberWithInt(1), str("zzz")});
  send<void>(center, sel<"removeDeliveredNotificationsWithIdentifiers:">(), ids);
  EXPECT_EQ(pendingIdentifiers(), (std::vector<std::string>{"a", "b", "c"})) << "delivered removal leaves pending";
  ASSERT_EQ(center->deliveredNotifications().size(), 1u);
  EXPECT_EQ(center->deliveredNotifications()[0]->request()->identifier()->utf8(), "d");
  // A removed identifier is free again: listed anew after "d", and replaced
  // in place of itself when it comes once more.
  center->addDeliveredNotification(UNNotification::notificationWithRequest(requestIn("a", 10), nullptr));
  auto again = UNNotification::notificationWithRequest(requestIn("a", 20), nullptr);
  center->addDeliveredNotification(again);
  ASSERT_EQ(center->deliveredNotifications().size(), 2u);
  EXPECT_EQ(center->deliveredNotifications()[1].get(), again.get());
  send<void>(center, sel<"removeDeliveredNotificationsWithIdentifiers:">(), NSArray::arrayWithObjects({str("a")}));
  ASSERT_EQ(center->deliveredNotifications().size(), 1u);

  send<void>(center, sel<"removePendingNotificationRequestsWithIdentifiers:">(), ids);
  EXPECT_EQ(pendingIdentifiers(), (std::vector<std::string>{"b", "c"}));
  center->removePendingNotificationRequestsWithIdentifiers(nullptr);
  EXPECT_EQ(pendingIdentifiers().size(), 2u);

  send<void>(center, sel<"removeAllPendingNotificationRequests">());
  EXPECT_TRUE(center->pendingRequests().empty());
  EXPECT_EQ(center->deliveredNotifications().size(), 1u);
  send<void>(center, sel<"removeAllDeliveredNotifications">());
  EXPECT_TRUE(center->deliveredNotifications().empty());
}

TEST_F(CenterTest, DeliveredListReplacesByIdentifierAndClearsWithTheBadge) {
  auto system = std::make_shared<RecordingSystem>();
  center->setSystem(system);
  auto first = UNNotification::notificationWithRequest(requestIn("a", 10), nullptr);
  auto second = UNNotification::notificationWithRequest(requestIn("a", 20), nullptr);
  center->addDeliveredNotification(first);
  center->addDeliveredNotification(UNNotification::notificationWithRequest(requestIn("b", 10), nullptr));
  center->addDeliveredNotification(second);
  ASSERT_EQ(center->deliveredNotifications().size(), 2u);
  EXPECT_EQ(center->deliveredNotifications()[1].get(), second.get());

  Latch listed;
  uint64_t count = 0;
  center->getDeliveredNotificationsWithCompletionHandler(makeBlock<void(NSArray*)>([&](NSArray* list) {
    count = list->count();
    listed.arrive();
  }));
  ASSERT_TRUE(listed.waitFor(1));
  EXPECT_EQ(count, 2u);

  UIApplication* app = UIApplication::sharedApplication();
  app->setApplicationIconBadgeNumber(3);
  app->setApplicationIconBadgeNumber(-1);
  EXPECT_EQ(center->deliveredNotifications().size(), 2u) << "hiding the badge leaves the notices";
  app->setApplicationIconBadgeNumber(0);
  EXPECT_TRUE(center->deliveredNotifications().empty());
  EXPECT_EQ(system->take(),
            (std::vector<std::string>{"delivered a", "delivered b", "gone a", "delivered a", "gone b", "gone a"}));
}

TEST_F(CenterTest, TakingTheOldestDeliveredKeepsTheIndexAndTellsTheSystem) {
  auto system = std::make_shared<RecordingSystem>();
  center->setSystem(system);
  center->removeOldestDeliveredNotification();
  EXPECT_TRUE(system->take().empty()) << "nothing listed, nothing removed";

  for (const char* id : {"a", "b", "c"})
    center->addDeliveredNotification(UNNotification::notificationWithRequest(requestIn(id, 10), nullptr));
  center->removeOldestDeliveredNotification();
  // "a" left the index with the list: listing it again adds it at the end
  // instead of replacing one that is gone.
  center->addDeliveredNotification(UNNotification::notificationWithRequest(requestIn("a", 20), nullptr));
  center->removeOldestDeliveredNotification();
  std::vector<std::string> listed;
  for (auto& n : center->deliveredNotifications()) listed.push_back(n->request()->identifier()->utf8());
  EXPECT_EQ(listed, (std::vector<std::string>{"c", "a"}));
  EXPECT_EQ(system->take(),
            (std::vector<std::string>{"delivered a", "delivered b", "delivered c", "gone a", "delivered a", "gone b"}));
}

TEST_F(CenterTest, FiredRequestsLeaveThePendingList) {
  auto system = std::make_shared<RecordingSystem>();
  center->setSystem(system);
  center->addNotificationRequest(requestIn("a", 100), nullptr);
  center->addNotificationRequest(requestIn("b", 200), nullptr);
  EXPECT_TRUE(center->setPendingFireTime(str("a"), center->pendingRequests()[1].fireTime + 1));
  EXPECT_EQ(pendingIdentifiers(), (std::vector<std::string>{"b", "a"}));
  auto taken = center->takePendingRequest(str("b"));
  ASSERT_TRUE(taken);
  EXPECT_FALSE(center->takePendingRequest(str("b")));
  EXPECT_FALSE(center->setPendingFireTime(str("b"), 0));
  EXPECT_EQ(system->take(), (std::vector<std::string>{"+a", "+b", "-b fired"}));
}

std::atomic<int> gReplacedSetterCalls{0};
void replacementSetDelegate(id self, SEL, id delegate) {
  ++gReplacedSetterCalls;
  send<void>(self, sel<"test_platformSetDelegate:">(), delegate);
}

TEST_F(CenterTest, DelegateIsWeakAndItsSetterReplaceable) {
  Class cls = NSClassFromString("UNUserNotificationCenter");
  ASSERT_NE(cls, nullptr);
  Method own = class_getInstanceMethod(cls, sel<"setDelegate:">());
  ASSERT_NE(own, nullptr);
  ASSERT_TRUE(addMethod(cls, sel<"test_platformSetDelegate:">(), &replacementSetDelegate));
  method_exchangeImplementations(own, class_getInstanceMethod(cls, sel<"test_platformSetDelegate:">()));

  auto delegate = make<NSObject>();
  center->setDelegate(delegate);
  send<void>(center, sel<"setDelegate:">(), delegate);
  EXPECT_EQ(gReplacedSetterCalls, 2);
  EXPECT_EQ(send<Id>(center, sel<"delegate">()).get(), delegate.get());
  delegate = nullptr;
  EXPECT_FALSE(center->delegate()) << "the centre does not keep its delegate alive";
}

}  // namespace
}  // namespace un_test

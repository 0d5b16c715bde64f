// The facade: every operation but clearNoticeBar reaches the context's
// run-time method of the same name with its arguments untouched; the context
// methods are replaced by spies here, so only the forwarding is under test.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "support/OrvelTestSupport.h"

using namespace objc;

namespace {

// One call that reached a spied context method.
struct ContextCall {
  std::string selector;
  NSObject* receiver = nullptr;
  std::vector<NSObject*> objects;
  int64_t number = 0;
  std::thread::id thread;
};

std::mutex gCallsLock;
std::vector<ContextCall> gCalls;

void note(std::string selector, NSObject* receiver, std::vector<NSObject*> objects = {}, int64_t number = 0) {
  std::lock_guard<std::mutex> g(gCallsLock);
  gCalls.push_back({std::move(selector), receiver, std::move(objects), number, std::this_thread::get_id()});
}

std::vector<ContextCall> calls() {
  std::lock_guard<std::mutex> g(gCallsLock);
  return gCalls;
}

void spyOne(id self, SEL cmd, id a) { note(sel_getName(cmd), self, {a}); }
void spyTwo(id self, SEL cmd, id a, id b) { note(sel_getName(cmd), self, {a, b}); }
void spyRemove(id self, SEL cmd, id identifiers, uint64_t statuses) {
  note(sel_getName(cmd), self, {identifiers}, static_cast<int64_t>(statuses));
}
void spyBadge(id self, SEL cmd, int64_t badge) { note(sel_getName(cmd), self, {}, badge); }
void spyLifecycle(id self, SEL cmd) { note(sel_getName(cmd), self); }

void replace(const char* selector, IMP imp, const char* types) {
  class_replaceMethod(OrvelContext::class_(), sel_registerName(selector), imp, types);
}

// Replaces the context's five forwarding targets (added when the library does
// not define them yet) so that a call is recorded and does nothing else.
void spyOnForwardTargets() {
  replace("registerForRemoteNotification:", reinterpret_cast<IMP>(&spyOne), "v@:@");
  replace("requestNotificationAuthorizationStatus:", reinterpret_cast<IMP>(&spyOne), "v@:@");
  replace("addLocalNotification:handler:", reinterpret_cast<IMP>(&spyTwo), "v@:@@");
  replace("removeNotificationWithIdentifiers:requestStatuses:", reinterpret_cast<IMP>(&spyRemove), "v@:@Q");
  replace("setBadge:", reinterpret_cast<IMP>(&spyBadge), "v@:q");
}

Class facade() { return NSClassFromString("OrvelCenter"); }

class OrvelCenterForwarding : public ::testing::Test {
 protected:
  void SetUp() override {
    spyOnForwardTargets();
    std::lock_guard<std::mutex> g(gCallsLock);
    gCalls.clear();
  }
};

TEST_F(OrvelCenterForwarding, EachOperationPassesItsArgumentsUnchanged) {
  auto configuration = make<OrvelNotificationConfiguration>();
  configuration->setTypes(7);
  auto statusHandler = makeBlock<void(int64_t)>([](int64_t) {});
  auto request = OrvelNotificationRequest::requestWithIdentifier(str("r1").get(), nullptr, nullptr);
  auto localHandler = makeBlock<void(NSObject*, NSError*)>([](NSObject*, NSError*) {});
  auto identifiers = NSArray::arrayWithObjects({Id(str("a")), Id(str("b"))});

  OrvelCenter::registerForRemoteNotification(configuration);
  OrvelCenter::requestNotificationAuthorizationStatus(statusHandler);
  OrvelCenter::addLocalNotification(request, localHandler);
  OrvelCenter::removeNotificationWithIdentifiers(identifiers, OrvelNotificationRequestStatus(3));
  OrvelCenter::setBadge(-4);

  auto seen = calls();
  ASSERT_EQ(seen.size(), 5u);
  OrvelContext* context = OrvelContext::currentContext();
  for (const auto& call : seen) EXPECT_EQ(call.receiver, context) << call.selector;
  EXPECT_EQ(seen[0].selector, "registerForRemoteNotification:");
  EXPECT_EQ(seen[0].objects, std::vector<NSObject*>{configuration.get()});
  EXPECT_EQ(configuration->types(), 7) << "not touched";
  EXPECT_EQ(seen[1].selector, "requestNotificationAuthorizationStatus:");
  EXPECT_EQ(seen[1].objects, std::vector<NSObject*>{statusHandler.get()});
  EXPECT_EQ(seen[2].selector, "addLocalNotification:handler:");
  EXPECT_EQ(seen[2].objects, (std::vector<NSObject*>{request.get(), localHandler.get()}));
  EXPECT_EQ(seen[3].selector, "removeNotificationWithIdentifiers:requestStatuses:");
  EXPECT_EQ(seen[3].objects, std::vector<NSObject*>{identifiers.get()});
  EXPECT_EQ(seen[3].number, 3);
  EXPECT_EQ(seen[4].selector, "setBadge:");
  EXPECT_EQ(seen[4].number, -4);
}

TEST_F(OrvelCenterForwarding, NullsAndOutOfRangeValuesArePassedOnToo) {
  OrvelCenter::registerForRemoteNotification(nullptr);
  OrvelCenter::requestNotificationAuthorizationStatus(nullptr);
  OrvelCenter::addLocalNotification(nullptr, nullptr);
  OrvelCenter::removeNotificationWithIdentifiers(nullptr, OrvelNotificationRequestStatus(~uint64_t{0}));
  OrvelCenter::setBadge(INT64_MIN);

  auto seen = calls();
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].objects, std::vector<NSObject*>{nullptr});
  EXPECT_EQ(seen[1].objects, std::vector<NSObject*>{nullptr});
  EXPECT_EQ(seen[2].objects, (std::vector<NSObject*>{nullptr, nullptr}));
  EXPECT_EQ(seen[3].objects, std::vector<NSObject*>{nullptr});
  EXPECT_EQ(static_cast<uint64_t>(seen[3].number), ~uint64_t{0}) << "unknown status bits are not masked";
  EXPECT_EQ(seen[4].number, INT64_MIN);
}

TEST_F(OrvelCenterForwarding, RunTimeClassMethodsForwardTheSameWay) {
  ASSERT_NE(facade(), nullptr);
  auto configuration = make<OrvelNotificationConfiguration>();
  auto request = make<OrvelNotificationRequest>();
  auto identifiers = NSArray::arrayWithObjects({Id(str("x"))});
  send<void>(facade(), sel<"registerForRemoteNotification:">(), configuration);
  send<void>(facade(), sel<"requestNotificationAuthorizationStatus:">(), nullptr);
  send<void>(facade(), sel<"addLocalNotification:handler:">(), request, nullptr);
  send<void>(facade(), sel<"removeNotificationWithIdentifiers:requestStatuses:">(), identifiers,
             OrvelNotificationRequestStatusDelivered);
  send<void>(facade(), sel<"setBadge:">(), int64_t{9});
  send<void>(facade(), sel<"clearBadge">());

  auto seen = calls();
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[0].objects, std::vector<NSObject*>{configuration.get()});
  EXPECT_EQ(seen[1].objects, std::vector<NSObject*>{nullptr});
  EXPECT_EQ(seen[2].objects, (std::vector<NSObject*>{request.get(), nullptr}));
  EXPECT_EQ(seen[3].objects, std::vector<NSObject*>{identifiers.get()});
  EXPECT_EQ(seen[3].number, 2);
  EXPECT_EQ(seen[4].number, 9);
  EXPECT_EQ(seen[5].selector, "setBadge:");
  EXPECT_EQ(seen[5].number, 0);
}

TEST_F(OrvelCenterForwarding, ClearBadgeIsSetBadgeWithZero) {
  OrvelCenter::clearBadge();
  OrvelCenter::setBadge(0);
  auto seen = calls();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].selector, seen[1].selector);
  EXPECT_EQ(seen[0].receiver, seen[1].receiver);
  EXPECT_EQ(seen[0].number, 0);
  EXPECT_EQ(seen[1].number, 0);
}

TEST_F(OrvelCenterForwarding, ForwardsRunOnTheCallersThread) {
  std::thread::id caller;
  std::thread worker([&] {
    caller = std::this_thread::get_id();
    OrvelCenter::setBadge(2);
    OrvelCenter::requestNotificationAuthorizationStatus(nullptr);
  });
  worker.join();
  auto seen = calls();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].thread, caller);
  EXPECT_EQ(seen[1].thread, caller);
}

// The real badge setter, unspied: both ways of clearing write the same.
TEST(OrvelCenterBadge, ClearBadgeClearsByTheVersionRuleLikeSetBadgeZero) {
  UIApplication* app = UIApplication::sharedApplication();
  app->setApplicationState(UIApplicationStateActive);
  for (const char* version : {"10.3", "13.0"}) {
    SCOPED_TRACE(version);
    UIDevice::currentDevice()->setSystemVersion(version);
    std::vector<std::vector<int64_t>> writes;
    for (bool viaClear : {true, false}) {
      app->setApplicationIconBadgeNumber(5);
      auto system = orveltest::attachRecordingSystem();
      if (viaClear) {
        OrvelCenter::clearBadge();
      } else {
        OrvelCenter::setBadge(0);
      }
      writes.push_back(system->badgeWrites());
    }
    EXPECT_EQ(writes[0], writes[1]);
    EXPECT_EQ(writes[0].size(), 1u);
  }
}

// clearNoticeBar goes to the application object itself: 0 every time, and
// the context is neither asked nor created. A context that exists observes
// the background broadcast, which is how its absence is seen.
TEST(OrvelCenterNoticeBar, WritesZeroEvenAtZeroOnEveryVersionWithoutAContext) {
  replace("applicationDidEnterBackground", reinterpret_cast<IMP>(&spyLifecycle), "v@:");
  replace("setBadge:", reinterpret_cast<IMP>(&spyBadge), "v@:q");
  UIApplication* app = UIApplication::sharedApplication();
  auto system = orveltest::attachRecordingSystem();
  for (const char* version : {"9.3", "10.3", "13.0"}) {
    UIDevice::currentDevice()->setSystemVersion(version);
    OrvelCenter::clearNoticeBar();
    EXPECT_EQ(app->applicationIconBadgeNumber(), 0);
  }
  app->setApplicationIconBadgeNumber(4);
  send<void>(facade(), sel<"clearNoticeBar">());
  EXPECT_EQ(system->badgeWrites(), (std::vector<int64_t>{0, 0, 0, 4, 0}));
  EXPECT_TRUE(system->presented().empty()) << "no clear-badge command, whatever the version";

  auto postBackground = [app] {
    NSNotificationCenter::defaultCenter()->postNotificationName(UIApplicationDidEnterBackgroundNotification(), app);
  };
  postBackground();
  EXPECT_TRUE(calls().empty()) << "no context was created";

  OrvelContext::currentContext();
  postBackground();
  ASSERT_EQ(calls().size(), 1u) << "a context, once there, does observe it";
  EXPECT_EQ(calls()[0].selector, "applicationDidEnterBackground");
}

TEST(KivOrvelHttpRequest, GetRegistrationIDNeverCallsNorKeepsItsCallable) {
  std::atomic<int> called{0};
  auto callable = makeBlock<void(NSString*)>([&](NSString*) { ++called; });
  uint32_t before = callable->retainCount();
  KivOrvelHttpRequest::getRegistrationID(callable);
  KivOrvelHttpRequest::getRegistrationID(nullptr);
  Class cls = NSClassFromString("KivOrvelHttpRequest");
  ASSERT_NE(cls, nullptr);
  send<void>(cls, sel<"getRegistrationID:">(), callable);
  runMainUntilIdle();
  EXPECT_EQ(called.load(), 0);
  EXPECT_EQ(callable->retainCount(), before);
}

}  // namespace

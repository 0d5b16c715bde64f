// The context: one object per process, its fields, the lifecycle broadcasts
// it observes and the installation of the host's application delegate.
#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "support/OrvelTestSupport.h"

using namespace objc;
using orveltest::journal;

namespace {

struct PlainHost : NSObject {
  static Class class_();
};
Class PlainHost::class_() {
  static Class c = ClassBuilder<PlainHost>("PlainHost").conforms("UIApplicationDelegate").build();
  return c;
}

UIApplication* app() { return UIApplication::sharedApplication(); }

void postLaunch(NSDictionary* launchOptions) {
  NSNotificationCenter::defaultCenter()->postNotificationName(UIApplicationDidFinishLaunchingNotification(), app(),
                                                              launchOptions);
}

Ref<NSDictionary> launchedBy(NSObject* value) {
  return NSDictionary::dictionaryWithEntries({{UIApplicationLaunchOptionsLocalNotificationKey(), Id(value)}});
}

TEST(OrvelContext, OneContextWithItsDefaultsAndRunTimeAccessors) {
  OrvelContext* context = OrvelContext::currentContext();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(OrvelContext::currentContext(), context);
  EXPECT_EQ(send<Id>(NSClassFromString("OrvelContext"), sel<"currentContext">()).get(), context);

  EXPECT_EQ(send<int64_t>(context, sel<"foregroundType">()), 7);
  EXPECT_FALSE(send<Id>(context, sel<"configuration">()));
  EXPECT_FALSE(send<Id>(context, sel<"applicationDelegate">()));
  EXPECT_FALSE(send<Id>(context, sel<"unDelegate">()));
  EXPECT_FALSE(send<Id>(context, sel<"appDelegates">()));

  send<void>(context, sel<"setForegroundType:">(), int64_t{0});
  EXPECT_EQ(context->foregroundType(), 0);
  auto list = NSMutableArray::array();
  send<void>(context, sel<"setAppDelegates:">(), list);
  EXPECT_EQ(context->appDelegates(), list.get()) << "the host's own list, not a copy";
  auto configuration = make<OrvelNotificationConfiguration>();
  send<void>(context, sel<"setConfiguration:">(), configuration);
  EXPECT_EQ(send<Id>(context, sel<"configuration">()), Id(configuration));
}

TEST(OrvelContext, SetApplicationDelegateHooksEachNewDelegateOnce) {
  OrvelContext* context = OrvelContext::currentContext();
  orveltest::spyOnContext(sel<"hookApplicationDelegate:">());
  orveltest::clearJournal();
  auto first = make<PlainHost>();
  auto second = make<PlainHost>();

  send<void>(context, sel<"setApplicationDelegate:">(), first);
  send<void>(context, sel<"setApplicationDelegate:">(), first);
  EXPECT_EQ(journal(), std::vector<std::string>{"context:hookApplicationDelegate:"});
  EXPECT_STREQ(object_getClassName(first), "Orvel_PlainHost");

  send<void>(context, sel<"setApplicationDelegate:">(), nullptr);
  EXPECT_EQ(context->applicationDelegate().get(), first.get()) << "nil never clears it";
  EXPECT_EQ(journal().size(), 1u);

  send<void>(context, sel<"setApplicationDelegate:">(), second);
  EXPECT_EQ(context->applicationDelegate().get(), second.get());
  EXPECT_EQ(journal().size(), 2u);

  second = nullptr;
  EXPECT_FALSE(context->applicationDelegate()) << "held weakly";
}

class OrvelContextLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    app()->setApplicationState(UIApplicationStateActive);
    OrvelContext::currentContext();  // the launch handling needs the context in place first
    orveltest::spyOnContext(sel<"didReceiveLocalNotification:">());
    orveltest::clearJournal();
  }
  orveltest::EventRecorder events;
};

TEST_F(OrvelContextLaunch, LegacyLocalNotificationBelowTenBecomesOneEvent) {
  UIDevice::currentDevice()->setSystemVersion("9.3");
  OrvelContext::currentContext();  // a second call subscribes nothing more
  postLaunch(launchedBy(orveltest::localNotification("launched")));
  EXPECT_EQ(journal(), std::vector<std::string>{"context:didReceiveLocalNotification:"});
  runMainUntilIdle();
  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(orveltest::text(messages[0]->content()->body()), "launched");
}

TEST_F(OrvelContextLaunch, FromTenOnOrWithoutALegacyNotificationNothingHappens) {
  for (const char* version : {"10.0", "13.0"}) {
    UIDevice::currentDevice()->setSystemVersion(version);
    postLaunch(launchedBy(orveltest::localNotification("launched")));
  }
  UIDevice::currentDevice()->setSystemVersion("9.3");
  postLaunch(launchedBy(str("not a notification")));
  postLaunch(NSDictionary::dictionary());
  postLaunch(nullptr);
  runMainUntilIdle();
  EXPECT_TRUE(journal().empty());
  EXPECT_EQ(events.count(), 0u);
}

TEST_F(OrvelContextLaunch, OtherLifecycleBroadcastsChangeNothing) {
  UIDevice::currentDevice()->setSystemVersion("9.3");
  OrvelContext* context = OrvelContext::currentContext();
  app()->setApplicationIconBadgeNumber(3);
  for (NSString* name : {UIApplicationDidEnterBackgroundNotification(), UIApplicationWillEnterForegroundNotification(),
                         UIApplicationWillTerminateNotification()}) {
    NSNotificationCenter::defaultCenter()->postNotificationName(name, app(),
                                                                launchedBy(orveltest::localNotification("x")));
  }
  runMainUntilIdle();
  EXPECT_TRUE(journal().empty());
  EXPECT_EQ(events.count(), 0u);
  EXPECT_EQ(context->foregroundType(), 7);
  EXPECT_FALSE(context->applicationDelegate());
  EXPECT_EQ(app()->applicationIconBadgeNumber(), 3);
}

// The first calls race: every thread gets the same, fully set-up context.
TEST(OrvelContextConcurrency, FirstCallsOfCurrentContextRaceFromSeveralThreads) {
  constexpr int kThreads = 8;
  std::latch start(kThreads);
  std::vector<OrvelContext*> seen(kThreads, nullptr);
  std::vector<int64_t> foreground(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      seen[i] = OrvelContext::currentContext();
      foreground[i] = seen[i]->foregroundType();
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(seen[i], seen[0]);
    EXPECT_EQ(foreground[i], 7);
  }
  ASSERT_NE(seen[0], nullptr);

  // Subscribed exactly once: one launch broadcast gives one event.
  UIDevice::currentDevice()->setSystemVersion("9.3");
  orveltest::EventRecorder events;
  postLaunch(launchedBy(orveltest::localNotification("launched")));
  runMainUntilIdle();
  EXPECT_EQ(events.count(), 1u);
}

}  // namespace

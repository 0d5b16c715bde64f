// Forwarding to the host's own implementations, and the edges of the
// background-fetch completion handler (the device tests cover what hosts
// usually do with it).
#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "support/OrvelTestSupport.h"

using namespace objc;
using orveltest::journal;
using orveltest::record;

namespace {

// A host whose fetch callback does what the test asks of it.
struct FetchDelegate : NSObject {
  static Class class_();
  std::function<void(UIBackgroundFetchResultHandler*)> onFetch;
  int calls = 0;
  void didReceiveRemoteFetch(UIApplication*, NSDictionary*, UIBackgroundFetchResultHandler* handler) {
    ++calls;
    record("host:fetch");
    if (onFetch) onFetch(handler);
  }
};
Class FetchDelegate::class_() {
  static Class c = ClassBuilder<FetchDelegate>("FetchDelegate")
                       .conforms("UIApplicationDelegate")
                       .method<&FetchDelegate::didReceiveRemoteFetch>(
                           "application:didReceiveRemoteNotification:fetchCompletionHandler:")
                       .build();
  return c;
}

// Only the plain remote callback, and the local one.
struct PlainDelegate : NSObject {
  static Class class_();
  void didReceiveRemote(UIApplication*, NSDictionary*) { record("host:remote"); }
  void didReceiveLocal(UIApplication*, UILocalNotification*) { record("host:local"); }
};
Class PlainDelegate::class_() {
  static Class c = ClassBuilder<PlainDelegate>("PlainDelegate")
                       .conforms("UIApplicationDelegate")
                       .method<&PlainDelegate::didReceiveRemote>("application:didReceiveRemoteNotification:")
                       .method<&PlainDelegate::didReceiveLocal>("application:didReceiveLocalNotification:")
                       .build();
  return c;
}

// Neither remote callback.
struct TokenOnlyDelegate : NSObject {
  static Class class_();
  void didRegister(UIApplication*, NSData*) { record("host:token"); }
};
Class TokenOnlyDelegate::class_() {
  static Class c =
      ClassBuilder<TokenOnlyDelegate>("TokenOnlyDelegate")
          .conforms("UIApplicationDelegate")
          .method<&TokenOnlyDelegate::didRegister>("application:didRegisterForRemoteNotificationsWithDeviceToken:")
          .build();
  return c;
}

UIApplication* app() { return UIApplication::sharedApplication(); }

void deliverFetch(NSObject* delegate, NSObject* handler) {
  send<void>(delegate, sel<"application:didReceiveRemoteNotification:fetchCompletionHandler:">(), app(),
             orveltest::remotePayload("fetch", 1), handler);
}

class OrvelFetchHandler : public ::testing::Test {
 protected:
  void SetUp() override { orveltest::clearJournal(); }
  orveltest::FetchHandlerProbe platform = orveltest::makeFetchHandlerProbe();
};

TEST_F(OrvelFetchHandler, AbsentOrForeignHandlerIsNeverCalled) {
  auto delegate = make<FetchDelegate>();
  std::vector<bool> received;
  delegate->onFetch = [&](UIBackgroundFetchResultHandler* h) { received.push_back(h != nullptr); };
  orveltest::installApplicationDelegate(delegate);

  deliverFetch(delegate, nullptr);
  int foreignCalls = 0;
  auto foreign = makeBlock<void()>([&] { ++foreignCalls; });
  deliverFetch(delegate, foreign);
  EXPECT_EQ(received, (std::vector<bool>{false, false})) << "the host gets nil for both";
  EXPECT_EQ(foreignCalls, 0);
  EXPECT_EQ(delegate->calls, 2);
}

TEST_F(OrvelFetchHandler, PublicForwardingReachesOnlyHookedHostsAndCompletesOnce) {
  OrvelContext* context = OrvelContext::currentContext();
  auto sendRemote = [&](NSObject* target, NSObject* handler) {
    send<void>(context, sel<"PublicSendRawOrvel:application:didReceiveRemoteNotification:fetchCompletionHandler:">(),
               target, app(), orveltest::remotePayload("p", 0), handler);
  };
  auto sendLocal = [&](NSObject* target) {
    send<void>(context, sel<"PublicSendRawOrvel:application:didReceiveLocalNotification:">(), target, app(),
               orveltest::localNotification("l"));
  };

  sendRemote(nullptr, platform.handler);
  EXPECT_EQ(platform.calls(), std::vector<uint64_t>{UIBackgroundFetchResultNewData});

  auto unhooked = make<PlainDelegate>();  // never installed: it has no backups
  auto probe = orveltest::makeFetchHandlerProbe();
  sendRemote(unhooked, probe.handler);
  sendLocal(unhooked);
  EXPECT_TRUE(journal().empty());
  EXPECT_EQ(probe.calls(), std::vector<uint64_t>{UIBackgroundFetchResultNewData});

  orveltest::spyOnContextDeliveryHandlers();
  auto hooked = make<PlainDelegate>();
  orveltest::installApplicationDelegate(hooked);
  sendLocal(hooked);
  sendRemote(hooked, nullptr);
  EXPECT_EQ(journal(), (std::vector<std::string>{"host:local", "host:remote"}))
      << "forwarding reaches the host's own code only, not the context's handlers";

  auto tokenOnly = make<TokenOnlyDelegate>();
  orveltest::installApplicationDelegate(tokenOnly);
  orveltest::clearJournal();
  sendLocal(tokenOnly);
  EXPECT_TRUE(journal().empty());
}

// The host completes from another thread while the library completes after
// the host's callback returns: exactly one of the two reaches the platform.
TEST(OrvelFetchHandlerConcurrency, HostCompletingOnAnotherThreadRacesTheLibrary) {
  auto delegate = make<FetchDelegate>();
  std::vector<std::thread> hostThreads;
  delegate->onFetch = [&](UIBackgroundFetchResultHandler* h) {
    hostThreads.emplace_back(
        [handler = Ref<UIBackgroundFetchResultHandler>(h)] { (*handler)(UIBackgroundFetchResultNoData); });
  };
  orveltest::installApplicationDelegate(delegate);

  std::vector<orveltest::FetchHandlerProbe> probes;
  for (int i = 0; i < 50; ++i) {
    probes.push_back(orveltest::makeFetchHandlerProbe());
    deliverFetch(delegate, probes.back().handler);
  }
  for (auto& t : hostThreads) t.join();
  for (const auto& probe : probes) {
    auto calls = probe.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0] == UIBackgroundFetchResultNewData || calls[0] == UIBackgroundFetchResultNoData);
  }
}

}  // namespace

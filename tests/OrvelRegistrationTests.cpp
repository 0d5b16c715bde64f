// Registration and the authorisation status on both interfaces: from "10.0"
// the notification centre (reached by name) asks the user while nothing is
// granted, and the application registers for remote notifications at once;
// below "10.0" the legacy settings are installed first.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Device/Device.h"
#include "support/OrvelCenterTestSupport.h"

using namespace objc;
using orveltest::authorizationRequests;
using orveltest::journal;
using orveltest::record;

namespace {

struct RegistrationHost : NSObject {
  static Class class_();
  void didRegister(UIApplication*, NSData*) { record("host:token"); }
  void didRegisterSettings(UIApplication*, UIUserNotificationSettings*) { record("host:settings"); }
};
Class RegistrationHost::class_() {
  static Class c =
      ClassBuilder<RegistrationHost>("RegistrationHost")
          .conforms("UIApplicationDelegate")
          .method<&RegistrationHost::didRegister>("application:didRegisterForRemoteNotificationsWithDeviceToken:")
          .method<&RegistrationHost::didRegisterSettings>("application:didRegisterUserNotificationSettings:")
          .build();
  return c;
}

Device::DelegateFactory registrationHost() {
  return [] { return Id(make<RegistrationHost>()); };
}

// What the application object is asked, in order: "settings:<types>" and
// "remote". The user allows the legacy settings at once.
class RegistrationRecorder : public UIApplicationSystem {
 public:
  void remoteRegistrationRequested(UIApplication*) override { note("remote"); }
  void userNotificationSettingsRegistered(UIApplication* app, UIUserNotificationSettings* requested) override {
    {
      std::lock_guard<std::mutex> g(lock_);
      settings_.emplace_back(requested);
    }
    note("settings:" + std::to_string(requested->types()));
    UIApplicationSystem::userNotificationSettingsRegistered(app, requested);
  }
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> g(lock_);
    return calls_;
  }
  std::vector<Ref<UIUserNotificationSettings>> settings() const {
    std::lock_guard<std::mutex> g(lock_);
    return settings_;
  }

 private:
  void note(std::string call) {
    std::lock_guard<std::mutex> g(lock_);
    calls_.push_back(std::move(call));
  }
  mutable std::mutex lock_;
  std::vector<std::string> calls_;
  std::vector<Ref<UIUserNotificationSettings>> settings_;
};

// A user who is slow to answer the permission prompt.
class HeldPrompt : public UNUserNotificationCenterSystem {
 public:
  void authorizationRequested(UNAuthorizationOptions options, std::function<void(bool)> answer) override {
    std::lock_guard<std::mutex> g(lock_);
    options_.push_back(options);
    answer_ = std::move(answer);
  }
  std::vector<uint64_t> options() const {
    std::lock_guard<std::mutex> g(lock_);
    return options_;
  }
  void answer(bool allow) {
    std::function<void(bool)> answer;
    {
      std::lock_guard<std::mutex> g(lock_);
      answer.swap(answer_);
    }
    if (answer) answer(allow);
  }

 private:
  mutable std::mutex lock_;
  std::vector<uint64_t> options_;
  std::function<void(bool)> answer_;
};

UIApplication* app() { return UIApplication::sharedApplication(); }
UNUserNotificationCenter* centre() { return UNUserNotificationCenter::currentNotificationCenter(); }
OrvelContext* context() { return OrvelContext::currentContext(); }

void registerWith(OrvelNotificationConfiguration* configuration) {
  send<void>(context(), sel<"registerForRemoteNotification:">(), configuration);
}

Ref<OrvelNotificationConfiguration> configurationWithTypes(int64_t types) {
  auto configuration = make<OrvelNotificationConfiguration>();
  configuration->setTypes(types);
  return configuration;
}

struct StatusAnswer {
  std::atomic<int> calls{0};
  std::atomic<int64_t> status{-1};
  std::atomic<bool> onCentreQueue{false};
};

void queryStatus(const std::shared_ptr<StatusAnswer>& answer) {
  auto handler = makeBlock<void(int64_t)>([answer](int64_t status) {
    answer->status.store(status);
    answer->onCentreQueue.store(UNUserNotificationCenter::isOnCompletionQueue());
    answer->calls.fetch_add(1);
  });
  send<void>(context(), sel<"requestNotificationAuthorizationStatus:">(), handler);
}

std::vector<std::string> registrationEvents(const orveltest::EventRecorder& events) {
  std::vector<std::string> out;
  for (const auto& e : events.events()) {
    if (e.name != "OrvelDidRegisterRemoteNotification") continue;
    out.push_back(e.userInfo ? orveltest::text(e.userInfo->objectForKey("deviceToken")) : "<no user info>");
  }
  return out;
}

const char* const kDefaultTokenHex = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";

// ---- from "10.0" ----

class OrvelRegistration : public ::testing::Test {
 protected:
  void SetUp() override {
    UIDevice::currentDevice()->setSystemVersion("13.0");
    orveltest::spyOnAuthorizationRequests();
  }
  void TearDown() override {
    app()->setSystem(nullptr);
    centre()->setSystem(nullptr);
  }
};

TEST_F(OrvelRegistration, NotDeterminedAsksOnceWithTheTypesAndRegistersWithoutWaiting) {
  auto recorder = std::make_shared<RegistrationRecorder>();
  auto prompt = std::make_shared<HeldPrompt>();
  app()->setSystem(recorder);
  centre()->setSystem(prompt);

  auto configuration = configurationWithTypes(7);
  registerWith(configuration);
  EXPECT_EQ(recorder->calls(), std::vector<std::string>{"remote"}) << "before any completion of the centre";
  EXPECT_EQ(context()->configuration(), configuration.get());
  EXPECT_EQ(centre()->delegate().get(), context());

  ASSERT_TRUE(runMainUntil([&] { return !prompt->options().empty(); }));
  EXPECT_EQ(prompt->options(), std::vector<uint64_t>{7});
  EXPECT_EQ(authorizationRequests(), std::vector<uint64_t>{7});
  prompt->answer(true);
  ASSERT_TRUE(runMainUntil([] { return centre()->authorizationStatus() == UNAuthorizationStatusAuthorized; }));
  EXPECT_EQ(centre()->grantedOptions(), 7u);
  EXPECT_EQ(recorder->calls(), std::vector<std::string>{"remote"}) << "no legacy settings from 10.0";
}

class OrvelRegistrationOnDevice : public OrvelRegistration {
 protected:
  void SetUp() override {
    OrvelRegistration::SetUp();
    orveltest::clearJournal();
    device.launch(registrationHost());
  }
  void TearDown() override {}
  Device device;
  orveltest::EventRecorder events;
};

TEST_F(OrvelRegistrationOnDevice, UserIsAskedWhileUndecidedThenTheTokenIsBroadcast) {
  registerWith(configurationWithTypes(7));
  device.settle();
  EXPECT_EQ(authorizationRequests(), std::vector<uint64_t>{7});
  EXPECT_EQ(centre()->authorizationStatus(), UNAuthorizationStatusAuthorized);
  EXPECT_EQ(centre()->grantedOptions(), 7u);
  EXPECT_EQ(registrationEvents(events), std::vector<std::string>{kDefaultTokenHex});
  EXPECT_EQ(journal(), std::vector<std::string>{"host:token"});

  registerWith(configurationWithTypes(7));  // now authorised
  device.settle();
  EXPECT_EQ(authorizationRequests(), std::vector<uint64_t>{7}) << "nobody is asked twice";
  EXPECT_EQ(registrationEvents(events).size(), 2u) << "but the application registers every time";
}

TEST_F(OrvelRegistrationOnDevice, AuthorisedAsksNothingAndStillRegisters) {
  device.setAuthorizationStatus(UNAuthorizationStatusAuthorized);
  registerWith(configurationWithTypes(7));
  device.settle();
  EXPECT_TRUE(authorizationRequests().empty());
  EXPECT_EQ(registrationEvents(events), std::vector<std::string>{kDefaultTokenHex});
}

TEST_F(OrvelRegistrationOnDevice, DeniedAsksAgainAndStillRegisters) {
  device.setAuthorizationStatus(UNAuthorizationStatusDenied);
  registerWith(configurationWithTypes(5));
  device.settle();
  EXPECT_EQ(authorizationRequests(), std::vector<uint64_t>{5});
  EXPECT_EQ(centre()->authorizationStatus(), UNAuthorizationStatusDenied) << "the system does not prompt again";
  EXPECT_EQ(registrationEvents(events), std::vector<std::string>{kDefaultTokenHex});
}

TEST_F(OrvelRegistrationOnDevice, NullConfigurationAsksWithNoOptions) {
  context()->setConfiguration(configurationWithTypes(7));
  registerWith(nullptr);
  device.settle();
  EXPECT_EQ(context()->configuration(), nullptr) << "null replaces the earlier configuration";
  EXPECT_EQ(authorizationRequests(), std::vector<uint64_t>{0});
  EXPECT_EQ(registrationEvents(events), std::vector<std::string>{kDefaultTokenHex});
}

TEST_F(OrvelRegistration, StatusQueryPassesThePlatformStatusOnTheCentresQueue) {
  for (UNAuthorizationStatus status : {UNAuthorizationStatusNotDetermined, UNAuthorizationStatusDenied,
                                       UNAuthorizationStatusAuthorized, UNAuthorizationStatusProvisional}) {
    SCOPED_TRACE(status);
    centre()->setAuthorizationStatus(status, UNAuthorizationOptionAlert);
    auto answer = std::make_shared<StatusAnswer>();
    queryStatus(answer);
    ASSERT_TRUE(runMainUntil([&] { return answer->calls.load() > 0; }));
    EXPECT_EQ(answer->status.load(), status);
    EXPECT_TRUE(answer->onCentreQueue.load()) << "no hop to the main queue";
    EXPECT_EQ(answer->calls.load(), 1);
  }
}

TEST_F(OrvelRegistration, StatusQueryWithoutAUsableHandlerStillAsksAndCallsNothing) {
  auto wrongKind = makeBlock<void(bool)>([](bool) { ADD_FAILURE() << "a handler of another signature is not called"; });
  send<void>(context(), sel<"requestNotificationAuthorizationStatus:">(), nullptr);
  send<void>(context(), sel<"requestNotificationAuthorizationStatus:">(), wrongKind);
  // Whatever the centre's queue runs before this marker has run once it passes.
  auto passed = std::make_shared<std::atomic<bool>>(false);
  dispatch_async(centre()->completionQueue(), [passed] { passed->store(true); });
  EXPECT_TRUE(runMainUntil([&] { return passed->load(); }));
}

// ---- below "10.0" ----

class OrvelLegacyRegistration : public ::testing::Test {
 protected:
  void SetUp() override {
    UIDevice::currentDevice()->setSystemVersion("9.3");
    orveltest::spyOnAuthorizationRequests();
  }
  void TearDown() override { app()->setSystem(nullptr); }
};

TEST_F(OrvelLegacyRegistration, SettingsWithTheSameTypesAndNoCategoriesThenRemoteRegistration) {
  auto recorder = std::make_shared<RegistrationRecorder>();
  app()->setSystem(recorder);
  registerWith(configurationWithTypes(7));
  registerWith(nullptr);

  EXPECT_EQ(recorder->calls(), (std::vector<std::string>{"settings:7", "remote", "settings:0", "remote"}));
  for (const auto& settings : recorder->settings()) EXPECT_EQ(settings->categories(), nullptr);
  runMainUntilIdle();
  EXPECT_TRUE(authorizationRequests().empty());
  EXPECT_EQ(centre()->delegate().get(), nullptr) << "the notification centre is not touched";
}

TEST_F(OrvelLegacyRegistration, StatusIsTwoWithAnyTypeEnabledElseZeroBeforeTheQueryReturns) {
  auto answer = std::make_shared<StatusAnswer>();
  queryStatus(answer);
  EXPECT_EQ(answer->calls.load(), 1);
  EXPECT_EQ(answer->status.load(), 0) << "nothing asked yet";

  app()->answerUserNotificationSettings(
      UIUserNotificationSettings::settingsForTypes(UIUserNotificationTypeSound, nullptr));
  answer = std::make_shared<StatusAnswer>();
  queryStatus(answer);
  EXPECT_EQ(answer->calls.load(), 1);
  EXPECT_EQ(answer->status.load(), 2);

  // A refusal reads like a question never asked.
  app()->answerUserNotificationSettings(
      UIUserNotificationSettings::settingsForTypes(UIUserNotificationTypeNone, nullptr));
  answer = std::make_shared<StatusAnswer>();
  queryStatus(answer);
  EXPECT_EQ(answer->calls.load(), 1);
  EXPECT_EQ(answer->status.load(), 0);

  send<void>(context(), sel<"requestNotificationAuthorizationStatus:">(), nullptr);
}

TEST_F(OrvelLegacyRegistration, OnTheDeviceTheSettingsAnswerComesBeforeTheToken) {
  orveltest::clearJournal();
  Device device;
  orveltest::EventRecorder events;
  device.launch(registrationHost());
  registerWith(configurationWithTypes(6));
  device.settle();

  EXPECT_EQ(app()->currentUserNotificationSettings()->types(), 6u);
  EXPECT_EQ(journal(), (std::vector<std::string>{"host:settings", "host:token"}));
  EXPECT_EQ(registrationEvents(events), std::vector<std::string>{kDefaultTokenHex});
  auto answer = std::make_shared<StatusAnswer>();
  queryStatus(answer);
  EXPECT_EQ(answer->status.load(), 2);
}

// ---- threads ----

// The centre completes on its own queue; nothing the library hands it may
// wait for the main queue, and nothing it runs there may touch state that
// the main thread is changing.
TEST(OrvelRegistrationConcurrency, CompletionsArriveWhileTheMainQueueIsBusy) {
  UIDevice::currentDevice()->setSystemVersion("13.0");
  orveltest::spyOnAuthorizationRequests();
  constexpr int kRounds = 64;
  auto calls = std::make_shared<std::array<std::atomic<int>, kRounds>>();
  auto offMain = std::make_shared<std::atomic<int>>(0);
  auto lock = std::make_shared<std::mutex>();
  auto answered = std::make_shared<std::condition_variable>();
  auto total = std::make_shared<int>(0);

  bool allArrived = false;
  dispatch_async(dispatch_get_main_queue(), [&] {
    for (int i = 0; i < kRounds; ++i) {
      registerWith(configurationWithTypes(i % 8));
      auto handler = makeBlock<void(int64_t)>([=](int64_t) {
        (*calls)[i].fetch_add(1);
        if (!isMainThread()) offMain->fetch_add(1);
        std::lock_guard<std::mutex> g(*lock);
        ++*total;
        answered->notify_all();
      });
      send<void>(context(), sel<"requestNotificationAuthorizationStatus:">(), handler);
    }
    // The main queue stays busy until every status has arrived.
    std::unique_lock<std::mutex> g(*lock);
    allArrived = answered->wait_for(g, std::chrono::seconds(30), [&] { return *total == kRounds; });
  });
  runMainUntilIdle();

  ASSERT_TRUE(allArrived);
  for (int i = 0; i < kRounds; ++i) EXPECT_EQ((*calls)[i].load(), 1) << "handler " << i;
  EXPECT_EQ(offMain->load(), kRounds);
  ASSERT_TRUE(runMainUntil([] { return centre()->authorizationStatus() == UNAuthorizationStatusAuthorized; }));
  EXPECT_FALSE(authorizationRequests().empty());
}

}  // namespace

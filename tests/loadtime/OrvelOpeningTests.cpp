// A push counts as opened once, when the user taps it, on both notification
// interfaces (ctest runs this binary at "9.3" and at "13.0"): the system
// waking the application in the background for a push that asks for
// background work is no opening, and a tapped alert is one even when the
// push also asked for background work.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Device/Device.h"
#include "support/OrvelTestSupport.h"

using namespace objc;

namespace {

// Registers through the library at launch, as a host does, and completes
// every fetch at once.
struct OpeningHost : NSObject {
  static Class class_();
  bool didFinishLaunching(UIApplication*, NSDictionary*) {
    auto configuration = make<OrvelNotificationConfiguration>();
    configuration->setTypes(7);
    OrvelCenter::registerForRemoteNotification(configuration);
    return true;
  }
  void didReceiveRemoteFetch(UIApplication*, NSDictionary*, UIBackgroundFetchResultHandler* handler) {
    orveltest::record("host:fetch");
    (*handler)(UIBackgroundFetchResultNewData);
  }
};
Class OpeningHost::class_() {
  static Class c = ClassBuilder<OpeningHost>("OpeningHost")
                       .conforms("UIApplicationDelegate")
                       .method<&OpeningHost::didFinishLaunching>("application:didFinishLaunchingWithOptions:")
                       .method<&OpeningHost::didReceiveRemoteFetch>(
                           "application:didReceiveRemoteNotification:fetchCompletionHandler:")
                       .build();
  return c;
}

Ref<NSDictionary> payload(std::initializer_list<NSDictionary::Entry> aps) {
  return NSDictionary::dictionaryWithEntries({{str("aps"), NSDictionary::dictionaryWithEntries(aps)}});
}

class OrvelOpening : public ::testing::Test {
 protected:
  void SetUp() override {
    orveltest::clearJournal();
    device.launch([] { return Id(make<OpeningHost>()); });
    device.setState(AppState::Background);
  }
  std::vector<OrvelNotificationMessageType> types() const {
    std::vector<OrvelNotificationMessageType> out;
    for (const auto& m : events.messages()) out.push_back(m->notificationMessageType());
    return out;
  }
  std::vector<std::string> badgeWrites() const {
    std::vector<std::string> out;
    for (const auto& r : device.records("badge")) out.push_back(r.get("value"));
    return out;
  }

  Device device;
  orveltest::EventRecorder events;
};

TEST_F(OrvelOpening, AVisiblePushThatAlsoWakesTheApplicationIsOpenedOnceWhenTapped) {
  device.clearRecords();
  device.push(payload({{str("alert"), str("3 new messages")},
                       {str("badge"), NSNumber::numberWithInteger(3)},
                       {str("content-available"), NSNumber::numberWithInt(1)}}));
  EXPECT_EQ(orveltest::journal(), std::vector<std::string>{"host:fetch"}) << "woken in the background";
  EXPECT_EQ(types(), std::vector<OrvelNotificationMessageType>{OrvelNotificationMessageTypeRemoteReceived});
  EXPECT_EQ(badgeWrites(), std::vector<std::string>{"3"}) << "the system's badge, left as it is";

  ASSERT_TRUE(device.openLatest());
  EXPECT_EQ(types(), (std::vector<OrvelNotificationMessageType>{OrvelNotificationMessageTypeRemoteReceived,
                                                                OrvelNotificationMessageTypeRemoteOpened}));
  EXPECT_EQ(badgeWrites(), (std::vector<std::string>{"3", "2"})) << "one decrement for one tap";
  EXPECT_TRUE(device.faults().empty());
}

TEST_F(OrvelOpening, ATappedAlertIsOpenedEvenWhenItAskedOnlyForBackgroundDelivery) {
  UIApplication::sharedApplication()->setApplicationIconBadgeNumber(4);
  device.clearRecords();
  // No sound and no badge: silent by its fields, but the user sees the alert.
  device.push(
      payload({{str("alert"), str("Backup finished")}, {str("content-available"), NSNumber::numberWithInt(1)}}));
  EXPECT_EQ(types(), std::vector<OrvelNotificationMessageType>{OrvelNotificationMessageTypeRemoteReceived});

  ASSERT_TRUE(device.openLatest());
  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1]->notificationMessageType(), OrvelNotificationMessageTypeRemoteOpened);
  EXPECT_EQ(orveltest::text(messages[1]->content()->body()), "Backup finished");
  EXPECT_EQ(badgeWrites(), std::vector<std::string>{"3"});
  EXPECT_TRUE(device.faults().empty());
}

}  // namespace

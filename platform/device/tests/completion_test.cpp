#include "support.h"

namespace device_test {
namespace {

using Calls = std::vector<std::string>;

TEST_F(DeviceTest, ACompletionCalledTwiceIsAFaultAndOnlyTheFirstCallCounts) {
  useVersion("10.0");
  launch(kFullHost);
  host->completeTwice = true;
  host->presentOptions = UNNotificationPresentationOptionAlert;
  device->push(json(kVisible));
  device->push(json(kSilent));
  device->setState(AppState::Background);
  auto id = device->push(json(kVisible));
  device->open(id);

  auto faults = device->faults();
  ASSERT_EQ(faults.size(), 3u);
  EXPECT_EQ(faults[0].get("callback"), "userNotificationCenter:willPresentNotification:withCompletionHandler:");
  EXPECT_EQ(faults[1].get("callback"), "application:didReceiveRemoteNotification:fetchCompletionHandler:");
  EXPECT_EQ(faults[2].get("callback"), "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:");
  for (const auto& f : faults) EXPECT_EQ(f.get("fault"), "completion called twice");
  EXPECT_EQ(field("completion", "call"), (std::vector<std::string>{"1", "2", "1", "2", "1", "2"}));
  EXPECT_EQ(field("completion", "value"), (std::vector<std::string>{"4", "4", "0", "1", "", ""}));
  EXPECT_EQ(device->state(), AppState::Active) << "the run goes on";
}

TEST_F(DeviceTest, AFetchCompletionNotCalledWithinThirtySecondsIsReportedOnce) {
  for (const char* version : {"9.3", "10.0"}) {
    useVersion(version);
    launch(kFullHost);
    host->completeFetch = false;
    device->setState(AppState::Background);
    double pushed = device->now();
    device->push(json(kSilent));
    ASSERT_TRUE(host->keptFetch) << version;
    device->advance(29.5);
    EXPECT_TRUE(device->faults().empty()) << version;
    device->advance(10);
    auto faults = device->faults();
    ASSERT_EQ(faults.size(), 1u) << version;
    EXPECT_EQ(faults[0].get("fault"), "fetch completion not called");
    EXPECT_DOUBLE_EQ(faults[0].time - pushed, Device::kFetchCompletionLimit) << "stamped when the time ran out";

    (*host->keptFetch)(UIBackgroundFetchResultFailed);
    device->advance(60);
    EXPECT_EQ(device->faults().size(), 1u) << "a late call is noted, not reported again";
    EXPECT_EQ(field("completion", "value"), std::vector<std::string>{"2"});
    device->terminate();
    device->clearRecords();
  }
}

TEST_F(DeviceTest, AFetchCompletionCalledInTimeIsNotedWithItsDeviceTime) {
  useVersion("9.3");
  launch(kFullHost);
  host->completeFetch = false;
  device->push(json(kSilent));
  device->advance(12);
  (*host->keptFetch)(UIBackgroundFetchResultNoData);
  device->advance(60);
  EXPECT_TRUE(device->faults().empty());
  auto completions = device->records("completion");
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].get("value"), "1");
  EXPECT_DOUBLE_EQ(completions[0].time, DeviceOptions{}.startTime + 12);
}

}  // namespace
}  // namespace device_test

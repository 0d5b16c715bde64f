// What the push service's headers do on the device: a collapse identifier
// replaces the listed notification that came with it, and priority-5
// background pushes spend a budget.
#include <string>

#include "support.h"

namespace device_test {
namespace {

using Calls = std::vector<std::string>;

std::vector<std::string> localChanges(Device& device, const std::string& reason) {
  std::vector<std::string> out;
  for (const DeviceRecord& r : device.records("local"))
    if (r.get("reason") == reason) out.push_back(r.get("list") + " " + r.get("change") + " " + r.get("id"));
  return out;
}

void collapseOnAList(Device& device, const std::string& list) {
  device.setState(AppState::Background);
  device.clearRecords();
  device.push(json(kVisible), str("first").get(), {"score", 10, "", 0});
  device.push(json(kVisible), str("other").get(), {"weather", 10, "", 0});
  device.push(json(kVisible), str("second").get(), {"score", 10, "", 0});
  EXPECT_EQ(device.deliveredIdentifiers(), (std::vector<std::string>{"other", "second"}));
  EXPECT_EQ(localChanges(device, "collapsed"), std::vector<std::string>{list + " removed first"});

  // One the user already took off the list is not looked for again.
  device.open("second");
  device.setState(AppState::Background);
  device.push(json(kVisible), str("third").get(), {"score", 10, "", 0});
  EXPECT_EQ(device.deliveredIdentifiers(), (std::vector<std::string>{"other", "third"}));
  EXPECT_EQ(localChanges(device, "collapsed").size(), 1u);
}

TEST_F(DeviceTest, Below10ACollapseIdentifierReplacesTheNoticeThatCameWithIt) {
  useVersion("9.3");
  launch(kFullHost);
  collapseOnAList(*device, "notices");
}

TEST_F(DeviceTest, From10ACollapseIdentifierReplacesTheDeliveredNotificationThatCameWithIt) {
  useVersion("13.0");
  launch(kFullHost);
  collapseOnAList(*device, "delivered");
}

TEST_F(DeviceTest, AVoipPushMayCarryMoreThanOthers) {
  useVersion("13.0");
  launch(kFullHost);
  device->setState(AppState::Background);
  auto padded = [](size_t bytes) { return json(R"({"aps":{"alert":"call"},"pad":")" + std::string(bytes, 'v') + "\"}"); };
  EXPECT_THROW(device->push(padded(4500).get(), str("alert").get()), Exception);
  EXPECT_NO_THROW(device->push(padded(4500).get(), str("call").get(), {"", 10, "voip", 0}));
  EXPECT_THROW(device->push(padded(5100).get(), str("long call").get(), {"", 10, "voip", 0}), Exception);
  EXPECT_EQ(device->deliveredIdentifiers(), std::vector<std::string>{"call"});
}

TEST_F(DeviceTest, ThePushServicesMeasureOfAPayloadIsTheOneThatCounts) {
  useVersion("13.0");
  launch(kFullHost);
  device->setState(AppState::Background);
  // "1e10" written again is "10000000000.0": 4,000 bytes as sent, more as
  // the device writes them.
  std::string numbers = "[1e10";
  while (numbers.size() < 3960) numbers += ",1e10";
  auto payload = json(R"({"aps":{"alert":"many"},"n":)" + numbers + "]}");
  const size_t sent = numbers.size() + 25;
  ASSERT_LE(sent, Device::kMaxPayloadBytes);
  EXPECT_THROW(device->push(payload.get(), str("measured here").get()), Exception);
  EXPECT_NO_THROW(device->push(payload.get(), str("as sent").get(), {"", 10, "", sent}));
  EXPECT_THROW(device->push(payload.get(), str("too long").get(), {"", 10, "", 4097}), Exception);
  EXPECT_EQ(device->deliveredIdentifiers(), std::vector<std::string>{"as sent"});
}

TEST_F(DeviceTest, PriorityFiveBackgroundPushesBeyondTheBudgetWaitAndOnlyTheLatestIsKept) {
  useVersion("13.0");
  launch(kFullHost);
  device->setState(AppState::Background);
  takeCalls();
  for (int i = 0; i < Device::kBackgroundBudget; ++i) device->push(json(kSilent), nullptr, {"", 5, "", 0});
  EXPECT_EQ(takeCalls().size(), static_cast<size_t>(Device::kBackgroundBudget));

  device->advance(600);
  device->push(json(kSilent), str("late").get(), {"", 5, "", 0});
  device->push(json(kSilent), str("later").get(), {"", 5, "", 0});
  device->push(json(kSilent), str("urgent").get());  // priority 10 does not spend it
  device->push(json(kVisible), str("shown").get(), {"", 5, "", 0});
  EXPECT_EQ(takeCalls(), Calls{"fetch@background"}) << "only the priority-10 one";
  std::vector<std::string> budget;
  for (const DeviceRecord& r : device->records("budget")) budget.push_back(r.get("change") + " " + r.get("id"));
  EXPECT_EQ(budget, (std::vector<std::string>{"deferred late", "dropped late", "deferred later"}));
  EXPECT_EQ(device->records("budget")[2].get("wait"), "3000.000");

  device->advance(2999);
  EXPECT_EQ(takeCalls(), Calls{});
  device->advance(1);
  EXPECT_EQ(takeCalls(), Calls{"fetch@background"}) << "the budget frees an hour after the first";
  EXPECT_EQ(device->records("budget").back().get("change"), "delivered");
  EXPECT_EQ(device->records("budget").back().get("id"), "later");
}

}  // namespace
}  // namespace device_test

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "UIKit/UIDevice.h"
#include "orvel/OrvelDevice.h"

using namespace objc;

namespace {

// The text of a string, or "<nil>", so that a missing value fails an
// expectation instead of crashing the test.
std::string text(const NSString* s) { return s ? s->utf8() : "<nil>"; }

class DeviceTest : public testing::Test {
 protected:
  void SetUp() override { saved_ = UIDevice::currentDevice()->systemVersion()->utf8(); }
  void TearDown() override { UIDevice::currentDevice()->setSystemVersion(saved_); }
  static void runOn(std::string_view version) { UIDevice::currentDevice()->setSystemVersion(version); }

 private:
  std::string saved_;
};

struct VersionCase {
  const char* system;
  const char* version;
  int64_t expected;
};

class VersionCompareTest : public DeviceTest, public testing::WithParamInterface<VersionCase> {};

TEST_P(VersionCompareTest, ComparesSystemWithArgument) {
  const VersionCase& c = GetParam();
  runOn(c.system);
  EXPECT_EQ(OrvelDevice::versionCompare(str(c.version)), c.expected) << c.system << " vs " << c.version;
}

INSTANTIATE_TEST_SUITE_P(
    Table, VersionCompareTest,
    testing::Values(VersionCase{"9.3.5", "10.0", -1}, VersionCase{"10.0", "10.0", 0}, VersionCase{"10.3.1", "10.0", 1},
                    VersionCase{"10.0.1", "10.0", 1}, VersionCase{"10", "10.0", -1}, VersionCase{"12.1", "8.2", 1},
                    VersionCase{"10.0", "10.0a1", 1}, VersionCase{"10.0a1", "10.0", -1},
                    VersionCase{"10.0a2", "10.0a3", -1}, VersionCase{"10.0a3", "10.0a3", 0},
                    // Exactly -1/0/1, numbers rather than text, suffixes only between equal versions, parts after
                    // the second ignored, malformed components read as integers.
                    VersionCase{"13.0", "2.0", 1}, VersionCase{"10.0a2", "10.0a10", -1},
                    VersionCase{"10.1a1", "10.0", 1}, VersionCase{"10.0a1a2", "10.0a1", -1},
                    VersionCase{"10.0a1a5", "10.0a1a7", 0}, VersionCase{"10.0a1a9", "10.0a2a1", -1},
                    VersionCase{"10.x", "10.0", 0}, VersionCase{" 10.0", "10", 1}));

TEST_F(DeviceTest, NonStringsCountAsEarlierAndTheVersionIsReadEachCall) {
  runOn("9.0");
  EXPECT_EQ(OrvelDevice::versionCompare(nullptr), 1);
  EXPECT_EQ(OrvelDevice::versionCompare(NSNumber::numberWithInteger(100)), 1);
  EXPECT_EQ(OrvelDevice::versionCompare(NSData::dataWithUTF8("100.0")), 1);
  EXPECT_EQ(OrvelDevice::versionCompare(NSMutableString::string("10.0")), -1);
  runOn("12.0");
  EXPECT_EQ(OrvelDevice::versionCompare(lit<"12.0">()), 0);
  runOn("12.0.1");
  EXPECT_EQ(OrvelDevice::versionCompare(lit<"12.0">()), 1);
  // Answers already given follow the system back and forth.
  runOn("12.0");
  EXPECT_EQ(OrvelDevice::versionCompare(lit<"12.0">()), 0);
  auto changing = NSMutableString::string("12.0");
  EXPECT_EQ(OrvelDevice::versionCompare(changing), 0);
  changing->appendString(lit<".1">());
  EXPECT_EQ(OrvelDevice::versionCompare(changing), -1);
}

TEST_F(DeviceTest, HexRendersEveryByteAsTwoUpperCaseDigits) {
  const uint8_t token[] = {0x00, 0x0F, 0xA0, 0xFF};
  EXPECT_EQ(text(OrvelDevice::hexStringByData(NSData::dataWithBytes(token, sizeof token))), "000FA0FF");
  EXPECT_EQ(text(OrvelDevice::hexStringByData(NSData::dataWithBytes(nullptr, 0))), "");
  std::vector<uint8_t> all(256);
  std::string expected;
  for (int i = 0; i < 256; ++i) {
    all[i] = static_cast<uint8_t>(i);
    expected += format("%02X", i);
  }
  EXPECT_EQ(text(OrvelDevice::hexStringByData(NSData::dataWithBytes(all))), expected);
  EXPECT_FALSE(OrvelDevice::hexStringByData(nullptr));
  EXPECT_FALSE(OrvelDevice::hexStringByData(str("000FA0FF")));
}

TEST_F(DeviceTest, ClassMethodsAnswerByMessage) {
  Class device = NSClassFromString("OrvelDevice");
  ASSERT_EQ(device, OrvelDevice::class_());
  runOn("12.4.1");
  EXPECT_EQ(send<int64_t>(device, sel<"versionCompare:">(), str("13.0")), -1);
  EXPECT_EQ(send<int64_t>(device, sel<"versionCompare:">(), nullptr), 1);
  const uint8_t bytes[] = {0xDE, 0xAD};
  EXPECT_EQ(text(send<Ref<NSString>>(device, sel<"hexStringByData:">(), NSData::dataWithBytes(bytes, 2))), "DEAD");
  EXPECT_FALSE(send<Ref<NSString>>(device, sel<"hexStringByData:">(), str("x")));
  EXPECT_THROW(class_createInstance(device), Exception);  // a utility class without instances
}

// Callers on any thread while the simulator changes the system version.
TEST(OrvelDeviceConcurrency, CallsFromManyThreadsAgreeWithSomeVersion) {
  std::string saved = UIDevice::currentDevice()->systemVersion()->utf8();
  UIDevice::currentDevice()->setSystemVersion("13.0");
  const uint8_t token[] = {0xAB, 0x01};
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        // The system is 11.0 or 13.0: below 12.0 or above it, never equal.
        int64_t order = OrvelDevice::versionCompare(lit<"12.0">());
        Ref<NSString> hex = OrvelDevice::hexStringByData(NSData::dataWithBytes(token, sizeof token));
        if ((order != -1 && order != 1) || hex->utf8() != "AB01") ++wrong[t];
      }
    });
  }
  for (int i = 0; i < 2000; ++i) UIDevice::currentDevice()->setSystemVersion(i % 2 ? "11.0" : "13.0");
  for (auto& r : readers) r.join();
  UIDevice::currentDevice()->setSystemVersion(saved);
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace

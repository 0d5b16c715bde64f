// Remote-notification payloads, from JSON text through
// apnsNotificationWithDict: and convertDictionary.
#include <gtest/gtest.h>

#include <string>

#include "Foundation/NSJSONSerialization.h"
#include "UIKit/UIDevice.h"
#include "orvel/OrvelNotificationContent.h"

using namespace objc;

namespace {

struct PayloadCase {
  const char* name;
  const char* payload;
  // convertDictionary's result as JSON without its "userInfo" entry, which
  // must be the whole payload.
  const char* fields;
};

class PayloadTest : public testing::TestWithParam<PayloadCase> {
 protected:
  // The newest system, so that no version gate holds anything back.
  void SetUp() override {
    saved_ = UIDevice::currentDevice()->systemVersion()->utf8();
    UIDevice::currentDevice()->setSystemVersion("13.0");
  }
  void TearDown() override { UIDevice::currentDevice()->setSystemVersion(saved_); }

 private:
  std::string saved_;
};

TEST_P(PayloadTest, ReadsOnlyTheStatedKeysAndKeepsThePayload) {
  const PayloadCase& c = GetParam();
  JSONError error;
  Ref<NSDictionary> payload = cast<NSDictionary>(JSONParse(c.payload, &error));
  ASSERT_TRUE(payload) << error.describe();
  const std::string payloadJSON = JSONSerialize(payload);

  auto content = OrvelNotificationContent::apnsNotificationWithDict(payload);
  EXPECT_EQ(content->userInfo(), payload.get());  // an immutable payload is kept as it is
  EXPECT_FALSE(content->mutableContent() || content->threadIdentifier() || content->launchImageName() ||
               content->summaryArgument() || content->summaryArgumentCount() || content->targetContentIdentifier());

  std::string expected = c.fields;
  expected.pop_back();
  expected += std::string(expected.size() > 1 ? "," : "") + "\"userInfo\":" + payloadJSON + "}";
  EXPECT_EQ(JSONSerialize(content->convertDictionary()), expected);
  EXPECT_EQ(JSONSerialize(payload), JSONSerialize(JSONParse(c.payload)));  // left unchanged
}

// Real-looking payloads: localisation keys, mutable content, categories,
// thread identifiers, custom and nested keys.
INSTANTIATE_TEST_SUITE_P(
    Realistic, PayloadTest,
    testing::Values(
        PayloadCase{"LocalisedAlert",
                    R"({"aps":{"alert":{"title":"Game Request","subtitle":"Five Card Draw",
                        "body":"Bob wants to play poker","title-loc-key":"GAME_TITLE",
                        "loc-key":"GAME_PLAY_REQUEST_FORMAT","loc-args":["Jenna","Frank"],
                        "action-loc-key":"PLAY","launch-image":"table.png"},
                        "badge":5,"sound":"bingbong.aiff","category":"GAME_INVITATION",
                        "thread-id":"game-42","mutable-content":1,"target-content-id":"board-7",
                        "summary-arg":"Bob","summary-arg-count":2},
                        "gameID":"12345678","acme":{"nested":{"deep":[1,2.5,{"x":null}]},"flag":true}})",
                    R"({"title":"Game Request","subTitle":"Five Card Draw","body":"Bob wants to play poker",)"
                    R"("sound":"bingbong.aiff","badge":5})"},
        PayloadCase{"LocalisationKeysOnly",
                    R"({"aps":{"alert":{"loc-key":"NEW_MESSAGE","loc-args":["Ann"],"title-loc-key":"CHAT"},
                        "sound":"default","mutable-content":1},"message-id":"m-1"})",
                    R"({"sound":"default"})"},
        PayloadCase{"BackgroundSync",
                    R"({"aps":{"content-available":1},"sync":{"since":"2024-01-01T00:00:00Z","ids":[1,2,3]}})",
                    R"({"silentPush":true,"contentAvailable":true})"},
        PayloadCase{"SilentDespiteAlert",
                    R"({"aps":{"alert":"Updated in the background","content-available":1,"mutable-content":1,
                        "thread-id":"news"},"article":{"id":991,"tags":["a","b"]}})",
                    R"({"body":"Updated in the background","silentPush":true,"contentAvailable":true})"},
        PayloadCase{"CriticalSoundDictionary",
                    R"({"aps":{"alert":{"title":42,"subtitle":"Front door","body":"Door open"},"badge":"3 new",
                        "sound":{"critical":1,"name":"alarm.caf","volume":0.8},"content-available":"yes"}})",
                    R"({"subTitle":"Front door","body":"Door open","badge":3,"contentAvailable":true})"},
        PayloadCase{"TopLevelLookalikes", R"({"aps":"Hello","title":"top-level title","badge":9})", R"({})"}),
    [](const testing::TestParamInfo<PayloadCase>& info) { return std::string(info.param.name); });

// One reading per row.
INSTANTIATE_TEST_SUITE_P(
    Readings, PayloadTest,
    testing::Values(
        // The silent rule: no sound, no badge, content-available.
        PayloadCase{"SoundStopsSilent", R"({"aps":{"content-available":1,"sound":""}})",
                    R"({"sound":"","contentAvailable":true})"},
        PayloadCase{"ZeroBadgeStopsSilent", R"({"aps":{"content-available":1,"badge":0}})",
                    R"({"badge":0,"contentAvailable":true})"},
        PayloadCase{"SoundDictionaryIsNoSound", R"({"aps":{"content-available":1,"sound":{"name":"x"}}})",
                    R"({"silentPush":true,"contentAvailable":true})"},
        PayloadCase{"ArrayBadgeIsNoBadge", R"({"aps":{"content-available":1,"badge":[1]}})",
                    R"({"silentPush":true,"contentAvailable":true})"},
        PayloadCase{"NullBadgeIsNoBadge", R"({"aps":{"content-available":1,"badge":null}})",
                    R"({"silentPush":true,"contentAvailable":true})"},
        PayloadCase{"ZeroIsNotAvailable", R"({"aps":{"content-available":0}})", R"({})"},
        // Boolean readings of "content-available".
        PayloadCase{"AvailableTrue", R"({"aps":{"content-available":true}})",
                    R"({"silentPush":true,"contentAvailable":true})"},
        PayloadCase{"AvailableSignedZeros", R"({"aps":{"content-available":"  +007"}})",
                    R"({"silentPush":true,"contentAvailable":true})"},
        PayloadCase{"AvailableFraction", R"({"aps":{"content-available":0.5}})",
                    R"({"silentPush":true,"contentAvailable":true})"},
        PayloadCase{"AvailableNo", R"({"aps":{"content-available":"no"}})", R"({})"},
        PayloadCase{"AvailableArray", R"({"aps":{"content-available":[1]}})", R"({})"},
        PayloadCase{"AvailableDictionary", R"({"aps":{"content-available":{"on":true}}})", R"({})"},
        // Integer readings of "badge".
        PayloadCase{"BadgeDigits", R"({"aps":{"badge":"12"}})", R"({"badge":12})"},
        PayloadCase{"BadgeSignedText", R"({"aps":{"badge":"  -3 apples"}})", R"({"badge":-3})"},
        PayloadCase{"BadgeNoDigits", R"({"aps":{"badge":"many"}})", R"({"badge":0})"},
        PayloadCase{"BadgeFraction", R"({"aps":{"badge":3.9}})", R"({"badge":3})"},
        PayloadCase{"BadgeTrue", R"({"aps":{"badge":true}})", R"({"badge":1})"},
        // Alert forms; wrongly typed entries are skipped.
        PayloadCase{"AlertString", R"({"aps":{"alert":"Hello"}})", R"({"body":"Hello"})"},
        PayloadCase{"AlertEmptyAndNull", R"({"aps":{"alert":{"title":"","body":null,"subtitle":{}}}})",
                    R"({"title":""})"},
        PayloadCase{"AlertNumber", R"({"aps":{"alert":1,"sound":7}})", R"({})"},
        PayloadCase{"ApsMissing", R"({"custom":{"a":{"b":[true,false,null]}}})", R"({})"},
        PayloadCase{"ApsNull", R"({"aps":null})", R"({})"}),
    [](const testing::TestParamInfo<PayloadCase>& info) { return std::string(info.param.name); });

}  // namespace

// Real-looking remote-notification payloads, from JSON text through
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
  // convertDictionary's result as JSON, without its "userInfo" entry (which
  // must be the whole payload).
  const char* fields;
};

class NewestSystem : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = UIDevice::currentDevice()->systemVersion()->utf8();
    // The newest system, so that no version gate holds anything back.
    UIDevice::currentDevice()->setSystemVersion("13.0");
  }
  void TearDown() override { UIDevice::currentDevice()->setSystemVersion(saved_); }

 private:
  std::string saved_;
};

class PayloadTest : public NewestSystem, public testing::WithParamInterface<PayloadCase> {};

std::string withUserInfo(std::string fields, const std::string& payload) {
  fields.pop_back();  // the closing brace
  return fields + (fields.size() > 1 ? "," : "") + "\"userInfo\":" + payload + "}";
}

TEST_P(PayloadTest, ConvertsOnlyTheStatedKeysAndKeepsThePayload) {
  const PayloadCase& c = GetParam();
  JSONError error;
  Ref<NSDictionary> payload = cast<NSDictionary>(JSONParse(c.payload, &error));
  ASSERT_TRUE(payload) << error.describe();
  const std::string payloadJSON = JSONSerialize(payload);

  auto content = OrvelNotificationContent::apnsNotificationWithDict(payload);
  ASSERT_TRUE(content->userInfo());
  EXPECT_TRUE(content->userInfo()->isEqual(payload));
  EXPECT_EQ(content->userInfo(), payload.get());  // an immutable payload is kept as it is
  EXPECT_EQ(JSONSerialize(content->userInfo()), payloadJSON);

  // Entries the conversion never reads stay unset whatever the payload holds.
  EXPECT_FALSE(content->mutableContent());
  EXPECT_FALSE(content->threadIdentifier());
  EXPECT_FALSE(content->launchImageName());
  EXPECT_FALSE(content->summaryArgument());
  EXPECT_EQ(content->summaryArgumentCount(), 0u);
  EXPECT_FALSE(content->targetContentIdentifier());
  EXPECT_FALSE(content->attachments());

  EXPECT_EQ(JSONSerialize(content->convertDictionary()), withUserInfo(c.fields, payloadJSON));
  // The payload itself is left unchanged.
  EXPECT_EQ(JSONSerialize(payload), JSONSerialize(JSONParse(c.payload)));
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, PayloadTest,
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
                    R"({"aps":{"alert":{"title":42,"body":"Door open","subtitle":["Front"]},"badge":"3 new",
                        "sound":{"critical":1,"name":"alarm.caf","volume":0.8},"content-available":"yes"}})",
                    R"({"body":"Door open","badge":3,"contentAvailable":true})"},
        PayloadCase{"WronglyTypedEntries",
                    R"({"aps":{"badge":[1],"content-available":{"on":true},"alert":null,"sound":7},"x":"y"})", R"({})"},
        PayloadCase{"ApsNotADictionary", R"({"aps":"Hello","title":"top-level title","badge":9})", R"({})"},
        PayloadCase{"NoAps", R"({"custom":{"a":{"b":{"c":[true,false,null]}}}})", R"({})"}),
    [](const testing::TestParamInfo<PayloadCase>& info) { return std::string(info.param.name); });

TEST_F(NewestSystem, MutablePayloadIsCopiedIntoUserInfo) {
  auto parsed = cast<NSDictionary>(JSONParse(R"({"aps":{"alert":"Hi"},"k":1})"));
  ASSERT_TRUE(parsed);
  auto payload = NSMutableDictionary::dictionaryWithDictionary(parsed);
  auto content = OrvelNotificationContent::apnsNotificationWithDict(payload);
  payload->setObject(str("late"), "added");
  EXPECT_TRUE(content->userInfo()->isEqual(parsed));
  EXPECT_FALSE(content->userInfo()->objectForKey("added"));
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Foundation/NSJSONSerialization.h"
#include "UIKit/UIDevice.h"
#include "orvel/OrvelNotificationContent.h"

using namespace objc;

namespace {

// The text of a string, or "<nil>", so that a missing value fails an
// expectation instead of crashing the test.
std::string text(const NSString* s) { return s ? s->utf8() : "<nil>"; }

class ContentTest : public testing::Test {
 protected:
  void SetUp() override { saved_ = UIDevice::currentDevice()->systemVersion()->utf8(); }
  void TearDown() override { UIDevice::currentDevice()->setSystemVersion(saved_); }
  static void runOn(std::string_view version) { UIDevice::currentDevice()->setSystemVersion(version); }

 private:
  std::string saved_;
};

using Keys = std::vector<std::string>;
Keys keysOf(const NSDictionary* d) {
  Keys keys;
  for (const auto& e : *d) keys.push_back(asString(e.key)->utf8());
  return keys;
}

Ref<NSDictionary> payloadWithAps(std::initializer_list<NSDictionary::Entry> aps) {
  return NSDictionary::dictionaryWithEntries({{str("aps"), NSDictionary::dictionaryWithEntries(aps)}});
}

TEST_F(ContentTest, AbsentPayloadAndFreshRecordAreEmpty) {
  auto fromNil = OrvelNotificationContent::apnsNotificationWithDict(nullptr);
  EXPECT_FALSE(fromNil->userInfo() || fromNil->badge() || fromNil->body() || fromNil->contentAvailable() ||
               fromNil->silentPush());
  EXPECT_EQ(fromNil->convertDictionary()->count(), 0u);

  runOn("13.0");
  auto fresh = make<OrvelNotificationContent>();
  fresh->setSummaryArgumentCount(4);  // a count without its argument is never written
  fresh->setAttachments(NSArray::arrayWithObjects({str("attachment")}));  // nor are attachments
  EXPECT_EQ(fresh->convertDictionary()->count(), 0u);
}

TEST_F(ContentTest, DictionaryHoldsEveryFieldInOrder) {
  runOn("13.0");
  auto c = make<OrvelNotificationContent>();
  c->setUserInfo(NSDictionary::dictionaryWithEntries({{str("k"), str("v")}}));
  c->setMutableContent(true);
  c->setContentAvailable(true);
  c->setSilentPush(true);
  c->setTargetContentIdentifier(str("target"));
  c->setSummaryArgumentCount(2);
  c->setSummaryArgument(str("Ann"));
  c->setLaunchImageName(str("launch"));
  c->setThreadIdentifier(str("thread"));
  c->setBadge(NSNumber::numberWithInteger(0));
  c->setSound(str("ping"));
  c->setBody(str("body"));
  c->setSubTitle(str("sub"));
  c->setTitle(str(""));
  auto d = c->convertDictionary();
  EXPECT_EQ(JSONSerialize(d),
            R"({"title":"","subTitle":"sub","body":"body","sound":"ping","badge":0,"threadIdentifier":"thread",)"
            R"("launchImageName":"launch","summaryArgument":"Ann","summaryArgumentCount":2,)"
            R"("targetContentIdentifier":"target","silentPush":true,"contentAvailable":true,"mutableContent":true,)"
            R"("userInfo":{"k":"v"}})");
  auto* count = asNumber(d->objectForKey("summaryArgumentCount"));
  ASSERT_TRUE(count);
  EXPECT_EQ(count->kind(), NSNumber::Kind::Unsigned);
  EXPECT_EQ(d->objectForKey("userInfo"), c->userInfo());
  EXPECT_FALSE(dynamic_cast<NSMutableDictionary*>(d.get()));

  // A snapshot: later changes do not show in it.
  c->setBody(str("changed"));
  EXPECT_TRUE(str("body")->isEqual(d->objectForKey("body")));
}

TEST_F(ContentTest, VersionGatesOfTheNewerFields) {
  auto c = make<OrvelNotificationContent>();
  c->setSummaryArgument(str("Ann"));
  c->setTargetContentIdentifier(str("window"));
  for (const char* below12 : {"11.4", "12", "12.0a1"}) {
    runOn(below12);
    EXPECT_EQ(c->convertDictionary()->count(), 0u) << below12;
  }
  runOn("12.0");
  auto d = c->convertDictionary();
  EXPECT_EQ(keysOf(d), (Keys{"summaryArgument", "summaryArgumentCount"}));
  EXPECT_TRUE(NSNumber::numberWithUnsignedInteger(0)->isEqual(d->objectForKey("summaryArgumentCount")));
  runOn("12.4.1");
  EXPECT_EQ(keysOf(c->convertDictionary()), (Keys{"summaryArgument", "summaryArgumentCount"}));
  runOn("13.0");
  EXPECT_EQ(keysOf(c->convertDictionary()),
            (Keys{"summaryArgument", "summaryArgumentCount", "targetContentIdentifier"}));
}

TEST_F(ContentTest, AssignedValuesAreCopied) {
  auto c = make<OrvelNotificationContent>();
  auto title = NSMutableString::string("before");
  auto info = NSMutableDictionary::dictionary();
  info->setObject(str("v"), "k");
  c->setTitle(title);
  c->setUserInfo(info);
  title->setString("after");
  info->setObject(str("w"), "k2");
  EXPECT_EQ(text(c->title()), "before");
  EXPECT_EQ(c->userInfo()->count(), 1u);
  EXPECT_FALSE(dynamic_cast<NSMutableDictionary*>(c->userInfo()));

  // A mutable payload is copied into userInfo too.
  auto payload = NSMutableDictionary::dictionaryWithDictionary(payloadWithAps({{str("alert"), str("Hi")}}));
  auto fromPayload = OrvelNotificationContent::apnsNotificationWithDict(payload);
  payload->setObject(str("late"), "added");
  EXPECT_FALSE(fromPayload->userInfo()->objectForKey("added"));
  EXPECT_EQ(text(fromPayload->body()), "Hi");
}

TEST_F(ContentTest, ReinitialisingStartsFromAFreshRecord) {
  auto c = make<OrvelNotificationContent>();
  c->setTitle(str("old"));
  c->setMutableContent(true);
  Ref<OrvelNotificationContent> same = c->initApnsNotificationWithDict(payloadWithAps({{str("sound"), str("s")}}));
  EXPECT_EQ(same, c);
  EXPECT_FALSE(c->title());
  EXPECT_FALSE(c->mutableContent());
  EXPECT_EQ(text(c->sound()), "s");
}

TEST_F(ContentTest, ReinitialisingFromItsOwnUserInfoKeepsThePayload) {
  // The record holds the only reference to its payload; the reset must not
  // free it before it is read.
  auto c = OrvelNotificationContent::apnsNotificationWithDict(
      payloadWithAps({{str("alert"), str("again")}, {str("badge"), NSNumber::numberWithInteger(3)}}));
  send<Id>(c, sel<"initApnsNotificationWithDict:">(), c->userInfo());
  EXPECT_EQ(text(c->body()), "again");
  EXPECT_EQ(c->badge()->integerValue(), 3);
  ASSERT_TRUE(c->userInfo());
  EXPECT_TRUE(c->userInfo()->objectForKey("aps"));
}

TEST_F(ContentTest, RecordAnswersByMessage) {
  Class cls = NSClassFromString("OrvelNotificationContent");
  ASSERT_EQ(cls, OrvelNotificationContent::class_());
  auto payload = payloadWithAps({{str("alert"), NSDictionary::dictionaryWithEntries({{str("title"), str("T")}})},
                                 {str("badge"), NSNumber::numberWithInteger(2)}});
  auto c = send<Ref<OrvelNotificationContent>>(cls, sel<"apnsNotificationWithDict:">(), payload);
  ASSERT_TRUE(c);
  EXPECT_TRUE(c->isKindOfClass(cls));
  EXPECT_EQ(text(send<Ref<NSString>>(c, sel<"title">())), "T");
  EXPECT_EQ(send<Ref<NSNumber>>(c, sel<"badge">())->integerValue(), 2);
  EXPECT_EQ(send<Ref<NSDictionary>>(c, sel<"userInfo">()).get(), payload.get());
  send<void>(c, sel<"setSubTitle:">(), str("S"));
  send<void>(c, sel<"setSummaryArgumentCount:">(), uint64_t{5});
  send<void>(c, sel<"setMutableContent:">(), true);
  EXPECT_EQ(text(c->subTitle()), "S");
  EXPECT_EQ(send<uint64_t>(c, sel<"summaryArgumentCount">()), 5u);
  EXPECT_TRUE(send<bool>(c, sel<"mutableContent">()));
  EXPECT_EQ(send<Ref<NSDictionary>>(c, sel<"convertDictionary">())->count(), 5u);
  // A wrongly typed value is refused rather than stored.
  EXPECT_THROW(send<void>(c, sel<"setTitle:">(), NSNumber::numberWithInteger(1)), Exception);
  EXPECT_EQ(text(c->title()), "T");

  auto viaInit = send<Ref<OrvelNotificationContent>>(class_createInstance(cls), sel<"initApnsNotificationWithDict:">(),
                                                     payloadWithAps({{str("sound"), str("s")}}));
  EXPECT_EQ(text(viaInit->sound()), "s");
}

}  // namespace

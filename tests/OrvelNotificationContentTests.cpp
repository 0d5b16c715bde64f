#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UIKit/UIDevice.h"
#include "orvel/OrvelNotificationContent.h"

using namespace objc;

namespace {

class ContentTest : public testing::Test {
 protected:
  void SetUp() override { saved_ = UIDevice::currentDevice()->systemVersion()->utf8(); }
  void TearDown() override { UIDevice::currentDevice()->setSystemVersion(saved_); }
  static void runOn(std::string_view version) { UIDevice::currentDevice()->setSystemVersion(version); }

 private:
  std::string saved_;
};

Ref<NSDictionary> dict(std::initializer_list<NSDictionary::Entry> entries) {
  return NSDictionary::dictionaryWithEntries(entries);
}
Ref<NSDictionary> payloadWithAps(std::initializer_list<NSDictionary::Entry> aps) {
  return dict({{str("aps"), dict(aps)}});
}
Id number(int64_t v) { return NSNumber::numberWithInteger(v); }

std::vector<std::string> keysOf(const NSDictionary* d) {
  std::vector<std::string> keys;
  for (const auto& e : *d) keys.push_back(asString(e.key)->utf8());
  return keys;
}

bool isTrueBoolean(NSObject* value) {
  auto* n = asNumber(value);
  return n && n->kind() == NSNumber::Kind::Bool && n->boolValue();
}

using Keys = std::vector<std::string>;

TEST_F(ContentTest, ContentAvailableAloneIsSilent) {
  auto c = OrvelNotificationContent::apnsNotificationWithDict(payloadWithAps({{str("content-available"), number(1)}}));
  EXPECT_TRUE(c->contentAvailable());
  EXPECT_TRUE(c->silentPush());
  auto d = c->convertDictionary();
  EXPECT_EQ(keysOf(d), (Keys{"silentPush", "contentAvailable", "userInfo"}));
  EXPECT_TRUE(isTrueBoolean(d->objectForKey("silentPush")));
  EXPECT_TRUE(isTrueBoolean(d->objectForKey("contentAvailable")));
}

TEST_F(ContentTest, SilentRuleNeedsNoSoundNoBadgeAndContentAvailable) {
  auto silent = [](std::initializer_list<NSDictionary::Entry> aps) {
    return OrvelNotificationContent::apnsNotificationWithDict(payloadWithAps(aps))->silentPush();
  };
  Id available = number(1);
  EXPECT_FALSE(silent({{str("content-available"), available}, {str("sound"), str("default")}}));
  EXPECT_FALSE(silent({{str("content-available"), available}, {str("sound"), str("")}}));
  EXPECT_FALSE(silent({{str("content-available"), available}, {str("badge"), number(0)}}));
  EXPECT_FALSE(silent({{str("content-available"), available}, {str("badge"), str("none")}}));
  EXPECT_FALSE(silent({{str("content-available"), number(0)}}));
  EXPECT_FALSE(silent({}));
  // Entries that give no sound or badge leave the push silent.
  EXPECT_TRUE(silent({{str("content-available"), available}, {str("sound"), dict({{str("name"), str("x")}})}}));
  EXPECT_TRUE(silent({{str("content-available"), available}, {str("badge"), NSArray::arrayWithObjects({number(3)})}}));
  EXPECT_TRUE(silent({{str("content-available"), available}, {str("badge"), NSNull::null()}}));
  // The alert plays no part.
  EXPECT_TRUE(silent({{str("content-available"), available}, {str("alert"), str("Hello")}}));
}

TEST_F(ContentTest, ContentAvailableReadsNumbersAndStringsOnly) {
  struct Case {
    Id entry;
    bool expected;
  };
  const std::vector<Case> cases = {
      {number(1), true},
      {number(0), false},
      {number(-2), true},
      {NSNumber::numberWithDouble(0.5), true},
      {NSNumber::numberWithBool(true), true},
      {str("1"), true},
      {str("yes"), true},
      {str("True"), true},
      {str("  +007"), true},
      {str("0"), false},
      {str("no"), false},
      {str(""), false},
      {NSNull::null(), false},
      {NSArray::arrayWithObjects({number(1)}), false},
      {dict({{str("v"), number(1)}}), false},
  };
  for (const auto& c : cases) {
    auto content =
        OrvelNotificationContent::apnsNotificationWithDict(payloadWithAps({{str("content-available"), c.entry}}));
    EXPECT_EQ(content->contentAvailable(), c.expected) << c.entry->description();
    EXPECT_EQ(content->silentPush(), c.expected) << c.entry->description();
  }
}

TEST_F(ContentTest, BadgeTakesTheSignedIntegerReading) {
  auto badgeOf = [](Id entry) {
    return Ref<NSNumber>(
        OrvelNotificationContent::apnsNotificationWithDict(payloadWithAps({{str("badge"), entry}}))->badge());
  };
  EXPECT_EQ(badgeOf(number(7))->integerValue(), 7);
  EXPECT_EQ(badgeOf(str("12"))->integerValue(), 12);
  EXPECT_EQ(badgeOf(str("  -3 apples"))->integerValue(), -3);
  EXPECT_EQ(badgeOf(NSNumber::numberWithDouble(3.9))->integerValue(), 3);
  Ref<NSNumber> noDigits = badgeOf(str("many"));
  ASSERT_TRUE(noDigits);
  EXPECT_EQ(noDigits->integerValue(), 0);
  EXPECT_FALSE(badgeOf(NSNull::null()));
  EXPECT_FALSE(badgeOf(NSArray::arrayWithObjects({number(1)})));
  EXPECT_FALSE(badgeOf(dict({})));
}

TEST_F(ContentTest, AlertStringIsTheBodyOnly) {
  auto c = OrvelNotificationContent::apnsNotificationWithDict(payloadWithAps({{str("alert"), str("Hello")}}));
  EXPECT_EQ(c->body()->utf8(), "Hello");
  EXPECT_FALSE(c->title());
  EXPECT_FALSE(c->subTitle());
}

TEST_F(ContentTest, AlertDictionarySkipsWronglyTypedEntries) {
  auto c = OrvelNotificationContent::apnsNotificationWithDict(payloadWithAps(
      {{str("alert"), dict({{str("title"), number(5)}, {str("subtitle"), str("Sub")}, {str("body"), str("Body")}})}}));
  EXPECT_FALSE(c->title());
  EXPECT_EQ(c->subTitle()->utf8(), "Sub");
  EXPECT_EQ(c->body()->utf8(), "Body");

  auto empty = OrvelNotificationContent::apnsNotificationWithDict(payloadWithAps(
      {{str("alert"), dict({{str("title"), str("")}, {str("body"), NSNull::null()}, {str("subtitle"), dict({})}})}}));
  ASSERT_TRUE(empty->title());
  EXPECT_EQ(empty->title()->utf8(), "");
  EXPECT_FALSE(empty->body());
  EXPECT_FALSE(empty->subTitle());

  auto numeric = OrvelNotificationContent::apnsNotificationWithDict(payloadWithAps({{str("alert"), number(1)}}));
  EXPECT_FALSE(numeric->body());
}

TEST_F(ContentTest, PayloadWithoutApsDictionaryGivesOnlyUserInfo) {
  for (Ref<NSDictionary> payload :
       {dict({{str("custom"), number(1)}}), dict({{str("aps"), str("alert")}}), dict({{str("aps"), NSNull::null()}})}) {
    auto c = OrvelNotificationContent::apnsNotificationWithDict(payload);
    EXPECT_EQ(c->userInfo(), payload.get());
    EXPECT_EQ(keysOf(c->convertDictionary()), (Keys{"userInfo"}));
  }
}

TEST_F(ContentTest, AbsentPayloadGivesAnEmptyRecord) {
  auto c = OrvelNotificationContent::apnsNotificationWithDict(nullptr);
  EXPECT_FALSE(c->userInfo());
  EXPECT_FALSE(c->badge());
  EXPECT_FALSE(c->contentAvailable());
  EXPECT_FALSE(c->silentPush());
  EXPECT_EQ(c->convertDictionary()->count(), 0u);
}

TEST_F(ContentTest, OnlyTheStatedApsEntriesAreRead) {
  auto payload = payloadWithAps({{str("mutable-content"), number(1)},
                                 {str("thread-id"), str("chat-7")},
                                 {str("category"), str("REPLY")},
                                 {str("launch-image"), str("splash")},
                                 {str("summary-arg"), str("Ann")},
                                 {str("summary-arg-count"), number(2)},
                                 {str("target-content-id"), str("window-1")},
                                 {str("title"), str("not the alert title")}});
  auto c = OrvelNotificationContent::apnsNotificationWithDict(payload);
  EXPECT_FALSE(c->mutableContent());
  EXPECT_FALSE(c->threadIdentifier());
  EXPECT_FALSE(c->launchImageName());
  EXPECT_FALSE(c->summaryArgument());
  EXPECT_EQ(c->summaryArgumentCount(), 0u);
  EXPECT_FALSE(c->targetContentIdentifier());
  EXPECT_FALSE(c->title());
  EXPECT_EQ(keysOf(c->convertDictionary()), (Keys{"userInfo"}));
}

TEST_F(ContentTest, ReinitialisingStartsFromAFreshRecord) {
  auto c = make<OrvelNotificationContent>();
  c->setTitle(str("old"));
  c->setMutableContent(true);
  c->setSummaryArgumentCount(3);
  Ref<OrvelNotificationContent> same = c->initApnsNotificationWithDict(payloadWithAps({{str("sound"), str("s")}}));
  EXPECT_EQ(same, c);
  EXPECT_FALSE(c->title());
  EXPECT_FALSE(c->mutableContent());
  EXPECT_EQ(c->summaryArgumentCount(), 0u);
  EXPECT_EQ(c->sound()->utf8(), "s");
}

TEST_F(ContentTest, FreshRecordConvertsToAnEmptyDictionary) {
  runOn("13.0");
  auto c = make<OrvelNotificationContent>();
  EXPECT_EQ(c->convertDictionary()->count(), 0u);
  c->setSummaryArgumentCount(4);  // a count without its argument is never written
  c->setAttachments(NSArray::arrayWithObjects({str("attachment")}));
  EXPECT_EQ(c->convertDictionary()->count(), 0u);
}

TEST_F(ContentTest, DictionaryHoldsEveryFieldInOrderOnCurrentSystems) {
  runOn("13.0");
  auto c = make<OrvelNotificationContent>();
  c->setUserInfo(dict({{str("k"), str("v")}}));
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
  EXPECT_EQ(keysOf(d), (Keys{"title", "subTitle", "body", "sound", "badge", "threadIdentifier", "launchImageName",
                             "summaryArgument", "summaryArgumentCount", "targetContentIdentifier", "silentPush",
                             "contentAvailable", "mutableContent", "userInfo"}));
  EXPECT_EQ(asString(d->objectForKey("title"))->utf8(), "");
  EXPECT_EQ(asString(d->objectForKey("subTitle"))->utf8(), "sub");
  EXPECT_EQ(asNumber(d->objectForKey("badge"))->integerValue(), 0);
  auto* count = asNumber(d->objectForKey("summaryArgumentCount"));
  EXPECT_EQ(count->kind(), NSNumber::Kind::Unsigned);
  EXPECT_EQ(count->unsignedIntegerValue(), 2u);
  EXPECT_TRUE(isTrueBoolean(d->objectForKey("mutableContent")));
  EXPECT_EQ(d->objectForKey("userInfo"), c->userInfo());
  EXPECT_FALSE(d->objectForKey("attachments"));
  EXPECT_FALSE(dynamic_cast<NSMutableDictionary*>(d.get()));
}

TEST_F(ContentTest, SummaryFieldsNeedSystem12AndTheArgument) {
  auto c = make<OrvelNotificationContent>();
  c->setSummaryArgument(str("Ann"));
  c->setSummaryArgumentCount(0);
  for (const char* below : {"11.4", "12.0a1", "12", "9.3"}) {
    runOn(below);
    EXPECT_EQ(c->convertDictionary()->count(), 0u) << below;
  }
  for (const char* atOrAbove : {"12.0", "12.0.1", "14.2"}) {
    runOn(atOrAbove);
    auto d = c->convertDictionary();
    EXPECT_EQ(keysOf(d), (Keys{"summaryArgument", "summaryArgumentCount"})) << atOrAbove;
    EXPECT_EQ(asNumber(d->objectForKey("summaryArgumentCount"))->unsignedIntegerValue(), 0u);
  }
}

TEST_F(ContentTest, TargetContentIdentifierNeedsSystem13) {
  auto c = make<OrvelNotificationContent>();
  c->setTargetContentIdentifier(str("window"));
  runOn("12.4");
  EXPECT_EQ(c->convertDictionary()->count(), 0u);
  runOn("13.0");
  EXPECT_EQ(keysOf(c->convertDictionary()), (Keys{"targetContentIdentifier"}));
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
  EXPECT_EQ(c->title()->utf8(), "before");
  EXPECT_FALSE(dynamic_cast<NSMutableString*>(c->title()));
  EXPECT_EQ(c->userInfo()->count(), 1u);
  EXPECT_FALSE(dynamic_cast<NSMutableDictionary*>(c->userInfo()));
  // Immutable values are kept as they are.
  auto body = str("body");
  c->setBody(body);
  EXPECT_EQ(c->body(), body.get());
}

TEST_F(ContentTest, DictionaryIsASnapshot) {
  auto c = make<OrvelNotificationContent>();
  c->setBody(str("one"));
  auto before = c->convertDictionary();
  c->setBody(str("two"));
  c->setSound(str("s"));
  EXPECT_EQ(asString(before->objectForKey("body"))->utf8(), "one");
  EXPECT_EQ(before->count(), 1u);
}

TEST_F(ContentTest, RecordAnswersByMessage) {
  Class cls = NSClassFromString("OrvelNotificationContent");
  ASSERT_EQ(cls, OrvelNotificationContent::class_());
  auto payload = payloadWithAps({{str("alert"), dict({{str("title"), str("T")}})}, {str("badge"), number(2)}});
  auto c = send<Ref<OrvelNotificationContent>>(cls, sel<"apnsNotificationWithDict:">(), payload);
  ASSERT_TRUE(c);
  EXPECT_TRUE(c->isKindOfClass(cls));
  EXPECT_EQ(send<Ref<NSString>>(c, sel<"title">())->utf8(), "T");
  EXPECT_EQ(send<Ref<NSNumber>>(c, sel<"badge">())->integerValue(), 2);
  EXPECT_EQ(send<Ref<NSDictionary>>(c, sel<"userInfo">()).get(), payload.get());
  send<void>(c, sel<"setSubTitle:">(), str("S"));
  send<void>(c, sel<"setSummaryArgumentCount:">(), uint64_t{5});
  send<void>(c, sel<"setMutableContent:">(), true);
  EXPECT_EQ(c->subTitle()->utf8(), "S");
  EXPECT_EQ(send<uint64_t>(c, sel<"summaryArgumentCount">()), 5u);
  EXPECT_TRUE(send<bool>(c, sel<"mutableContent">()));
  EXPECT_EQ(send<Ref<NSDictionary>>(c, sel<"convertDictionary">())->count(), 5u);
  // A wrongly typed value is refused rather than stored.
  EXPECT_THROW(send<void>(c, sel<"setTitle:">(), number(1)), Exception);
  EXPECT_EQ(c->title()->utf8(), "T");

  auto fresh = send<Ref<OrvelNotificationContent>>(class_createInstance(cls), sel<"initApnsNotificationWithDict:">(),
                                                   payloadWithAps({{str("sound"), str("s")}}));
  EXPECT_EQ(fresh->sound()->utf8(), "s");
}

}  // namespace

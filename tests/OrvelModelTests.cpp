#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "orvel/OrvelDefines.h"
#include "orvel/OrvelNotificationConfiguration.h"
#include "orvel/OrvelNotificationMessage.h"
#include "orvel/OrvelNotificationRequest.h"
#include "orvel/OrvelNotificationTrigger.h"

using namespace objc;

namespace {

// Read during this file's static initialisation: the exported strings must
// already be built by then.
const std::string gEventNameAtLoad = OrvelDidReceiveMessageNotification->utf8();

std::vector<std::string> keysOf(const NSDictionary* d) {
  std::vector<std::string> keys;
  for (const auto& e : *d) keys.push_back(asString(e.key)->utf8());
  return keys;
}
using Keys = std::vector<std::string>;

TEST(OrvelConstants, TextsAreExact) {
  EXPECT_EQ(OrvelIdentifierKey->utf8(), "OrvelIdentifier");
  EXPECT_EQ(OrvelDidReceiveMessageNotification->utf8(), "OrvelDidReceiveMessageNotification");
  EXPECT_EQ(OrvelDidRegisterRemoteNotification->utf8(), "OrvelDidRegisterRemoteNotification");
  EXPECT_EQ(OrvelFailedRegisterRemoteNotification->utf8(), "OrvelFailedRegisterRemoteNotification");
  EXPECT_EQ(OrvelCommandClearBadge->utf8(), "Orvel_Command_ClearBadge");
  EXPECT_EQ(gEventNameAtLoad, "OrvelDidReceiveMessageNotification");

  const char expected[] = "@(#)PROGRAM:OrvelSDK  PROJECT:OrvelSDK-1\n";
  static_assert(sizeof expected == 42);
  EXPECT_EQ(std::memcmp(OrvelSDKVersionString, expected, sizeof expected), 0);
  EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(OrvelSDKVersionString)), 41u);
  EXPECT_EQ(OrvelSDKVersionNumber, 1.0);
}

TEST(OrvelConstants, StringsAreImmortalRuntimeStrings) {
  for (NSString* s : {OrvelIdentifierKey, OrvelDidReceiveMessageNotification, OrvelDidRegisterRemoteNotification,
                      OrvelFailedRegisterRemoteNotification, OrvelCommandClearBadge}) {
    EXPECT_TRUE(s->isKindOfClass(NSString::class_()));
    EXPECT_EQ(send<uint64_t>(s, sel<"length">()), s->utf8().size());
    uint32_t count = s->retainCount();
    { Ref<NSString> extra(s); }
    EXPECT_EQ(s->retainCount(), count);
  }
}

TEST(OrvelConstants, EventPostedByTextReachesObserverOfTheConstant) {
  auto* centre = NSNotificationCenter::defaultCenter();
  Id seen;
  Id token = centre->addObserverForName(OrvelDidReceiveMessageNotification, nullptr, nullptr,
                                        [&](NSNotification* n) { seen = n->object(); });
  auto message = make<OrvelNotificationMessage>();
  centre->postNotificationName(str("OrvelDidReceiveMessageNotification"), message);
  centre->removeObserver(token);
  EXPECT_EQ(seen, Id(message));
}

TEST(OrvelEnums, ValuesAreFixed) {
  static_assert(std::is_same_v<std::underlying_type_t<OrvelNotificationMessageType>, uint64_t>);
  static_assert(std::is_same_v<std::underlying_type_t<OrvelNotificationRequestStatus>, uint64_t>);
  EXPECT_EQ(OrvelNotificationMessageTypeRemoteReceived, 0u);
  EXPECT_EQ(OrvelNotificationMessageTypeLocalReceived, 1u);
  EXPECT_EQ(OrvelNotificationMessageTypeRemoteOpened, 2u);
  EXPECT_EQ(OrvelNotificationMessageTypeLocalOpened, 3u);
  EXPECT_EQ(OrvelNotificationRequestStatusPending, 1u);
  EXPECT_EQ(OrvelNotificationRequestStatusDelivered, 2u);
}

TEST(OrvelNotificationMessage, FreshMessageConvertsToEmptyDictionary) {
  auto m = make<OrvelNotificationMessage>();
  EXPECT_EQ(m->notificationMessageType(), OrvelNotificationMessageTypeRemoteReceived);
  EXPECT_FALSE(m->identifier());
  EXPECT_FALSE(m->content());
  EXPECT_EQ(m->convertDictionary()->count(), 0u);
}

TEST(OrvelNotificationMessage, DictionaryNestsTheContent) {
  auto m = make<OrvelNotificationMessage>();
  m->setNotificationMessageType(OrvelNotificationMessageTypeLocalOpened);
  m->setIdentifier(str("req-1"));
  m->setContent(make<OrvelNotificationContent>());
  auto d = m->convertDictionary();
  EXPECT_EQ(keysOf(d), (Keys{"notificationMessageType", "identifier", "notification"}));
  auto* type = asNumber(d->objectForKey("notificationMessageType"));
  EXPECT_EQ(type->kind(), NSNumber::Kind::Unsigned);
  EXPECT_EQ(type->unsignedIntegerValue(), 3u);
  EXPECT_EQ(asString(d->objectForKey("identifier"))->utf8(), "req-1");
  EXPECT_EQ(asDictionary(d->objectForKey("notification"))->count(), 0u);

  // Type 0 is the missing key.
  m->setNotificationMessageType(OrvelNotificationMessageTypeRemoteReceived);
  EXPECT_EQ(keysOf(m->convertDictionary()), (Keys{"identifier", "notification"}));
}

TEST(OrvelNotificationMessage, ContentIsSharedIdentifierIsCopied) {
  auto m = make<OrvelNotificationMessage>();
  auto content = make<OrvelNotificationContent>();
  auto identifier = NSMutableString::string("first");
  m->setContent(content);
  m->setIdentifier(identifier);
  identifier->setString("second");
  content->setTitle(str("changed later"));
  EXPECT_EQ(m->identifier()->utf8(), "first");
  EXPECT_EQ(m->content(), content.get());
  auto d = m->convertDictionary();
  auto* nested = asDictionary(d->objectForKey("notification"));
  EXPECT_EQ(asString(nested->objectForKey("title"))->utf8(), "changed later");
}

TEST(OrvelNotificationMessage, FieldsAnswerByMessage) {
  Class cls = NSClassFromString("OrvelNotificationMessage");
  ASSERT_EQ(cls, OrvelNotificationMessage::class_());
  Id m = class_createInstance(cls);
  ASSERT_TRUE(m);
  auto content = make<OrvelNotificationContent>();
  send<void>(m, sel<"setNotificationMessageType:">(), uint64_t{2});
  send<void>(m, sel<"setIdentifier:">(), str("id"));
  send<void>(m, sel<"setContent:">(), content);
  EXPECT_TRUE(m->isKindOfClass(cls));
  EXPECT_EQ(send<uint64_t>(m, sel<"notificationMessageType">()), 2u);
  EXPECT_EQ(send<Ref<NSString>>(m, sel<"identifier">())->utf8(), "id");
  EXPECT_EQ(send<Ref<OrvelNotificationContent>>(m, sel<"content">()), content);
  EXPECT_EQ(send<Ref<NSDictionary>>(m, sel<"convertDictionary">())->count(), 3u);
  EXPECT_THROW(send<void>(m, sel<"setContent:">(), str("not a content")), Exception);
}

TEST(OrvelNotificationRequest, FactoryWithNothingGivesAnEmptyRequest) {
  auto r = OrvelNotificationRequest::requestWithIdentifier(nullptr, nullptr, nullptr);
  EXPECT_TRUE(r->isKindOfClass(OrvelNotificationRequest::class_()));
  EXPECT_FALSE(r->requestIdentifier());
  EXPECT_FALSE(r->content());
  EXPECT_FALSE(r->trigger());
}

TEST(OrvelNotificationRequest, FactoryCopiesIdentifierAndSharesTheRest) {
  auto identifier = NSMutableString::string("morning");
  auto content = make<OrvelNotificationContent>();
  auto trigger = make<OrvelNotificationTrigger>();
  auto r = OrvelNotificationRequest::requestWithIdentifier(identifier, content, trigger);
  identifier->setString("evening");
  content->setBody(str("Wake up"));
  trigger->setTimeInterval(30);
  EXPECT_EQ(r->requestIdentifier()->utf8(), "morning");
  EXPECT_EQ(r->content(), content.get());
  EXPECT_EQ(r->content()->body()->utf8(), "Wake up");
  EXPECT_EQ(r->trigger(), trigger.get());
  EXPECT_EQ(r->trigger()->timeInterval(), 30.0);
}

TEST(OrvelNotificationRequest, RuntimeFactoryAndInitDefault) {
  Class cls = NSClassFromString("OrvelNotificationRequest");
  ASSERT_EQ(cls, OrvelNotificationRequest::class_());
  auto content = make<OrvelNotificationContent>();
  auto r = send<Ref<OrvelNotificationRequest>>(cls, sel<"requestWithIdentifier:content:trigger:">(), str(""), content,
                                               nullptr);
  ASSERT_TRUE(r);
  EXPECT_EQ(send<Ref<NSString>>(r, sel<"requestIdentifier">())->utf8(), "");  // empty, not absent
  EXPECT_EQ(send<Ref<OrvelNotificationContent>>(r, sel<"content">()), content);
  EXPECT_FALSE(send<Ref<OrvelNotificationTrigger>>(r, sel<"trigger">()));

  auto same = send<Ref<OrvelNotificationRequest>>(r, sel<"initDefault">());
  EXPECT_EQ(same, r);
  EXPECT_FALSE(r->requestIdentifier());
  EXPECT_FALSE(r->content());
}

TEST(OrvelNotificationTrigger, DefaultsAndCopiedFields) {
  auto t = make<OrvelNotificationTrigger>();
  EXPECT_FALSE(t->repeat());
  EXPECT_FALSE(t->fireDate());
  EXPECT_FALSE(t->region());
  EXPECT_FALSE(t->dateComponents());
  EXPECT_EQ(t->timeInterval(), 0.0);

  auto components = make<NSDateComponents>();
  components->hour = 8;
  t->setDateComponents(components);
  components->hour = 20;
  EXPECT_EQ(t->dateComponents()->hour, 8);
  EXPECT_NE(t->dateComponents(), components.get());

  auto date = NSDate::dateWithTimeIntervalSince1970(1000);
  t->setFireDate(date);
  EXPECT_EQ(t->fireDate()->timeIntervalSince1970(), 1000.0);
  t->setFireDate(nullptr);
  EXPECT_FALSE(t->fireDate());
}

TEST(OrvelNotificationTrigger, FieldsAnswerByMessage) {
  Class cls = NSClassFromString("OrvelNotificationTrigger");
  ASSERT_EQ(cls, OrvelNotificationTrigger::class_());
  Id t = class_createInstance(cls);
  send<void>(t, sel<"setRepeat:">(), true);
  send<void>(t, sel<"setTimeInterval:">(), 2.5);
  EXPECT_TRUE(send<bool>(t, sel<"repeat">()));
  EXPECT_EQ(send<double>(t, sel<"timeInterval">()), 2.5);
  EXPECT_FALSE(send<Id>(t, sel<"region">()));
  EXPECT_FALSE(send<Ref<NSDateComponents>>(t, sel<"dateComponents">()));
}

TEST(OrvelNotificationConfiguration, TypesPassThroughUnchanged) {
  Class cls = NSClassFromString("OrvelNotificationConfiguration");
  ASSERT_EQ(cls, OrvelNotificationConfiguration::class_());
  auto c = make<OrvelNotificationConfiguration>();
  EXPECT_EQ(c->types(), 0);
  c->setTypes(1 | 2 | 4 | 64);
  EXPECT_EQ(send<int64_t>(c, sel<"types">()), 71);
  send<void>(c, sel<"setTypes:">(), int64_t{-1});
  EXPECT_EQ(c->types(), -1);
}

}  // namespace

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "orvel/OrvelDefines.h"
#include "orvel/OrvelNotificationConfiguration.h"
#include "orvel/OrvelNotificationMessage.h"
#include "orvel/OrvelNotificationRequest.h"
#include "orvel/OrvelNotificationTrigger.h"

using namespace objc;

namespace {

// The text of a string, or "<nil>", so that a missing value fails an
// expectation instead of crashing the test.
std::string text(const NSString* s) { return s ? s->utf8() : "<nil>"; }

// Read during this file's static initialisation: the exported strings must
// already be built by then.
const std::string gEventNameAtLoad = OrvelDidReceiveMessageNotification->utf8();

using Keys = std::vector<std::string>;
Keys keysOf(const NSDictionary* d) {
  Keys keys;
  for (const auto& e : *d) keys.push_back(asString(e.key)->utf8());
  return keys;
}

TEST(OrvelConstants, ValuesAreExactAndImmortal) {
  EXPECT_EQ(text(OrvelIdentifierKey), "OrvelIdentifier");
  EXPECT_EQ(text(OrvelDidReceiveMessageNotification), "OrvelDidReceiveMessageNotification");
  EXPECT_EQ(text(OrvelDidRegisterRemoteNotification), "OrvelDidRegisterRemoteNotification");
  EXPECT_EQ(text(OrvelFailedRegisterRemoteNotification), "OrvelFailedRegisterRemoteNotification");
  EXPECT_EQ(text(OrvelCommandClearBadge), "Orvel_Command_ClearBadge");
  EXPECT_EQ(gEventNameAtLoad, "OrvelDidReceiveMessageNotification");
  for (NSString* s : {OrvelIdentifierKey, OrvelDidReceiveMessageNotification, OrvelCommandClearBadge}) {
    EXPECT_TRUE(s->isKindOfClass(NSString::class_()));
    uint32_t count = s->retainCount();
    { Ref<NSString> extra(s); }
    EXPECT_EQ(s->retainCount(), count);
  }

  const char expected[] = "@(#)PROGRAM:OrvelSDK  PROJECT:OrvelSDK-1\n";
  static_assert(sizeof expected == 42);
  EXPECT_EQ(std::memcmp(OrvelSDKVersionString, expected, sizeof expected), 0);
  EXPECT_EQ(OrvelSDKVersionNumber, 1.0);
  EXPECT_EQ(OrvelNotificationMessageTypeLocalOpened, 3u);
  EXPECT_EQ(OrvelNotificationRequestStatusPending | OrvelNotificationRequestStatusDelivered, 3u);
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

TEST(OrvelNotificationMessage, DictionaryForm) {
  auto m = make<OrvelNotificationMessage>();
  EXPECT_EQ(m->convertDictionary()->count(), 0u);

  m->setNotificationMessageType(OrvelNotificationMessageTypeLocalOpened);
  m->setIdentifier(str("req-1"));
  m->setContent(make<OrvelNotificationContent>());
  auto d = m->convertDictionary();
  EXPECT_EQ(keysOf(d), (Keys{"notificationMessageType", "identifier", "notification"}));
  auto* type = asNumber(d->objectForKey("notificationMessageType"));
  ASSERT_TRUE(type);
  EXPECT_EQ(type->kind(), NSNumber::Kind::Unsigned);
  EXPECT_EQ(type->unsignedIntegerValue(), 3u);
  EXPECT_TRUE(str("req-1")->isEqual(d->objectForKey("identifier")));
  EXPECT_TRUE(NSDictionary::dictionary()->isEqual(d->objectForKey("notification")));

  m->setNotificationMessageType(OrvelNotificationMessageTypeRemoteReceived);  // type 0 is the missing key
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
  EXPECT_EQ(text(m->identifier()), "first");
  auto d = m->convertDictionary();
  auto* nested = asDictionary(d->objectForKey("notification"));
  ASSERT_TRUE(nested);
  EXPECT_TRUE(str("changed later")->isEqual(nested->objectForKey("title")));
}

TEST(OrvelNotificationMessage, FieldsAnswerByMessage) {
  Class cls = NSClassFromString("OrvelNotificationMessage");
  ASSERT_EQ(cls, OrvelNotificationMessage::class_());
  Id m = class_createInstance(cls);
  auto content = make<OrvelNotificationContent>();
  send<void>(m, sel<"setNotificationMessageType:">(), uint64_t{2});
  send<void>(m, sel<"setIdentifier:">(), str("id"));
  send<void>(m, sel<"setContent:">(), content);
  EXPECT_TRUE(m->isKindOfClass(cls));
  EXPECT_EQ(send<uint64_t>(m, sel<"notificationMessageType">()), 2u);
  EXPECT_EQ(text(send<Ref<NSString>>(m, sel<"identifier">())), "id");
  EXPECT_EQ(send<Ref<OrvelNotificationContent>>(m, sel<"content">()), content);
  EXPECT_EQ(send<Ref<NSDictionary>>(m, sel<"convertDictionary">())->count(), 3u);
  EXPECT_THROW(send<void>(m, sel<"setContent:">(), str("not a content")), Exception);
}

TEST(OrvelNotificationRequest, FactoryCopiesIdentifierAndSharesTheRest) {
  auto empty = OrvelNotificationRequest::requestWithIdentifier(nullptr, nullptr, nullptr);
  EXPECT_FALSE(empty->requestIdentifier() || empty->content() || empty->trigger());

  auto identifier = NSMutableString::string("morning");
  auto content = make<OrvelNotificationContent>();
  auto trigger = make<OrvelNotificationTrigger>();
  auto r = OrvelNotificationRequest::requestWithIdentifier(identifier, content, trigger);
  identifier->setString("evening");
  EXPECT_EQ(text(r->requestIdentifier()), "morning");
  EXPECT_EQ(r->content(), content.get());
  EXPECT_EQ(r->trigger(), trigger.get());
}

TEST(OrvelNotificationRequest, RuntimeFactoryAndInitDefault) {
  Class cls = NSClassFromString("OrvelNotificationRequest");
  ASSERT_EQ(cls, OrvelNotificationRequest::class_());
  auto content = make<OrvelNotificationContent>();
  auto r = send<Ref<OrvelNotificationRequest>>(cls, sel<"requestWithIdentifier:content:trigger:">(), str(""), content,
                                               nullptr);
  ASSERT_TRUE(r);
  EXPECT_EQ(text(send<Ref<NSString>>(r, sel<"requestIdentifier">())), "");  // empty, not absent
  EXPECT_EQ(send<Ref<OrvelNotificationContent>>(r, sel<"content">()), content);
  EXPECT_FALSE(send<Ref<OrvelNotificationTrigger>>(r, sel<"trigger">()));
  EXPECT_EQ(send<Ref<OrvelNotificationRequest>>(r, sel<"initDefault">()), r);
  EXPECT_FALSE(r->requestIdentifier() || r->content());
}

TEST(OrvelNotificationTrigger, DefaultsCopiesAndMessages) {
  Class cls = NSClassFromString("OrvelNotificationTrigger");
  ASSERT_EQ(cls, OrvelNotificationTrigger::class_());
  auto t = cast<OrvelNotificationTrigger>(class_createInstance(cls));
  EXPECT_FALSE(t->repeat() || t->fireDate() || t->region() || t->dateComponents());
  EXPECT_EQ(t->timeInterval(), 0.0);

  auto components = make<NSDateComponents>();
  components->hour = 8;
  t->setDateComponents(components);
  components->hour = 20;
  EXPECT_EQ(t->dateComponents()->hour, 8);
  auto region = CLCircularRegion::regionWithCenter({52.5, 13.4}, 100, str("office"));
  t->setRegion(region);
  region->setNotifyOnExit(false);
  ASSERT_TRUE(t->region());
  EXPECT_TRUE(t->region()->notifyOnExit());
  EXPECT_TRUE(t->region()->isKindOfClass(CLCircularRegion::class_()));
  t->setFireDate(NSDate::dateWithTimeIntervalSince1970(1000));
  EXPECT_EQ(t->fireDate()->timeIntervalSince1970(), 1000.0);

  send<void>(t, sel<"setRepeat:">(), true);
  send<void>(t, sel<"setTimeInterval:">(), 2.5);
  EXPECT_TRUE(send<bool>(t, sel<"repeat">()));
  EXPECT_EQ(send<double>(t, sel<"timeInterval">()), 2.5);
  EXPECT_EQ(send<Ref<NSDateComponents>>(t, sel<"dateComponents">())->hour, 8);
  EXPECT_EQ(send<Ref<CLRegion>>(t, sel<"region">()), Ref<CLRegion>(t->region()));
  EXPECT_THROW(send<void>(t, sel<"setRegion:">(), str("not a region")), Exception);
}

TEST(OrvelNotificationConfiguration, TypesPassThroughUnchanged) {
  auto c =
      cast<OrvelNotificationConfiguration>(class_createInstance(NSClassFromString("OrvelNotificationConfiguration")));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->types(), 0);
  c->setTypes(1 | 2 | 4 | 64);
  EXPECT_EQ(send<int64_t>(c, sel<"types">()), 71);
  send<void>(c, sel<"setTypes:">(), int64_t{-1});
  EXPECT_EQ(c->types(), -1);
}

}  // namespace

#include "orvel/OrvelNotificationContent.h"

#include <string_view>
#include <vector>

#include "orvel/OrvelDevice.h"

using objc::NSDictionary;
using objc::NSNumber;
using objc::NSObject;
using objc::NSString;
using objc::Ref;

namespace {

template <class T>
Ref<T> immutableCopy(T* value) {
  return value ? objc::cast<T>(value->copy()) : nullptr;
}

// The signed integer reading of a "badge" entry: a number's own value, or a
// string's leading decimal integer. Entries of other types have no reading.
Ref<NSNumber> badgeFromEntry(NSObject* entry) {
  if (auto* number = objc::asNumber(entry)) return NSNumber::numberWithInteger(number->integerValue());
  if (auto* text = objc::asString(entry)) return NSNumber::numberWithInteger(text->integerValue());
  return nullptr;
}

// The boolean reading of a "content-available" entry; false for entries
// that are neither numbers nor strings.
bool flagFromEntry(NSObject* entry) {
  if (auto* number = objc::asNumber(entry)) return number->boolValue();
  if (auto* text = objc::asString(entry)) return text->boolValue();
  return false;
}

[[maybe_unused]] const objc::Class gRegistered = OrvelNotificationContent::class_();

}  // namespace

objc::Class OrvelNotificationContent::class_() {
  using C = OrvelNotificationContent;
  static objc::Class c = objc::ClassBuilder<C>("OrvelNotificationContent")
                             .method<&C::contentAvailable>("contentAvailable")
                             .method<&C::setContentAvailable>("setContentAvailable:")
                             .method<&C::mutableContent>("mutableContent")
                             .method<&C::setMutableContent>("setMutableContent:")
                             .method<&C::silentPush>("silentPush")
                             .method<&C::setSilentPush>("setSilentPush:")
                             .method<&C::title>("title")
                             .method<&C::setTitle>("setTitle:")
                             .method<&C::subTitle>("subTitle")
                             .method<&C::setSubTitle>("setSubTitle:")
                             .method<&C::body>("body")
                             .method<&C::setBody>("setBody:")
                             .method<&C::sound>("sound")
                             .method<&C::setSound>("setSound:")
                             .method<&C::badge>("badge")
                             .method<&C::setBadge>("setBadge:")
                             .method<&C::userInfo>("userInfo")
                             .method<&C::setUserInfo>("setUserInfo:")
                             .method<&C::attachments>("attachments")
                             .method<&C::setAttachments>("setAttachments:")
                             .method<&C::threadIdentifier>("threadIdentifier")
                             .method<&C::setThreadIdentifier>("setThreadIdentifier:")
                             .method<&C::launchImageName>("launchImageName")
                             .method<&C::setLaunchImageName>("setLaunchImageName:")
                             .method<&C::summaryArgument>("summaryArgument")
                             .method<&C::setSummaryArgument>("setSummaryArgument:")
                             .method<&C::summaryArgumentCount>("summaryArgumentCount")
                             .method<&C::setSummaryArgumentCount>("setSummaryArgumentCount:")
                             .method<&C::targetContentIdentifier>("targetContentIdentifier")
                             .method<&C::setTargetContentIdentifier>("setTargetContentIdentifier:")
                             .method<&C::initApnsNotificationWithDict>("initApnsNotificationWithDict:")
                             .method<&C::convertDictionary>("convertDictionary")
                             .classMethod("apnsNotificationWithDict:",
                                          [](objc::Class, objc::SEL, NSDictionary* payload) {
                                            return C::apnsNotificationWithDict(payload);
                                          })
                             .build();
  return c;
}

void OrvelNotificationContent::setTitle(NSString* value) { f_.title = immutableCopy(value); }
void OrvelNotificationContent::setSubTitle(NSString* value) { f_.subTitle = immutableCopy(value); }
void OrvelNotificationContent::setBody(NSString* value) { f_.body = immutableCopy(value); }
void OrvelNotificationContent::setSound(NSString* value) { f_.sound = immutableCopy(value); }
void OrvelNotificationContent::setBadge(NSNumber* value) { f_.badge = immutableCopy(value); }
void OrvelNotificationContent::setUserInfo(NSDictionary* value) { f_.userInfo = immutableCopy(value); }
void OrvelNotificationContent::setAttachments(objc::NSArray* value) { f_.attachments = immutableCopy(value); }
void OrvelNotificationContent::setThreadIdentifier(NSString* value) { f_.threadIdentifier = immutableCopy(value); }
void OrvelNotificationContent::setLaunchImageName(NSString* value) { f_.launchImageName = immutableCopy(value); }
void OrvelNotificationContent::setSummaryArgument(NSString* value) { f_.summaryArgument = immutableCopy(value); }
void OrvelNotificationContent::setTargetContentIdentifier(NSString* value) {
  f_.targetContentIdentifier = immutableCopy(value);
}

Ref<OrvelNotificationContent> OrvelNotificationContent::apnsNotificationWithDict(NSDictionary* payload) {
  return objc::make<OrvelNotificationContent>()->initApnsNotificationWithDict(payload);
}

Ref<OrvelNotificationContent> OrvelNotificationContent::initApnsNotificationWithDict(NSDictionary* argument) {
  // The argument may be held by nothing but this record (its own userInfo),
  // which the reset below lets go of.
  Ref<NSDictionary> payload(argument);
  f_ = Fields{};
  setUserInfo(payload);
  NSDictionary* aps = payload ? objc::asDictionary(payload->objectForKey("aps")) : nullptr;
  if (!aps) return Ref<OrvelNotificationContent>(this);

  if (NSObject* badge = aps->objectForKey("badge")) f_.badge = badgeFromEntry(badge);
  if (NSString* sound = objc::asString(aps->objectForKey("sound"))) setSound(sound);
  if (NSObject* available = aps->objectForKey("content-available")) f_.contentAvailable = flagFromEntry(available);

  NSObject* alert = aps->objectForKey("alert");
  if (NSDictionary* fields = objc::asDictionary(alert)) {
    if (NSString* body = objc::asString(fields->objectForKey("body"))) setBody(body);
    if (NSString* title = objc::asString(fields->objectForKey("title"))) setTitle(title);
    if (NSString* subtitle = objc::asString(fields->objectForKey("subtitle"))) setSubTitle(subtitle);
  } else if (NSString* body = objc::asString(alert)) {
    setBody(body);
  }

  // The alert texts play no part: a push with an alert can still be silent.
  f_.silentPush = !f_.sound && !f_.badge && f_.contentAvailable;
  return Ref<OrvelNotificationContent>(this);
}

Ref<NSDictionary> OrvelNotificationContent::convertDictionary() const {
  // Made for every message the host is told of: the entries go straight
  // into one dictionary, under keys that live for the whole process.
  std::vector<NSDictionary::Entry> entries;
  entries.reserve(16);
  auto add = [&](NSString* key, NSObject* value) {
    if (value) entries.push_back({objc::Id(key), objc::Id(value)});
  };
  auto addFlag = [&](NSString* key, bool value) {
    if (value) entries.push_back({objc::Id(key), NSNumber::numberWithBool(true)});
  };

  add(objc::lit<"title">(), f_.title);
  add(objc::lit<"subTitle">(), f_.subTitle);
  add(objc::lit<"body">(), f_.body);
  add(objc::lit<"sound">(), f_.sound);
  add(objc::lit<"badge">(), f_.badge);
  add(objc::lit<"threadIdentifier">(), f_.threadIdentifier);
  add(objc::lit<"launchImageName">(), f_.launchImageName);
  if (f_.summaryArgument && OrvelDevice::versionCompare(objc::lit<"12.0">()) >= 0) {
    add(objc::lit<"summaryArgument">(), f_.summaryArgument);
    entries.push_back({objc::Id(objc::lit<"summaryArgumentCount">()),
                       NSNumber::numberWithUnsignedInteger(f_.summaryArgumentCount)});
  }
  if (f_.targetContentIdentifier && OrvelDevice::versionCompare(objc::lit<"13.0">()) >= 0) {
    add(objc::lit<"targetContentIdentifier">(), f_.targetContentIdentifier);
  }
  addFlag(objc::lit<"silentPush">(), f_.silentPush);
  addFlag(objc::lit<"contentAvailable">(), f_.contentAvailable);
  addFlag(objc::lit<"mutableContent">(), f_.mutableContent);
  add(objc::lit<"userInfo">(), f_.userInfo);
  return NSDictionary::dictionaryWithEntries(std::move(entries));
}

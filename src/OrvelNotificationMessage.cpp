#include "orvel/OrvelNotificationMessage.h"

#include <vector>

using objc::NSDictionary;
using objc::NSString;
using objc::Ref;

namespace {
[[maybe_unused]] const objc::Class gRegistered = OrvelNotificationMessage::class_();
}  // namespace

objc::Class OrvelNotificationMessage::class_() {
  using M = OrvelNotificationMessage;
  static objc::Class c = objc::ClassBuilder<M>("OrvelNotificationMessage")
                             .method<&M::notificationMessageType>("notificationMessageType")
                             .method<&M::setNotificationMessageType>("setNotificationMessageType:")
                             .method<&M::identifier>("identifier")
                             .method<&M::setIdentifier>("setIdentifier:")
                             .method<&M::content>("content")
                             .method<&M::setContent>("setContent:")
                             .method<&M::convertDictionary>("convertDictionary")
                             .build();
  return c;
}

void OrvelNotificationMessage::setIdentifier(NSString* value) {
  identifier_ = value ? objc::cast<NSString>(value->copy()) : nullptr;
}

Ref<NSDictionary> OrvelNotificationMessage::convertDictionary() const {
  std::vector<NSDictionary::Entry> entries;
  entries.reserve(3);
  if (notificationMessageType_ > 0) {
    entries.push_back({objc::Id(objc::lit<"notificationMessageType">()),
                       objc::NSNumber::numberWithUnsignedInteger(notificationMessageType_)});
  }
  if (identifier_) entries.push_back({objc::Id(objc::lit<"identifier">()), identifier_});
  // Sent as a message so that a content class that answers differently is
  // honoured; only a dictionary is nested.
  objc::Id nested = objc::send<objc::Id>(content_, objc::sel<"convertDictionary">());
  if (NSDictionary* notification = objc::asDictionary(nested)) {
    entries.push_back({objc::Id(objc::lit<"notification">()), objc::Id(notification)});
  }
  return NSDictionary::dictionaryWithEntries(std::move(entries));
}

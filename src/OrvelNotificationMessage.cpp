#include "orvel/OrvelNotificationMessage.h"

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
  auto dict = objc::NSMutableDictionary::dictionary();
  if (notificationMessageType_ > 0) {
    dict->setObject(objc::NSNumber::numberWithUnsignedInteger(notificationMessageType_), "notificationMessageType");
  }
  if (identifier_) dict->setObject(identifier_, "identifier");
  // Sent as a message so that a content class that answers differently is
  // honoured; only a dictionary is nested.
  objc::Id nested = objc::send<objc::Id>(content_, objc::sel<"convertDictionary">());
  if (NSDictionary* notification = objc::asDictionary(nested)) dict->setObject(notification, "notification");
  return objc::cast<NSDictionary>(dict->copy());
}

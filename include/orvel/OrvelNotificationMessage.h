// The object every delivery event carries: what happened, which notification
// it was and what it showed.
#pragma once

#include "Foundation/Foundation.h"
#include "orvel/OrvelDefines.h"
#include "orvel/OrvelNotificationContent.h"

class OrvelNotificationMessage : public objc::NSObject {
 public:
  static objc::Class class_();

  // "notificationMessageType" (only when above 0; a missing key reads as
  // OrvelNotificationMessageTypeRemoteReceived), "identifier", and the
  // content's own dictionary under "notification".
  objc::Ref<objc::NSDictionary> convertDictionary() const;

  OrvelNotificationMessageType notificationMessageType() const { return notificationMessageType_; }
  void setNotificationMessageType(OrvelNotificationMessageType value) { notificationMessageType_ = value; }
  // Copied.
  objc::NSString* identifier() const { return identifier_.get(); }
  void setIdentifier(objc::NSString* value);
  // Shared: the record holds the content object itself.
  OrvelNotificationContent* content() const { return content_.get(); }
  void setContent(OrvelNotificationContent* value) { content_ = value; }

 private:
  OrvelNotificationMessageType notificationMessageType_ = OrvelNotificationMessageTypeRemoteReceived;
  objc::Ref<objc::NSString> identifier_;
  objc::Ref<OrvelNotificationContent> content_;
};

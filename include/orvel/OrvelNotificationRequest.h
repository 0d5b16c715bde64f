// What the host fills in to ask for a local notification.
#pragma once

#include "Foundation/Foundation.h"
#include "orvel/OrvelNotificationContent.h"
#include "orvel/OrvelNotificationTrigger.h"

class OrvelNotificationRequest : public objc::NSObject {
 public:
  static objc::Class class_();

  // A new request with the given fields; each argument may be nil and is
  // not validated. The identifier is copied, content and trigger are shared.
  static objc::Ref<OrvelNotificationRequest> requestWithIdentifier(objc::NSString* identifier,
                                                                   OrvelNotificationContent* content,
                                                                   OrvelNotificationTrigger* trigger);
  // Clears every field; returns this request.
  objc::Ref<OrvelNotificationRequest> initDefault();

  // Copied. When absent or empty, scheduling generates one.
  objc::NSString* requestIdentifier() const { return requestIdentifier_.get(); }
  void setRequestIdentifier(objc::NSString* value);
  // Shared. A request without content is not scheduled.
  OrvelNotificationContent* content() const { return content_.get(); }
  void setContent(OrvelNotificationContent* value) { content_ = value; }
  // Shared. Absent means as soon as possible.
  OrvelNotificationTrigger* trigger() const { return trigger_.get(); }
  void setTrigger(OrvelNotificationTrigger* value) { trigger_ = value; }

 private:
  objc::Ref<objc::NSString> requestIdentifier_;
  objc::Ref<OrvelNotificationContent> content_;
  objc::Ref<OrvelNotificationTrigger> trigger_;
};

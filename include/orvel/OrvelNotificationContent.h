// What one notification shows and carries. Filled from a remote-notification
// payload (apnsNotificationWithDict), from a platform notification, or by the
// host for a local notification; turned into a plain dictionary by
// convertDictionary.
//
// Object fields keep a private immutable copy of the value assigned, so a
// later change to a mutable value passed in does not show in the record. An
// absent field (nil) and an empty value are distinct.
#pragma once

#include <cstdint>

#include "Foundation/Foundation.h"

class OrvelNotificationContent : public objc::NSObject {
 public:
  static objc::Class class_();

  // A new record filled from a remote-notification payload. A nil payload
  // gives a record with every field absent.
  static objc::Ref<OrvelNotificationContent> apnsNotificationWithDict(objc::NSDictionary* payload);
  // Resets the record and fills it from `payload`: `userInfo` is the whole
  // payload; of its "aps" dictionary only "badge", "sound",
  // "content-available" and "alert" are read. Returns this record.
  objc::Ref<OrvelNotificationContent> initApnsNotificationWithDict(objc::NSDictionary* payload);

  // The present fields as a new immutable dictionary. Flags appear only when
  // true; the summary fields only on system 12.0 and later, the target
  // content identifier only on 13.0 and later; attachments never.
  objc::Ref<objc::NSDictionary> convertDictionary() const;

  bool contentAvailable() const { return f_.contentAvailable; }
  void setContentAvailable(bool value) { f_.contentAvailable = value; }
  bool mutableContent() const { return f_.mutableContent; }
  void setMutableContent(bool value) { f_.mutableContent = value; }
  // A push that only wakes the application: no sound, no badge, and
  // content-available.
  bool silentPush() const { return f_.silentPush; }
  void setSilentPush(bool value) { f_.silentPush = value; }
  objc::NSString* title() const { return f_.title.get(); }
  void setTitle(objc::NSString* value);
  objc::NSString* subTitle() const { return f_.subTitle.get(); }
  void setSubTitle(objc::NSString* value);
  objc::NSString* body() const { return f_.body.get(); }
  void setBody(objc::NSString* value);
  objc::NSString* sound() const { return f_.sound.get(); }
  void setSound(objc::NSString* value);
  objc::NSNumber* badge() const { return f_.badge.get(); }
  void setBadge(objc::NSNumber* value);
  objc::NSDictionary* userInfo() const { return f_.userInfo.get(); }
  void setUserInfo(objc::NSDictionary* value);
  // Platform attachment objects, stored and handed on to scheduling.
  objc::NSArray* attachments() const { return f_.attachments.get(); }
  void setAttachments(objc::NSArray* value);
  objc::NSString* threadIdentifier() const { return f_.threadIdentifier.get(); }
  void setThreadIdentifier(objc::NSString* value);
  objc::NSString* launchImageName() const { return f_.launchImageName.get(); }
  void setLaunchImageName(objc::NSString* value);
  objc::NSString* summaryArgument() const { return f_.summaryArgument.get(); }
  void setSummaryArgument(objc::NSString* value);
  uint64_t summaryArgumentCount() const { return f_.summaryArgumentCount; }
  void setSummaryArgumentCount(uint64_t value) { f_.summaryArgumentCount = value; }
  objc::NSString* targetContentIdentifier() const { return f_.targetContentIdentifier.get(); }
  void setTargetContentIdentifier(objc::NSString* value);

 private:
  struct Fields {
    bool contentAvailable = false;
    bool mutableContent = false;
    bool silentPush = false;
    objc::Ref<objc::NSString> title;
    objc::Ref<objc::NSString> subTitle;
    objc::Ref<objc::NSString> body;
    objc::Ref<objc::NSString> sound;
    objc::Ref<objc::NSNumber> badge;
    objc::Ref<objc::NSDictionary> userInfo;
    objc::Ref<objc::NSArray> attachments;
    objc::Ref<objc::NSString> threadIdentifier;
    objc::Ref<objc::NSString> launchImageName;
    objc::Ref<objc::NSString> summaryArgument;
    uint64_t summaryArgumentCount = 0;
    objc::Ref<objc::NSString> targetContentIdentifier;
  };
  Fields f_;
};

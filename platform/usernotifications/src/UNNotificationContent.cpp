#include "UserNotifications/UNNotificationContent.h"

#include "Framework.h"
#include "UIKit/UIDevice.h"

namespace objc {

namespace {
// Selectors that exist only from a later system version.
bool selectorExistsOnThisSystem(SEL s) {
  if (s == sel<"summaryArgument">() || s == sel<"summaryArgumentCount">() || s == sel<"setSummaryArgument:">() ||
      s == sel<"setSummaryArgumentCount:">()) {
    return UIDevice::systemVersionAtLeast("12.0");
  }
  if (s == sel<"targetContentIdentifier">() || s == sel<"setTargetContentIdentifier:">()) {
    return UIDevice::systemVersionAtLeast("13.0");
  }
  return true;
}
}  // namespace

Class UNNotificationContent::class_() {
  static Class c = un::gated(
      ClassBuilder<UNNotificationContent>("UNNotificationContent")
          .method<&UNNotificationContent::title>("title")
          .method<&UNNotificationContent::subtitle>("subtitle")
          .method<&UNNotificationContent::body>("body")
          .method<&UNNotificationContent::badge>("badge")
          .method<&UNNotificationContent::sound>("sound")
          .method<&UNNotificationContent::attachments>("attachments")
          .method<&UNNotificationContent::userInfo>("userInfo")
          .method<&UNNotificationContent::threadIdentifier>("threadIdentifier")
          .method<&UNNotificationContent::categoryIdentifier>("categoryIdentifier")
          .method<&UNNotificationContent::launchImageName>("launchImageName")
          .method("summaryArgument",
                  [](UNNotificationContent* self, SEL cmd) -> Id {
                    un::requireSystem(self, cmd, "12.0");
                    return self->summaryArgument();
                  })
          .method("summaryArgumentCount",
                  [](UNNotificationContent* self, SEL cmd) -> uint64_t {
                    un::requireSystem(self, cmd, "12.0");
                    return self->summaryArgumentCount();
                  })
          .method("targetContentIdentifier",
                  [](UNNotificationContent* self, SEL cmd) -> Id {
                    un::requireSystem(self, cmd, "13.0");
                    return self->targetContentIdentifier();
                  })
          .method<&UNNotificationContent::mutableCopy>("mutableCopy")
          .method("respondsToSelector:",
                  [](id self, SEL, SEL s) {
                    return selectorExistsOnThisSystem(s) && class_respondsToSelector(object_getClass(self), s);
                  })
          .classMethod(
              "instancesRespondToSelector:",
              [](Class cls, SEL, SEL s) { return selectorExistsOnThisSystem(s) && class_respondsToSelector(cls, s); })
          .build());
  return c;
}

UNNotificationContent::UNNotificationContent()
    : attachments_(NSArray::array()),
      userInfo_(NSDictionary::dictionary()),
      threadIdentifier_(lit<"">()),
      categoryIdentifier_(lit<"">()),
      launchImageName_(lit<"">()),
      summaryArgument_(lit<"">()) {}

void UNNotificationContent::assignFields(UNNotificationContent& to, const UNNotificationContent& o) {
  to.title_ = o.title_;
  to.subtitle_ = o.subtitle_;
  to.body_ = o.body_;
  to.badge_ = o.badge_;
  to.sound_ = o.sound_;
  to.attachments_ = o.attachments_;
  to.userInfo_ = o.userInfo_;
  to.threadIdentifier_ = o.threadIdentifier_;
  to.categoryIdentifier_ = o.categoryIdentifier_;
  to.launchImageName_ = o.launchImageName_;
  to.summaryArgument_ = o.summaryArgument_;
  to.summaryArgumentCount_ = o.summaryArgumentCount_;
  to.targetContentIdentifier_ = o.targetContentIdentifier_;
}

Ref<NSObject> UNNotificationContent::copy() const { return Ref<NSObject>(const_cast<UNNotificationContent*>(this)); }

Ref<NSObject> UNNotificationContent::mutableCopy() const {
  auto m = make<UNMutableNotificationContent>();
  assignFields(*m, *this);
  return m;
}

std::string UNNotificationContent::description() const {
  return format(
      "<%s: %p; title: %@, subtitle: %@, body: %@, categoryIdentifier: %@, launchImageName: %@, threadIdentifier: "
      "%@, attachments: %@, badge: %@, sound: %@, userInfo: %@>",
      class_getName(isa()), static_cast<const void*>(this), title_.get(), subtitle_.get(), body_.get(),
      categoryIdentifier_.get(), launchImageName_.get(), threadIdentifier_.get(), attachments_.get(), badge_.get(),
      sound_.get(), userInfo_.get());
}

Class UNMutableNotificationContent::class_() {
  static Class c =
      un::gated(ClassBuilder<UNMutableNotificationContent, UNNotificationContent>("UNMutableNotificationContent")
                    .method<&UNMutableNotificationContent::setTitle>("setTitle:")
                    .method<&UNMutableNotificationContent::setSubtitle>("setSubtitle:")
                    .method<&UNMutableNotificationContent::setBody>("setBody:")
                    .method<&UNMutableNotificationContent::setBadge>("setBadge:")
                    .method<&UNMutableNotificationContent::setSound>("setSound:")
                    .method<&UNMutableNotificationContent::setAttachments>("setAttachments:")
                    .method<&UNMutableNotificationContent::setUserInfo>("setUserInfo:")
                    .method<&UNMutableNotificationContent::setThreadIdentifier>("setThreadIdentifier:")
                    .method<&UNMutableNotificationContent::setCategoryIdentifier>("setCategoryIdentifier:")
                    .method<&UNMutableNotificationContent::setLaunchImageName>("setLaunchImageName:")
                    .method("setSummaryArgument:",
                            [](UNMutableNotificationContent* self, SEL cmd, NSString* v) {
                              un::requireSystem(self, cmd, "12.0");
                              self->setSummaryArgument(v);
                            })
                    .method("setSummaryArgumentCount:",
                            [](UNMutableNotificationContent* self, SEL cmd, uint64_t v) {
                              un::requireSystem(self, cmd, "12.0");
                              self->setSummaryArgumentCount(v);
                            })
                    .method("setTargetContentIdentifier:",
                            [](UNMutableNotificationContent* self, SEL cmd, NSString* v) {
                              un::requireSystem(self, cmd, "13.0");
                              self->setTargetContentIdentifier(v);
                            })
                    .build());
  return c;
}

void UNMutableNotificationContent::setTitle(NSString* v) { title_ = un::copied(v); }
void UNMutableNotificationContent::setSubtitle(NSString* v) { subtitle_ = un::copied(v); }
void UNMutableNotificationContent::setBody(NSString* v) { body_ = un::copied(v); }
void UNMutableNotificationContent::setBadge(NSNumber* v) { badge_ = un::copied(v); }
void UNMutableNotificationContent::setSound(UNNotificationSound* v) { sound_ = un::copied(v); }
void UNMutableNotificationContent::setAttachments(NSArray* v) { attachments_ = un::copied(v); }
void UNMutableNotificationContent::setUserInfo(NSDictionary* v) { userInfo_ = un::copied(v); }
void UNMutableNotificationContent::setThreadIdentifier(NSString* v) { threadIdentifier_ = un::copied(v); }
void UNMutableNotificationContent::setCategoryIdentifier(NSString* v) { categoryIdentifier_ = un::copied(v); }
void UNMutableNotificationContent::setLaunchImageName(NSString* v) { launchImageName_ = un::copied(v); }
void UNMutableNotificationContent::setSummaryArgument(NSString* v) { summaryArgument_ = un::copied(v); }
void UNMutableNotificationContent::setTargetContentIdentifier(NSString* v) { targetContentIdentifier_ = un::copied(v); }

void UNMutableNotificationContent::setFields(const UNNotificationContent* other) {
  if (other) assignFields(*this, *other);
}

Ref<NSObject> UNMutableNotificationContent::copy() const {
  auto c = make<UNNotificationContent>();
  assignFields(*c, *this);
  return c;
}

}  // namespace objc

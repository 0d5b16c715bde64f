#include "UserNotifications/UNNotificationSound.h"

#include "Framework.h"

namespace objc {

Class UNNotificationSound::class_() {
  static Class c =
      un::gated(ClassBuilder<UNNotificationSound>("UNNotificationSound")
                    .classMethod("soundNamed:", [](Class, SEL, NSString* name) -> Id { return soundNamed(name); })
                    .classMethod("defaultSound", [](Class, SEL) -> Id { return defaultSound(); })
                    .build());
  return c;
}

Ref<UNNotificationSound> UNNotificationSound::soundNamed(NSString* name) {
  auto s = make<UNNotificationSound>();
  s->name_ = un::copied(name);
  return s;
}

Ref<UNNotificationSound> UNNotificationSound::defaultSound() {
  static UNNotificationSound* s = [] {
    UNNotificationSound* p = make<UNNotificationSound>().detach();
    p->isDefault_ = true;
    p->makeImmortal();
    return p;
  }();
  return Ref<UNNotificationSound>(s);
}

bool UNNotificationSound::isEqual(const NSObject* other) const {
  auto* o = dynamic_cast<const UNNotificationSound*>(other);
  if (!o || o->isDefault_ != isDefault_) return false;
  return name_ == o->name_ || (name_ && name_->isEqual(o->name_.get()));
}

size_t UNNotificationSound::hash() const { return name_ ? name_->hash() : isDefault_; }

std::string UNNotificationSound::description() const {
  return isDefault_ ? "<UNNotificationSound: default>" : format("<UNNotificationSound: %@>", name_.get());
}

Ref<NSObject> UNNotificationSound::copy() const { return Ref<NSObject>(const_cast<UNNotificationSound*>(this)); }

}  // namespace objc

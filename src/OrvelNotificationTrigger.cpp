#include "orvel/OrvelNotificationTrigger.h"

using objc::Ref;

namespace {

template <class T>
Ref<T> immutableCopy(T* value) {
  return value ? objc::cast<T>(value->copy()) : nullptr;
}

[[maybe_unused]] const objc::Class gRegistered = OrvelNotificationTrigger::class_();

}  // namespace

objc::Class OrvelNotificationTrigger::class_() {
  using T = OrvelNotificationTrigger;
  static objc::Class c = objc::ClassBuilder<T>("OrvelNotificationTrigger")
                             .method<&T::repeat>("repeat")
                             .method<&T::setRepeat>("setRepeat:")
                             .method<&T::fireDate>("fireDate")
                             .method<&T::setFireDate>("setFireDate:")
                             .method<&T::region>("region")
                             .method<&T::setRegion>("setRegion:")
                             .method<&T::dateComponents>("dateComponents")
                             .method<&T::setDateComponents>("setDateComponents:")
                             .method<&T::timeInterval>("timeInterval")
                             .method<&T::setTimeInterval>("setTimeInterval:")
                             .build();
  return c;
}

void OrvelNotificationTrigger::setFireDate(objc::NSDate* value) { fireDate_ = immutableCopy(value); }
void OrvelNotificationTrigger::setRegion(objc::CLRegion* value) { region_ = immutableCopy(value); }
void OrvelNotificationTrigger::setDateComponents(objc::NSDateComponents* value) {
  dateComponents_ = immutableCopy(value);
}

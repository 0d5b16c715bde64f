#include "UIKit/UIUserNotificationSettings.h"

namespace objc {

Class UIUserNotificationSettings::class_() {
  static Class c = ClassBuilder<UIUserNotificationSettings>("UIUserNotificationSettings")
                       .method<&UIUserNotificationSettings::types>("types")
                       .method<&UIUserNotificationSettings::categories>("categories")
                       .classMethod("settingsForTypes:categories:",
                                    [](Class, SEL, UIUserNotificationType types, id categories) -> Id {
                                      return settingsForTypes(types, categories);
                                    })
                       .build();
  return c;
}

Ref<UIUserNotificationSettings> UIUserNotificationSettings::settingsForTypes(UIUserNotificationType types,
                                                                             NSObject* categories) {
  auto s = make<UIUserNotificationSettings>();
  s->types_ = types;
  s->categories_ = categories ? categories->copy() : nullptr;
  return s;
}

bool UIUserNotificationSettings::isEqual(const NSObject* other) const {
  auto* o = dynamic_cast<const UIUserNotificationSettings*>(other);
  if (!o || o->types_ != types_) return false;
  return categories_ == o->categories_ || (categories_ && categories_->isEqual(o->categories_.get()));
}

std::string UIUserNotificationSettings::description() const {
  return format("<UIUserNotificationSettings: %p; types: %llu; categories: %@>", static_cast<const void*>(this),
                static_cast<unsigned long long>(types_), categories_.get());
}

Ref<NSObject> UIUserNotificationSettings::copy() const {
  return Ref<NSObject>(const_cast<UIUserNotificationSettings*>(this));
}

}  // namespace objc

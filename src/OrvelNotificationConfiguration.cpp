#include "orvel/OrvelNotificationConfiguration.h"

namespace {
[[maybe_unused]] const objc::Class gRegistered = OrvelNotificationConfiguration::class_();
}  // namespace

objc::Class OrvelNotificationConfiguration::class_() {
  using C = OrvelNotificationConfiguration;
  static objc::Class c = objc::ClassBuilder<C>("OrvelNotificationConfiguration")
                             .method<&C::types>("types")
                             .method<&C::setTypes>("setTypes:")
                             .build();
  return c;
}

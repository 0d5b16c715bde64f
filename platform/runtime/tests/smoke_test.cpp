#include <gtest/gtest.h>

#include "objc/runtime.h"

using namespace objc;

namespace {
struct Counter : NSObject {
  static Class class_();
  int64_t value = 0;
  void add(int64_t n) { value += n; }
  int64_t get() const { return value; }
};
Class Counter::class_() {
  static Class c =
      ClassBuilder<Counter>("SmokeCounter").method<&Counter::add>("add:").method<&Counter::get>("value").build();
  return c;
}
}  // namespace

TEST(Smoke, SendsAndChecks) {
  auto c = make<Counter>();
  send<void>(c, sel<"add:">(), int64_t{5});
  EXPECT_EQ(send<int64_t>(c, sel<"value">()), 5);
  EXPECT_THROW(send<void>(c, sel<"add:">(), 5), Exception);
  EXPECT_THROW(send<void>(c, sel<"nope">()), Exception);
  EXPECT_EQ(send<int64_t>(nullptr, sel<"value">()), 0);
  EXPECT_TRUE(c->respondsToSelector(sel<"add:">()));
  EXPECT_FALSE(c->respondsToSelector(sel<"nope">()));
  EXPECT_TRUE(c->isKindOfClass(NSObject::class_()));
}

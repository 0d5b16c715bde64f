#include <gtest/gtest.h>

#include "Foundation/Foundation.h"

using namespace objc;

TEST(FoundationSmoke, ValuesAndCentre) {
  auto d = NSMutableDictionary::dictionary();
  d->setObject(str("v"), "k");
  d->setObject(NSNumber::numberWithInteger(5), str("n"));
  EXPECT_TRUE(asString(d->objectForKey("k"))->isEqualToString(lit<"v">()));
  EXPECT_EQ(asNumber(d->objectForKey(lit<"n">()))->integerValue(), 5);
  EXPECT_EQ(str(" -0012abc")->integerValue(), -12);
  EXPECT_EQ(NSString::stringWithFormat("%@-%02X-%.0f", d->objectForKey("k"), 10u, 2.5)->utf8(), "v-0A-2");
  int seen = 0;
  auto token = NSNotificationCenter::defaultCenter()->addObserverForName(str("X"), nullptr, nullptr,
                                                                         [&](NSNotification*) { ++seen; });
  NSNotificationCenter::defaultCenter()->postNotificationName(str("X"), nullptr);
  EXPECT_EQ(seen, 1);
  NSNotificationCenter::defaultCenter()->removeObserver(token);
  NSNotificationCenter::defaultCenter()->postNotificationName(str("X"), nullptr);
  EXPECT_EQ(seen, 1);
  bool ran = false;
  auto q = dispatch_queue_create("t");
  dispatch_async(q, [&] { dispatch_async(dispatch_get_main_queue(), [&] { ran = true; }); });
  EXPECT_TRUE(runMainUntil([&] { return ran; }, 5));
  EXPECT_EQ(send<Ref<NSString>>(d.get(), sel<"description">())->utf8(), "{\n    k = v;\n    n = 5;\n}");
}

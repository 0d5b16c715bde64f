// Message dispatch: lookup through superclasses, the method cache and its
// invalidation, checked signatures, nil receivers and unknown selectors.
#include <gmock/gmock.h>

#include "test_support.h"

using namespace objc;
using namespace objc::testing;
using ::testing::HasSubstr;

TEST(Dispatch, InheritedMethodsAreFoundButNotOwned) {
  Class base = makeClass("DispatchInheritBase");
  Class sub = makeClass("DispatchInheritSub", base);
  addAnswer<1>(base, sel<"value">());
  Id obj = class_createInstance(sub);

  EXPECT_EQ(ask(obj, sel<"value">()), 1);
  EXPECT_EQ(class_getInstanceMethod(sub, sel<"value">()), class_getInstanceMethod(base, sel<"value">()));
  EXPECT_TRUE(ownSelectorNames(sub).empty());

  // An own method shadows the inherited one, for the subclass only.
  EXPECT_TRUE(addAnswer<2>(sub, sel<"value">()));
  EXPECT_EQ(ask(obj, sel<"value">()), 2);
  EXPECT_EQ(ask(class_createInstance(base), sel<"value">()), 1);

  // Adding a selector the class already defines itself changes nothing.
  EXPECT_FALSE(addAnswer<3>(sub, sel<"value">()));
  EXPECT_EQ(ask(obj, sel<"value">()), 2);
}

TEST(Dispatch, SetImplementationIsSeenAtTheNextSend) {
  Class base = makeClass("DispatchSetImpBase");
  Class inheriting = makeClass("DispatchSetImpInheriting", base);
  Class overriding = makeClass("DispatchSetImpOverriding", base);
  addAnswer<1>(base, sel<"value">());
  addAnswer<5>(overriding, sel<"value">());
  Id a = class_createInstance(base), b = class_createInstance(inheriting), c = class_createInstance(overriding);
  ASSERT_EQ(ask(a, sel<"value">()) + ask(b, sel<"value">()) + ask(c, sel<"value">()), 7);  // caches filled

  IMP old = method_setImplementation(class_getInstanceMethod(base, sel<"value">()), answerIMP<2>());

  EXPECT_EQ(old, answerIMP<1>());
  EXPECT_EQ(ask(a, sel<"value">()), 2);
  EXPECT_EQ(ask(b, sel<"value">()), 2) << "a subclass that does not define the selector sees the change";
  EXPECT_EQ(ask(c, sel<"value">()), 5) << "a subclass with its own method keeps it";
}

TEST(Dispatch, MethodAddedToASuperclassIsSeenByASubclassThatMissedBefore) {
  Class base = makeClass("DispatchLateBase");
  Class sub = makeClass("DispatchLateSub", base);
  Id obj = class_createInstance(sub);
  // The misses are cached too; the addition must replace them.
  EXPECT_THROW(ask(obj, sel<"late">()), Exception);
  EXPECT_FALSE(obj->respondsToSelector(sel<"late">()));

  addAnswer<9>(base, sel<"late">());

  EXPECT_TRUE(obj->respondsToSelector(sel<"late">()));
  EXPECT_EQ(ask(obj, sel<"late">()), 9);
}

TEST(Dispatch, ShadowingAnInheritedMethodAfterItWasCached) {
  Class base = makeClass("DispatchShadowBase");
  Class sub = makeClass("DispatchShadowSub", base);
  addAnswer<1>(base, sel<"value">());
  Id obj = class_createInstance(sub);
  ASSERT_EQ(ask(obj, sel<"value">()), 1);

  addAnswer<2>(sub, sel<"value">());

  EXPECT_EQ(ask(obj, sel<"value">()), 2);
}

TEST(Dispatch, ReplaceMethodOnASuperclassIsSeen) {
  Class base = makeClass("DispatchReplaceBase");
  Class sub = makeClass("DispatchReplaceSub", base);
  addAnswer<1>(base, sel<"value">());
  Id obj = class_createInstance(sub);
  ASSERT_EQ(ask(obj, sel<"value">()), 1);

  class_replaceMethod(base, sel<"value">(), answerIMP<3>(), "q16@0:8");

  EXPECT_EQ(ask(obj, sel<"value">()), 3);
}

TEST(Dispatch, SetClassIsSeenAtTheNextSendAndKeepsIdentityAndStorage) {
  struct Tagged : NSObject {
    static Class class_() {
      static Class c = ClassBuilder<Tagged>("DispatchTagged").build();
      return c;
    }
    int64_t tag = 42;
  };
  Class other = makeClass("DispatchTaggedOther", Tagged::class_());
  addAnswer<1>(Tagged::class_(), sel<"value">());
  addAnswer<2>(other, sel<"value">());
  auto obj = make<Tagged>();
  NSObject* identity = obj.get();
  ASSERT_EQ(ask(obj, sel<"value">()), 1);

  EXPECT_EQ(object_setClass(obj, other), Tagged::class_());

  EXPECT_EQ(object_getClass(obj), other);
  EXPECT_EQ(ask(obj, sel<"value">()), 2);
  EXPECT_EQ(obj.get(), identity);
  EXPECT_EQ(obj->tag, 42);
  EXPECT_EQ(object_setClass(obj, Tagged::class_()), other);
  EXPECT_EQ(ask(obj, sel<"value">()), 1);
}

TEST(Dispatch, SetClassRefusesAClassWhoseStorageTheObjectLacks) {
  struct Plain : NSObject {
    static Class class_() {
      static Class c = ClassBuilder<Plain>("DispatchPlain").build();
      return c;
    }
  };
  struct Wide : NSObject {
    static Class class_() {
      static Class c = ClassBuilder<Wide>("DispatchWide").build();
      return c;
    }
    int64_t extra[4] = {};
  };
  auto obj = make<Plain>();
  EXPECT_THAT(reasonOf([&] { object_setClass(obj, Wide::class_()); }), HasSubstr("DispatchWide"));
  EXPECT_EQ(object_getClass(obj), Plain::class_());
  EXPECT_THROW(object_setClass(obj, Plain::class_()->isa()), Exception) << "an instance cannot become a class";
  EXPECT_EQ(object_setClass(nullptr, Plain::class_()), nullptr);
  EXPECT_EQ(object_setClass(obj, nullptr), nullptr);
  EXPECT_EQ(object_getClass(obj), Plain::class_());
}

TEST(Dispatch, UnrecognisedSelectorNamesClassAndSelector) {
  Class cls = makeClass("DispatchUnknown");
  Id obj = class_createInstance(cls);

  try {
    send<void>(obj, sel<"noSuchThing:">(), obj);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), kInvalidArgumentException);
    EXPECT_THAT(e.reason(), HasSubstr("-[DispatchUnknown noSuchThing:]"));
    EXPECT_THAT(e.reason(), HasSubstr("unrecognized selector"));
  }
  EXPECT_THAT(reasonOf([&] { send<void>(cls, sel<"noSuchClassThing">()); }),
              HasSubstr("+[DispatchUnknown noSuchClassThing]"));
  EXPECT_THAT(reasonOf([&] { send<void>(obj, SEL{nullptr}); }), HasSubstr("unrecognized selector"));
  EXPECT_THAT(reasonOf([&] { send<void>(obj, NSSelectorFromString("")); }), HasSubstr("unrecognized selector"));
}

TEST(Dispatch, NilReceiverDoesNothingAndYieldsZero) {
  id nil = nullptr;
  EXPECT_NO_THROW(send<void>(nil, sel<"anything:">(), nil));
  EXPECT_EQ(send<int64_t>(nil, sel<"count">()), 0);
  EXPECT_EQ(send<double>(nil, sel<"doubleValue">()), 0.0);
  EXPECT_FALSE(send<bool>(nil, sel<"respondsToSelector:">(), sel<"description">()));
  EXPECT_EQ(send<Id>(nil, sel<"self">()), nullptr);
  EXPECT_EQ(send<Class>(nil, sel<"class">()), nullptr);
  EXPECT_EQ(send<Id>(Ref<NSObject>(), sel<"copy">()), nullptr);
}

TEST(Dispatch, SignatureMismatchIsDiagnosedAndNothingRuns) {
  static int calls = 0;
  Class cls = makeClass("DispatchTyped");
  addMethod(
      cls, sel<"scale:">(), +[](id, SEL, int64_t x) -> int64_t {
        ++calls;
        return 2 * x;
      });
  Id obj = class_createInstance(cls);
  ASSERT_EQ(send<int64_t>(obj, sel<"scale:">(), int64_t{4}), 8);
  calls = 0;

  std::string reason = reasonOf([&] { send<void>(obj, sel<"scale:">(), int64_t{4}); });
  EXPECT_THAT(reason, HasSubstr("-[DispatchTyped scale:]"));
  EXPECT_THAT(reason, HasSubstr("q@:q")) << "the method's signature";
  EXPECT_THAT(reason, HasSubstr("v@:q")) << "the caller's signature";
  EXPECT_THROW(send<int64_t>(obj, sel<"scale:">(), 4), Exception) << "int is not a 64-bit integer";
  EXPECT_THROW(send<int64_t>(obj, sel<"scale:">(), 4.0), Exception);
  EXPECT_THROW(send<int64_t>(obj, sel<"scale:">(), obj), Exception);
  EXPECT_THROW(send<int64_t>(obj, sel<"scale:">()), Exception);
  EXPECT_THROW(send<Id>(obj, sel<"scale:">(), int64_t{4}), Exception);
  EXPECT_EQ(calls, 0);
}

namespace {
int gObjects = 0;
void takeOne(id, SEL, id) { gObjects += 1; }
void takeTwo(id, SEL, id, id) { gObjects += 2; }
}  // namespace

TEST(Dispatch, EncodingsWithAndWithoutOffsetsCompareByTheirTypes) {
  Class cls = makeClass("DispatchEncodings");
  ASSERT_TRUE(class_addMethod(cls, sel<"two:and:">(), reinterpret_cast<IMP>(&takeTwo), "v@:@@"));
  ASSERT_TRUE(class_addMethod(cls, sel<"one:">(), reinterpret_cast<IMP>(&takeOne), "v24@0:8@16"));
  Id obj = class_createInstance(cls);

  send<void>(obj, sel<"two:and:">(), obj, obj);
  send<void>(obj, sel<"one:">(), obj);
  EXPECT_EQ(gObjects, 3);
  EXPECT_THROW(send<void>(obj, sel<"two:and:">(), obj), Exception);
  EXPECT_THROW(send<void>(obj, sel<"one:">(), obj, obj), Exception);
  EXPECT_EQ(gObjects, 3);

  EXPECT_EQ(normalizeEncoding("v24@0:8@16"), "v@:@");
  EXPECT_EQ(normalizeEncoding("v32@0:8@16@24"), normalizeEncoding("v@:@@"));
  EXPECT_NE(encodingHash("v24@0:8@16"), encodingHash("v@:@@"));
  EXPECT_EQ(normalizeEncoding("v40@0:8@\"NSString\"16@?24#32"), "v@:@@@");
  EXPECT_EQ(normalizeEncoding("B20@0:8r*16"), "B@:*");
  EXPECT_EQ((detail::fullEncoding<void, id>()), "v24@0:8@16");
  EXPECT_EQ((detail::fullEncoding<bool, int64_t, double>()), "B32@0:8q16d24");
}

TEST(Dispatch, PerformSelectorCallsObjectMethods) {
  Class cls = makeClass("DispatchPerform");
  addMethod(
      cls, sel<"echo:">(), +[](id, SEL, id o) -> Id { return o; });
  addMethod(
      cls, sel<"sink:">(), +[](id, SEL, id) {});
  addMethod(
      cls, sel<"number:">(), +[](id, SEL, int64_t x) { return x; });
  Id obj = class_createInstance(cls);

  EXPECT_EQ(performSelector(obj, sel<"echo:">(), obj), obj);
  EXPECT_EQ(performSelector(obj, sel<"sink:">(), obj), nullptr);
  EXPECT_EQ(send<Id>(obj, sel<"performSelector:withObject:">(), sel<"echo:">(), obj), obj);
  EXPECT_THROW(performSelector(obj, sel<"number:">(), obj), Exception);
  EXPECT_THROW(performSelector(obj, sel<"missing:">(), obj), Exception);
  EXPECT_EQ(performSelector(nullptr, sel<"echo:">(), obj), nullptr);
}

TEST(Dispatch, RootClassMessages) {
  Class base = makeClass("DispatchRootBase");
  Class sub = makeClass("DispatchRootSub", base);
  addAnswer<1>(base, sel<"value">());
  Id obj = class_createInstance(sub);

  EXPECT_EQ(send<Class>(obj, sel<"class">()), sub);
  EXPECT_EQ(send<Class>(sub, sel<"class">()), sub) << "a class answers itself";
  EXPECT_EQ(send<Class>(obj, sel<"superclass">()), base);
  EXPECT_TRUE(obj->isKindOfClass(base));
  EXPECT_TRUE(obj->isKindOfClass(NSObject::class_()));
  EXPECT_FALSE(obj->isMemberOfClass(base));
  EXPECT_FALSE(class_createInstance(base)->isKindOfClass(sub));
  EXPECT_TRUE(send<bool>(sub, sel<"instancesRespondToSelector:">(), sel<"value">()));
  EXPECT_FALSE(send<bool>(sub, sel<"instancesRespondToSelector:">(), sel<"other">()));
  EXPECT_FALSE(send<bool>(sub, sel<"respondsToSelector:">(), sel<"value">())) << "the class itself has no +value";
  EXPECT_EQ(send<IMP>(sub, sel<"instanceMethodForSelector:">(), sel<"value">()), answerIMP<1>());
  EXPECT_EQ(send<IMP>(sub, sel<"instanceMethodForSelector:">(), sel<"other">()), forwardingIMP());
  EXPECT_EQ(send<IMP>(obj, sel<"methodForSelector:">(), sel<"value">()), answerIMP<1>());
  EXPECT_TRUE(send<bool>(sub, sel<"isSubclassOfClass:">(), base));
  Id made = send<Id>(sub, sel<"new">());
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(object_getClass(made), sub);
  EXPECT_EQ(send<Id>(made, sel<"self">()), made);
}

TEST(DispatchMemory, RebuildingACacheRetiresNothingOnlyGrowingDoes) {
  // Every new epoch once left the class's old cache behind for good.
  Class cls = makeClass("MemoryRebuiltCaches");
  addAnswer<1>(cls, sel<"rebuilt">());
  Id obj = class_createInstance(cls);
  ASSERT_EQ(ask(obj, sel<"rebuilt">()), 1);
  const detail::RetiredCaches before = detail::retiredMethodCaches();
  for (int i = 0; i < 10000; ++i) {
    detail::flushMethodCaches();
    ASSERT_EQ(ask(obj, sel<"rebuilt">()), 1);
  }
  EXPECT_EQ(detail::retiredMethodCaches().count, before.count);
  EXPECT_EQ(detail::retiredMethodCaches().bytes, before.bytes);

  // Growing retires one cache per doubling: 8 slots, then 16, 32 and 64 for
  // 25 selectors (a cache is at most half full).
  for (int i = 0; i < 24; ++i) EXPECT_FALSE(obj->respondsToSelector(sel_registerName("absent" + std::to_string(i))));
  EXPECT_EQ(detail::retiredMethodCaches().count, before.count + 3);
}

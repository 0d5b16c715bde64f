#include "orvel/OrvelHookTool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Foundation/NSString.h"

using objc::Class;
using objc::id;
using objc::IMP;
using objc::SEL;

namespace {

// Implementations tell apart what ran by their results. The replacement
// reaches the implementation it displaced by sending its own selector, the
// way a real interception does.
int64_t rawValue(id, SEL, int64_t x) { return x + 1; }
int64_t otherRawValue(id, SEL, int64_t x) { return x + 2; }
int64_t hookedValue(id self, SEL, int64_t x) {
  return 1000 + objc::send<int64_t>(self, objc::sel<"orvel_value:">(), x);
}
int64_t placeholderValue(id, SEL, int64_t) { return -1; }

SEL valueSel() { return objc::sel<"value:">(); }
SEL newSel() { return objc::sel<"orvel_value:">(); }
SEL placeholderSel() { return objc::sel<"p_orvel_value:">(); }

Class makeClass(const std::string& name, Class superclass = objc::NSObject::class_()) {
  Class cls = objc::objc_allocateClassPair(superclass, name, 0);
  EXPECT_NE(cls, nullptr) << name;
  objc::objc_registerClassPair(cls);
  return cls;
}

// The class that supplies the replacement, like the library's context.
Class makeTarget(const std::string& name) {
  Class target = makeClass(name);
  objc::addMethod(target, newSel(), &hookedValue);
  objc::addMethod(target, placeholderSel(), &placeholderValue);
  return target;
}

int64_t sendValue(Class cls, SEL sel, int64_t x = 10) {
  auto obj = objc::class_createInstance(cls);
  return objc::send<int64_t>(obj, sel, x);
}

unsigned int ownMethodCount(Class cls) {
  unsigned int count = 0;
  std::free(objc::class_copyMethodList(cls, &count));
  return count;
}

void hook(Class raw, Class target) {
  OrvelHookTool::hookRawClassRawSEL(raw, valueSel(), target, newSel(), placeholderSel());
}

}  // namespace

TEST(OrvelHookTool, HasMethodCountsOwnMethodsOnly) {
  Class base = makeClass("HookHasBase");
  objc::addMethod(base, valueSel(), &rawValue);
  Class sub = makeClass("HookHasSub", base);

  EXPECT_TRUE(OrvelHookTool::hasMethodWithClass(base, valueSel()));
  EXPECT_FALSE(OrvelHookTool::hasMethodWithClass(sub, valueSel())) << "an inherited method does not count";
  EXPECT_FALSE(OrvelHookTool::hasMethodWithClass(base, newSel()));
  EXPECT_FALSE(OrvelHookTool::hasMethodWithClass(nullptr, valueSel()));
  EXPECT_FALSE(OrvelHookTool::hasMethodWithClass(base, nullptr));
}

TEST(OrvelHookTool, IsARuntimeClassWithItsClassMethods) {
  Class tool = objc::NSClassFromString("OrvelHookTool");
  ASSERT_EQ(tool, OrvelHookTool::class_());
  Class base = makeClass("HookRuntimeBase");
  objc::addMethod(base, valueSel(), &rawValue);

  EXPECT_TRUE(objc::send<bool>(tool, objc::sel<"hasMethodWithClass:method:">(), base, valueSel()));
  EXPECT_FALSE(objc::send<bool>(tool, objc::sel<"hasMethodWithClass:method:">(), base, newSel()));

  Class target = makeTarget("HookRuntimeTarget");
  objc::send<void>(tool, objc::sel<"hookRawClass:rawSEL:targetClass:newSEL:placeHolderSEL:">(), base, valueSel(),
                   target, newSel(), placeholderSel());
  EXPECT_EQ(sendValue(base, valueSel()), 1011);
  EXPECT_TRUE(objc::send<bool>(tool, objc::sel<"respondsToSelector:">(),
                               objc::sel<"hookRawClass:classMethodSEL:targetClass:newClassMethodSEL:">()));
  EXPECT_THROW(objc::class_createInstance(tool), objc::Exception) << "the tool has no instances";
}

TEST(OrvelHookTool, ExchangesWhenTheRawClassDefinesTheSelector) {
  Class raw = makeClass("HookOwnRaw");
  objc::addMethod(raw, valueSel(), &rawValue);
  Class overriding = makeClass("HookOwnOverridingSub", raw);
  objc::addMethod(overriding, valueSel(), &otherRawValue);
  Class inheriting = makeClass("HookOwnInheritingSub", raw);
  Class target = makeTarget("HookOwnTarget");
  IMP targetNew = objc::class_getMethodImplementation(target, newSel());
  ASSERT_EQ(sendValue(raw, valueSel()), 11);  // fills the caches before the change

  hook(raw, target);

  EXPECT_EQ(sendValue(raw, valueSel()), 1011) << "the raw selector runs the new implementation, which reaches the old";
  EXPECT_EQ(sendValue(raw, newSel()), 11) << "the new selector runs the former implementation";
  EXPECT_EQ(sendValue(inheriting, valueSel()), 1011);
  EXPECT_EQ(sendValue(overriding, valueSel()), 12) << "a subclass with its own method keeps it";
  EXPECT_EQ(objc::class_getMethodImplementation(raw, valueSel()), targetNew);
  EXPECT_EQ(objc::method_getTypeEncoding(objc::class_getInstanceMethod(raw, newSel())),
            std::string(objc::method_getTypeEncoding(objc::class_getInstanceMethod(target, newSel()))));

  // The target is unchanged.
  EXPECT_FALSE(OrvelHookTool::hasMethodWithClass(target, valueSel()));
  EXPECT_EQ(objc::class_getMethodImplementation(target, newSel()), targetNew);

  // A second identical call changes nothing.
  IMP rawNow = objc::class_getMethodImplementation(raw, valueSel());
  IMP newNow = objc::class_getMethodImplementation(raw, newSel());
  unsigned int count = ownMethodCount(raw);
  hook(raw, target);
  EXPECT_EQ(objc::class_getMethodImplementation(raw, valueSel()), rawNow);
  EXPECT_EQ(objc::class_getMethodImplementation(raw, newSel()), newNow);
  EXPECT_EQ(ownMethodCount(raw), count);
  EXPECT_EQ(sendValue(raw, valueSel()), 1011);
}

TEST(OrvelHookTool, InheritedRawSelectorLeavesTheSuperclassUnchanged) {
  Class base = makeClass("HookInheritedBase");
  objc::addMethod(base, valueSel(), &rawValue);
  Class raw = makeClass("HookInheritedRaw", base);
  Class below = makeClass("HookInheritedBelow", raw);
  Class target = makeTarget("HookInheritedTarget");
  ASSERT_EQ(sendValue(raw, valueSel()), 11);
  unsigned int baseCount = ownMethodCount(base);

  hook(raw, target);

  EXPECT_EQ(sendValue(base, valueSel()), 11);
  EXPECT_EQ(ownMethodCount(base), baseCount);
  EXPECT_FALSE(objc::class_respondsToSelector(base, newSel()));
  EXPECT_TRUE(OrvelHookTool::hasMethodWithClass(raw, valueSel()));
  EXPECT_EQ(sendValue(raw, valueSel()), 1011);
  EXPECT_EQ(sendValue(raw, newSel()), 11);
  EXPECT_EQ(sendValue(below, valueSel()), 1011);
}

TEST(OrvelHookTool, MissingRawImplementationInstallsThePlaceholder) {
  Class raw = makeClass("HookMissingRaw");
  Class target = makeTarget("HookMissingTarget");
  ASSERT_FALSE(objc::class_respondsToSelector(raw, valueSel()));

  hook(raw, target);

  EXPECT_EQ(sendValue(raw, newSel()), -1) << "the new selector runs the placeholder";
  EXPECT_EQ(sendValue(raw, valueSel()), 999) << "the raw selector runs the new implementation";
}

TEST(OrvelHookTool, RawAlreadyRunningTheNewImplementationIsNotExchanged) {
  Class raw = makeClass("HookSameRaw");
  objc::addMethod(raw, valueSel(), &hookedValue);
  Class target = makeTarget("HookSameTarget");

  hook(raw, target);

  EXPECT_FALSE(OrvelHookTool::hasMethodWithClass(raw, newSel()));
  EXPECT_EQ(objc::class_getMethodImplementation(raw, valueSel()), reinterpret_cast<IMP>(&hookedValue));
}

TEST(OrvelHookTool, InheritedRawAlreadyRunningTheNewImplementationOnlyGainsItsOwnRecord) {
  Class base = makeClass("HookSameInheritedBase");
  objc::addMethod(base, valueSel(), &hookedValue);
  Class raw = makeClass("HookSameInheritedRaw", base);
  Class target = makeTarget("HookSameInheritedTarget");

  hook(raw, target);

  EXPECT_TRUE(OrvelHookTool::hasMethodWithClass(raw, valueSel()));
  EXPECT_FALSE(OrvelHookTool::hasMethodWithClass(raw, newSel()));
  EXPECT_EQ(objc::class_getMethodImplementation(raw, valueSel()), reinterpret_cast<IMP>(&hookedValue));
}

TEST(OrvelHookTool, NothingChangesWithoutARawClassOrTheTargetsMethods) {
  Class target = makeTarget("HookNothingTarget");
  hook(nullptr, target);  // no effect, no crash

  Class raw = makeClass("HookNothingRaw");
  objc::addMethod(raw, valueSel(), &rawValue);
  Class emptyTarget = makeClass("HookNothingEmptyTarget");
  hook(raw, emptyTarget);
  EXPECT_EQ(ownMethodCount(raw), 1u);
  EXPECT_EQ(sendValue(raw, valueSel()), 11);

  OrvelHookTool::hookRawClassRawSEL(raw, nullptr, target, newSel(), placeholderSel());
  EXPECT_EQ(ownMethodCount(raw), 1u);

  // Without a placeholder, a class that has no raw implementation stays as it is.
  Class bare = makeClass("HookNothingBare");
  Class noPlaceholder = makeClass("HookNothingNoPlaceholder");
  objc::addMethod(noPlaceholder, newSel(), &hookedValue);
  hook(bare, noPlaceholder);
  EXPECT_EQ(ownMethodCount(bare), 0u);
}

namespace {

int64_t rawMake(id, SEL, int64_t x) { return x + 1; }
int64_t targetMake(id, SEL, int64_t x) { return x + 2; }
int64_t superMake(id, SEL, int64_t x) { return x + 3; }

SEL makeSel() { return objc::sel<"make:">(); }
SEL orvelMakeSel() { return objc::sel<"orvel_make:">(); }

int64_t sendClass(Class cls, SEL sel) { return objc::send<int64_t>(cls, sel, int64_t{10}); }

}  // namespace

TEST(OrvelHookTool, ExchangesClassMethodsAcrossClasses) {
  Class raw = makeClass("HookClassRaw");
  objc::addMethod(raw->isa(), makeSel(), &rawMake);
  Class target = makeClass("HookClassTarget");
  objc::addMethod(target->isa(), orvelMakeSel(), &targetMake);
  ASSERT_EQ(sendClass(raw, makeSel()), 11);

  OrvelHookTool::hookRawClassClassMethodSEL(raw, makeSel(), target, orvelMakeSel());

  EXPECT_EQ(sendClass(raw, makeSel()), 12);
  EXPECT_EQ(sendClass(raw, orvelMakeSel()), 11);
  EXPECT_EQ(sendClass(target, orvelMakeSel()), 12) << "the target is unchanged";
  EXPECT_FALSE(objc::class_respondsToSelector(target->isa(), makeSel()));
}

TEST(OrvelHookTool, InheritedClassMethodChangesOnlyTheRawMetaclass) {
  Class base = makeClass("HookClassInheritedBase");
  objc::addMethod(base->isa(), makeSel(), &superMake);
  Class raw = makeClass("HookClassInheritedRaw", base);
  Class target = makeClass("HookClassInheritedTarget");
  objc::addMethod(target->isa(), orvelMakeSel(), &targetMake);

  OrvelHookTool::hookRawClassClassMethodSEL(raw, makeSel(), target, orvelMakeSel());

  EXPECT_EQ(sendClass(raw, makeSel()), 12);
  EXPECT_EQ(sendClass(raw, orvelMakeSel()), 13);
  EXPECT_EQ(sendClass(base, makeSel()), 13);
  EXPECT_FALSE(objc::class_respondsToSelector(base->isa(), orvelMakeSel()));
}

TEST(OrvelHookTool, ClassMethodMissingOnEitherSideChangesNothing) {
  Class raw = makeClass("HookClassMissingRaw");
  objc::addMethod(raw->isa(), makeSel(), &rawMake);
  Class target = makeClass("HookClassMissingTarget");
  Class targetWithMethod = makeClass("HookClassMissingFullTarget");
  objc::addMethod(targetWithMethod->isa(), orvelMakeSel(), &targetMake);
  Class rawWithout = makeClass("HookClassMissingBareRaw");

  OrvelHookTool::hookRawClassClassMethodSEL(raw, makeSel(), target, orvelMakeSel());
  OrvelHookTool::hookRawClassClassMethodSEL(rawWithout, makeSel(), targetWithMethod, orvelMakeSel());
  OrvelHookTool::hookRawClassClassMethodSEL(nullptr, makeSel(), targetWithMethod, orvelMakeSel());

  EXPECT_EQ(ownMethodCount(raw->isa()), 1u);
  EXPECT_EQ(sendClass(raw, makeSel()), 11);
  EXPECT_EQ(ownMethodCount(rawWithout->isa()), 0u);
  EXPECT_EQ(ownMethodCount(targetWithMethod->isa()), 1u);
  EXPECT_EQ(sendClass(targetWithMethod, orvelMakeSel()), 12);
}

namespace {

// The shape of the library's own use: a platform class whose setter is a C++
// member function, and a replacement written against plain objects because
// it runs with the platform object as receiver.
struct Centre : objc::NSObject {
  static Class class_() {
    static Class c = objc::ClassBuilder<Centre>("HookCentre").method<&Centre::setDelegate>("setDelegate:").build();
    return c;
  }
  void setDelegate(objc::NSObject* d) { delegate = d; }
  objc::Weak<objc::NSObject> delegate;
};

objc::NSObject* gInterceptor = nullptr;
objc::NSObject* gIntercepted = nullptr;

Class makeInterceptorClass() {
  Class cls = makeClass("HookInterceptor");
  objc::addMethod(
      cls, objc::sel<"orvelSetDelegate:">(), +[](id self, SEL, id requested) {
        gIntercepted = requested;
        objc::send<void>(self, objc::sel<"orvelSetDelegate:">(), gInterceptor);
      });
  objc::addMethod(
      cls, objc::sel<"p_orvelSetDelegate:">(), +[](id, SEL, id) {});
  return cls;
}

}  // namespace

TEST(OrvelHookTool, RoutesAPlatformSetterThroughAReplacementOfAnotherClass) {
  Class interceptorClass = makeInterceptorClass();
  auto interceptor = objc::class_createInstance(interceptorClass);
  auto hostDelegate = objc::class_createInstance(makeClass("HookHostDelegate"));
  gInterceptor = interceptor.get();

  OrvelHookTool::hookRawClassRawSEL(Centre::class_(), objc::sel<"setDelegate:">(), interceptorClass,
                                    objc::sel<"orvelSetDelegate:">(), objc::sel<"p_orvelSetDelegate:">());
  auto centre = objc::make<Centre>();
  objc::send<void>(centre, objc::sel<"setDelegate:">(), hostDelegate);

  EXPECT_EQ(gIntercepted, hostDelegate.get());
  EXPECT_EQ(centre->delegate.load(), interceptor) << "the platform's setter ran, with the replacement's object";
  EXPECT_STREQ(
      objc::method_getTypeEncoding(objc::class_getInstanceMethod(Centre::class_(), objc::sel<"setDelegate:">())),
      "v24@0:8@16");
}

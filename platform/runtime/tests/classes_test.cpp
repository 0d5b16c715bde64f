// Classes, metaclasses, class pairs, selectors and method records.
#include <gmock/gmock.h>

#include <algorithm>

#include "test_support.h"

using namespace objc;
using namespace objc::testing;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

TEST(ClassPairs, RegistrationMakesAClassFindableByName) {
  Class cls = objc_allocateClassPair(NSObject::class_(), "PairsFresh", 0);
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(NSClassFromString("PairsFresh"), nullptr) << "not usable before registration";
  EXPECT_EQ(objc_getClass("PairsFresh"), nullptr);

  objc_registerClassPair(cls);

  EXPECT_EQ(NSClassFromString("PairsFresh"), cls);
  EXPECT_EQ(objc_getClass("PairsFresh"), cls);
  EXPECT_EQ(objc_lookUpClass("PairsFresh"), cls);
  EXPECT_STREQ(class_getName(cls), "PairsFresh");
  EXPECT_EQ(class_getSuperclass(cls), NSObject::class_());
  EXPECT_EQ(NSClassFromString("PairsNeverMade"), nullptr);
  EXPECT_EQ(NSClassFromString("NSObject"), NSObject::class_());
}

TEST(ClassPairs, RefusesTakenNamesMetaclassesAndUnregisteredSuperclasses) {
  Class first = makeClass("PairsTaken");
  EXPECT_EQ(objc_allocateClassPair(NSObject::class_(), "PairsTaken", 0), nullptr);
  EXPECT_EQ(objc_allocateClassPair(NSObject::class_(), "NSObject", 0), nullptr);
  EXPECT_EQ(objc_allocateClassPair(NSObject::class_(), "", 0), nullptr);
  EXPECT_EQ(objc_allocateClassPair(first->isa(), "PairsFromMeta", 0), nullptr);

  Class pending = objc_allocateClassPair(first, "PairsPending", 0);
  ASSERT_NE(pending, nullptr);
  EXPECT_EQ(objc_allocateClassPair(pending, "PairsBelowPending", 0), nullptr);
  EXPECT_EQ(objc_allocateClassPair(NSObject::class_(), "PairsPending", 0), nullptr)
      << "an allocated name is taken even before registration";
  objc_registerClassPair(pending);
  EXPECT_NE(objc_allocateClassPair(pending, "PairsBelowPending", 0), nullptr);
  EXPECT_EQ(NSClassFromString("PairsTaken"), first);
}

TEST(ClassPairs, MetaclassesHoldClassMethods) {
  Class base = makeClass("PairsMetaBase");
  Class sub = makeClass("PairsMetaSub", base);
  Class meta = object_getClass(sub);

  EXPECT_TRUE(class_isMetaClass(meta));
  EXPECT_FALSE(class_isMetaClass(sub));
  EXPECT_FALSE(class_isMetaClass(nullptr));
  EXPECT_EQ(objc_getMetaClass("PairsMetaSub"), meta);
  EXPECT_EQ(objc_getMetaClass("PairsNoSuchClass"), nullptr);
  EXPECT_STREQ(class_getName(meta), "PairsMetaSub");
  EXPECT_EQ(class_getSuperclass(meta), object_getClass(base));
  EXPECT_EQ(class_getSuperclass(object_getClass(NSObject::class_())), NSObject::class_())
      << "the root metaclass inherits the root class's instance methods";

  addAnswer<4>(object_getClass(base), sel<"factory">());
  EXPECT_EQ(ask(sub, sel<"factory">()), 4) << "class methods are inherited";
  EXPECT_NE(class_getClassMethod(sub, sel<"factory">()), nullptr);
  EXPECT_EQ(class_getClassMethod(sub, sel<"factory">()), class_getClassMethod(meta, sel<"factory">()));
  EXPECT_EQ(class_getInstanceMethod(sub, sel<"factory">()), nullptr);
  EXPECT_EQ(class_getClassMethod(nullptr, sel<"factory">()), nullptr);
  EXPECT_EQ(class_getClassMethod(sub, sel<"nothing">()), nullptr);
}

TEST(ClassPairs, MethodsMayBeAddedAfterRegistration) {
  Class cls = makeClass("PairsLateMethods");
  Id obj = class_createInstance(cls);
  EXPECT_FALSE(obj->respondsToSelector(sel<"value">()));
  addAnswer<3>(cls, sel<"value">());
  EXPECT_EQ(ask(obj, sel<"value">()), 3);
}

TEST(ClassPairs, InstancesOfRuntimeOnlyClasses) {
  Class cls = makeClass("PairsRuntimeOnly");
  Id made = class_createInstance(cls);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(object_getClass(made), cls);
  EXPECT_STREQ(object_getClassName(made), "PairsRuntimeOnly");
  EXPECT_EQ(made->retainCount(), 1u);
  Id allocated = send<Id>(cls, sel<"alloc">());
  EXPECT_EQ(object_getClass(allocated), cls);
  EXPECT_EQ(class_createInstance(nullptr), nullptr);
  EXPECT_EQ(class_createInstance(object_getClass(cls)), nullptr) << "metaclasses have no instances";
}

TEST(ClassPairs, AvailabilityHidesAClassFromLookupsByName) {
  static bool available = false;
  Class cls = makeClass("PairsGated");
  class_setAvailability(cls, [] { return available; });
  EXPECT_EQ(NSClassFromString("PairsGated"), nullptr);
  EXPECT_EQ(objc_getMetaClass("PairsGated"), nullptr);
  available = true;
  EXPECT_EQ(NSClassFromString("PairsGated"), cls);
  EXPECT_EQ(objc_getMetaClass("PairsGated"), object_getClass(cls));
}

namespace {
std::vector<Class> gRegisteredLate;
void recordLateClass(Class cls) {
  gRegisteredLate.push_back(cls);
  addAnswer<7>(cls, sel<"addedOnRegistration">());
}
}  // namespace

TEST(ClassPairs, RegistrationHandlersRunOnceForTheirClass) {
  objc_whenClassRegistered("PairsLate", &recordLateClass);
  Class late = objc_allocateClassPair(NSObject::class_(), "PairsLate", 0);
  EXPECT_TRUE(gRegisteredLate.empty()) << "allocated is not registered";
  makeClass("PairsOther");
  objc_registerClassPair(late);
  objc_registerClassPair(late);
  EXPECT_THAT(gRegisteredLate, ElementsAre(late));
  EXPECT_EQ(ask(class_createInstance(late), sel<"addedOnRegistration">()), 7) << "the handler may change the class";

  // A class registered already: at once.
  objc_whenClassRegistered("PairsOther", &recordLateClass);
  EXPECT_THAT(gRegisteredLate, ElementsAre(late, objc_getClass("PairsOther")));
}

TEST(Selectors, InterningGivesOnePointerPerName) {
  SEL a = sel_registerName("selectors:interned:");
  EXPECT_EQ(NSSelectorFromString("selectors:interned:"), a);
  EXPECT_EQ((sel<"selectors:interned:">()), a);
  EXPECT_NE(sel_registerName("selectors:interned"), a);
  EXPECT_STREQ(sel_getName(a), "selectors:interned:");
  EXPECT_EQ(NSSelectorFromString(""), nullptr);
}

TEST(MethodLists, CopyMethodListHasOwnMethodsOnly) {
  Class base = makeClass("ListsBase");
  Class sub = makeClass("ListsSub", base);
  addAnswer<1>(base, sel<"inherited">());
  addAnswer<2>(sub, sel<"first">());
  addAnswer<3>(sub, sel<"second">());

  EXPECT_THAT(ownSelectorNames(sub), UnorderedElementsAre("first", "second"));
  EXPECT_THAT(ownSelectorNames(base), ElementsAre("inherited"));
  EXPECT_TRUE(ownSelectorNames(makeClass("ListsEmpty")).empty());

  unsigned int count = 7;
  EXPECT_EQ(class_copyMethodList(nullptr, &count), nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_NO_THROW(class_copyMethodList(nullptr, nullptr));

  // The list is the caller's: changing the class afterwards leaves it alone.
  Method* list = class_copyMethodList(sub, &count);
  ASSERT_EQ(count, 2u);
  addAnswer<4>(sub, sel<"third">());
  EXPECT_TRUE(method_getName(list[0]) == sel<"first">() || method_getName(list[0]) == sel<"second">());
  std::free(list);
}

TEST(MethodLists, MethodRecordsCarryNameImplementationAndEncoding) {
  Class cls = makeClass("ListsRecord");
  ASSERT_TRUE(class_addMethod(cls, sel<"value">(), answerIMP<1>(), "q16@0:8"));
  Method m = class_getInstanceMethod(cls, sel<"value">());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(method_getName(m), sel<"value">());
  EXPECT_EQ(method_getImplementation(m), answerIMP<1>());
  EXPECT_STREQ(method_getTypeEncoding(m), "q16@0:8");
  EXPECT_EQ(method_getName(nullptr), nullptr);
  EXPECT_EQ(method_getImplementation(nullptr), nullptr);
  EXPECT_EQ(method_getTypeEncoding(nullptr), nullptr);
  EXPECT_EQ(method_setImplementation(nullptr, answerIMP<2>()), nullptr);
  EXPECT_EQ(class_getInstanceMethod(cls, sel<"absent">()), nullptr);
  EXPECT_EQ(class_getInstanceMethod(nullptr, sel<"value">()), nullptr);
  EXPECT_FALSE(class_addMethod(nullptr, sel<"value">(), answerIMP<1>(), "q16@0:8"));
  EXPECT_FALSE(class_addMethod(cls, sel<"other">(), nullptr, "q16@0:8"));
}

TEST(MethodLists, GetMethodImplementationFallsBackToTheForwardingEntry) {
  Class base = makeClass("ListsImpBase");
  Class sub = makeClass("ListsImpSub", base);
  addAnswer<1>(base, sel<"value">());

  EXPECT_EQ(class_getMethodImplementation(sub, sel<"value">()), answerIMP<1>());
  IMP missing = class_getMethodImplementation(sub, sel<"nobodyAnswers">());
  EXPECT_NE(missing, nullptr);
  EXPECT_EQ(missing, forwardingIMP());
  EXPECT_FALSE(class_respondsToSelector(sub, sel<"nobodyAnswers">()));
}

TEST(MethodLists, ReplaceMethodSetsOrAddsTheClasssOwnRecord) {
  Class base = makeClass("ListsReplaceBase");
  Class sub = makeClass("ListsReplaceSub", base);
  ASSERT_TRUE(class_addMethod(base, sel<"value">(), answerIMP<1>(), "q16@0:8"));
  Method baseRecord = class_getInstanceMethod(base, sel<"value">());

  // Inherited only: the subclass gets a record of its own; the superclass keeps its.
  EXPECT_EQ(class_replaceMethod(sub, sel<"value">(), answerIMP<2>(), "q@:"), nullptr);
  EXPECT_THAT(ownSelectorNames(sub), ElementsAre("value"));
  EXPECT_STREQ(method_getTypeEncoding(class_getInstanceMethod(sub, sel<"value">())), "q@:");
  EXPECT_EQ(ask(class_createInstance(sub), sel<"value">()), 2);
  EXPECT_EQ(ask(class_createInstance(base), sel<"value">()), 1);

  // Own: the record stays, with its encoding; only the implementation changes.
  EXPECT_EQ(class_replaceMethod(base, sel<"value">(), answerIMP<3>(), "v@:"), answerIMP<1>());
  EXPECT_EQ(class_getInstanceMethod(base, sel<"value">()), baseRecord);
  EXPECT_STREQ(method_getTypeEncoding(baseRecord), "q16@0:8");
  EXPECT_EQ(ask(class_createInstance(base), sel<"value">()), 3);
}

TEST(MethodLists, ExchangeImplementations) {
  Class cls = makeClass("ListsExchange");
  addAnswer<1>(cls, sel<"left">());
  addAnswer<2>(cls, sel<"right">());
  Id obj = class_createInstance(cls);
  ASSERT_EQ(ask(obj, sel<"left">()), 1);

  method_exchangeImplementations(class_getInstanceMethod(cls, sel<"left">()),
                                 class_getInstanceMethod(cls, sel<"right">()));

  EXPECT_EQ(ask(obj, sel<"left">()), 2);
  EXPECT_EQ(ask(obj, sel<"right">()), 1);
}

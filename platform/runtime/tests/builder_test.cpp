// Classes built from C++ and blocks.
#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "test_support.h"

using namespace objc;
using namespace objc::testing;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct Item : NSObject {
  static Class class_();
  explicit Item(int64_t v = 0) : value(v) {}
  int64_t value;
};

struct Other : NSObject {
  static Class class_();
};

struct Shelf : NSObject {
  static Class class_();
  std::vector<Ref<Item>> items;
  int64_t classCalls = 0;

  void put(Item* item) { items.emplace_back(item); }
  void putRef(Ref<Item> item) { items.push_back(std::move(item)); }
  int64_t count() const { return static_cast<int64_t>(items.size()); }
  Ref<Item> first() const { return items.empty() ? nullptr : items.front(); }
  double half(int64_t n) noexcept { return static_cast<double>(n) / 2; }
  // Deliberately returns an object of the wrong C++ type for "strayItem".
  Ref<NSObject> stray() const;
};

struct LabelledShelf : Shelf {
  static Class class_();
  std::string label = "labelled";
};

Class Item::class_() {
  static Class c = ClassBuilder<Item>("BuilderItem").build();
  return c;
}
Class Other::class_() {
  static Class c = ClassBuilder<Other>("BuilderOther").build();
  return c;
}
Ref<NSObject> Shelf::stray() const { return make<Other>(); }

Class Shelf::class_() {
  static Class c = ClassBuilder<Shelf>("BuilderShelf")
                       .method<&Shelf::put>("put:")
                       .method<&Shelf::putRef>("putRef:")
                       .method<&Shelf::count>("count")
                       .method<&Shelf::first>("first")
                       .method<&Shelf::half>("half:")
                       .method<&Shelf::stray>("stray")
                       .method("countPlus:", [](Shelf* self, SEL, int64_t n) { return self->count() + n; })
                       .method("describe", [](id self, SEL) -> Id { return self; })
                       .classMethod("shelfWithItem:",
                                    [](Class, SEL, Item* item) -> Ref<Shelf> {
                                      auto shelf = make<Shelf>();
                                      shelf->put(item);
                                      return shelf;
                                    })
                       .conforms("BuilderStorage")
                       .build();
  return c;
}

Class LabelledShelf::class_() {
  static Class c = ClassBuilder<LabelledShelf, Shelf>("BuilderLabelledShelf")
                       .method("count", [](LabelledShelf* self, SEL) { return self->count() * 10; })
                       .method("label", [](LabelledShelf* self, SEL) { return self->label.size(); })
                       .build();
  return c;
}

}  // namespace

TEST(ClassBuilder, MemberFunctionsAndLambdasAnswerMessages) {
  auto shelf = make<Shelf>();
  auto item = make<Item>(7);
  send<void>(shelf, sel<"put:">(), item);
  send<void>(shelf, sel<"putRef:">(), item);

  EXPECT_EQ(send<int64_t>(shelf, sel<"count">()), 2);
  EXPECT_EQ(send<int64_t>(shelf, sel<"countPlus:">(), int64_t{3}), 5);
  EXPECT_EQ(send<Ref<Item>>(shelf, sel<"first">())->value, 7);
  EXPECT_EQ(send<double>(shelf, sel<"half:">(), int64_t{3}), 1.5);
  EXPECT_EQ(send<Id>(shelf, sel<"describe">()), shelf);
  EXPECT_EQ(item->retainCount(), 3u) << "results and arguments are counted, not leaked";
  send<void>(shelf, sel<"put:">(), nullptr);
  EXPECT_EQ(shelf->items.back(), nullptr) << "nil passes as a null argument";
}

TEST(ClassBuilder, EncodingsComeFromTheCppSignatures) {
  auto encoding = [](const char* name) {
    return std::string(method_getTypeEncoding(class_getInstanceMethod(Shelf::class_(), sel_registerName(name))));
  };
  EXPECT_EQ(encoding("put:"), "v24@0:8@16");
  EXPECT_EQ(encoding("count"), "q16@0:8");
  EXPECT_EQ(encoding("half:"), "d24@0:8q16");
  EXPECT_EQ(encoding("first"), "@16@0:8");
}

TEST(ClassBuilder, ClassMethodsProtocolsAndLookupByName) {
  Class built = Shelf::class_();  // classes built from C++ register on first use
  Class cls = NSClassFromString("BuilderShelf");
  ASSERT_EQ(cls, built);
  auto shelf = send<Ref<Shelf>>(cls, sel<"shelfWithItem:">(), make<Item>(1));
  ASSERT_NE(shelf, nullptr);
  EXPECT_EQ(object_getClass(shelf), cls);
  EXPECT_EQ(shelf->count(), 1);
  EXPECT_TRUE(shelf->conformsToProtocol(NSProtocolFromString("BuilderStorage")));
  Id fresh = send<Id>(cls, sel<"new">());
  EXPECT_NE(cast<Shelf>(fresh.get()), nullptr) << "alloc builds the class's C++ type";
}

TEST(ClassBuilder, WrongArgumentOrResultTypesRaise) {
  auto shelf = make<Shelf>();
  auto other = make<Other>();

  EXPECT_THAT(reasonOf([&] { send<void>(shelf, sel<"put:">(), other); }), HasSubstr("argument 1"));
  EXPECT_THROW(send<void>(shelf, sel<"putRef:">(), other), Exception);
  EXPECT_THROW(send<Ref<Shelf>>(NSClassFromString("BuilderShelf"), sel<"shelfWithItem:">(), other), Exception);
  EXPECT_TRUE(shelf->items.empty());
  EXPECT_THAT(reasonOf([&] { send<Ref<Item>>(shelf, sel<"stray">()); }), HasSubstr("BuilderOther"));
  EXPECT_NE(send<Id>(shelf, sel<"stray">()), nullptr) << "as a plain object the result is fine";
}

TEST(ClassBuilder, TypeErrorsNameTheMethodWhereItsClassDefinedItAndReadableTypes) {
  // A generated subclass keeps the host's implementation under a backup
  // selector; a type error found there is reported as the host wrote it.
  Class generated = objc_allocateClassPair(Shelf::class_(), "BuilderGeneratedShelf", 0);
  objc_registerClassPair(generated);
  class_addMethod(generated, sel<"backupPut:">(), class_getMethodImplementation(Shelf::class_(), sel<"put:">()),
                  "v24@0:8@16");
  Id shelf = class_createInstance(generated);
  auto other = make<Other>();

  std::string reason = reasonOf([&] { send<void>(shelf, sel<"backupPut:">(), other); });
  EXPECT_THAT(reason, HasSubstr("-[BuilderShelf put:]: argument 1 is an instance of BuilderOther"));
  EXPECT_THAT(reason, HasSubstr("C++ type (anonymous namespace)::Item"));
  EXPECT_THAT(reason, Not(HasSubstr("BuilderGeneratedShelf")));
  EXPECT_THAT(reasonOf([&] { send<Ref<Item>>(shelf, sel<"stray">()); }),
              HasSubstr("-[BuilderShelf stray]: returned an instance of BuilderOther where C++ type "
                        "(anonymous namespace)::Item was expected"));
}

TEST(ClassBuilder, RefusesAMethodWhoseArgumentsDoNotMatchItsSelector) {
  EXPECT_THAT(reasonOf([] { ClassBuilder<Shelf>("BuilderArityMember").method<&Shelf::put>("put:into:").build(); }),
              HasSubstr("cannot build class BuilderArityMember: selector put:into: takes 2 arguments but its "
                        "implementation takes 1"));
  EXPECT_THAT(
      reasonOf([] { ClassBuilder<Shelf>("BuilderArityLambda").method("count", [](id, SEL, int64_t) {}).build(); }),
      HasSubstr("selector count takes 0 arguments but its implementation takes 1"));
  EXPECT_THAT(
      reasonOf([] {
        ClassBuilder<Shelf>("BuilderArityClass").classMethod("make:", [](Class, SEL) -> Id { return nullptr; }).build();
      }),
      HasSubstr("selector make: takes 1 argument but its implementation takes 0"));
  EXPECT_EQ(objc_getClass("BuilderArityMember"), nullptr) << "nothing of a refused class is registered";
}

TEST(ClassBuilder, SubclassesInheritAndOverride) {
  auto labelled = make<LabelledShelf>();
  send<void>(labelled, sel<"put:">(), make<Item>(2));
  EXPECT_EQ(class_getSuperclass(LabelledShelf::class_()), Shelf::class_());
  EXPECT_EQ(send<int64_t>(labelled, sel<"count">()), 10);
  EXPECT_EQ(send<uint64_t>(labelled, sel<"label">()), 8u);
  EXPECT_EQ(send<int64_t>(labelled, sel<"countPlus:">(), int64_t{1}), 2) << "inherited thunks accept subclass storage";
  EXPECT_TRUE(labelled->isKindOfClass(Shelf::class_()));

  // Storage decides which classes an object may take on.
  auto plain = make<Shelf>();
  EXPECT_THROW(object_setClass(plain, LabelledShelf::class_()), Exception);
  object_setClass(labelled, Shelf::class_());
  EXPECT_EQ(send<int64_t>(labelled, sel<"count">()), 1);
}

TEST(ClassBuilder, BuildingATakenNameRaises) {
  Shelf::class_();
  EXPECT_THROW(ClassBuilder<Shelf>("BuilderShelf").build(), Exception);
  EXPECT_THROW(ClassBuilder<Item>("BuilderTwice").method("a", [](id, SEL) {}).method("a", [](id, SEL) {}).build(),
               Exception);
}

TEST(ClassBuilder, AnImplementationMovedToForeignStorageRaisesInsteadOfMisreading) {
  // Swizzling can move a member function's implementation into a class whose
  // instances are not of that member's C++ type.
  Class foreign = makeClass("BuilderForeign");
  IMP countIMP = class_getMethodImplementation(Shelf::class_(), sel<"count">());
  IMP lambdaIMP = class_getMethodImplementation(Shelf::class_(), sel<"countPlus:">());
  class_addMethod(foreign, sel<"count">(), countIMP, "q16@0:8");
  class_addMethod(foreign, sel<"countPlus:">(), lambdaIMP, "q24@0:8q16");
  Id obj = class_createInstance(foreign);

  EXPECT_THAT(reasonOf([&] { send<int64_t>(obj, sel<"count">()); }), HasSubstr("-[BuilderForeign count]"));
  EXPECT_THROW(send<int64_t>(obj, sel<"countPlus:">(), int64_t{1}), Exception);

  // Into a subclass (whose storage derives from the member's type) it works.
  Class below = makeClass("BuilderForeignBelowShelf", Shelf::class_());
  class_addMethod(below, sel<"tally">(), countIMP, "q16@0:8");
  Id shelf = class_createInstance(below);
  EXPECT_EQ(send<int64_t>(shelf, sel<"tally">()), 0);
  EXPECT_THROW(send<int64_t>(obj, sel<"count">()), Exception) << "the check does not remember a wrong class";
}

TEST(Blocks, AreObjectsCallableWithTheirSignature) {
  int64_t seen = 0;
  auto block = makeBlock<void(int64_t)>([&seen](int64_t n) { seen += n; });
  (*block)(4);
  callBlock(block.get(), int64_t{5});
  callBlock(static_cast<Block<void(int64_t)>*>(nullptr), int64_t{100});
  EXPECT_EQ(seen, 9);
  EXPECT_TRUE(block->isKindOfClass(NSBlock::class_()));
  EXPECT_EQ(block->copy(), block);

  Id asObject = block;
  EXPECT_NE(cast<Block<void(int64_t)>>(asObject.get()), nullptr);
  EXPECT_EQ(cast<Block<void(double)>>(asObject.get()), nullptr) << "another signature is another type";

  auto answer = makeBlock<Id(Id)>([](Id x) { return x; });
  EXPECT_EQ((*answer)(asObject), asObject);
}

TEST(Blocks, PassThroughSendsAndReleaseWhatTheyCapture) {
  Class cls = makeClass("BlocksRunner");
  addMethod(
      cls, sel<"run:">(), +[](id, SEL, id handler) {
        if (auto* block = cast<Block<void(int64_t)>>(handler)) (*block)(3);
      });
  Id runner = class_createInstance(cls);
  int64_t total = 0;
  Weak<NSObject> capturedWeakly;
  {
    Id captured = class_createInstance(cls);
    capturedWeakly = captured.get();
    auto block = makeBlock<void(int64_t)>([&total, captured](int64_t n) { total += n; });
    send<void>(runner, sel<"run:">(), block);
    send<void>(runner, sel<"run:">(), nullptr);
    std::vector<Id> stored{block, block};
    EXPECT_EQ(block->retainCount(), 3u);
  }
  EXPECT_EQ(total, 3);
  EXPECT_EQ(capturedWeakly.load(), nullptr) << "the block released its capture when it died";
}

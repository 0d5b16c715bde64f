// Strong and weak references.
#include <thread>

#include "test_support.h"

using namespace objc;

namespace {

// Counts its own destructions, so that tests see exactly when an object dies.
struct Mortal : NSObject {
  static Class class_() {
    static Class c = ClassBuilder<Mortal>("ReferencesMortal").build();
    return c;
  }
  explicit Mortal(int* deaths) : deaths(deaths) {}
  ~Mortal() override { ++*deaths; }
  int* deaths;
};

}  // namespace

TEST(References, StrongReferencesCountAndRelease) {
  int deaths = 0;
  {
    auto a = make<Mortal>(&deaths);
    EXPECT_EQ(a->retainCount(), 1u);
    {
      Ref<Mortal> b = a;
      Ref<NSObject> c = a;
      EXPECT_EQ(a->retainCount(), 3u);
      Ref<Mortal> moved = std::move(b);
      EXPECT_EQ(b, nullptr);
      EXPECT_EQ(a->retainCount(), 3u);
    }
    EXPECT_EQ(a->retainCount(), 1u);
    EXPECT_EQ(deaths, 0);
  }
  EXPECT_EQ(deaths, 1);
}

TEST(References, WeakReferenceReadsNullOnceTheObjectIsGone) {
  int deaths = 0;
  auto strong = make<Mortal>(&deaths);
  Weak<Mortal> weak(strong.get());
  Weak<Mortal> copy = weak;
  Weak<Mortal> viaRuntime;
  objc_storeWeak(&viaRuntime, strong.get());

  {
    Ref<Mortal> loaded = weak.load();
    EXPECT_EQ(loaded, strong);
    strong = nullptr;
    EXPECT_EQ(deaths, 0) << "a loaded weak reference keeps the object alive";
    EXPECT_EQ(copy.load(), loaded);
  }

  EXPECT_EQ(deaths, 1);
  EXPECT_EQ(weak.load(), nullptr);
  EXPECT_EQ(copy.load(), nullptr);
  EXPECT_EQ(objc_loadWeak(&viaRuntime), nullptr);
}

TEST(References, WeakReferenceCanBeReassignedAndCleared) {
  int deaths = 0;
  auto first = make<Mortal>(&deaths);
  auto second = make<Mortal>(&deaths);
  Weak<Mortal> weak(first.get());
  weak = second.get();
  EXPECT_EQ(weak.load(), second);
  first = nullptr;
  EXPECT_EQ(weak.load(), second);
  weak = nullptr;
  EXPECT_EQ(weak.load(), nullptr);
  EXPECT_EQ(second->retainCount(), 1u) << "a weak reference holds no count";
  { Weak<Mortal> outlived(second.get()); }
  second = nullptr;
  EXPECT_EQ(deaths, 2);
}

TEST(References, LastStrongReferenceDroppedOnAnotherThread) {
  int deaths = 0;
  auto strong = make<Mortal>(&deaths);
  Weak<Mortal> weak(strong.get());
  std::thread([last = std::move(strong)]() mutable { last = nullptr; }).join();
  EXPECT_EQ(weak.load(), nullptr);
  EXPECT_EQ(deaths, 1);
}

TEST(References, ImmortalObjectsIgnoreCounting) {
  Class cls = NSObject::class_();
  uint32_t before = cls->retainCount();
  { Ref<NSObject> r(cls); }
  EXPECT_EQ(cls->retainCount(), before);
  Weak<NSObject> weak(cls);
  EXPECT_EQ(weak.load().get(), cls);
}

#include <cstdio>
#include <mutex>
#include <thread>

#include "objc/runtime.h"

namespace objc {

class ClassAccess {
 public:
  static void setIsa(NSObject* obj, Class cls) { obj->isa_.store(cls, std::memory_order_release); }
};

// ---- reference counting and weak references ----

NSObject::~NSObject() = default;

bool NSObject::tryRetain() const noexcept {
  uint32_t n = rc_.load(std::memory_order_relaxed);
  do {
    if (n == 0) return false;
    if (n >= kImmortal) return true;
  } while (!rc_.compare_exchange_weak(n, n + 1, std::memory_order_acquire, std::memory_order_relaxed));
  return true;
}

void NSObject::dispose() const noexcept {
  if (detail::WeakCell* cell = weak_.load(std::memory_order_acquire)) {
    cell->clear();
    cell->unref();
  }
  delete this;
}

namespace detail {

void setIsa(NSObject* obj, Class cls) { ClassAccess::setIsa(obj, cls); }

namespace {
class SpinGuard {
 public:
  explicit SpinGuard(std::atomic_flag& f) : f_(f) {
    while (f_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  ~SpinGuard() { f_.clear(std::memory_order_release); }

 private:
  std::atomic_flag& f_;
};

// Weak slots are guarded by striped locks, so that a load can take a
// reference on a slot's cell before a concurrent store drops it.
std::atomic_flag gSlotLocks[64];

std::atomic_flag& slotLock(const void* slot) {
  return gSlotLocks[(reinterpret_cast<uintptr_t>(slot) >> 4) % 64];
}
}  // namespace

WeakCell* WeakCell::of(const NSObject* obj) {
  WeakCell* cell = obj->weak_.load(std::memory_order_acquire);
  if (cell) return cell;
  auto* fresh = new WeakCell;
  fresh->target = obj;
  if (obj->weak_.compare_exchange_strong(cell, fresh, std::memory_order_acq_rel)) return fresh;
  delete fresh;
  return cell;
}

const NSObject* WeakCell::loadRetained() noexcept {
  SpinGuard g(lock);
  const NSObject* t = target;
  if (t && !t->tryRetain()) t = nullptr;
  return t;
}

void WeakCell::clear() noexcept {
  SpinGuard g(lock);
  target = nullptr;
}

void weakStore(std::atomic<WeakCell*>& slot, const NSObject* obj) {
  WeakCell* cell = nullptr;
  if (obj) {
    cell = WeakCell::of(obj);
    cell->ref();
  }
  WeakCell* old;
  {
    SpinGuard g(slotLock(&slot));
    old = slot.exchange(cell, std::memory_order_acq_rel);
  }
  if (old) old->unref();
}

const NSObject* weakLoadRetained(const std::atomic<WeakCell*>& slot) {
  WeakCell* cell;
  {
    SpinGuard g(slotLock(&slot));
    cell = slot.load(std::memory_order_acquire);
    if (cell) cell->ref();
  }
  if (!cell) return nullptr;
  const NSObject* t = cell->loadRetained();
  cell->unref();
  return t;
}

void weakDestroy(std::atomic<WeakCell*>& slot) {
  WeakCell* old;
  {
    SpinGuard g(slotLock(&slot));
    old = slot.exchange(nullptr, std::memory_order_acq_rel);
  }
  if (old) old->unref();
}

}  // namespace detail

// ---- value semantics ----

bool NSObject::isEqual(const NSObject* other) const { return this == other; }

size_t NSObject::hash() const { return reinterpret_cast<uintptr_t>(this) >> 4; }

std::string NSObject::description() const {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", static_cast<const void*>(this));
  return std::string("<") + class_getName(isa()) + ": " + buf + ">";
}

Ref<NSObject> NSObject::copy() const {
  throw Exception(kInvalidArgumentException,
                  std::string("-[") + class_getName(isa()) + " copyWithZone:]: instances of this class cannot be copied");
}

bool NSObject::respondsToSelector(SEL s) const {
  return send<bool>(const_cast<NSObject*>(this), sel<"respondsToSelector:">(), s);
}
bool NSObject::isKindOfClass(Class cls) const {
  return send<bool>(const_cast<NSObject*>(this), sel<"isKindOfClass:">(), cls);
}
bool NSObject::isMemberOfClass(Class cls) const {
  return send<bool>(const_cast<NSObject*>(this), sel<"isMemberOfClass:">(), cls);
}
bool NSObject::conformsToProtocol(Protocol proto) const {
  return send<bool>(const_cast<NSObject*>(this), sel<"conformsToProtocol:">(), proto);
}
Class NSObject::getClass() const { return send<Class>(const_cast<NSObject*>(this), sel<"class">()); }

// ---- the root class ----

namespace {

bool chainConforms(Class cls, Protocol proto) {
  for (Class c = cls; c; c = class_getSuperclass(c))
    if (class_conformsToProtocol(c, proto)) return true;
  return false;
}

bool isSubclass(Class cls, Class of) {
  for (Class c = cls; c; c = class_getSuperclass(c))
    if (c == of) return true;
  return false;
}

Class createRootClass() {
  Class root = objc_allocateClassPair(nullptr, "NSObject", 0);
  root->allocator = &detail::allocate<NSObject>;
  root->storageCheck = [](const NSObject*) { return true; };
  root->storageType = &typeid(NSObject);
  Class meta = root->meta;

  detail::addFunction(root, "init", [](id self, SEL) -> Id { return self; });
  detail::addFunction(root, "self", [](id self, SEL) -> Id { return self; });
  detail::addFunction(root, "class", [](id self, SEL) -> Class { return object_getClass(self); });
  detail::addFunction(root, "superclass",
                      [](id self, SEL) -> Class { return class_getSuperclass(object_getClass(self)); });
  detail::addFunction(root, "isKindOfClass:",
                      [](id self, SEL, Class cls) { return isSubclass(object_getClass(self), cls); });
  detail::addFunction(root, "isMemberOfClass:", [](id self, SEL, Class cls) { return object_getClass(self) == cls; });
  detail::addFunction(root, "respondsToSelector:",
                      [](id self, SEL, SEL s) { return class_respondsToSelector(object_getClass(self), s); });
  detail::addFunction(root, "conformsToProtocol:",
                      [](id self, SEL, Protocol p) { return chainConforms(object_getClass(self), p); });
  detail::addFunction(root, "isEqual:", [](id self, SEL, id other) { return self->isEqual(other); });
  detail::addFunction(root, "hash", [](id self, SEL) -> uint64_t { return self->hash(); });
  detail::addFunction(root, "copy", [](id self, SEL) -> Id { return self->copy(); });
  detail::addFunction(root, "methodForSelector:",
                      [](id self, SEL, SEL s) { return class_getMethodImplementation(object_getClass(self), s); });
  detail::addFunction(root, "performSelector:withObject:",
                      [](id self, SEL, SEL s, id o) { return performSelector(self, s, o); });

  detail::addFunction(meta, "alloc", [](Class cls, SEL) { return class_createInstance(cls); });
  detail::addFunction(meta, "new", [](Class cls, SEL) -> Id {
    Id obj = class_createInstance(cls);
    return obj ? send<Id>(obj, sel<"init">()) : nullptr;
  });
  detail::addFunction(meta, "class", [](Class cls, SEL) { return cls; });
  detail::addFunction(meta, "conformsToProtocol:", [](Class cls, SEL, Protocol p) { return chainConforms(cls, p); });
  detail::addFunction(meta, "isSubclassOfClass:", [](Class cls, SEL, Class of) { return isSubclass(cls, of); });
  detail::addFunction(meta, "instancesRespondToSelector:",
                      [](Class cls, SEL, SEL s) { return class_respondsToSelector(cls, s); });
  detail::addFunction(meta, "instanceMethodForSelector:",
                      [](Class cls, SEL, SEL s) { return class_getMethodImplementation(cls, s); });

  objc_registerClassPair(root);
  return root;
}

}  // namespace

Class NSObject::class_() {
  static Class c = createRootClass();
  return c;
}

// ---- blocks ----

Class NSBlock::class_() {
  static Class c = ClassBuilder<NSBlock>("NSBlock").build();
  return c;
}

Ref<NSObject> NSBlock::copy() const { return Ref<NSObject>(const_cast<NSBlock*>(this)); }

namespace {
// Registers the run-time's own classes when the library is loaded, so that
// lookups by name find them before anything has used them.
struct RegisterRuntimeClasses {
  RegisterRuntimeClasses() {
    NSObject::class_();
    NSBlock::class_();
  }
} gRegisterRuntimeClasses;
}  // namespace

}  // namespace objc

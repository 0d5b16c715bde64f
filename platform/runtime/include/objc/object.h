// Core object model: the root object, strong and weak references, and the
// exception type that run-time diagnostics are raised with.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace objc {

struct objc_class;
struct objc_selector;
struct objc_method;
struct objc_protocol;

using Class = objc_class*;
using SEL = const objc_selector*;
using Method = objc_method*;
using Protocol = objc_protocol*;
// An implementation is a plain function whose first two parameters are the
// receiver and the selector. It is stored type-erased and called through the
// exact function type that its type encoding describes.
using IMP = void (*)();

class NSObject;
using id = NSObject*;

template <class T>
class Ref;

namespace detail {
struct WeakCell;
}  // namespace detail

// Raised for run-time diagnostics (unrecognised selector, signature mismatch)
// and by platform code that "raises" the way the real system does.
class Exception : public std::runtime_error {
 public:
  Exception(std::string name, std::string reason)
      : std::runtime_error(name + ": " + reason), name_(std::move(name)), reason_(std::move(reason)) {}
  const std::string& name() const noexcept { return name_; }
  const std::string& reason() const noexcept { return reason_; }

 private:
  std::string name_;
  std::string reason_;
};

inline constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";

// The root of every run-time object. The C++ type of an object fixes its
// storage; its run-time class (isa) fixes how it answers messages.
class NSObject {
 public:
  NSObject() noexcept = default;
  virtual ~NSObject();
  NSObject(const NSObject&) = delete;
  NSObject& operator=(const NSObject&) = delete;

  // The root run-time class "NSObject".
  static Class class_();

  void retain() const noexcept {
    if (rc_.load(std::memory_order_relaxed) >= kImmortal) return;
    rc_.fetch_add(1, std::memory_order_relaxed);
  }
  void release() const noexcept {
    if (rc_.load(std::memory_order_relaxed) >= kImmortal) return;
    if (rc_.fetch_sub(1, std::memory_order_acq_rel) == 1) dispose();
  }
  // Retains unless the object is already being destroyed.
  bool tryRetain() const noexcept;
  uint32_t retainCount() const noexcept { return rc_.load(std::memory_order_relaxed); }
  // Objects that live for the whole process (classes, shared constants).
  void makeImmortal() noexcept { rc_.store(kImmortal, std::memory_order_relaxed); }

  Class isa() const noexcept { return isa_.load(std::memory_order_acquire); }

  // Value semantics that Foundation classes override.
  virtual bool isEqual(const NSObject* other) const;
  virtual size_t hash() const;
  virtual std::string description() const;
  // NSCopying: immutable values return themselves, mutable ones an immutable
  // copy. Objects that cannot be copied raise.
  virtual Ref<NSObject> copy() const;

  // Convenience wrappers; each sends the message of the same name, so a
  // replaced implementation is honoured.
  bool respondsToSelector(SEL sel) const;
  bool isKindOfClass(Class cls) const;
  bool isMemberOfClass(Class cls) const;
  bool conformsToProtocol(Protocol proto) const;
  Class getClass() const;

 private:
  friend Class object_setClass(id obj, Class cls);
  friend struct detail::WeakCell;
  template <class T, class... A>
  friend Ref<T> make(A&&... args);
  friend class ClassAccess;

  static constexpr uint32_t kImmortal = 0x40000000u;
  void dispose() const noexcept;

  std::atomic<Class> isa_{nullptr};
  mutable std::atomic<uint32_t> rc_{1};
  mutable std::atomic<detail::WeakCell*> weak_{nullptr};
};

// Strong reference with automatic counting.
template <class T>
class Ref {
 public:
  using element_type = T;
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(T* p) noexcept : p_(p) {
    if (p_) p_->retain();
  }
  Ref(const Ref& o) noexcept : Ref(o.p_) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ref(const Ref<U>& o) noexcept : Ref(static_cast<T*>(o.get())) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ref(Ref<U>&& o) noexcept : p_(o.detach()) {}
  ~Ref() {
    if (p_) p_->release();
  }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Takes over a reference that the caller already owns.
  static Ref adopt(T* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  T* detach() noexcept { return std::exchange(p_, nullptr); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  operator T*() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

template <class T, class U>
bool operator==(const Ref<T>& a, const Ref<U>& b) noexcept {
  return static_cast<const void*>(a.get()) == static_cast<const void*>(b.get());
}

namespace detail {

// Shared between an object and the weak references to it. The object clears
// `target` under the lock before it is destroyed, and a weak load retains the
// target under the same lock only while its count is above zero, so a weak
// reference can never produce a dying object.
struct WeakCell {
  std::atomic_flag lock = ATOMIC_FLAG_INIT;
  const NSObject* target = nullptr;
  std::atomic<uint32_t> refs{1};

  static WeakCell* of(const NSObject* obj);
  void ref() noexcept { refs.fetch_add(1, std::memory_order_relaxed); }
  void unref() noexcept {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  const NSObject* loadRetained() noexcept;
  void clear() noexcept;
};

// Weak slot operations; a slot may be stored and loaded from several threads.
void weakStore(std::atomic<WeakCell*>& slot, const NSObject* obj);
const NSObject* weakLoadRetained(const std::atomic<WeakCell*>& slot);
void weakDestroy(std::atomic<WeakCell*>& slot);

}  // namespace detail

// Weak reference: reads as null once its object is gone. Storing and loading
// the same reference from several threads is safe.
template <class T>
class Weak {
 public:
  Weak() noexcept = default;
  Weak(T* p) { store(p); }
  Weak(const Weak& o) { store(o.load().get()); }
  Weak& operator=(const Weak& o) {
    if (this != &o) store(o.load().get());
    return *this;
  }
  Weak& operator=(T* p) {
    store(p);
    return *this;
  }
  ~Weak() { detail::weakDestroy(slot_); }

  void store(T* p) { detail::weakStore(slot_, p); }
  Ref<T> load() const {
    auto* p = const_cast<NSObject*>(detail::weakLoadRetained(slot_));
    return Ref<T>::adopt(static_cast<T*>(p));
  }

 private:
  std::atomic<detail::WeakCell*> slot_{nullptr};
};

// The run-time's own names for the weak operations.
template <class T>
void objc_storeWeak(Weak<T>* location, T* obj) {
  location->store(obj);
}
template <class T>
Ref<T> objc_loadWeak(const Weak<T>* location) {
  return location->load();
}

}  // namespace objc

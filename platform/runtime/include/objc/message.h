// Typed, checked message sends.
//
//   objc::send<void>(app, objc::sel<"setDelegate:">(), delegate);
//   auto n = objc::send<int64_t>(app, objc::sel<"applicationIconBadgeNumber">());
//   auto s = objc::send<objc::Ref<NSString>>(content, objc::sel<"title">());
//
// The caller's signature (from the C++ types of the result and arguments) is
// compared with the method's type encoding before the implementation is
// called; a mismatch or an unrecognised selector raises objc::Exception with
// the class and selector named. A send to nil does nothing and yields a zero
// value.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <string_view>
#include <type_traits>
#include <typeinfo>

#include "objc/api.h"
#include "objc/encoding.h"

namespace objc {

// A selector interned once per use site: objc::sel<"application:didReceiveRemoteNotification:">().
template <size_t N>
struct FixedString {
  char text[N]{};
  constexpr FixedString(const char (&s)[N]) { std::copy_n(s, N, text); }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

namespace detail {
// Constant-initialised, so reading it needs no static-initialisation guard.
// Interning is idempotent: threads racing to fill it store the same value.
template <FixedString Name>
constinit std::atomic<SEL> gInternedSelector{nullptr};
}  // namespace detail

template <FixedString Name>
SEL sel() {
  SEL s = detail::gInternedSelector<Name>.load(std::memory_order_acquire);
  if (s == nullptr) [[unlikely]] {
    s = sel_registerName(Name.view());
    detail::gInternedSelector<Name>.store(s, std::memory_order_release);
  }
  return s;
}

using Id = Ref<NSObject>;

// Checked conversion between object types: null when `obj` is not of C++
// type T. An object of exactly T (the common case: a dictionary looked up
// as a dictionary) is answered from its type alone, without the walk
// through the class hierarchy that dynamic_cast makes.
template <class T>
T* cast(NSObject* obj) {
  if constexpr (std::is_same_v<T, NSObject>) {
    return obj;
  } else {
    if (obj && typeid(*obj) == typeid(T)) return static_cast<T*>(obj);
    return dynamic_cast<T*>(obj);
  }
}
template <class T, class U>
Ref<T> cast(const Ref<U>& obj) {
  return Ref<T>(cast<T>(static_cast<NSObject*>(obj.get())));
}

namespace detail {

template <class A>
Canon<A> toCanon(A&& a) {
  using B = Bare<A>;
  if constexpr (IsRef<B>::value) {
    return static_cast<NSObject*>(a.get());
  } else if constexpr (std::is_same_v<B, std::nullptr_t>) {
    return static_cast<NSObject*>(nullptr);
  } else if constexpr (isObjectPointer<B>()) {
    return static_cast<NSObject*>(a);
  } else {
    return static_cast<Canon<A>>(a);
  }
}

template <class R>
R fromCanonResult(Ref<NSObject>&& r, id receiver, SEL sel, IMP imp) {
  using T = typename IsRef<R>::element;
  if constexpr (std::is_same_v<T, NSObject>) {
    return std::move(r);
  } else {
    if (!r) return R();
    T* t = cast<T>(r.get());
    if (!t) throwBadResult(receiver, sel, imp, typeid(T), r.get());
    r.detach();
    return R::adopt(t);
  }
}

}  // namespace detail

template <class R = void, class... A>
inline R send(id receiver, SEL sel, A&&... args) {
  static_assert(!detail::isObjectPointer<R>() || std::is_same_v<R, Class> || std::is_same_v<R, Protocol>,
                "an object result is an owned reference: send<objc::Ref<T>>, not send<T*>");
  if (receiver == nullptr) {
    if constexpr (std::is_void_v<R>) {
      return;
    } else {
      return R{};
    }
  }
  Method m = detail::lookUpMethod(receiver->isa(), sel);
  constexpr uint64_t expected = detail::signatureHash<R, A...>();
  if (m->signature != expected) [[unlikely]] {
    if (m == detail::noMethod()) detail::throwUnrecognized(receiver, sel);
    detail::throwSignatureMismatch(receiver, sel, m, detail::normalizedSignature<R, A...>());
  }
  IMP imp = m->imp.load(std::memory_order_acquire);
  if (imp == forwardingIMP()) [[unlikely]]
    detail::throwUnrecognized(receiver, sel);
  using Fn = typename detail::CanonRet<R>::type (*)(NSObject*, SEL, detail::Canon<A>...);
  Fn fn = reinterpret_cast<Fn>(imp);
  if constexpr (std::is_void_v<R>) {
    fn(receiver, sel, detail::toCanon<A>(std::forward<A>(args))...);
  } else if constexpr (std::is_same_v<R, Class> || std::is_same_v<R, Protocol>) {
    // Classes and protocols live for the whole process.
    using T = std::remove_pointer_t<R>;
    auto r = fn(receiver, sel, detail::toCanon<A>(std::forward<A>(args))...);
    return detail::fromCanonResult<Ref<T>>(std::move(r), receiver, sel, imp).get();
  } else if constexpr (detail::IsRef<R>::value) {
    return detail::fromCanonResult<R>(fn(receiver, sel, detail::toCanon<A>(std::forward<A>(args))...), receiver, sel,
                                      imp);
  } else {
    return static_cast<R>(fn(receiver, sel, detail::toCanon<A>(std::forward<A>(args))...));
  }
}

template <class R = void, class T, class... A>
inline R send(const Ref<T>& receiver, SEL sel, A&&... args) {
  return send<R>(static_cast<NSObject*>(receiver.get()), sel, std::forward<A>(args)...);
}

// `performSelector:withObject:`-style generic call: a method taking one
// object and returning an object or nothing.
Id performSelector(id receiver, SEL sel, id object);

}  // namespace objc

// Building run-time classes from C++.
//
//   struct HostDelegate : objc::NSObject {
//     static objc::Class class_();
//     void didRegister(UIApplication* app, NSData* token);
//   };
//   objc::Class HostDelegate::class_() {
//     static objc::Class c = objc::ClassBuilder<HostDelegate>("HostDelegate")
//         .conforms("UIApplicationDelegate")
//         .method<&HostDelegate::didRegister>("application:didRegisterForRemoteNotificationsWithDeviceToken:")
//         .build();
//     return c;
//   }
//   auto delegate = objc::make<HostDelegate>();
//
// Member functions take only the message's arguments. Plain functions and
// captureless lambdas follow the implementation convention
// (receiver, selector, arguments...); their receiver parameter is either the
// class's C++ type or `objc::id`. Type encodings are derived from the C++
// signatures.
#pragma once

#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "objc/block.h"
#include "objc/message.h"

namespace objc {

namespace detail {

// `imp` is the implementation converting its argument, for the diagnostic.
template <class P>
Bare<P> fromCanon(Canon<P> v, id receiver, SEL sel, IMP imp, int index) {
  using B = Bare<P>;
  if constexpr (IsRef<B>::value) {
    using T = typename IsRef<B>::element;
    T* t = cast<T>(v);
    if (v && !t) throwBadArgument(receiver, sel, imp, index, typeid(T), v);
    return B(t);
  } else if constexpr (isObjectPointer<B>()) {
    using T = std::remove_cv_t<std::remove_pointer_t<B>>;
    T* t = cast<T>(v);
    if (v && !t) throwBadArgument(receiver, sel, imp, index, typeid(T), v);
    return t;
  } else {
    return static_cast<B>(v);
  }
}

// The last class whose instances were found to have C++ storage T.
template <class T>
constinit std::atomic<Class> gReceiverClassOf{nullptr};

template <class T>
[[gnu::noinline]] T* receiverAsSlow(NSObject* self, SEL sel, IMP imp, Class cls) {
  if (classHasStorage(cls, typeid(T))) {
    gReceiverClassOf<T>.store(cls, std::memory_order_relaxed);
    return static_cast<T*>(self);
  }
  if (T* t = dynamic_cast<T*>(self)) return t;
  throwBadReceiver(self, sel, imp, typeid(T));
}

// The receiver as the C++ type an implementation was written for. An
// implementation can be moved to a class of another storage type (by
// method_setImplementation or class_addMethod with an IMP taken elsewhere);
// reaching it with such a receiver raises instead of reinterpreting the
// object. Whether a class's instances have storage T is a property of the
// class, so the common case is one compare with the last class checked.
template <class T>
T* receiverAs(NSObject* self, SEL sel, IMP imp) {
  if constexpr (std::is_same_v<T, NSObject>) {
    return self;
  } else {
    Class cls = self->isa();
    if (cls == gReceiverClassOf<T>.load(std::memory_order_relaxed)) [[likely]]
      return static_cast<T*>(self);
    return receiverAsSlow<T>(self, sel, imp, cls);
  }
}

template <class R, class V>
typename CanonRet<R>::type toCanonResult(V&& v) {
  if constexpr (isObjectLike<R>()) {
    using B = Bare<R>;
    if constexpr (IsRef<B>::value) {
      return Ref<NSObject>(std::forward<V>(v));
    } else {
      return Ref<NSObject>(static_cast<NSObject*>(v));
    }
  } else {
    return static_cast<typename CanonRet<R>::type>(v);
  }
}

template <class M>
struct MemberTraits;
#define OBJC_MEMBER_TRAITS(QUAL)             \
  template <class C, class R, class... A>    \
  struct MemberTraits<R (C::*)(A...) QUAL> { \
    using Owner = C;                         \
    using Ret = R;                           \
    using Args = std::tuple<A...>;           \
  };
OBJC_MEMBER_TRAITS()
OBJC_MEMBER_TRAITS(const)
OBJC_MEMBER_TRAITS(noexcept)
OBJC_MEMBER_TRAITS(const noexcept)
#undef OBJC_MEMBER_TRAITS

template <class F>
struct FunctionTraits : FunctionTraits<decltype(&F::operator())> {};
template <class R, class... A>
struct FunctionTraits<R (*)(A...)> {
  using Ret = R;
  using Args = std::tuple<A...>;
};
template <class R, class... A>
struct FunctionTraits<R (*)(A...) noexcept> : FunctionTraits<R (*)(A...)> {};
template <class L, class R, class... A>
struct FunctionTraits<R (L::*)(A...) const> : FunctionTraits<R (*)(A...)> {};
template <class L, class R, class... A>
struct FunctionTraits<R (L::*)(A...) const noexcept> : FunctionTraits<R (*)(A...)> {};

template <class T, auto MF, class R, class ArgTuple, class Idx>
struct MemberThunk;
template <class T, auto MF, class R, class... A, size_t... I>
struct MemberThunk<T, MF, R, std::tuple<A...>, std::index_sequence<I...>> {
  static typename CanonRet<R>::type call(NSObject* self, SEL sel, Canon<A>... a) {
    IMP imp = reinterpret_cast<IMP>(&call);
    T* obj = receiverAs<T>(self, sel, imp);
    if constexpr (std::is_void_v<R>) {
      (obj->*MF)(fromCanon<A>(a, self, sel, imp, static_cast<int>(I))...);
    } else {
      return toCanonResult<R>((obj->*MF)(fromCanon<A>(a, self, sel, imp, static_cast<int>(I))...));
    }
  }
  static std::string encoding() { return fullEncoding<R, A...>(); }
};

// Functions in the implementation convention: (Self*, SEL, A...).
template <class F, class R, class ArgTuple, class Idx>
struct FunctionThunk;
template <class F, class R, class Self, class... A, size_t... I>
struct FunctionThunk<F, R, std::tuple<Self, SEL, A...>, std::index_sequence<0, 1, I...>> {
  using SelfT = std::remove_cv_t<std::remove_pointer_t<Self>>;
  static_assert(std::is_pointer_v<Self>, "the receiver parameter is a pointer");
  static typename CanonRet<R>::type call(NSObject* self, SEL sel, Canon<A>... a) {
    IMP imp = reinterpret_cast<IMP>(&call);
    SelfT* obj = receiverAs<SelfT>(self, sel, imp);
    if constexpr (std::is_void_v<R>) {
      F{}(obj, sel, fromCanon<A>(a, self, sel, imp, static_cast<int>(I - 2))...);
    } else {
      return toCanonResult<R>(F{}(obj, sel, fromCanon<A>(a, self, sel, imp, static_cast<int>(I - 2))...));
    }
  }
  static std::string encoding() { return fullEncoding<R, A...>(); }
};

struct BuiltMethod {
  std::string selector;
  IMP imp;
  std::string types;
  size_t arguments;  // the message's arguments, receiver and selector not counted
};

template <class F>
BuiltMethod functionThunk(std::string_view selector) {
  static_assert(std::is_empty_v<F> && std::is_default_constructible_v<F>,
                "implementations are captureless lambdas or function object types");
  using Tr = FunctionTraits<F>;
  using Thunk = FunctionThunk<F, typename Tr::Ret, typename Tr::Args,
                              std::make_index_sequence<std::tuple_size_v<typename Tr::Args>>>;
  return {std::string(selector), reinterpret_cast<IMP>(&Thunk::call), Thunk::encoding(),
          std::tuple_size_v<typename Tr::Args> - 2};
}

// Adds a captureless lambda in the implementation convention to a class.
template <class F>
bool addFunction(Class cls, std::string_view selector, F) {
  BuiltMethod m = functionThunk<F>(selector);
  return class_addMethod(cls, sel_registerName(m.selector), m.imp, m.types.c_str());
}

Class buildClass(std::string_view name, Class superclass, const std::type_info& superStorage, Allocator alloc,
                 StorageCheck check, const std::type_info& storage, const std::vector<BuiltMethod>& methods,
                 const std::vector<BuiltMethod>& classMethods, const std::vector<std::string>& protocols);

[[noreturn]] void throwUnconstructible(const std::type_info& type);

template <class T>
NSObject* allocate() {
  if constexpr (std::is_default_constructible_v<T>) {
    return new T();
  } else {
    throwUnconstructible(typeid(T));
  }
}

}  // namespace detail

// Creates an object of C++ type T with the run-time class T::class_().
template <class T, class... A>
Ref<T> make(A&&... args) {
  T* obj = new T(std::forward<A>(args)...);
  static_cast<NSObject*>(obj)->isa_.store(T::class_(), std::memory_order_release);
  return Ref<T>::adopt(obj);
}

template <class Sig, class F>
BlockRef<Sig> makeBlock(F&& fn) {
  return make<Block<Sig>>(std::function<Sig>(std::forward<F>(fn)));
}

// T is the C++ type of the class's instances; Super is the C++ type of the
// superclass's instances (T derives from it). When no superclass is given it
// is Super::class_().
template <class T, class Super = NSObject>
class ClassBuilder {
  static_assert(std::is_base_of_v<Super, T>, "the instance type derives from the superclass's type");

 public:
  explicit ClassBuilder(std::string_view name, Class superclass = nullptr)
      : name_(name), superclass_(superclass ? superclass : Super::class_()) {}

  template <auto MF>
  ClassBuilder& method(std::string_view selector) {
    using Tr = detail::MemberTraits<decltype(MF)>;
    static_assert(std::is_base_of_v<typename Tr::Owner, T>, "a member function of the class or a base");
    using Thunk = detail::MemberThunk<T, MF, typename Tr::Ret, typename Tr::Args,
                                      std::make_index_sequence<std::tuple_size_v<typename Tr::Args>>>;
    methods_.push_back({std::string(selector), reinterpret_cast<IMP>(&Thunk::call), Thunk::encoding(),
                        std::tuple_size_v<typename Tr::Args>});
    return *this;
  }

  // A captureless lambda or a function object type in the implementation
  // convention: (T* or id self, SEL _cmd, arguments...).
  template <class F>
  ClassBuilder& method(std::string_view selector, F) {
    methods_.push_back(thunkFor<F>(selector));
    return *this;
  }

  // Class-level method: (Class cls, SEL _cmd, arguments...).
  template <class F>
  ClassBuilder& classMethod(std::string_view selector, F) {
    classMethods_.push_back(thunkFor<F>(selector));
    return *this;
  }

  ClassBuilder& conforms(std::string_view protocol) {
    protocols_.emplace_back(protocol);
    return *this;
  }

  // Creates and registers the class; raises when the name is taken, a
  // selector is given twice, or a method takes another number of arguments
  // than its selector has colons.
  Class build() {
    return detail::buildClass(
        name_, superclass_, typeid(Super), &detail::allocate<T>,
        [](const NSObject* o) { return dynamic_cast<const T*>(o) != nullptr; }, typeid(T), methods_, classMethods_,
        protocols_);
  }

 private:
  template <class F>
  static detail::BuiltMethod thunkFor(std::string_view selector) {
    return detail::functionThunk<F>(selector);
  }

  std::string name_;
  Class superclass_;
  std::vector<detail::BuiltMethod> methods_;
  std::vector<detail::BuiltMethod> classMethods_;
  std::vector<std::string> protocols_;
};

// Adds a function that already has the canonical implementation signature
// (objects as objc::id, an object result as objc::Id), with its encoding
// derived from the function type.
template <class R, class... A>
bool addMethod(Class cls, SEL sel, R (*fn)(id, SEL, A...)) {
  static_assert((std::is_same_v<A, detail::Canon<A>> && ...), "parameters are canonical types");
  static_assert(std::is_same_v<R, typename detail::CanonRet<R>::type>, "the result is a canonical type");
  return class_addMethod(cls, sel, reinterpret_cast<IMP>(fn), detail::fullEncoding<R, A...>().c_str());
}

}  // namespace objc

// Type encodings. Every C++ type that may appear in a method signature maps
// to one canonical C++ type (the type the implementation is really called
// with) and one encoding code. Signatures are compared in their normalised
// form (codes only: no offsets, qualifiers or class names), through a hash
// that the caller side computes at compile time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "objc/object.h"

namespace objc {

class NSBlock;

namespace detail {

template <class T>
struct IsRef : std::false_type {};
template <class T>
struct IsRef<Ref<T>> : std::true_type {
  using element = T;
};

template <class T>
using Bare = std::remove_cv_t<std::remove_reference_t<T>>;

template <class T>
constexpr bool isObjectPointer() {
  using B = Bare<T>;
  if constexpr (std::is_pointer_v<B>) {
    using P = std::remove_cv_t<std::remove_pointer_t<B>>;
    if constexpr (std::is_same_v<P, objc_class> || std::is_same_v<P, objc_protocol>) {
      return true;
    } else if constexpr (std::is_same_v<P, objc_selector> || std::is_same_v<P, objc_method> ||
                         !std::is_class_v<P>) {
      return false;
    } else {
      return std::is_base_of_v<NSObject, P>;
    }
  } else {
    return false;
  }
}

template <class T>
constexpr bool isObjectLike() {
  using B = Bare<T>;
  return isObjectPointer<B>() || IsRef<B>::value || std::is_same_v<B, std::nullptr_t>;
}

template <class T>
constexpr bool isBlockLike() {
  using B = Bare<T>;
  if constexpr (IsRef<B>::value) {
    return std::is_base_of_v<NSBlock, typename IsRef<B>::element>;
  } else if constexpr (isObjectPointer<B>()) {
    return std::is_base_of_v<NSBlock, std::remove_cv_t<std::remove_pointer_t<B>>>;
  } else {
    return false;
  }
}

template <class T>
constexpr bool isClassLike() {
  using B = Bare<T>;
  return std::is_same_v<B, Class>;
}

// The canonical parameter type an implementation receives for T.
template <class T, class = void>
struct CanonArg;

template <class T>
struct CanonArg<T, std::enable_if_t<isObjectLike<T>()>> {
  using type = NSObject*;
  static constexpr char code = '@';
};
template <>
struct CanonArg<SEL> {
  using type = SEL;
  static constexpr char code = ':';
};
template <>
struct CanonArg<IMP> {
  using type = IMP;
  static constexpr char code = '^';
};
template <>
struct CanonArg<bool> {
  using type = bool;
  static constexpr char code = 'B';
};
template <>
struct CanonArg<char> {
  using type = char;
  static constexpr char code = 'c';
};
template <>
struct CanonArg<signed char> {
  using type = signed char;
  static constexpr char code = 'c';
};
template <>
struct CanonArg<unsigned char> {
  using type = unsigned char;
  static constexpr char code = 'C';
};
template <>
struct CanonArg<short> {
  using type = short;
  static constexpr char code = 's';
};
template <>
struct CanonArg<unsigned short> {
  using type = unsigned short;
  static constexpr char code = 'S';
};
template <>
struct CanonArg<int> {
  using type = int;
  static constexpr char code = 'i';
};
template <>
struct CanonArg<unsigned int> {
  using type = unsigned int;
  static constexpr char code = 'I';
};
template <>
struct CanonArg<long> {
  using type = int64_t;
  static constexpr char code = 'q';
};
template <>
struct CanonArg<long long> {
  using type = int64_t;
  static constexpr char code = 'q';
};
template <>
struct CanonArg<unsigned long> {
  using type = uint64_t;
  static constexpr char code = 'Q';
};
template <>
struct CanonArg<unsigned long long> {
  using type = uint64_t;
  static constexpr char code = 'Q';
};
template <>
struct CanonArg<float> {
  using type = float;
  static constexpr char code = 'f';
};
template <>
struct CanonArg<double> {
  using type = double;
  static constexpr char code = 'd';
};
template <>
struct CanonArg<const char*> {
  using type = const char*;
  static constexpr char code = '*';
};
template <>
struct CanonArg<void*> {
  using type = void*;
  static constexpr char code = '^';
};
template <>
struct CanonArg<const void*> {
  using type = const void*;
  static constexpr char code = '^';
};
template <class T>
struct CanonArg<T, std::enable_if_t<std::is_enum_v<T>>> : CanonArg<std::underlying_type_t<T>> {};
template <class T>
struct CanonArg<T, std::enable_if_t<!std::is_same_v<T, Bare<T>> && !isObjectLike<T>()>>
    : CanonArg<Bare<T>> {};

template <class T>
using Canon = typename CanonArg<T>::type;

// Return types: objects come back as an owned reference.
template <class R, class = void>
struct CanonRet {
  using type = Canon<R>;
  static constexpr char code = CanonArg<R>::code;
};
template <>
struct CanonRet<void> {
  using type = void;
  static constexpr char code = 'v';
};
template <class R>
struct CanonRet<R, std::enable_if_t<isObjectLike<R>()>> {
  using type = Ref<NSObject>;
  static constexpr char code = '@';
};

constexpr uint64_t kFnvOffset = 1469598103934665603ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;
constexpr uint64_t fnv(uint64_t h, char c) { return (h ^ static_cast<unsigned char>(c)) * kFnvPrime; }

// Hash of the normalised signature "R@:A...".
template <class R, class... A>
constexpr uint64_t signatureHash() {
  uint64_t h = kFnvOffset;
  h = fnv(h, CanonRet<R>::code);
  h = fnv(h, '@');
  h = fnv(h, ':');
  ((h = fnv(h, CanonArg<A>::code)), ...);
  return h;
}

template <class R, class... A>
std::string normalizedSignature() {
  std::string s;
  s += CanonRet<R>::code;
  s += "@:";
  ((s += CanonArg<A>::code), ...);
  return s;
}

// Full encoding with frame offsets, in the style "v24@0:8@16".
template <class T>
constexpr const char* fullCode() {
  if constexpr (std::is_void_v<T>) {
    return "v";
  } else if constexpr (isBlockLike<T>()) {
    return "@?";
  } else if constexpr (isClassLike<T>()) {
    return "#";
  } else if constexpr (std::is_same_v<Bare<T>, IMP>) {
    return "^?";
  } else if constexpr (std::is_same_v<Canon<T>, void*> || std::is_same_v<Canon<T>, const void*>) {
    return "^v";
  } else {
    switch (CanonArg<T>::code) {
      case '@': return "@";
      case ':': return ":";
      case 'B': return "B";
      case 'c': return "c";
      case 'C': return "C";
      case 's': return "s";
      case 'S': return "S";
      case 'i': return "i";
      case 'I': return "I";
      case 'q': return "q";
      case 'Q': return "Q";
      case 'f': return "f";
      case 'd': return "d";
      case '*': return "*";
      default: return "?";
    }
  }
}

template <class T>
constexpr size_t frameSize() {
  if constexpr (std::is_void_v<T>) {
    return 0;
  } else {
    size_t s = sizeof(Canon<T>);
    return s < sizeof(int) ? sizeof(int) : s;
  }
}

template <class R, class... A>
std::string fullEncoding() {
  std::string args;
  size_t offset = 0;
  auto add = [&](const char* code, size_t size) {
    args += code;
    args += std::to_string(offset);
    offset += size;
  };
  add("@", sizeof(void*));
  add(":", sizeof(void*));
  (add(fullCode<A>(), frameSize<A>()), ...);
  // Appended in place: GCC 12 at -O3 reports a false -Wrestrict overlap for
  // the equivalent chain of operator+ on temporaries.
  std::string encoding = fullCode<R>();
  encoding += std::to_string(offset);
  encoding += args;
  return encoding;
}

}  // namespace detail

// Normalises an encoding to its codes: "v24@0:8@16" and "v@:@" both give
// "v@:@"; "@?" (block), "#" (class) and "@\"NSString\"" read as "@"; any
// pointer reads as "^".
std::string normalizeEncoding(std::string_view types);
uint64_t encodingHash(std::string_view types);

}  // namespace objc

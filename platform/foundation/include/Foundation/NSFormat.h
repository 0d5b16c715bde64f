// Type-safe printf-style formatting with %@ for objects. Each argument is
// captured with its type, so a conversion never reads the wrong type: a
// conversion that does not fit its argument prints the argument as it is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "objc/object.h"

namespace objc {

struct FormatArg {
  enum class Kind { Signed, Unsigned, Double, CString, Object, Pointer } kind;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
  const char* s = nullptr;
  const NSObject* o = nullptr;
  const void* p = nullptr;
  // Width in bytes of an integer argument, so that %x and %u show a negative
  // value the way its own type holds it (-1 as an int reads ffffffff).
  uint8_t size = 8;
};

template <class T>
FormatArg makeFormatArg(const T& v) {
  FormatArg a{};
  using B = std::remove_cv_t<T>;
  if constexpr (std::is_same_v<B, bool>) {
    a.kind = FormatArg::Kind::Signed;
    a.i = v ? 1 : 0;
  } else if constexpr (std::is_enum_v<B>) {
    a.kind = FormatArg::Kind::Signed;
    a.i = static_cast<int64_t>(v);
    a.size = sizeof(B);
  } else if constexpr (std::is_integral_v<B> && std::is_signed_v<B>) {
    a.kind = FormatArg::Kind::Signed;
    a.i = v;
    a.size = sizeof(B);
  } else if constexpr (std::is_integral_v<B>) {
    a.kind = FormatArg::Kind::Unsigned;
    a.u = v;
    a.size = sizeof(B);
  } else if constexpr (std::is_floating_point_v<B>) {
    a.kind = FormatArg::Kind::Double;
    a.d = static_cast<double>(v);
  } else if constexpr (std::is_same_v<B, std::string> || std::is_same_v<B, std::string_view>) {
    static_assert(!std::is_same_v<B, std::string_view>, "pass a NUL-terminated text");
    a.kind = FormatArg::Kind::CString;
    a.s = v.c_str();
  } else if constexpr (std::is_convertible_v<B, const char*>) {
    a.kind = FormatArg::Kind::CString;
    a.s = v;
  } else if constexpr (std::is_convertible_v<B, const NSObject*>) {
    a.kind = FormatArg::Kind::Object;
    a.o = static_cast<const NSObject*>(v);
  } else if constexpr (std::is_same_v<B, std::nullptr_t>) {
    a.kind = FormatArg::Kind::Object;
  } else {
    static_assert(std::is_pointer_v<B>, "unsupported format argument");
    a.kind = FormatArg::Kind::Pointer;
    a.p = v;
  }
  return a;
}

std::string formatArgs(std::string_view format, const std::vector<FormatArg>& args);

template <class... A>
std::string format(std::string_view fmt, const A&... args) {
  return formatArgs(fmt, {makeFormatArg(args)...});
}

}  // namespace objc

// Strings: UTF-8 inside, immutable with a mutable variant.
#pragma once

#include <string>
#include <string_view>

#include "Foundation/NSFormat.h"
#include "objc/runtime.h"

namespace objc {

class NSArray;

class NSString : public NSObject {
 public:
  static Class class_();
  NSString() = default;
  explicit NSString(std::string text) : text_(std::move(text)) {}

  static Ref<NSString> string(std::string_view utf8);
  // printf-style, with %@ for objects (their description; nil reads "(null)").
  template <class... A>
  static Ref<NSString> stringWithFormat(std::string_view format, const A&... args) {
    return string(objc::format(format, args...));
  }

  const std::string& utf8() const { return text_; }
  const char* UTF8String() const { return text_.c_str(); }
  // Length in UTF-16 code units, as the platform counts it.
  uint64_t length() const;
  bool isEqualToString(const NSString* other) const;
  bool hasPrefix(std::string_view prefix) const;
  bool hasSuffix(std::string_view suffix) const;

  // The text after the last "." of the last path component; empty when the
  // component has none. A query that follows the file name is part of it.
  Ref<NSString> pathExtension() const;
  Ref<NSString> lastPathComponent() const;
  Ref<NSString> stringByAppendingString(const NSString* other) const;
  Ref<NSArray> componentsSeparatedByString(const NSString* separator) const;
  Ref<NSArray> componentsSeparatedByString(std::string_view separator) const;

  // The platform's conversions: leading white space, an optional sign, then
  // decimal digits up to the first other character; 0 without digits.
  int64_t integerValue() const;
  int32_t intValue() const;
  double doubleValue() const;
  // True when, after white space, an optional sign and leading zeros, the
  // text begins with Y, y, T, t or a digit 1-9.
  bool boolValue() const;

  bool isEqual(const NSObject* other) const override;
  size_t hash() const override;
  std::string description() const override { return text_; }
  Ref<NSObject> copy() const override;
  Ref<NSObject> mutableCopy() const;

 protected:
  std::string text_;
};

class NSMutableString final : public NSString {
 public:
  static Class class_();
  NSMutableString() = default;
  explicit NSMutableString(std::string text) : NSString(std::move(text)) {}
  static Ref<NSMutableString> string(std::string_view utf8 = {});

  void appendString(const NSString* other);
  void append(std::string_view utf8) { text_ += utf8; }
  void setString(std::string_view utf8) { text_ = std::string(utf8); }
  Ref<NSObject> copy() const override;
};

// A new immutable string.
inline Ref<NSString> str(std::string_view utf8) { return NSString::string(utf8); }

// A string constant that lives for the whole process: objc::lit<"aps">().
template <FixedString Text>
NSString* lit() {
  static NSString* s = [] {
    NSString* p = NSString::string(Text.view()).detach();
    p->makeImmortal();
    return p;
  }();
  return s;
}

// Reads a value as a string when it is one.
inline NSString* asString(NSObject* obj) { return cast<NSString>(obj); }

// The name lookups that take and give strings.
inline SEL NSSelectorFromString(const NSString* name) {
  return name ? objc::NSSelectorFromString(name->utf8()) : nullptr;
}
inline Class NSClassFromString(const NSString* name) { return name ? objc::NSClassFromString(name->utf8()) : nullptr; }
inline Protocol NSProtocolFromString(const NSString* name) {
  return name ? objc::NSProtocolFromString(name->utf8()) : nullptr;
}
Ref<NSString> NSStringFromClass(Class cls);
Ref<NSString> NSStringFromSelector(SEL sel);

}  // namespace objc

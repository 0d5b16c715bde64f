#include "Foundation/NSString.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <functional>

#include "Foundation/NSArray.h"

namespace objc {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Leading white space, an optional sign, then digits; saturates on overflow.
int64_t parseInteger(const std::string& s, int64_t lo, int64_t hi) {
  size_t i = 0;
  while (i < s.size() && isSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  __int128 v = 0;
  bool saturated = false;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (!saturated) {
      v = v * 10 + (s[i] - '0');
      if (v > static_cast<__int128>(hi) + 1) saturated = true;
    }
  }
  if (negative) v = -v;
  if (saturated) return negative ? lo : hi;
  if (v > hi) return hi;
  if (v < lo) return lo;
  return static_cast<int64_t>(v);
}

}  // namespace

Class NSString::class_() {
  static Class c = ClassBuilder<NSString>("NSString")
                       .method<&NSString::length>("length")
                       .method<&NSString::isEqualToString>("isEqualToString:")
                       .method<&NSString::integerValue>("integerValue")
                       .method<&NSString::intValue>("intValue")
                       .method<&NSString::boolValue>("boolValue")
                       .method<&NSString::doubleValue>("doubleValue")
                       .method<&NSString::pathExtension>("pathExtension")
                       .method<&NSString::lastPathComponent>("lastPathComponent")
                       .method<&NSString::stringByAppendingString>("stringByAppendingString:")
                       .method<&NSString::mutableCopy>("mutableCopy")
                       .method("UTF8String", [](NSString* self, SEL) { return self->UTF8String(); })
                       .build();
  return c;
}

Ref<NSString> NSString::string(std::string_view utf8) { return make<NSString>(std::string(utf8)); }

uint64_t NSString::length() const {
  uint64_t n = 0;
  for (size_t i = 0; i < text_.size();) {
    auto c = static_cast<unsigned char>(text_[i]);
    size_t width = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
    if (i + width > text_.size()) width = 1;
    n += width == 4 ? 2 : 1;  // characters outside the basic plane take a surrogate pair
    i += width;
  }
  return n;
}

bool NSString::isEqualToString(const NSString* other) const { return other && other->text_ == text_; }
bool NSString::hasPrefix(std::string_view p) const { return std::string_view(text_).substr(0, p.size()) == p; }
bool NSString::hasSuffix(std::string_view s) const {
  return text_.size() >= s.size() && std::string_view(text_).substr(text_.size() - s.size()) == s;
}

Ref<NSString> NSString::lastPathComponent() const {
  std::string_view v = text_;
  while (v.size() > 1 && v.back() == '/') v.remove_suffix(1);
  if (v == "/") return string("/");
  size_t slash = v.rfind('/');
  return string(slash == std::string_view::npos ? v : v.substr(slash + 1));
}

Ref<NSString> NSString::pathExtension() const {
  std::string component = lastPathComponent()->utf8();
  size_t dot = component.rfind('.');
  if (dot == std::string::npos) return string("");
  return string(std::string_view(component).substr(dot + 1));
}

Ref<NSString> NSString::stringByAppendingString(const NSString* other) const {
  return string(text_ + (other ? other->text_ : std::string()));
}

Ref<NSArray> NSString::componentsSeparatedByString(const NSString* separator) const {
  return componentsSeparatedByString(separator ? std::string_view(separator->text_) : std::string_view());
}

Ref<NSArray> NSString::componentsSeparatedByString(std::string_view separator) const {
  std::vector<Id> parts;
  if (separator.empty()) {
    parts.push_back(string(text_));
  } else {
    size_t start = 0;
    for (;;) {
      size_t at = text_.find(separator, start);
      if (at == std::string::npos) {
        parts.push_back(string(std::string_view(text_).substr(start)));
        break;
      }
      parts.push_back(string(std::string_view(text_).substr(start, at - start)));
      start = at + separator.size();
    }
  }
  return make<NSArray>(std::move(parts));
}

int64_t NSString::integerValue() const { return parseInteger(text_, INT64_MIN, INT64_MAX); }
int32_t NSString::intValue() const { return static_cast<int32_t>(parseInteger(text_, INT32_MIN, INT32_MAX)); }

double NSString::doubleValue() const {
  const char* p = text_.c_str();
  char* end = nullptr;
  double v = std::strtod(p, &end);
  return end == p ? 0.0 : v;
}

bool NSString::boolValue() const {
  size_t i = 0;
  while (i < text_.size() && isSpace(text_[i])) ++i;
  if (i < text_.size() && (text_[i] == '+' || text_[i] == '-')) ++i;
  while (i < text_.size() && text_[i] == '0') ++i;
  if (i >= text_.size()) return false;
  char c = text_[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

bool NSString::isEqual(const NSObject* other) const {
  auto* s = dynamic_cast<const NSString*>(other);
  return s && s->text_ == text_;
}

size_t NSString::hash() const { return std::hash<std::string_view>{}(text_); }

Ref<NSObject> NSString::copy() const { return Ref<NSObject>(const_cast<NSString*>(this)); }

Ref<NSObject> NSString::mutableCopy() const { return make<NSMutableString>(text_); }

Class NSMutableString::class_() {
  static Class c = ClassBuilder<NSMutableString, NSString>("NSMutableString")
                       .method<&NSMutableString::appendString>("appendString:")
                       .build();
  return c;
}

Ref<NSMutableString> NSMutableString::string(std::string_view utf8) { return make<NSMutableString>(std::string(utf8)); }

void NSMutableString::appendString(const NSString* other) {
  if (other) text_ += other->utf8();
}

Ref<NSObject> NSMutableString::copy() const { return NSString::string(text_); }

Ref<NSString> NSStringFromClass(Class cls) { return cls ? str(class_getName(cls)) : nullptr; }
Ref<NSString> NSStringFromSelector(SEL sel) { return sel ? str(sel_getName(sel)) : nullptr; }

}  // namespace objc

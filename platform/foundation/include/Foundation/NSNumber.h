// Numbers that keep what they hold, and the null object.
#pragma once

#include <cstdint>

#include "objc/runtime.h"

namespace objc {

class NSNumber final : public NSObject {
 public:
  enum class Kind { Bool, Signed, Unsigned, Double };
  static Class class_();
  NSNumber() = default;

  static Ref<NSNumber> numberWithBool(bool v);
  static Ref<NSNumber> numberWithInt(int32_t v);
  static Ref<NSNumber> numberWithInteger(int64_t v);
  static Ref<NSNumber> numberWithLongLong(int64_t v) { return numberWithInteger(v); }
  static Ref<NSNumber> numberWithUnsignedInteger(uint64_t v);
  static Ref<NSNumber> numberWithUnsignedLongLong(uint64_t v) { return numberWithUnsignedInteger(v); }
  static Ref<NSNumber> numberWithDouble(double v);

  Kind kind() const { return kind_; }
  bool boolValue() const;
  int32_t intValue() const;
  int64_t integerValue() const;
  int64_t longLongValue() const { return integerValue(); }
  uint64_t unsignedIntegerValue() const;
  uint64_t unsignedLongLongValue() const { return unsignedIntegerValue(); }
  double doubleValue() const;

  // Numbers compare by value across kinds: 1, 1u, 1.0 and true are equal.
  bool isEqual(const NSObject* other) const override;
  size_t hash() const override;
  std::string description() const override;
  Ref<NSObject> copy() const override;

 private:
  Kind kind_ = Kind::Signed;
  int64_t i_ = 0;
  uint64_t u_ = 0;
  double d_ = 0;
};

// Reads a value as a number when it is one.
inline NSNumber* asNumber(NSObject* obj) { return cast<NSNumber>(obj); }

class NSNull final : public NSObject {
 public:
  static Class class_();
  static NSNull* null();
  std::string description() const override { return "<null>"; }
  Ref<NSObject> copy() const override;
};

}  // namespace objc

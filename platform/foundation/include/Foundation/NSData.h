// Byte buffers.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "objc/runtime.h"

namespace objc {

class NSData : public NSObject {
 public:
  static Class class_();
  NSData() = default;
  explicit NSData(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  static Ref<NSData> dataWithBytes(const void* bytes, size_t length);
  static Ref<NSData> dataWithBytes(std::vector<uint8_t> bytes);
  static Ref<NSData> dataWithUTF8(std::string_view text);

  const uint8_t* bytes() const { return bytes_.data(); }
  uint64_t length() const { return bytes_.size(); }
  const std::vector<uint8_t>& vector() const { return bytes_; }

  bool isEqual(const NSObject* other) const override;
  size_t hash() const override;
  // "<01ab ff00>": hexadecimal, in groups of four bytes.
  std::string description() const override;
  Ref<NSObject> copy() const override;

 protected:
  std::vector<uint8_t> bytes_;
};

class NSMutableData final : public NSData {
 public:
  static Class class_();
  NSMutableData() = default;
  void appendBytes(const void* bytes, size_t length);
  Ref<NSObject> copy() const override;
};

}  // namespace objc

// Errors: a domain, a code and a user-info dictionary.
#pragma once

#include <cstdint>

#include "Foundation/NSDictionary.h"
#include "Foundation/NSString.h"

namespace objc {

class NSError final : public NSObject {
 public:
  static Class class_();
  NSError() = default;

  static Ref<NSError> errorWithDomain(NSString* domain, int64_t code, NSDictionary* userInfo);
  static Ref<NSError> errorWithDomain(std::string_view domain, int64_t code, NSDictionary* userInfo = nullptr);

  NSString* domain() const { return domain_.get(); }
  int64_t code() const { return code_; }
  NSDictionary* userInfo() const { return userInfo_.get(); }
  // The user info's "NSLocalizedDescription", else a generic text.
  Ref<NSString> localizedDescription() const;

  bool isEqual(const NSObject* other) const override;
  // Error Domain=D Code=N "description" UserInfo={...}
  std::string description() const override;
  Ref<NSObject> copy() const override;

 private:
  Ref<NSString> domain_;
  int64_t code_ = 0;
  Ref<NSDictionary> userInfo_;
};

inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";

}  // namespace objc

// URLs, parsed as RFC 3986 references.
#pragma once

#include <string>

#include "Foundation/NSString.h"

namespace objc {

class NSURL final : public NSObject {
 public:
  static Class class_();
  NSURL() = default;

  // Nil for text that is not a URL (empty, or with characters a URL cannot
  // hold, such as spaces, or a malformed percent escape).
  static Ref<NSURL> URLWithString(const NSString* text);
  static Ref<NSURL> URLWithString(std::string_view text);
  static Ref<NSURL> fileURLWithPath(const NSString* path);
  static Ref<NSURL> fileURLWithPath(std::string_view path);

  Ref<NSString> absoluteString() const;
  Ref<NSString> scheme() const;           // nil when there is none
  Ref<NSString> host() const;             // nil when there is none
  int64_t port() const { return port_; }  // -1 when none is given
  // The path, percent escapes decoded (for file URLs, the file's path).
  Ref<NSString> path() const;
  Ref<NSString> query() const;  // nil when there is none
  Ref<NSString> lastPathComponent() const;
  Ref<NSString> pathExtension() const;
  bool isFileURL() const;
  const std::string& text() const { return text_; }

  bool isEqual(const NSObject* other) const override;
  size_t hash() const override;
  std::string description() const override { return text_; }
  Ref<NSObject> copy() const override;

 private:
  std::string text_;
  std::string scheme_, host_, path_, query_;
  bool hasScheme_ = false, hasHost_ = false, hasQuery_ = false;
  int64_t port_ = -1;
};

}  // namespace objc

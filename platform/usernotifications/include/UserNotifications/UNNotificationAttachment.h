// Media attached to a notification. The factory accepts only existing files
// of known media types and moves each into the platform's own store.
#pragma once

#include <string>

#include "Foundation/Foundation.h"
#include "UserNotifications/UNError.h"

namespace objc {

// Immutable.
//
// The run-time factory "attachmentWithIdentifier:URL:options:error:" has the
// signature "@@:@@@^": its last argument is the platform's error out-slot, a
// `void*` that is null or points to an objc::Ref<objc::NSError>:
//
//   Ref<NSError> error;
//   auto a = send<Ref<NSObject>>(cls, sel<"attachmentWithIdentifier:URL:options:error:">(),
//                                identifier, url, options, static_cast<void*>(&error));
//
// Accepted, by the file's extension (case is ignored), with the largest size:
//   image  jpg jpeg png gif        10 MB
//   audio  aif aiff wav mp3 m4a     5 MB
//   movie  mpg mpeg mp4 m4v avi    50 MB
// (1 MB = 1024 * 1024 bytes), and only when the file begins as its type
// does (JPEG, PNG, GIF, AIFF, WAVE, MP3, MPEG-4, MPEG, AVI). Refusals answer
// nil and an error in "UNErrorDomain": 100 when the URL is nil, not a file
// URL, or names no regular file; 101 for any other extension; 102 for an
// empty or too large file; 105 ("Invalid attachment") for contents that are
// not of the extension's type; 104 when the file cannot be moved into the
// store. An accepted file
// is moved (its original path no longer exists) and the attachment's URL is
// the stored file's. An empty or nil identifier is replaced by a unique one.
// The options are not interpreted.
class UNNotificationAttachment final : public NSObject {
 public:
  static Class class_();
  UNNotificationAttachment() = default;

  static Ref<UNNotificationAttachment> attachmentWithIdentifier(NSString* identifier, NSURL* url, NSDictionary* options,
                                                                Ref<NSError>* error);

  NSString* identifier() const { return identifier_.get(); }
  NSURL* URL() const { return url_.get(); }
  // The media type's identifier, such as "public.jpeg".
  NSString* type() const { return type_.get(); }

  // Platform side: the directory that holds the stored files, by default
  // one per process under the temporary directory, removed when the process
  // exits. The device (or a test) may point it elsewhere; a directory it
  // sets is left in place. An empty path restores the default.
  static std::string attachmentStoreDirectory();
  static void setAttachmentStoreDirectory(std::string directory);

  std::string description() const override;
  Ref<NSObject> copy() const override;

 private:
  Ref<NSString> identifier_;
  Ref<NSURL> url_;
  Ref<NSString> type_;
};

}  // namespace objc

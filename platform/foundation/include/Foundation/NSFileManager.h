// Files: existence, reading, writing, moving, copying and removing items,
// and the process's temporary directory. Failures are reported through an
// optional out-error as NSErrors in NSCocoaErrorDomain, with the platform's
// codes; the underlying system error is kept under "NSUnderlyingError".
#pragma once

#include <cstdint>
#include <string_view>

#include "Foundation/NSArray.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSError.h"
#include "Foundation/NSString.h"
#include "Foundation/NSURL.h"

namespace objc {

namespace detail {
// An out-error (`Ref<NSError>*`) passes through message sends as a pointer,
// so "moveItemAtURL:toURL:error:" can be sent like any other message.
template <>
struct CanonArg<Ref<NSError>*> {
  using type = void*;
  static constexpr char code = '^';
};
}  // namespace detail

// NSCocoaErrorDomain codes for file operations.
inline constexpr int64_t NSFileNoSuchFileError = 4;
inline constexpr int64_t NSFileReadUnknownError = 256;
inline constexpr int64_t NSFileReadNoPermissionError = 257;
inline constexpr int64_t NSFileReadNoSuchFileError = 260;
inline constexpr int64_t NSFileReadUnsupportedSchemeError = 262;
inline constexpr int64_t NSFileWriteUnknownError = 512;
inline constexpr int64_t NSFileWriteNoPermissionError = 513;
inline constexpr int64_t NSFileWriteInvalidFileNameError = 514;
inline constexpr int64_t NSFileWriteFileExistsError = 516;
inline constexpr int64_t NSFileWriteUnsupportedSchemeError = 518;
inline constexpr int64_t NSFileWriteOutOfSpaceError = 640;
inline constexpr int64_t NSFileWriteVolumeReadOnlyError = 642;

// Keys of attributesOfItemAtPath's dictionary and of file errors' user info.
inline constexpr const char* NSFileSize = "NSFileSize";
inline constexpr const char* NSFileType = "NSFileType";
inline constexpr const char* NSFileModificationDate = "NSFileModificationDate";
inline constexpr const char* NSFilePosixPermissions = "NSFilePosixPermissions";
inline constexpr const char* NSFileTypeRegular = "NSFileTypeRegular";
inline constexpr const char* NSFileTypeDirectory = "NSFileTypeDirectory";
inline constexpr const char* NSFileTypeSymbolicLink = "NSFileTypeSymbolicLink";
inline constexpr const char* NSFileTypeUnknown = "NSFileTypeUnknown";
inline constexpr const char* NSFilePathErrorKey = "NSFilePath";
inline constexpr const char* NSDestinationFilePathErrorKey = "NSDestinationFilePath";

class NSFileManager final : public NSObject {
 public:
  static Class class_();
  NSFileManager() = default;

  // The process-wide manager; it keeps no state, so any thread may use it.
  static NSFileManager* defaultManager();

  bool fileExistsAtPath(const NSString* path) const;
  bool fileExistsAtPath(std::string_view path) const;
  // The file's bytes; nil when it cannot be read (missing, a directory, no
  // permission).
  Ref<NSData> contentsAtPath(const NSString* path) const;
  Ref<NSData> contentsAtPath(std::string_view path) const;
  // Writes the file atomically (a temporary file in the same directory,
  // renamed into place), replacing any file already there. Nil contents
  // make an empty file.
  bool createFileAtPath(const NSString* path, const NSData* contents) const;
  bool createFileAtPath(std::string_view path, const NSData* contents) const;
  // The item's size in bytes, or -1 when there is no such item.
  int64_t fileSizeAtPath(std::string_view path) const;
  // NSFileSize, NSFileType, NSFileModificationDate, NSFilePosixPermissions of
  // the item itself (a final symbolic link is not followed); nil and an error
  // when there is no such item.
  Ref<NSDictionary> attributesOfItemAtPath(const NSString* path, Ref<NSError>* error) const;
  // The names of the directory's entries, sorted.
  Ref<NSArray> contentsOfDirectoryAtPath(const NSString* path, Ref<NSError>* error) const;

  // Moves a file or directory. Fails, leaving both places untouched, when
  // the source is missing, the destination exists or its directory is
  // missing. Across file systems the item is copied and the source removed.
  bool moveItemAtURL(const NSURL* source, const NSURL* destination, Ref<NSError>* error) const;
  // Copies a file or directory (recursively, symbolic links as links); fails
  // when the destination exists. A failed copy leaves nothing behind.
  bool copyItemAtURL(const NSURL* source, const NSURL* destination, Ref<NSError>* error) const;
  // Removes a file or a directory with its contents.
  bool removeItemAtURL(const NSURL* url, Ref<NSError>* error) const;

  // A directory of this process's own under $TMPDIR (or /tmp), created on
  // first use and removed with its contents when the process exits normally.
  Ref<NSURL> temporaryDirectory() const;
};

}  // namespace objc

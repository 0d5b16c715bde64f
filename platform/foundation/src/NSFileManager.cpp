#include "Foundation/NSFileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "Foundation/NSDate.h"
#include "Foundation/NSNumber.h"

namespace objc {

namespace {

namespace fs = std::filesystem;

std::string baseName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string parentName(const std::string& path) {
  std::string parent = fs::path(path).parent_path().string();
  return parent.empty() ? "." : baseName(parent);
}

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

// What went wrong, phrased after the platform's file-error messages.
struct Failure {
  int64_t code;
  std::string description;
};

Failure describeWriteFailure(int err, const char* verb, const std::string& from, const std::string& to) {
  std::string subject = quoted(baseName(from)) + " couldn't be " + verb;
  std::string target = to.empty() ? "" : " to " + quoted(parentName(to));
  switch (err) {
    case ENOENT:
      if (to.empty()) return {NSFileNoSuchFileError, subject + " because it doesn't exist."};
      return {NSFileNoSuchFileError, subject + target +
                                         " because either the former doesn't exist, or the folder containing the "
                                         "latter doesn't exist."};
    case EEXIST:
    case ENOTEMPTY:
      return {NSFileWriteFileExistsError, subject + target + " because an item with the same name already exists."};
    case EACCES:
    case EPERM:
      return {NSFileWriteNoPermissionError, subject + " because you don't have permission to access " +
                                                quoted(parentName(to.empty() ? from : to)) + "."};
    case ENOSPC:
    case EDQUOT:
      return {NSFileWriteOutOfSpaceError, subject + target + " because there isn't enough space."};
    case EROFS:
      return {NSFileWriteVolumeReadOnlyError, subject + target + " because the volume is read only."};
    case ENAMETOOLONG:
      return {NSFileWriteInvalidFileNameError, subject + target + " because the name is too long."};
    default:
      return {NSFileWriteUnknownError, subject + target + ": " + std::strerror(err) + "."};
  }
}

Ref<NSError> fileError(const Failure& failure, int err, const std::string& path, const std::string& destination) {
  auto info = NSMutableDictionary::dictionary();
  info->setObject(str(failure.description), NSLocalizedDescriptionKey);
  if (!path.empty()) info->setObject(str(path), NSFilePathErrorKey);
  if (!destination.empty()) info->setObject(str(destination), NSDestinationFilePathErrorKey);
  if (err != 0) {
    auto posixInfo = NSMutableDictionary::dictionary();
    posixInfo->setObject(str(std::strerror(err)), NSLocalizedDescriptionKey);
    info->setObject(NSError::errorWithDomain("NSPOSIXErrorDomain", err, posixInfo), "NSUnderlyingError");
  }
  return NSError::errorWithDomain(NSCocoaErrorDomain, failure.code, info);
}

bool fail(Ref<NSError>* error, const Failure& failure, int err, const std::string& path,
          const std::string& destination = {}) {
  if (error) *error = fileError(failure, err, path, destination);
  return false;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// File URLs only; the platform's file operations refuse other schemes.
bool filePath(const NSURL* url, const char* argument, std::string* path) {
  if (!url) throw Exception(kInvalidArgumentException, std::string("NSFileManager: nil ") + argument + " URL");
  if (!url->isFileURL()) return false;
  *path = url->path()->utf8();
  return true;
}

Failure unsupportedScheme(const NSURL* url, const char* verb) {
  return {NSFileWriteUnsupportedSchemeError, "The file couldn't be " + std::string(verb) + " because " +
                                                 quoted(url->absoluteString()->utf8()) + " is not a file URL."};
}

// Copies `from` to `to`, which must not exist; on failure removes whatever
// part of the copy was made. Returns 0 or the errno.
int copyItem(const std::string& from, const std::string& to) {
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) return errno;
  if (exists(to)) return EEXIST;
  std::error_code ec;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (!ec) return 0;
  std::error_code ignored;
  fs::remove_all(to, ignored);
  return ec.value() != 0 ? ec.value() : EIO;
}

// The per-process temporary directory; removed at normal exit by the process
// that made it.
class TemporaryDirectory {
 public:
  TemporaryDirectory() : owner_(::getpid()) {
    const char* env = std::getenv("TMPDIR");
    std::string base = env && *env ? env : "/tmp";
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    if (!make(base) && !make("/tmp")) {
      throw Exception(kInternalInconsistencyException,
                      "cannot create a temporary directory under " + base + ": " + std::strerror(errno));
    }
  }
  ~TemporaryDirectory() {
    if (::getpid() != owner_) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  bool make(const std::string& base) {
    std::string pattern = base + "/orvel-" + std::to_string(::getpid()) + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) return false;
    path_ = pattern;
    return true;
  }
  pid_t owner_;
  std::string path_;
};

}  // namespace

Class NSFileManager::class_() {
  static Class c = ClassBuilder<NSFileManager>("NSFileManager")
                       .classMethod("defaultManager", [](Class, SEL) { return NSFileManager::defaultManager(); })
                       .method<&NSFileManager::moveItemAtURL>("moveItemAtURL:toURL:error:")
                       .method<&NSFileManager::copyItemAtURL>("copyItemAtURL:toURL:error:")
                       .method<&NSFileManager::removeItemAtURL>("removeItemAtURL:error:")
                       .method("fileExistsAtPath:",
                               [](NSFileManager* self, SEL, NSString* path) { return self->fileExistsAtPath(path); })
                       .method("contentsAtPath:",
                               [](NSFileManager* self, SEL, NSString* path) { return self->contentsAtPath(path); })
                       .method("createFileAtPath:contents:attributes:",
                               [](NSFileManager* self, SEL, NSString* path, NSData* contents, NSDictionary*) {
                                 return self->createFileAtPath(path, contents);
                               })
                       .method<&NSFileManager::attributesOfItemAtPath>("attributesOfItemAtPath:error:")
                       .method<&NSFileManager::contentsOfDirectoryAtPath>("contentsOfDirectoryAtPath:error:")
                       .method<&NSFileManager::temporaryDirectory>("temporaryDirectory")
                       .build();
  return c;
}

NSFileManager* NSFileManager::defaultManager() {
  static NSFileManager* manager = [] {
    NSFileManager* m = make<NSFileManager>().detach();
    m->makeImmortal();
    return m;
  }();
  return manager;
}

bool NSFileManager::fileExistsAtPath(const NSString* path) const { return path && fileExistsAtPath(path->utf8()); }

bool NSFileManager::fileExistsAtPath(std::string_view path) const {
  struct stat st;
  return !path.empty() && ::stat(std::string(path).c_str(), &st) == 0;
}

Ref<NSData> NSFileManager::contentsAtPath(const NSString* path) const {
  return path ? contentsAtPath(path->utf8()) : nullptr;
}

Ref<NSData> NSFileManager::contentsAtPath(std::string_view path) const {
  std::string p(path);
  struct stat st;
  if (::stat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return nullptr;
  std::ifstream in(p, std::ios::binary);
  if (!in) return nullptr;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return nullptr;
  return NSData::dataWithBytes(std::move(bytes));
}

bool NSFileManager::createFileAtPath(const NSString* path, const NSData* contents) const {
  return path && createFileAtPath(path->utf8(), contents);
}

bool NSFileManager::createFileAtPath(std::string_view path, const NSData* contents) const {
  if (path.empty()) return false;
  std::string target(path);
  std::string temporary = target + ".XXXXXX";
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0644) == 0;
  const uint8_t* bytes = contents ? contents->bytes() : nullptr;
  size_t left = contents ? contents->length() : 0;
  while (ok && left > 0) {
    ssize_t n = ::write(fd, bytes, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    bytes += n;
    left -= static_cast<size_t>(n);
  }
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

int64_t NSFileManager::fileSizeAtPath(std::string_view path) const {
  struct stat st;
  if (::stat(std::string(path).c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

Ref<NSDictionary> NSFileManager::attributesOfItemAtPath(const NSString* path, Ref<NSError>* error) const {
  std::string p = path ? path->utf8() : std::string();
  struct stat st;
  if (::lstat(p.c_str(), &st) != 0) {
    int err = errno;
    Failure failure{err == ENOENT ? NSFileReadNoSuchFileError : NSFileReadUnknownError,
                    "The file " + quoted(baseName(p)) + " couldn't be opened because " +
                        (err == ENOENT ? std::string("there is no such file.") : std::strerror(err))};
    fail(error, failure, err, p);
    return nullptr;
  }
  const char* type = S_ISREG(st.st_mode)   ? NSFileTypeRegular
                     : S_ISDIR(st.st_mode) ? NSFileTypeDirectory
                     : S_ISLNK(st.st_mode) ? NSFileTypeSymbolicLink
                                           : NSFileTypeUnknown;
  auto attributes = NSMutableDictionary::dictionary();
  attributes->setObject(NSNumber::numberWithUnsignedLongLong(static_cast<uint64_t>(st.st_size)), NSFileSize);
  attributes->setObject(str(type), NSFileType);
  double modified = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
  attributes->setObject(NSDate::dateWithTimeIntervalSince1970(modified), NSFileModificationDate);
  attributes->setObject(NSNumber::numberWithUnsignedInteger(st.st_mode & 07777), NSFilePosixPermissions);
  return cast<NSDictionary>(attributes->copy());
}

Ref<NSArray> NSFileManager::contentsOfDirectoryAtPath(const NSString* path, Ref<NSError>* error) const {
  std::string p = path ? path->utf8() : std::string();
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  if (ec) {
    int err = ec.value();
    Failure failure{err == ENOENT ? NSFileReadNoSuchFileError : NSFileReadUnknownError,
                    "The folder " + quoted(baseName(p)) + " couldn't be opened: " + std::strerror(err) + "."};
    fail(error, failure, err, p);
    return nullptr;
  }
  std::sort(names.begin(), names.end());
  auto list = NSMutableArray::array();
  for (const auto& name : names) list->addObject(str(name));
  return cast<NSArray>(list->copy());
}

bool NSFileManager::moveItemAtURL(const NSURL* source, const NSURL* destination, Ref<NSError>* error) const {
  std::string from, to;
  if (!filePath(source, "source", &from)) return fail(error, unsupportedScheme(source, "moved"), 0, {});
  if (!filePath(destination, "destination", &to)) {
    return fail(error, unsupportedScheme(destination, "moved"), 0, from);
  }
  // Never replace an existing destination: the kernel checks and renames in
  // one step where the file system allows it.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    if (!exists(from)) {
      err = ENOENT;
    } else if (exists(to)) {
      err = EEXIST;
    } else if (::rename(from.c_str(), to.c_str()) == 0) {
      return true;
    } else {
      err = errno;
    }
  }
  if (err == EXDEV) {
    err = copyItem(from, to);
    if (err == 0) {
      std::error_code ec;
      fs::remove_all(from, ec);
      if (!ec) return true;
      // Keep the item in one place: take the copy back.
      err = ec.value();
      std::error_code ignored;
      fs::remove_all(to, ignored);
    }
  }
  return fail(error, describeWriteFailure(err, "moved", from, to), err, from, to);
}

bool NSFileManager::copyItemAtURL(const NSURL* source, const NSURL* destination, Ref<NSError>* error) const {
  std::string from, to;
  if (!filePath(source, "source", &from)) return fail(error, unsupportedScheme(source, "copied"), 0, {});
  if (!filePath(destination, "destination", &to)) {
    return fail(error, unsupportedScheme(destination, "copied"), 0, from);
  }
  int err = copyItem(from, to);
  if (err == 0) return true;
  Failure failure = describeWriteFailure(err, "copied", from, to);
  if (err == ENOENT && !exists(from)) failure.code = NSFileReadNoSuchFileError;
  return fail(error, failure, err, from, to);
}

bool NSFileManager::removeItemAtURL(const NSURL* url, Ref<NSError>* error) const {
  std::string path;
  if (!filePath(url, "item", &path)) return fail(error, unsupportedScheme(url, "removed"), 0, {});
  if (!exists(path)) return fail(error, describeWriteFailure(ENOENT, "removed", path, {}), ENOENT, path);
  std::error_code ec;
  fs::remove_all(path, ec);
  if (!ec) return true;
  return fail(error, describeWriteFailure(ec.value(), "removed", path, {}), ec.value(), path);
}

Ref<NSURL> NSFileManager::temporaryDirectory() const {
  static TemporaryDirectory directory;
  return NSURL::fileURLWithPath(directory.path());
}

namespace {
// Lookups by name find the class before anything has used it.
const Class gRegisterFileManager = NSFileManager::class_();
}  // namespace

}  // namespace objc

#include "UserNotifications/UNNotificationAttachment.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <filesystem>
#include <mutex>
#include <random>

#include "Framework.h"

namespace objc {

namespace fs = std::filesystem;

namespace {

constexpr uintmax_t kMB = 1024 * 1024;

struct MediaKind {
  const char* extension;
  const char* type;
  uintmax_t limit;
};

constexpr MediaKind kMediaKinds[] = {
    {"jpg", "public.jpeg", 10 * kMB},         {"jpeg", "public.jpeg", 10 * kMB},
    {"png", "public.png", 10 * kMB},          {"gif", "public.gif", 10 * kMB},
    {"aif", "public.aiff-audio", 5 * kMB},    {"aiff", "public.aiff-audio", 5 * kMB},
    {"wav", "public.wav-audio", 5 * kMB},     {"mp3", "public.mp3", 5 * kMB},
    {"m4a", "public.mpeg-4-audio", 5 * kMB},  {"mpg", "public.mpeg", 50 * kMB},
    {"mpeg", "public.mpeg", 50 * kMB},        {"mp4", "public.mpeg-4", 50 * kMB},
    {"m4v", "public.mpeg-4-video", 50 * kMB}, {"avi", "public.avi", 50 * kMB},
};

const MediaKind* kindForExtension(std::string ext) {
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto& k : kMediaKinds)
    if (ext == k.extension) return &k;
  return nullptr;
}

struct Store {
  std::mutex lock;
  fs::path chosen;        // set by the device or a test
  fs::path ownDirectory;  // the per-process default, once made
  std::atomic<uint64_t> next{1};

  ~Store() {
    if (ownDirectory.empty()) return;
    std::error_code ec;
    fs::remove_all(ownDirectory, ec);
  }
};

Store& store() {
  static Store s;
  return s;
}

fs::path storeDirectory() {
  auto& s = store();
  std::lock_guard<std::mutex> g(s.lock);
  if (!s.chosen.empty()) return s.chosen;
  if (s.ownDirectory.empty()) {
    std::error_code ec;
    fs::path tmp = fs::temp_directory_path(ec);
    if (ec) tmp = "/tmp";
    s.ownDirectory = tmp / ("orvel-attachments-" + std::to_string(::getpid()));
    // Left over by an earlier process that had the same id.
    fs::remove_all(s.ownDirectory, ec);
  }
  return s.ownDirectory;
}

std::string uniqueIdentifier() {
  static std::mutex lock;
  static std::mt19937_64 rng{std::random_device{}()};
  uint64_t a, b;
  {
    std::lock_guard<std::mutex> g(lock);
    a = rng();
    b = rng();
  }
  return format("%08llX-%04llX-%04llX-%04llX-%012llX", static_cast<unsigned long long>(a >> 32),
                static_cast<unsigned long long>((a >> 16) & 0xffff), static_cast<unsigned long long>(a & 0xffff),
                static_cast<unsigned long long>(b >> 48), static_cast<unsigned long long>(b & 0xffffffffffffull));
}

Ref<UNNotificationAttachment> refuse(Ref<NSError>* error, UNErrorCode code, const char* text) {
  if (error) {
    *error = NSError::errorWithDomain(
        UNErrorDomain, code, NSDictionary::dictionaryWithEntries({{str(NSLocalizedDescriptionKey), str(text)}}));
  }
  return nullptr;
}

// Moves the file, copying and removing it when a rename cannot cross file
// systems.
bool moveFile(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return true;
  if (!fs::copy_file(from, to, ec) || ec) {
    fs::remove(to, ec);
    return false;
  }
  if (!fs::remove(from, ec) || ec) {
    fs::remove(to, ec);
    return false;
  }
  return true;
}

}  // namespace

Class UNNotificationAttachment::class_() {
  static Class c = un::gated(
      ClassBuilder<UNNotificationAttachment>("UNNotificationAttachment")
          .method<&UNNotificationAttachment::identifier>("identifier")
          .method<&UNNotificationAttachment::URL>("URL")
          .method<&UNNotificationAttachment::type>("type")
          .classMethod("attachmentWithIdentifier:URL:options:error:",
                       [](Class, SEL, NSString* identifier, NSURL* url, NSDictionary* options, void* error) -> Id {
                         return attachmentWithIdentifier(identifier, url, options, static_cast<Ref<NSError>*>(error));
                       })
          .build());
  return c;
}

Ref<UNNotificationAttachment> UNNotificationAttachment::attachmentWithIdentifier(NSString* identifier, NSURL* url,
                                                                                 NSDictionary* /*options*/,
                                                                                 Ref<NSError>* error) {
  if (error) *error = nullptr;
  if (!url || !url->isFileURL() || !url->path() || url->path()->utf8().empty()) {
    return refuse(error, UNErrorCodeAttachmentInvalidURL, "Invalid attachment file URL");
  }
  fs::path source = url->path()->utf8();
  std::error_code ec;
  if (!fs::is_regular_file(source, ec)) {
    return refuse(error, UNErrorCodeAttachmentInvalidURL, "Invalid attachment file URL");
  }
  std::string ext = source.extension().string();
  const MediaKind* kind = kindForExtension(ext.empty() ? ext : ext.substr(1));
  if (!kind) return refuse(error, UNErrorCodeAttachmentUnrecognizedType, "Unrecognized attachment file type");
  uintmax_t size = fs::file_size(source, ec);
  if (ec || size == 0 || size > kind->limit) {
    return refuse(error, UNErrorCodeAttachmentInvalidFileSize, "Invalid attachment file size");
  }

  // Each file gets a directory of its own, so that its name is kept.
  fs::path directory = storeDirectory() / std::to_string(store().next.fetch_add(1));
  fs::create_directories(directory, ec);
  fs::path stored = directory / source.filename();
  if (ec || !moveFile(source, stored)) {
    fs::remove_all(directory, ec);
    return refuse(error, UNErrorCodeAttachmentMoveIntoDataStoreFailed, "Failed to move attachment into the data store");
  }

  auto a = make<UNNotificationAttachment>();
  a->identifier_ = identifier && identifier->length() > 0 ? un::copied(identifier) : str(uniqueIdentifier());
  a->url_ = NSURL::fileURLWithPath(stored.string());
  a->type_ = str(kind->type);
  return a;
}

std::string UNNotificationAttachment::attachmentStoreDirectory() { return storeDirectory().string(); }

void UNNotificationAttachment::setAttachmentStoreDirectory(std::string directory) {
  auto& s = store();
  std::lock_guard<std::mutex> g(s.lock);
  s.chosen = std::move(directory);
}

std::string UNNotificationAttachment::description() const {
  return format("<UNNotificationAttachment: %p; identifier: %@, URL: %@, type: %@>", static_cast<const void*>(this),
                identifier_.get(), url_.get(), type_.get());
}

Ref<NSObject> UNNotificationAttachment::copy() const {
  return Ref<NSObject>(const_cast<UNNotificationAttachment*>(this));
}

}  // namespace objc

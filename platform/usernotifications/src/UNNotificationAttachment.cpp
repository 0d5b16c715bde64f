#include "UserNotifications/UNNotificationAttachment.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string_view>

#include "Framework.h"

namespace objc {

namespace fs = std::filesystem;

namespace {

constexpr uintmax_t kMB = 1024 * 1024;

// How a file of each media type begins.
enum class Signature { Jpeg, Png, Gif, Aiff, Wav, Mp3, Mpeg4, Mpeg, Avi };

struct MediaKind {
  const char* extension;
  const char* type;
  uintmax_t limit;
  Signature signature;
};

constexpr MediaKind kMediaKinds[] = {
    {"jpg", "public.jpeg", 10 * kMB, Signature::Jpeg},
    {"jpeg", "public.jpeg", 10 * kMB, Signature::Jpeg},
    {"png", "public.png", 10 * kMB, Signature::Png},
    {"gif", "public.gif", 10 * kMB, Signature::Gif},
    {"aif", "public.aiff-audio", 5 * kMB, Signature::Aiff},
    {"aiff", "public.aiff-audio", 5 * kMB, Signature::Aiff},
    {"wav", "public.wav-audio", 5 * kMB, Signature::Wav},
    {"mp3", "public.mp3", 5 * kMB, Signature::Mp3},
    {"m4a", "public.mpeg-4-audio", 5 * kMB, Signature::Mpeg4},
    {"mpg", "public.mpeg", 50 * kMB, Signature::Mpeg},
    {"mpeg", "public.mpeg", 50 * kMB, Signature::Mpeg},
    {"mp4", "public.mpeg-4", 50 * kMB, Signature::Mpeg4},
    {"m4v", "public.mpeg-4-video", 50 * kMB, Signature::Mpeg4},
    {"avi", "public.avi", 50 * kMB, Signature::Avi},
};

// Whether the file's leading bytes are those of its media type, so that a
// server's error page saved under a picture's name is not taken for one.
bool hasSignature(const fs::path& file, Signature signature) {
  unsigned char head[12] = {};
  std::ifstream in(file, std::ios::binary);
  in.read(reinterpret_cast<char*>(head), sizeof head);
  const auto n = static_cast<size_t>(in.gcount());
  auto at = [&](size_t offset, std::string_view bytes) {
    return n >= offset + bytes.size() &&
           std::equal(bytes.begin(), bytes.end(), head + offset,
                      [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; });
  };
  switch (signature) {
    case Signature::Jpeg:
      return at(0, "\xFF\xD8\xFF");
    case Signature::Png:
      return at(0, "\x89PNG\r\n\x1A\n");
    case Signature::Gif:
      return at(0, "GIF87a") || at(0, "GIF89a");
    case Signature::Aiff:
      return at(0, "FORM") && (at(8, "AIFF") || at(8, "AIFC"));
    case Signature::Wav:
      return at(0, "RIFF") && at(8, "WAVE");
    case Signature::Avi:
      return at(0, "RIFF") && at(8, "AVI ");
    case Signature::Mp3:
      // A tag, or straight away an MPEG audio frame (eleven sync bits).
      return at(0, "ID3") || (n >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0);
    case Signature::Mpeg4:
      return at(4, "ftyp");
    case Signature::Mpeg:
      // A program stream pack, or a video sequence header.
      return at(0, std::string_view("\x00\x00\x01\xBA", 4)) || at(0, std::string_view("\x00\x00\x01\xB3", 4));
  }
  return false;
}

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
  if (!hasSignature(source, kind->signature)) return refuse(error, UNErrorCodeAttachmentCorrupt, "Invalid attachment");

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

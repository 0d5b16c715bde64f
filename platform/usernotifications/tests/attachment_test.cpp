#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <fstream>
#include <map>

#include "support.h"

namespace un_test {
namespace {

namespace fs = std::filesystem;

// How a real file of the extension's type begins.
std::string leadingBytes(const fs::path& file) {
  using namespace std::string_literals;
  std::string ext = file.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // The zero bytes are part of the headers, so the texts carry their size.
  static const std::map<std::string, std::string> heads = {{".jpg", "\xFF\xD8\xFF\xE0"s},
                                                           {".jpeg", "\xFF\xD8\xFF\xE0"s},
                                                           {".png", "\x89PNG\r\n\x1A\n"s},
                                                           {".gif", "GIF89a"s},
                                                           {".aif", "FORM\0\0\0\020AIFF"s},
                                                           {".aiff", "FORM\0\0\0\020AIFC"s},
                                                           {".wav", "RIFF\0\0\0\020WAVE"s},
                                                           {".avi", "RIFF\0\0\0\020AVI "s},
                                                           {".mp3", "ID3\x04"s},
                                                           {".m4a", "\0\0\0 ftypM4A "s},
                                                           {".mp4", "\0\0\0\030ftypmp42"s},
                                                           {".m4v", "\0\0\0\030ftypM4V "s},
                                                           {".mpg", "\0\0\x01\xBA"s},
                                                           {".mpeg", "\0\0\x01\xB3"s}};
  auto it = heads.find(ext);
  return it == heads.end() ? std::string() : it->second;
}

// A file of `bytes` bytes (sparse when large) that begins as its type does.
void writeMedia(const fs::path& p, uintmax_t bytes) {
  std::string head = leadingBytes(p).substr(0, bytes);
  std::ofstream(p, std::ios::binary) << head;
  fs::resize_file(p, bytes);
}

class UNAttachments : public ::testing::Test {
 protected:
  void SetUp() override {
    UIDevice::currentDevice()->setSystemVersion("13.0");
    dir = fs::temp_directory_path() / ("un-attachment-test-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    UNNotificationAttachment::setAttachmentStoreDirectory("");
    fs::remove_all(dir);
  }

  // Creates a media file of `bytes` bytes and offers it.
  Ref<UNNotificationAttachment> offer(const std::string& name, uintmax_t bytes, Ref<NSError>* error) {
    fs::path p = dir / name;
    writeMedia(p, bytes);
    return UNNotificationAttachment::attachmentWithIdentifier(str("id"), NSURL::fileURLWithPath(p.string()), nullptr,
                                                              error);
  }

  void expectRefused(Ref<UNNotificationAttachment> a, const Ref<NSError>& error, int64_t code) {
    EXPECT_FALSE(a);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain()->utf8(), "UNErrorDomain");
    EXPECT_EQ(error->code(), code);
  }

  fs::path dir;
};

constexpr uintmax_t kMB = 1024 * 1024;

TEST_F(UNAttachments, AcceptedFilesAreMovedIntoTheStore) {
  fs::path source = dir / "pic.jpg";
  writeMedia(source, 1234);
  Ref<NSError> error = NSError::errorWithDomain("stale", 1);
  Class cls = NSClassFromString("UNNotificationAttachment");
  ASSERT_NE(cls, nullptr);
  auto a =
      send<Ref<UNNotificationAttachment>>(cls, sel<"attachmentWithIdentifier:URL:options:error:">(), str("attachment"),
                                          NSURL::fileURLWithPath(source.string()), nullptr, static_cast<void*>(&error));
  ASSERT_TRUE(a);
  EXPECT_FALSE(error) << "success clears the error slot";
  EXPECT_FALSE(fs::exists(source)) << "the file was moved";
  EXPECT_EQ(send<Ref<NSString>>(a, sel<"identifier">())->utf8(), "attachment");
  EXPECT_EQ(send<Ref<NSString>>(a, sel<"type">())->utf8(), "public.jpeg");
  auto url = send<Ref<NSURL>>(a, sel<"URL">());
  ASSERT_TRUE(url && url->isFileURL());
  fs::path stored = url->path()->utf8();
  EXPECT_EQ(stored.filename(), "pic.jpg");
  EXPECT_EQ(fs::file_size(stored), 1234u);
  EXPECT_EQ(stored.string().rfind(UNNotificationAttachment::attachmentStoreDirectory(), 0), 0u);

  // Each kind at its largest size (or a small one), any letter case; an empty identifier is
  // replaced by a unique one.
  for (auto [name, bytes] : std::vector<std::pair<std::string, uintmax_t>>{{"a.JPEG", 10 * kMB},
                                                                           {"b.png", 64},
                                                                           {"c.gif", 64},
                                                                           {"d.aif", 64},
                                                                           {"e.aiff", 64},
                                                                           {"f.wav", 64},
                                                                           {"g.mp3", 5 * kMB},
                                                                           {"h.m4a", 64},
                                                                           {"i.mpg", 64},
                                                                           {"j.mpeg", 64},
                                                                           {"k.mp4", 50 * kMB},
                                                                           {"l.m4v", 64},
                                                                           {"m.avi", 64}}) {
    writeMedia(dir / name, bytes);
    auto b = UNNotificationAttachment::attachmentWithIdentifier(nullptr, NSURL::fileURLWithPath((dir / name).string()),
                                                                nullptr, nullptr);
    ASSERT_TRUE(b) << name;
    EXPECT_GT(b->identifier()->length(), 0u);
    EXPECT_NE(b->identifier()->utf8(), a->identifier()->utf8());
    EXPECT_TRUE(fs::exists(b->URL()->path()->utf8()));
  }
}

TEST_F(UNAttachments, MissingFilesAndOtherURLsAreInvalid) {
  Ref<NSError> error;
  expectRefused(UNNotificationAttachment::attachmentWithIdentifier(str("a"), nullptr, nullptr, &error), error, 100);
  error = nullptr;
  expectRefused(UNNotificationAttachment::attachmentWithIdentifier(
                    str("a"), NSURL::URLWithString("https://example.com/pic.jpg"), nullptr, &error),
                error, 100);
  error = nullptr;
  expectRefused(UNNotificationAttachment::attachmentWithIdentifier(
                    str("a"), NSURL::fileURLWithPath((dir / "absent.jpg").string()), nullptr, &error),
                error, 100);
  error = nullptr;
  fs::create_directories(dir / "folder.png");
  expectRefused(UNNotificationAttachment::attachmentWithIdentifier(
                    str("a"), NSURL::fileURLWithPath((dir / "folder.png").string()), nullptr, &error),
                error, 100);
}

TEST_F(UNAttachments, UnknownTypesAndBadSizesAreRefusedAndTheFileStays) {
  Ref<NSError> error;
  expectRefused(offer("notes.txt", 10, &error), error, 101);
  EXPECT_TRUE(fs::exists(dir / "notes.txt"));
  error = nullptr;
  expectRefused(offer("noextension", 10, &error), error, 101);
  error = nullptr;
  expectRefused(offer("pic.png.", 10, &error), error, 101);
  error = nullptr;
  expectRefused(offer("empty.png", 0, &error), error, 102);
  error = nullptr;
  expectRefused(offer("big.jpg", 10 * kMB + 1, &error), error, 102);
  EXPECT_TRUE(fs::exists(dir / "big.jpg"));
  error = nullptr;
  expectRefused(offer("long.m4a", 5 * kMB + 1, &error), error, 102);
  error = nullptr;
  expectRefused(offer("film.avi", 50 * kMB + 1, &error), error, 102);
  // No error slot: refused all the same.
  EXPECT_FALSE(offer("again.txt", 10, nullptr));
}

TEST_F(UNAttachments, ContentsThatAreNotOfTheExtensionsTypeAreInvalid) {
  auto offerBytes = [&](const std::string& name, const std::string& bytes, Ref<NSError>* error) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return UNNotificationAttachment::attachmentWithIdentifier(str("id"), NSURL::fileURLWithPath((dir / name).string()),
                                                              nullptr, error);
  };
  // A server's error page saved under the address's name.
  Ref<NSError> error;
  expectRefused(offerBytes("picture.png", "<html><body>404 Not Found</body></html>", &error), error, 105);
  EXPECT_EQ(asString(error->userInfo()->objectForKey(NSLocalizedDescriptionKey))->utf8(), "Invalid attachment");
  EXPECT_TRUE(fs::exists(dir / "picture.png")) << "the file stays where it was";
  for (auto [name, bytes] :
       std::vector<std::pair<std::string, std::string>>{{"png-as.jpg", leadingBytes("x.png") + "data"},
                                                        {"short.png", "\x89PN"},
                                                        {"wave-as.avi", leadingBytes("x.wav") + "data"},
                                                        {"text.mp4", "just some text here"},
                                                        {"text.mp3", "ID"}}) {
    error = nullptr;
    expectRefused(offerBytes(name, bytes, &error), error, 105);
  }
  // An MP3 may start with its first frame instead of a tag.
  EXPECT_TRUE(offerBytes("frames.mp3", "\xFF\xFB\x90\x64 audio", nullptr));
}

TEST_F(UNAttachments, AFileThatCannotBeMovedIsRefused) {
  writeFile(dir / "blocker", 1);
  UNNotificationAttachment::setAttachmentStoreDirectory((dir / "blocker" / "store").string());
  Ref<NSError> error;
  expectRefused(offer("pic.gif", 100, &error), error, 104);
  EXPECT_TRUE(fs::exists(dir / "pic.gif")) << "the file stays where it was";
}

}  // namespace
}  // namespace un_test

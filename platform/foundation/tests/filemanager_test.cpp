#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Foundation/Foundation.h"

using namespace objc;

namespace {

namespace fs = std::filesystem;

// A scratch directory inside the process's temporary directory.
class FileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = fm->temporaryDirectory()->path()->utf8() + "/fm-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string at(const std::string& name) const { return dir + "/" + name; }
  Ref<NSURL> url(const std::string& name) const { return NSURL::fileURLWithPath(at(name)); }
  void write(const std::string& path, std::string_view text) {
    ASSERT_TRUE(fm->createFileAtPath(path, NSData::dataWithUTF8(text)));
  }
  std::string read(const std::string& path) {
    auto data = fm->contentsAtPath(path);
    return data ? std::string(data->bytes(), data->bytes() + data->length()) : "<none>";
  }

  NSFileManager* fm = NSFileManager::defaultManager();
  std::string dir;
};

TEST_F(FileManagerTest, TemporaryDirectoryIsThisProcesssOwnAndStable) {
  std::string path = fm->temporaryDirectory()->path()->utf8();
  EXPECT_EQ(path, fm->temporaryDirectory()->path()->utf8());
  EXPECT_TRUE(fm->temporaryDirectory()->isFileURL());
  EXPECT_TRUE(fs::is_directory(path));
  const char* env = std::getenv("TMPDIR");
  std::string base = env && *env ? env : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  EXPECT_EQ(fs::path(path).parent_path(), fs::path(base));
  EXPECT_NE(fs::path(path).filename().string().find(std::to_string(::getpid())), std::string::npos) << path;
}

TEST_F(FileManagerTest, MoveRenamesAndKeepsTheBytes) {
  write(at("a.bin"), std::string("bytes\0with nul", 14));
  Ref<NSError> error;
  ASSERT_TRUE(fm->moveItemAtURL(url("a.bin"), url("b.jpg"), &error)) << error->description();
  EXPECT_EQ(error, nullptr);
  EXPECT_FALSE(fm->fileExistsAtPath(at("a.bin")));
  EXPECT_EQ(read(at("b.jpg")), std::string("bytes\0with nul", 14));
  EXPECT_EQ(fm->fileSizeAtPath(at("b.jpg")), 14);
}

TEST_F(FileManagerTest, MoveOntoAnExistingItemFailsAndChangesNothing) {
  write(at("a"), "source");
  write(at("b"), "destination");
  Ref<NSError> error;
  EXPECT_FALSE(fm->moveItemAtURL(url("a"), url("b"), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain()->utf8(), NSCocoaErrorDomain);
  EXPECT_EQ(error->code(), NSFileWriteFileExistsError);
  EXPECT_NE(error->localizedDescription()->utf8().find("already exists"), std::string::npos);
  EXPECT_EQ(asString(error->userInfo()->objectForKey(NSFilePathErrorKey))->utf8(), at("a"));
  EXPECT_EQ(read(at("a")), "source");
  EXPECT_EQ(read(at("b")), "destination");

  // An existing directory is no place to move onto either.
  fs::create_directory(at("d"));
  EXPECT_FALSE(fm->moveItemAtURL(url("a"), url("d"), &error));
  EXPECT_EQ(error->code(), NSFileWriteFileExistsError);
  EXPECT_EQ(read(at("a")), "source");
}

TEST_F(FileManagerTest, MoveOfAMissingItemOrIntoAMissingDirectoryFails) {
  Ref<NSError> error;
  EXPECT_FALSE(fm->moveItemAtURL(url("missing"), url("b"), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain()->utf8(), NSCocoaErrorDomain);
  EXPECT_EQ(error->code(), NSFileNoSuchFileError);
  auto* underlying = cast<NSError>(error->userInfo()->objectForKey("NSUnderlyingError"));
  ASSERT_NE(underlying, nullptr);
  EXPECT_EQ(underlying->code(), ENOENT);
  EXPECT_FALSE(fm->fileExistsAtPath(at("b")));

  write(at("a"), "x");
  error = nullptr;
  EXPECT_FALSE(fm->moveItemAtURL(url("a"), url("no/such/dir/b"), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), NSFileNoSuchFileError);
  EXPECT_TRUE(fm->fileExistsAtPath(at("a")));

  // The error is optional.
  EXPECT_FALSE(fm->moveItemAtURL(url("missing"), url("b"), nullptr));
}

TEST_F(FileManagerTest, MoveRefusesNonFileURLsAndNil) {
  write(at("a"), "x");
  Ref<NSError> error;
  EXPECT_FALSE(fm->moveItemAtURL(url("a"), NSURL::URLWithString("http://127.0.0.1/b"), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), NSFileWriteUnsupportedSchemeError);
  EXPECT_TRUE(fm->fileExistsAtPath(at("a")));
  EXPECT_THROW(fm->moveItemAtURL(nullptr, url("b"), &error), Exception);
}

TEST_F(FileManagerTest, MoveAcrossFileSystemsCopiesAndRemovesTheSource) {
  struct stat shm, tmp;
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev ||
      ::access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "needs /dev/shm on a file system of its own";
  }
  std::string pattern = "/dev/shm/fm-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  std::string other = pattern;
  write(other + "/file", "across");
  fs::create_directories(other + "/tree/sub");
  write(other + "/tree/sub/leaf", "leaf");

  Ref<NSError> error;
  EXPECT_TRUE(fm->moveItemAtURL(NSURL::fileURLWithPath(other + "/file"), url("file"), &error));
  EXPECT_TRUE(fm->moveItemAtURL(NSURL::fileURLWithPath(other + "/tree"), url("tree"), &error));
  EXPECT_EQ(read(at("file")), "across");
  EXPECT_EQ(read(at("tree/sub/leaf")), "leaf");
  EXPECT_FALSE(fs::exists(other + "/file"));
  EXPECT_FALSE(fs::exists(other + "/tree"));

  // Still refuses to replace an existing destination.
  write(other + "/again", "new");
  EXPECT_FALSE(fm->moveItemAtURL(NSURL::fileURLWithPath(other + "/again"), url("file"), &error));
  EXPECT_EQ(error->code(), NSFileWriteFileExistsError);
  EXPECT_EQ(read(at("file")), "across");
  EXPECT_EQ(read(other + "/again"), "new");
  fs::remove_all(other);
}

TEST_F(FileManagerTest, MoveAsARunTimeMessageWithAnOutError) {
  write(at("a"), "x");
  SEL move = sel<"moveItemAtURL:toURL:error:">();
  Ref<NSError> error;
  auto manager = send<Id>(NSClassFromString("NSFileManager"), sel<"defaultManager">());
  ASSERT_EQ(manager.get(), fm);
  EXPECT_TRUE(send<bool>(manager, move, url("a"), url("b"), &error));
  EXPECT_EQ(error, nullptr);
  EXPECT_FALSE(send<bool>(manager, move, url("a"), url("c"), &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), NSFileNoSuchFileError);
  EXPECT_FALSE(send<bool>(manager, move, url("a"), url("c"), static_cast<Ref<NSError>*>(nullptr)));
}

TEST_F(FileManagerTest, CopyAndRemove) {
  write(at("a"), "one");
  fs::create_directories(at("tree/sub"));
  write(at("tree/sub/leaf"), "leaf");
  Ref<NSError> error;
  EXPECT_TRUE(fm->copyItemAtURL(url("a"), url("b"), &error));
  EXPECT_TRUE(fm->copyItemAtURL(url("tree"), url("copy"), &error));
  EXPECT_EQ(read(at("a")), "one");
  EXPECT_EQ(read(at("b")), "one");
  EXPECT_EQ(read(at("copy/sub/leaf")), "leaf");

  EXPECT_FALSE(fm->copyItemAtURL(url("a"), url("b"), &error));
  EXPECT_EQ(error->code(), NSFileWriteFileExistsError);
  EXPECT_FALSE(fm->copyItemAtURL(url("missing"), url("c"), &error));
  EXPECT_EQ(error->code(), NSFileReadNoSuchFileError);
  EXPECT_FALSE(fm->fileExistsAtPath(at("c")));

  EXPECT_TRUE(fm->removeItemAtURL(url("copy"), &error));
  EXPECT_FALSE(fm->fileExistsAtPath(at("copy")));
  EXPECT_FALSE(fm->removeItemAtURL(url("copy"), &error));
  EXPECT_EQ(error->code(), NSFileNoSuchFileError);
}

TEST_F(FileManagerTest, CreateReadAndDescribeFiles) {
  write(at("f"), "first");
  write(at("f"), "replaced");  // replaces, leaving no temporary file
  EXPECT_EQ(read(at("f")), "replaced");
  EXPECT_TRUE(fm->createFileAtPath(at("empty"), nullptr));
  EXPECT_EQ(fm->fileSizeAtPath(at("empty")), 0);
  EXPECT_FALSE(fm->createFileAtPath(at("no/dir/f"), NSData::dataWithUTF8("x")));
  EXPECT_EQ(fm->contentsAtPath(at("missing")), nullptr);
  EXPECT_EQ(fm->contentsAtPath(dir), nullptr);
  EXPECT_EQ(fm->fileSizeAtPath(at("missing")), -1);

  Ref<NSError> error;
  auto names = fm->contentsOfDirectoryAtPath(str(dir), &error);
  ASSERT_NE(names, nullptr);
  EXPECT_TRUE(names->isEqual(NSArray::arrayWithObjects({str("empty"), str("f")})));

  auto attributes = fm->attributesOfItemAtPath(str(at("f")), &error);
  ASSERT_NE(attributes, nullptr);
  EXPECT_EQ(asNumber(attributes->objectForKey(NSFileSize))->integerValue(), 8);
  EXPECT_EQ(asString(attributes->objectForKey(NSFileType))->utf8(), NSFileTypeRegular);
  EXPECT_EQ(fm->attributesOfItemAtPath(str(at("missing")), &error), nullptr);
  EXPECT_EQ(error->code(), NSFileReadNoSuchFileError);
}

}  // namespace

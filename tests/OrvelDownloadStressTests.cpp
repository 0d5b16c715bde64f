// Local notifications whose media address leads to a misbehaving server: a
// body cut short, a redirect loop, a redirect to a file: address, a body
// that trickles slower than the download time-out allows, an empty body,
// and an error status with a body that looks like the image. Each must end
// with the handler called exactly once (with the request, scheduled without
// the attachment) and no file left behind, neither in the temporary
// directory nor in the attachment store. A well-behaved server shows that
// the checks see files.
//
// The library's download time-out is 30 s. The trickle cases shorten every
// URL-session time-out by the same factor through Foundation's test scale,
// so the trickle is still far slower than the time-out allows without the
// test waiting 30 s.
//
// The server is the raw loopback server, so that ThreadSanitizer sees every
// step of it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackServers.h"
#include "UserNotifications/UserNotifications.h"
#include "support/OrvelLocalTestSupport.h"
#include "support/OrvelTestSupport.h"

using namespace objc;

namespace {

namespace fs = std::filesystem;

// The library's 30 s becomes 1 s; the trickle sends a byte every 3 s.
constexpr double kTimeoutScale = 1.0 / 30;
constexpr auto kTrickleGap = std::chrono::seconds(3);

using loopback::Gate;
using loopback::RawServer;
using loopback::sendAll;

// A JPEG header is enough for the platform, which judges by extension and leading bytes.
const std::string kImage = std::string("\xff\xd8\xff\xe0", 4) + std::string(2000, 'j');

std::string headFor(size_t length) {
  return "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(length) +
         "\r\nConnection: close\r\n\r\n";
}

// Answers by the request's path; "/rN/name" is "/name" for round N.
std::unique_ptr<RawServer> misbehavingServer(const std::string& fileTarget) {
  return std::make_unique<RawServer>([fileTarget](int fd, std::string path, Gate& release) {
    if (path.rfind("/r", 0) == 0 && path.find('/', 1) != std::string::npos) path = path.substr(path.find('/', 1));
    if (path == "/good.jpg") {
      sendAll(fd, headFor(kImage.size()) + kImage);
    } else if (path == "/cut.jpg") {
      sendAll(fd, headFor(100000) + kImage);
    } else if (path == "/loop.jpg") {
      sendAll(fd, "HTTP/1.1 302 Found\r\nLocation: /loop.jpg\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    } else if (path == "/to-file.jpg") {
      sendAll(fd, "HTTP/1.1 302 Found\r\nLocation: file://" + fileTarget +
                      "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    } else if (path == "/trickle.jpg") {
      // One byte now and one per gap, until the client gives up or the
      // server stops.
      if (!sendAll(fd, headFor(100000) + kImage.substr(0, 1))) return;
      for (size_t i = 1; !release.waitFor(kTrickleGap) && i < kImage.size(); ++i) {
        if (!sendAll(fd, kImage.substr(i, 1))) return;
      }
    } else if (path == "/empty.jpg") {
      sendAll(fd, headFor(0));
    } else if (path == "/error-page.jpg") {
      // A body the platform would take for the image, under an error status.
      sendAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                      std::to_string(kImage.size()) + "\r\nConnection: close\r\n\r\n" + kImage);
    } else {
      sendAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    }
  });
}

std::set<std::string> filesIn(const std::string& directory) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(directory, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_directory()) names.insert(fs::relative(it->path(), directory).string());
  }
  return names;
}

constexpr const char* kSecret = "private bytes";

std::string temporaryDirectory() { return NSFileManager::defaultManager()->temporaryDirectory()->path()->utf8(); }

// One scheduled request with a media address.
struct Scheduled {
  std::string address;
  std::unique_ptr<orveltest::HandlerProbe> probe;
};

Scheduled schedule(const std::string& address) {
  static int next = 0;
  auto content = orveltest::makeContent("with media");
  content->setUserInfo(NSDictionary::dictionaryWithEntries({{str("attachment"), str(address)}}));
  auto request = orveltest::makeRequest(str("download-" + std::to_string(next++)), content);
  Scheduled s{address, std::make_unique<orveltest::HandlerProbe>()};
  orveltest::addLocalNotification(request, *s.probe);
  return s;
}

// The attachments of the request a handler call reported.
size_t attachmentsOf(const orveltest::HandlerCall& call) {
  auto* request = cast<UNNotificationRequest>(call.result.get());
  NSArray* attachments = request && request->content() ? request->content()->attachments() : nullptr;
  return attachments ? attachments->count() : 0;
}

class OrvelDownloadStressBase : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = (fs::temp_directory_path() / ("orvel-download-stress-" + std::to_string(::getpid()))).string();
    fs::remove_all(store_);
    fs::create_directories(store_);
    UNNotificationAttachment::setAttachmentStoreDirectory(store_);
    secret_ = temporaryDirectory() + "/secret.jpg";
    ASSERT_TRUE(NSFileManager::defaultManager()->createFileAtPath(secret_, NSData::dataWithUTF8(kSecret)));
    before_ = filesIn(temporaryDirectory());
    server_ = misbehavingServer(secret_);
  }
  void TearDown() override {
    server_.reset();
    setURLSessionTimeoutScaleForTesting(1);
    UNNotificationAttachment::setAttachmentStoreDirectory("");
    fs::remove_all(store_);
    fs::remove(secret_);
  }

  // Waits for every handler call, then for the temporary directory to be as
  // before (a download's own file goes once its completion has returned),
  // then drains the notification centre's queue so that a second call
  // already under way would be seen.
  void settle(const std::vector<Scheduled>& all) {
    for (const Scheduled& s : all) ASSERT_TRUE(s.probe->waitFor(1)) << s.address << ": the handler was never called";
    runMainUntil([&] { return filesIn(temporaryDirectory()) == before_; }, 10);
    dispatch_sync(UNUserNotificationCenter::currentNotificationCenter()->completionQueue(), [] {});
    runMainUntilIdle();
  }

  // The handler ran once, reporting the request scheduled without the media.
  static void expectScheduledWithoutMedia(const Scheduled& s) {
    auto calls = s.probe->calls();
    ASSERT_EQ(calls.size(), 1u) << s.address;
    EXPECT_EQ(calls[0].error, nullptr) << s.address << ": " << orveltest::text(calls[0].error);
    EXPECT_NE(cast<UNNotificationRequest>(calls[0].result.get()), nullptr) << s.address;
    EXPECT_EQ(attachmentsOf(calls[0]), 0u) << s.address;
  }

  void expectNoFileLeft() {
    EXPECT_EQ(filesIn(temporaryDirectory()), before_) << "a file was left in the temporary directory";
    EXPECT_TRUE(filesIn(store_).empty()) << "a file was left in the attachment store";
    auto secret = NSFileManager::defaultManager()->contentsAtPath(secret_);
    EXPECT_TRUE(secret && secret->isEqual(NSData::dataWithUTF8(kSecret))) << "the file the redirect names was touched";
  }

  void runAlone(std::string_view path) {
    std::vector<Scheduled> all;
    all.push_back(schedule(server_->url(path)));
    settle(all);
    expectScheduledWithoutMedia(all[0]);
    expectNoFileLeft();
  }

  std::unique_ptr<RawServer> server_;
  std::string store_;
  std::string secret_;
  std::set<std::string> before_;
};

class OrvelDownloadStress : public OrvelDownloadStressBase {};

TEST_F(OrvelDownloadStress, AWellBehavedServerGivesOneStoredAttachmentAndNoTemporaryFile) {
  std::vector<Scheduled> all;
  all.push_back(schedule(server_->url("/good.jpg")));
  settle(all);
  auto calls = all[0].probe->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].error, nullptr);
  EXPECT_EQ(attachmentsOf(calls[0]), 1u);
  EXPECT_EQ(filesIn(temporaryDirectory()), before_);
  EXPECT_EQ(filesIn(store_).size(), 1u) << "the downloaded file is kept in the store";
}

TEST_F(OrvelDownloadStress, AServerThatClosesMidBody) { runAlone("/cut.jpg"); }

TEST_F(OrvelDownloadStress, ARedirectLoop) { runAlone("/loop.jpg"); }

TEST_F(OrvelDownloadStress, ARedirectToAFileAddress) { runAlone("/to-file.jpg"); }

TEST_F(OrvelDownloadStress, ABodyThatTricklesSlowerThanTheTimeOutAllows) {
  setURLSessionTimeoutScaleForTesting(kTimeoutScale);
  runAlone("/trickle.jpg");
}

TEST_F(OrvelDownloadStress, AnEmptyBody) { runAlone("/empty.jpg"); }

TEST_F(OrvelDownloadStress, AnErrorStatusWhateverTheBody) { runAlone("/error-page.jpg"); }

// Under ThreadSanitizer in CI: every kind at once, several times over, beside
// well-behaved downloads.
class OrvelDownloadStressConcurrency : public OrvelDownloadStressBase {};

TEST_F(OrvelDownloadStressConcurrency, EveryKindAtOnceEndsOnceEachAndLeavesOnlyTheGoodAttachments) {
  setURLSessionTimeoutScaleForTesting(kTimeoutScale);
  const std::vector<std::string> bad = {"/cut.jpg",     "/loop.jpg",  "/to-file.jpg",
                                        "/trickle.jpg", "/empty.jpg", "/error-page.jpg"};
  const int rounds = 3;
  std::vector<Scheduled> all;
  for (int r = 0; r < rounds; ++r) {
    std::string round = "/r" + std::to_string(r);
    for (const std::string& path : bad) all.push_back(schedule(server_->url(round + path)));
    all.push_back(schedule(server_->url(round + "/good.jpg")));
  }
  settle(all);

  size_t good = 0;
  for (const Scheduled& s : all) {
    if (s.address.find("/good.jpg") != std::string::npos) {
      auto calls = s.probe->calls();
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(attachmentsOf(calls[0]), 1u);
      ++good;
    } else {
      expectScheduledWithoutMedia(s);
    }
  }
  EXPECT_EQ(good, static_cast<size_t>(rounds));
  EXPECT_EQ(filesIn(temporaryDirectory()), before_);
  EXPECT_EQ(filesIn(store_).size(), static_cast<size_t>(rounds)) << "only the good downloads are stored";
}

}  // namespace

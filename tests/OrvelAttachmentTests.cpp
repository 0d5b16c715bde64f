// Media attachments of local notifications, downloaded from real servers on
// 127.0.0.1: cpp-httplib for well-formed answers, the raw loopback server for
// a stall and for the concurrency test.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Device/Device.h"
#include "LoopbackHttpServer.h"
#include "UserNotifications/UserNotifications.h"
#include "support/OrvelLocalTestSupport.h"
#include "support/OrvelTestSupport.h"

using namespace objc;
using orveltest::HandlerProbe;
using orveltest::makeContent;
using orveltest::makeRequest;

namespace {

namespace fs = std::filesystem;

using loopback::Gate;
using loopback::HttpServer;
using loopback::RawServer;
using loopback::refusedPort;
using loopback::sendAll;

std::string readFile(const std::string& path) {
  auto data = NSFileManager::defaultManager()->contentsAtPath(path);
  return data ? std::string(data->bytes(), data->bytes() + data->length()) : std::string();
}

// ---- what the attachment factory is offered ----

// One offer of a file to the factory, as the factory saw it.
struct Offer {
  std::string identifier;
  std::string path;
  bool withOptions = false;
  std::string contents;
  // Whether the path up to its last dot, where the session put the
  // download, still had a file.
  bool downloadStillThere = false;
  bool accepted = false;
};

std::mutex gOffersLock;
std::vector<Offer> gOffers;
IMP gFactory = nullptr;

Id recordingFactory(id self, SEL cmd, id identifier, id url, id options, void* error) {
  Offer offer;
  offer.identifier = orveltest::text(identifier);
  auto* file = cast<NSURL>(url);
  offer.path = file ? file->path()->utf8() : "";
  offer.withOptions = options != nullptr;
  offer.contents = readFile(offer.path);
  offer.downloadStillThere = fs::exists(offer.path.substr(0, offer.path.rfind('.')));
  Id made = reinterpret_cast<Id (*)(id, SEL, id, id, id, void*)>(gFactory)(self, cmd, identifier, url, options, error);
  offer.accepted = made != nullptr;
  std::lock_guard<std::mutex> g(gOffersLock);
  gOffers.push_back(std::move(offer));
  return made;
}

// Records every offer, then lets the factory decide as before.
void watchTheFactory() {
  std::lock_guard<std::mutex> g(gOffersLock);
  gOffers.clear();
  if (gFactory) return;
  Method m =
      class_getClassMethod(UNNotificationAttachment::class_(), sel<"attachmentWithIdentifier:URL:options:error:">());
  gFactory = method_setImplementation(m, reinterpret_cast<IMP>(&recordingFactory));
}

// The offers of downloaded files, which the library names "attachment".
std::vector<Offer> downloadOffers() {
  std::lock_guard<std::mutex> g(gOffersLock);
  std::vector<Offer> out;
  for (const Offer& o : gOffers)
    if (o.identifier == "attachment") out.push_back(o);
  return out;
}

bool endsWith(const std::string& text, std::string_view suffix) { return text.ends_with(suffix); }

// What the server sends for a picture: the platform accepts only a file
// that begins as its type does.
const std::string kJpeg = "\xFF\xD8\xFF\xE0JPEG-BYTES";
const std::string kPngSignature("\x89PNG\r\n\x1a\n", 8);

class OrvelAttachments : public ::testing::Test {
 protected:
  void SetUp() override {
    UIDevice::currentDevice()->setSystemVersion("13.0");
    UNUserNotificationCenter::currentNotificationCenter()->setAuthorizationStatus(UNAuthorizationStatusAuthorized, 7);
    http.server.Get("/pic.jpg",
                    [](const httplib::Request&, httplib::Response& res) { res.set_content(kJpeg, "image/jpeg"); });
    http.server.Get("/picture",
                    [](const httplib::Request&, httplib::Response& res) { res.set_content(kJpeg, "image/jpeg"); });
    http.server.Get("/pic.png", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(kPngSignature + " size=" + req.get_param_value("size"), "image/png");
    });
    // An error page under an image's name, and a success without a body.
    http.server.Get("/gone.png", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("<h1>gone</h1>", "text/html");
    });
    http.server.Get("/broken.png", [](const httplib::Request&, httplib::Response& res) {
      res.status = 500;
      res.set_content(kPngSignature, "image/png");
    });
    http.server.Get("/empty.png", [](const httplib::Request&, httplib::Response& res) { res.status = 200; });
    http.start();
    watchTheFactory();
  }

  // Schedules a notification whose media address is `address`, with the
  // content's own attachments `own`; what was submitted. The handler must
  // be called once.
  Ref<UNNotificationRequest> schedule(const std::string& address, std::vector<Id> own = {}) {
    auto content = makeContent("media");
    if (!own.empty()) content->setAttachments(make<NSArray>(own));
    content->setUserInfo(NSDictionary::dictionaryWithEntries({{str("attachment"), str(address)}}));
    HandlerProbe probe;
    orveltest::addLocalNotification(makeRequest(str(address), content), probe);
    EXPECT_TRUE(probe.waitFor(1));
    // A later request through the same centre; the first handler has had
    // every chance to be called again by then.
    HandlerProbe fence;
    orveltest::addLocalNotification(makeRequest(str("fence"), makeContent("fence")), fence);
    EXPECT_TRUE(fence.waitFor(1));
    auto calls = probe.calls();
    EXPECT_EQ(calls.size(), 1u);
    if (calls.empty()) return nullptr;
    EXPECT_FALSE(calls[0].error) << orveltest::text(calls[0].error.get());
    return cast<UNNotificationRequest>(calls[0].result);
  }
  NSArray* attachmentsOf(const Ref<UNNotificationRequest>& request) {
    return request ? request->content()->attachments() : nullptr;
  }

  HttpServer http;
};

TEST_F(OrvelAttachments, TheDownloadedImageComesAfterTheContentsOwnAttachments) {
  Id first = orveltest::makePlatformAttachment("first", "first.png");
  Id second = orveltest::makePlatformAttachment("second", "second.gif");
  ASSERT_TRUE(first && second);
  auto request = schedule(http.url("/pic.jpg"), {first, second});
  NSArray* attachments = attachmentsOf(request);
  ASSERT_TRUE(attachments);
  ASSERT_EQ(attachments->count(), 3u);
  EXPECT_EQ(attachments->objectAtIndex(0), first.get());
  EXPECT_EQ(attachments->objectAtIndex(1), second.get());
  auto* downloaded = cast<UNNotificationAttachment>(attachments->objectAtIndex(2));
  ASSERT_TRUE(downloaded);
  EXPECT_EQ(downloaded->identifier()->utf8(), "attachment");
  EXPECT_TRUE(endsWith(downloaded->URL()->path()->utf8(), ".jpg")) << downloaded->URL()->path()->utf8();
  EXPECT_EQ(readFile(downloaded->URL()->path()->utf8()), kJpeg);

  auto offers = downloadOffers();
  ASSERT_EQ(offers.size(), 1u);
  EXPECT_FALSE(offers[0].withOptions);
  EXPECT_TRUE(endsWith(offers[0].path, ".jpg"));
  EXPECT_EQ(offers[0].contents, kJpeg);
  EXPECT_FALSE(offers[0].downloadStillThere) << "moved, not copied";
}

TEST_F(OrvelAttachments, TheSuffixIsTheExtensionOfTheAddressPath) {
  struct Case {
    std::string path;
    std::string suffix;
    std::string contents;
    size_t attached;
  } cases[] = {
      {"/picture", ".", kJpeg, 0},
      {"/pic.png?size=2#top", ".png", kPngSignature + " size=2", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    watchTheFactory();
    auto request = schedule(http.url(c.path));
    ASSERT_TRUE(request);
    EXPECT_EQ(attachmentsOf(request)->count(), c.attached);
    auto offers = downloadOffers();
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_TRUE(endsWith(offers[0].path, c.suffix)) << offers[0].path;
    EXPECT_FALSE(endsWith(offers[0].path, "." + c.suffix));
    EXPECT_EQ(offers[0].contents, c.contents) << "the query still reaches the server";
    EXPECT_FALSE(offers[0].downloadStillThere);
    EXPECT_EQ(offers[0].accepted, c.attached == 1);
  }
}

TEST_F(OrvelAttachments, AnErrorStatusOrAnEmptyBodyIsAFailedDownload) {
  Id own = orveltest::makePlatformAttachment("own", "own.png");
  ASSERT_TRUE(own);
  for (const char* path : {"/gone.png", "/broken.png", "/empty.png"}) {
    SCOPED_TRACE(path);
    auto request = schedule(http.url(path), {own});
    NSArray* attachments = attachmentsOf(request);
    ASSERT_TRUE(attachments);
    ASSERT_EQ(attachments->count(), 1u) << "the content's own, and nothing downloaded";
    EXPECT_EQ(attachments->objectAtIndex(0), own.get());
  }
  EXPECT_TRUE(downloadOffers().empty()) << "nothing is offered to the factory";
}

TEST_F(OrvelAttachments, OnTheDeviceSettlingShowsTheOutcomeAndTheHostNeedsNoWaitingOfItsOwn) {
  Device device;
  auto content = makeContent("media");
  content->setUserInfo(NSDictionary::dictionaryWithEntries({{str("attachment"), str(http.url("/pic.jpg"))}}));
  HandlerProbe probe;
  orveltest::addLocalNotification(makeRequest(str("settled"), content), probe);
  device.settle();
  ASSERT_EQ(probe.count(), 1u) << "downloaded, attached and scheduled before settle() returned";
  auto* request = cast<UNNotificationRequest>(probe.calls()[0].result.get());
  ASSERT_TRUE(request);
  EXPECT_EQ(request->content()->attachments()->count(), 1u);
}

TEST_F(OrvelAttachments, FailedDownloadsScheduleTheNotificationWithoutMedia) {
  Id own = orveltest::makePlatformAttachment("own", "own.png");
  ASSERT_TRUE(own);
  std::string refused = "http://127.0.0.1:" + std::to_string(refusedPort()) + "/pic.jpg";
  for (const std::string& address :
       {refused, std::string("http://127.0.0.1/not a url.jpg"), std::string("ftp://127.0.0.1/pic.jpg")}) {
    SCOPED_TRACE(address);
    auto request = schedule(address, {own});
    NSArray* attachments = attachmentsOf(request);
    ASSERT_TRUE(attachments);
    ASSERT_EQ(attachments->count(), 1u);
    EXPECT_EQ(attachments->objectAtIndex(0), own.get());
  }
  EXPECT_TRUE(downloadOffers().empty());
}

TEST_F(OrvelAttachments, AStalledServerThatGivesUpSchedulesWithoutMedia) {
  Gate arrived, release;
  RawServer stalling([&](int fd, const std::string&, Gate&) {
    sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
    sendAll(fd, std::string(500, 'x'));
    arrived.open();
    release.wait();
  });
  auto content = makeContent("media");
  content->setUserInfo(NSDictionary::dictionaryWithEntries({{str("attachment"), str(stalling.url("/slow.jpg"))}}));
  HandlerProbe probe;
  orveltest::addLocalNotification(makeRequest(str("slow"), content), probe);
  ASSERT_TRUE(runMainUntil([&] { return arrived.isOpen(); }, 30));
  EXPECT_EQ(probe.count(), 0u) << "submitted only once the download has ended";
  EXPECT_TRUE(UNUserNotificationCenter::currentNotificationCenter()->pendingRequests().empty());
  release.open();
  ASSERT_TRUE(probe.waitFor(1));
  HandlerProbe fence;
  orveltest::addLocalNotification(makeRequest(str("fence"), makeContent("fence")), fence);
  ASSERT_TRUE(fence.waitFor(1));
  ASSERT_EQ(probe.count(), 1u);
  auto* request = cast<UNNotificationRequest>(probe.calls()[0].result.get());
  ASSERT_TRUE(request);
  EXPECT_EQ(request->content()->attachments()->count(), 0u);
  EXPECT_TRUE(downloadOffers().empty());
}

// ---- the two steps on their own ----

struct AttachmentsOutcome {
  std::mutex lock;
  int calls = 0;
  Ref<NSArray> attachments;
  Ref<NSError> error;
};

Ref<OrvelAttachmentsCompletion> recordInto(std::shared_ptr<AttachmentsOutcome> outcome) {
  return makeBlock<void(NSArray*, NSError*)>([outcome](NSArray* attachments, NSError* error) {
    std::lock_guard<std::mutex> g(outcome->lock);
    ++outcome->calls;
    outcome->attachments = attachments;
    outcome->error = error;
  });
}

int callsOf(const std::shared_ptr<AttachmentsOutcome>& outcome) {
  std::lock_guard<std::mutex> g(outcome->lock);
  return outcome->calls;
}

TEST_F(OrvelAttachments, AMissingAddressIsReportedAtOnce) {
  for (Ref<NSString> address : {Ref<NSString>(), str("")}) {
    auto outcome = std::make_shared<AttachmentsOutcome>();
    send<void>(OrvelContext::currentContext(), sel<"_handleNotificationServiceRequestUrl:withAttachmentsComplete:">(),
               address, recordInto(outcome));
    ASSERT_EQ(callsOf(outcome), 1) << "before returning";
    EXPECT_FALSE(outcome->attachments);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->domain()->utf8(), "Attachment");
    EXPECT_EQ(outcome->error->code(), 999);
    EXPECT_TRUE(outcome->error->userInfo()->isEqual(
        NSDictionary::dictionaryWithEntries({{str("Description"), str("该推送不包含多媒体附件")}})));
  }
  send<void>(OrvelContext::currentContext(), sel<"_handleNotificationServiceRequestUrl:withAttachmentsComplete:">(),
             str(""), nullptr);
}

TEST_F(OrvelAttachments, TheGivenTypeMakesTheSuffix) {
  std::mutex lock;
  int calls = 0;
  Id made;
  auto completion = makeBlock<void(NSObject*)>([&](NSObject* attachment) {
    std::lock_guard<std::mutex> g(lock);
    ++calls;
    made = attachment;
  });
  send<void>(OrvelContext::currentContext(), sel<"_loadAttachmentForUrlString:withType:completionHandle:">(),
             str(http.url("/picture")), str("jpg"), completion);
  ASSERT_TRUE(runMainUntil(
      [&] {
        std::lock_guard<std::mutex> g(lock);
        return calls == 1;
      },
      60));
  std::lock_guard<std::mutex> g(lock);
  auto* a = cast<UNNotificationAttachment>(made.get());
  ASSERT_TRUE(a);
  EXPECT_TRUE(endsWith(a->URL()->path()->utf8(), ".jpg"));
  EXPECT_EQ(readFile(a->URL()->path()->utf8()), kJpeg);
}

// ---- several at once ----

TEST(OrvelAttachmentConcurrency, DownloadsScheduledFromSeveralThreadsShareNothing) {
  UIDevice::currentDevice()->setSystemVersion("13.0");
  UNUserNotificationCenter::currentNotificationCenter()->setAuthorizationStatus(UNAuthorizationStatusAuthorized, 7);
  RawServer server([](int fd, const std::string& path, Gate&) {
    sendAll(fd, loopback::okResponse(kJpeg + " of " + path, "image/jpeg"));
  });
  constexpr int kThreads = 4, kEach = 3;
  HandlerProbe probe;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string name = "n" + std::to_string(t) + "-" + std::to_string(i);
        auto content = makeContent(name);
        content->setUserInfo(
            NSDictionary::dictionaryWithEntries({{str("attachment"), str(server.url("/" + name + ".jpg"))}}));
        orveltest::addLocalNotification(makeRequest(str(name), content), probe.handler());
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(probe.waitFor(kThreads * kEach));

  std::set<std::string> files;
  for (const auto& call : probe.calls()) {
    auto* request = cast<UNNotificationRequest>(call.result.get());
    ASSERT_TRUE(request) << orveltest::text(call.error.get());
    ASSERT_EQ(request->content()->attachments()->count(), 1u);
    auto* a = cast<UNNotificationAttachment>(request->content()->attachments()->firstObject());
    std::string path = a->URL()->path()->utf8();
    EXPECT_EQ(readFile(path), kJpeg + " of /" + request->identifier()->utf8() + ".jpg");
    files.insert(path);
  }
  EXPECT_EQ(files.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(UNUserNotificationCenter::currentNotificationCenter()->pendingRequests().size(),
            static_cast<size_t>(kThreads * kEach));
}

}  // namespace

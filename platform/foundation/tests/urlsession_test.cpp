// Download tasks against real servers on 127.0.0.1: cpp-httplib for
// well-formed answers, and the raw loopback server for answers it will not
// give (a body cut short, a stall, a trickle) and for the concurrency tests.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/Foundation.h"
#include "LoopbackHttpServer.h"

using namespace objc;

namespace {

namespace fs = std::filesystem;

using loopback::Gate;
using loopback::HttpServer;
using loopback::okResponse;
using loopback::RawServer;
using loopback::refusedPort;
using loopback::sendAll;

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto& b : bytes) b = static_cast<char>(random() & 0xff);
  return bytes;
}

std::string readFile(const std::string& path) {
  auto data = NSFileManager::defaultManager()->contentsAtPath(path);
  return data ? std::string(data->bytes(), data->bytes() + data->length()) : std::string();
}

std::set<std::string> temporaryFiles() {
  std::set<std::string> names;
  for (auto& entry : fs::directory_iterator(NSFileManager::defaultManager()->temporaryDirectory()->path()->utf8())) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// What a completion saw. `settled` is set on the main queue once the
// completion's work item has fully finished (the file cleanup included).
struct Outcome {
  std::mutex lock;
  int calls = 0;
  std::string path;
  bool fileExistedInHandler = false;
  std::string body;
  Ref<NSURLResponse> response;
  Ref<NSError> error;
  bool onMainThread = false;
  bool settled = false;  // main thread only

  NSHTTPURLResponse* http() { return cast<NSHTTPURLResponse>(response.get()); }
};

struct Download {
  Ref<NSURLSessionDownloadTask> task;
  std::shared_ptr<Outcome> outcome;
};

// A download task recording into an Outcome; `inHandler` runs inside the
// completion, with the location.
Download makeDownload(NSURLSession* session, NSURL* url, std::function<void(NSURL*)> inHandler = {}) {
  auto outcome = std::make_shared<Outcome>();
  DispatchQueue* queue = session->delegateQueue();  // lives as long as the session, which outlives the task
  auto task = session->downloadTaskWithURL(
      url, [outcome, queue, inHandler](NSURL* location, NSURLResponse* response, NSError* error) {
        {
          std::lock_guard<std::mutex> g(outcome->lock);
          ++outcome->calls;
          outcome->onMainThread = isMainThread();
          outcome->response = response;
          outcome->error = error;
          if (location) {
            outcome->path = location->path()->utf8();
            outcome->fileExistedInHandler = location->isFileURL() && fs::exists(outcome->path);
            outcome->body = readFile(outcome->path);
          }
        }
        if (inHandler) inHandler(location);
        // Runs after this completion's work item, and so after its cleanup.
        dispatch_async(
            queue, [outcome] { dispatch_async(dispatch_get_main_queue(), [outcome] { outcome->settled = true; }); });
      });
  return {task, outcome};
}

Download startDownload(NSURLSession* session, NSURL* url, std::function<void(NSURL*)> inHandler = {}) {
  Download d = makeDownload(session, url, std::move(inHandler));
  d.task->resume();
  return d;
}

bool settle(const std::shared_ptr<Outcome>& outcome) {
  return runMainUntil([&] { return outcome->settled; }, 60);
}

// Many downloads at once, on a shared machine: a generous bound.
bool settleAll(const std::vector<std::shared_ptr<Outcome>>& outcomes) {
  return runMainUntil(
      [&] {
        for (auto& o : outcomes)
          if (!o->settled) return false;
        return true;
      },
      120);
}

Ref<NSURLSession> sessionWithTimeout(double seconds) {
  auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
  configuration->setTimeoutIntervalForRequest(seconds);
  return NSURLSession::sessionWithConfiguration(configuration);
}

class URLSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { before = temporaryFiles(); }

  // Runs a download that must fail with `code`, once, leaving no file.
  std::shared_ptr<Outcome> expectFailure(NSURL* url, int64_t code, double timeout = 60) {
    auto session = sessionWithTimeout(timeout);
    Download d = startDownload(session, url);
    EXPECT_TRUE(settle(d.outcome));
    Outcome& o = *d.outcome;
    EXPECT_EQ(o.calls, 1);
    EXPECT_TRUE(o.path.empty()) << o.path;
    EXPECT_EQ(o.response, nullptr);
    EXPECT_FALSE(o.onMainThread);
    EXPECT_NE(o.error, nullptr);
    if (o.error) {
      EXPECT_EQ(o.error->domain()->utf8(), NSURLErrorDomain);
      EXPECT_EQ(o.error->code(), code) << o.error->description();
      EXPECT_FALSE(o.error->localizedDescription()->utf8().empty());
      if (url) {
        auto* failing = asString(o.error->userInfo()->objectForKey(NSURLErrorFailingURLStringErrorKey));
        EXPECT_TRUE(failing && failing->utf8() == url->absoluteString()->utf8());
      }
    }
    EXPECT_EQ(d.task->state(), NSURLSessionTaskStateCompleted);
    EXPECT_EQ(d.task->error(), o.error);
    EXPECT_EQ(temporaryFiles(), before);
    return d.outcome;
  }

  std::set<std::string> before;
};

TEST_F(URLSessionTest, BinaryBodyArrivesIntactInATemporaryFileRemovedAfterTheHandler) {
  const std::string blob = randomBytes(300 * 1024 + 7, 1);
  HttpServer http;
  http.server.Get("/blob.bin", [&](const httplib::Request&, httplib::Response& res) {
    res.set_header("X-Check", "yes");
    res.set_content(blob, "application/octet-stream");
  });
  http.start();
  auto url = NSURL::URLWithString(http.url("/blob.bin"));
  auto session = NSURLSession::sessionWithConfiguration(NSURLSessionConfiguration::defaultSessionConfiguration());
  Download d = startDownload(session, url);
  ASSERT_TRUE(settle(d.outcome));

  Outcome& o = *d.outcome;
  EXPECT_EQ(o.calls, 1);
  EXPECT_EQ(o.error, nullptr);
  EXPECT_FALSE(o.onMainThread);
  EXPECT_TRUE(o.fileExistedInHandler);
  EXPECT_TRUE(o.body == blob) << "received " << o.body.size() << " of " << blob.size() << " bytes";
  EXPECT_EQ(fs::path(o.path).parent_path(), NSFileManager::defaultManager()->temporaryDirectory()->path()->utf8());
  ASSERT_NE(o.http(), nullptr);
  EXPECT_EQ(o.http()->statusCode(), 200);
  EXPECT_TRUE(o.http()->URL()->isEqual(url));
  EXPECT_EQ(o.http()->MIMEType()->utf8(), "application/octet-stream");
  EXPECT_EQ(o.http()->expectedContentLength(), static_cast<int64_t>(blob.size()));
  ASSERT_NE(o.http()->valueForHTTPHeaderField("x-check"), nullptr);
  EXPECT_EQ(o.http()->valueForHTTPHeaderField("x-check")->utf8(), "yes");

  // Deleted once the handler has returned.
  EXPECT_FALSE(fs::exists(o.path));
  EXPECT_EQ(temporaryFiles(), before);
  EXPECT_EQ(d.task->state(), NSURLSessionTaskStateCompleted);
  EXPECT_EQ(d.task->response(), o.response);
}

TEST_F(URLSessionTest, AHandlerKeepsTheFileByMovingIt) {
  HttpServer http;
  http.server.Get("/pic.jpg",
                  [](const httplib::Request&, httplib::Response& res) { res.set_content("jpeg bytes", "image/jpeg"); });
  http.start();
  auto session = NSURLSession::sessionWithConfiguration(nullptr);
  std::string kept;
  Download d = startDownload(session, NSURL::URLWithString(http.url("/pic.jpg")), [&](NSURL* location) {
    auto destination = NSURL::fileURLWithPath(location->path()->stringByAppendingString(str(".jpg")));
    if (NSFileManager::defaultManager()->moveItemAtURL(location, destination, nullptr))
      kept = destination->path()->utf8();
  });
  ASSERT_TRUE(settle(d.outcome));
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(readFile(kept), "jpeg bytes");
  fs::remove(kept);
}

TEST_F(URLSessionTest, NotFoundStillDownloadsTheBodyWithItsStatus) {
  HttpServer http;
  http.server.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("<h1>no such page</h1>", "text/html; charset=UTF-8");
  });
  http.start();
  auto session = NSURLSession::sessionWithConfiguration(nullptr);
  Download d = startDownload(session, NSURL::URLWithString(http.url("/missing")));
  ASSERT_TRUE(settle(d.outcome));
  Outcome& o = *d.outcome;
  EXPECT_EQ(o.calls, 1);
  EXPECT_EQ(o.error, nullptr);
  ASSERT_NE(o.http(), nullptr);
  EXPECT_EQ(o.http()->statusCode(), 404);
  EXPECT_EQ(o.body, "<h1>no such page</h1>");
  EXPECT_EQ(o.http()->MIMEType()->utf8(), "text/html");
  EXPECT_EQ(o.http()->textEncodingName()->utf8(), "utf-8");
  EXPECT_EQ(temporaryFiles(), before);
}

TEST_F(URLSessionTest, RedirectsAreFollowedToTheFinalResponse) {
  HttpServer http;
  http.server.Get("/start", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/middle"); });
  http.server.Get("/middle", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/final", 301); });
  http.server.Get("/final",
                  [](const httplib::Request&, httplib::Response& res) { res.set_content("arrived", "text/plain"); });
  http.start();
  auto session = NSURLSession::sessionWithConfiguration(nullptr);
  Download d = startDownload(session, NSURL::URLWithString(http.url("/start")));
  ASSERT_TRUE(settle(d.outcome));
  ASSERT_NE(d.outcome->http(), nullptr);
  EXPECT_EQ(d.outcome->http()->statusCode(), 200);
  EXPECT_EQ(d.outcome->body, "arrived");
  EXPECT_EQ(d.outcome->http()->URL()->absoluteString()->utf8(), http.url("/final"));
}

TEST_F(URLSessionTest, ARefusedConnectionFails) {
  expectFailure(NSURL::URLWithString("http://127.0.0.1:" + std::to_string(refusedPort()) + "/x"),
                NSURLErrorCannotConnectToHost);
}

TEST_F(URLSessionTest, ARedirectLoopFails) {
  HttpServer http;
  http.server.Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
  http.start();
  expectFailure(NSURL::URLWithString(http.url("/loop")), NSURLErrorHTTPTooManyRedirects);
}

TEST_F(URLSessionTest, ARedirectToAnotherSchemeIsNotFollowed) {
  std::string secret = NSFileManager::defaultManager()->temporaryDirectory()->path()->utf8() + "/secret";
  ASSERT_TRUE(NSFileManager::defaultManager()->createFileAtPath(secret, NSData::dataWithUTF8("local file")));
  before = temporaryFiles();
  HttpServer http;
  http.server.Get("/to-file",
                  [&](const httplib::Request&, httplib::Response& res) { res.set_redirect("file://" + secret); });
  http.server.Get("/to-ftp", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("ftp://127.0.0.1:" + std::to_string(http.port()) + "/x");
  });
  http.start();
  expectFailure(NSURL::URLWithString(http.url("/to-file")), NSURLErrorUnsupportedURL);
  expectFailure(NSURL::URLWithString(http.url("/to-ftp")), NSURLErrorUnsupportedURL);
  fs::remove(secret);
}

TEST_F(URLSessionTest, OnlyHttpAndHttpsAddressesAreLoaded) {
  std::string local = NSFileManager::defaultManager()->temporaryDirectory()->path()->utf8() + "/local";
  ASSERT_TRUE(NSFileManager::defaultManager()->createFileAtPath(local, NSData::dataWithUTF8("local file")));
  before = temporaryFiles();
  HttpServer http;  // something listening, so that ftp: could not fail for want of a server
  http.start();
  expectFailure(NSURL::fileURLWithPath(local), NSURLErrorUnsupportedURL);
  expectFailure(NSURL::URLWithString("ftp://127.0.0.1:" + std::to_string(http.port()) + "/f"),
                NSURLErrorUnsupportedURL);
  expectFailure(NSURL::URLWithString("relative/path"), NSURLErrorUnsupportedURL);
  expectFailure(NSURL::URLWithString("http:///no-host"), NSURLErrorBadURL);
  Ref<NSURL> noURL = NSURL::URLWithString("not a url");
  ASSERT_EQ(noURL, nullptr);
  expectFailure(noURL, NSURLErrorBadURL);
  fs::remove(local);
}

TEST_F(URLSessionTest, AServerThatClosesMidBodyFails) {
  RawServer raw([](int fd, const std::string&, Gate&) {
    sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nConnection: close\r\n\r\n");
    sendAll(fd, std::string(1000, 'x'));
  });
  expectFailure(NSURL::URLWithString(raw.url("/cut")), NSURLErrorNetworkConnectionLost);
}

TEST_F(URLSessionTest, AServerThatStallsPastTheTimeOutFails) {
  RawServer raw([](int fd, const std::string&, Gate& release) {
    sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
    sendAll(fd, std::string(500, 'x'));
    release.wait();
  });
  expectFailure(NSURL::URLWithString(raw.url("/stall")), NSURLErrorTimedOut, 1.0);
}

TEST_F(URLSessionTest, ASlowButSteadyBodyIsNotTimedOut) {
  // Never idle for the time-out, but longer in total than it.
  const int pieces = 12;
  RawServer raw([&](int fd, const std::string&, Gate&) {
    sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(pieces) + "\r\n\r\n");
    for (int i = 0; i < pieces; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      sendAll(fd, "x");
    }
  });
  auto session = sessionWithTimeout(1.0);
  Download d = startDownload(session, NSURL::URLWithString(raw.url("/trickle")));
  ASSERT_TRUE(settle(d.outcome));
  EXPECT_EQ(d.outcome->error, nullptr) << d.outcome->error->description();
  EXPECT_EQ(d.outcome->body, std::string(pieces, 'x'));
}

TEST_F(URLSessionTest, CancelEndsATaskOnceWhetherRunningOrNotYetStarted) {
  Gate requested;
  RawServer raw([&](int fd, const std::string&, Gate& release) {
    requested.open();
    sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nsome");
    release.wait();
  });
  auto session = NSURLSession::sessionWithConfiguration(nullptr);
  Download running = startDownload(session, NSURL::URLWithString(raw.url("/stall")));
  ASSERT_TRUE(requested.wait());
  running.task->cancel();
  ASSERT_TRUE(settle(running.outcome));
  ASSERT_NE(running.outcome->error, nullptr);
  EXPECT_EQ(running.outcome->error->code(), NSURLErrorCancelled);
  EXPECT_EQ(running.outcome->error->localizedDescription()->utf8(), "cancelled");

  Download idle = makeDownload(session, NSURL::URLWithString(raw.url("/never")));
  EXPECT_EQ(idle.task->state(), NSURLSessionTaskStateSuspended);
  idle.task->cancel();
  idle.task->resume();  // too late: nothing more happens
  idle.task->cancel();
  ASSERT_TRUE(settle(idle.outcome));
  EXPECT_EQ(idle.outcome->error->code(), NSURLErrorCancelled);

  runMainUntilIdle();
  EXPECT_EQ(running.outcome->calls, 1);
  EXPECT_EQ(idle.outcome->calls, 1);
  EXPECT_EQ(running.task->state(), NSURLSessionTaskStateCompleted);
  EXPECT_EQ(temporaryFiles(), before);
}

TEST_F(URLSessionTest, InvalidateAndCancelEndsEveryTaskAndRefusesNewOnes) {
  RawServer raw([](int fd, const std::string&, Gate& release) {
    sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nsome");
    release.wait();
  });
  auto session = NSURLSession::sessionWithConfiguration(nullptr);
  std::vector<Download> downloads;
  for (int i = 0; i < 3; ++i) downloads.push_back(startDownload(session, NSURL::URLWithString(raw.url("/s"))));
  downloads.push_back(makeDownload(session, NSURL::URLWithString(raw.url("/never-resumed"))));
  session->invalidateAndCancel();
  for (auto& d : downloads) {
    ASSERT_TRUE(settle(d.outcome));
    EXPECT_EQ(d.outcome->calls, 1);
    EXPECT_EQ(d.outcome->error->code(), NSURLErrorCancelled);
  }
  EXPECT_THROW(session->downloadTaskWithURL(NSURL::URLWithString(raw.url("/late")), nullptr), Exception);
  EXPECT_EQ(temporaryFiles(), before);
}

TEST_F(URLSessionTest, FinishTasksAndInvalidateLetsRunningTasksFinish) {
  HttpServer http;
  http.server.Get("/f", [](const httplib::Request&, httplib::Response& res) { res.set_content("done", "text/plain"); });
  http.start();
  auto session = NSURLSession::sessionWithConfiguration(nullptr);
  Download d = startDownload(session, NSURL::URLWithString(http.url("/f")));
  session->finishTasksAndInvalidate();
  ASSERT_TRUE(settle(d.outcome));
  EXPECT_EQ(d.outcome->error, nullptr);
  EXPECT_EQ(d.outcome->body, "done");
  EXPECT_THROW(session->downloadTaskWithURL(NSURL::URLWithString(http.url("/f")), nullptr), Exception);
}

TEST_F(URLSessionTest, TheCompletionRunsOnTheSessionsOwnQueue) {
  Gate served, gate;
  HttpServer http;
  http.server.Get("/q", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content("q", "text/plain");
    served.open();
  });
  http.start();
  auto session = NSURLSession::sessionWithConfiguration(nullptr);
  auto other = NSURLSession::sessionWithConfiguration(nullptr);
  EXPECT_NE(session->delegateQueue(), other->delegateQueue());
  EXPECT_NE(session->delegateQueue(), dispatch_get_main_queue());

  // While the session's queue is busy, the completion has to wait for it.
  std::atomic<bool> gateFinished{false};
  dispatch_async(session->delegateQueue(), [&] {
    gate.wait();
    gateFinished = true;
  });
  std::atomic<bool> sawGateFinished{false};
  Download d = startDownload(session, NSURL::URLWithString(http.url("/q")),
                             [&](NSURL*) { sawGateFinished = gateFinished.load(); });
  EXPECT_TRUE(served.wait());
  gate.open();
  ASSERT_TRUE(settle(d.outcome));
  EXPECT_TRUE(sawGateFinished);
  EXPECT_FALSE(d.outcome->onMainThread);
}

TEST_F(URLSessionTest, ASessionNobodyRefersToStillCompletesItsTasks) {
  HttpServer http;
  http.server.Get("/a",
                  [](const httplib::Request&, httplib::Response& res) { res.set_content("alone", "text/plain"); });
  http.start();
  std::shared_ptr<Outcome> outcome;
  Weak<NSURLSession> weakSession;
  {
    auto session = sessionWithTimeout(30);
    weakSession = session.get();
    outcome = startDownload(session, NSURL::URLWithString(http.url("/a"))).outcome;
  }
  ASSERT_TRUE(settle(outcome));
  EXPECT_EQ(outcome->body, "alone");
  // The session went away with its last task.
  EXPECT_EQ(weakSession.load(), nullptr);
}

TEST_F(URLSessionTest, ACompletionThatHoldsItsOwnTaskDoesNotKeepIt) {
  HttpServer http;
  http.server.Get("/c", [](const httplib::Request&, httplib::Response& res) { res.set_content("c", "text/plain"); });
  http.start();
  auto session = NSURLSession::sessionWithConfiguration(nullptr);
  auto holder = std::make_shared<Ref<NSURLSessionDownloadTask>>();
  auto state = std::make_shared<std::atomic<int64_t>>(-1);
  auto settled = std::make_shared<bool>(false);
  DispatchQueue* queue = session->delegateQueue();
  *holder = session->downloadTaskWithURL(
      NSURL::URLWithString(http.url("/c")), [holder, state, settled, queue](NSURL*, NSURLResponse*, NSError*) {
        *state = (*holder)->state();
        dispatch_async(queue, [settled] { dispatch_async(dispatch_get_main_queue(), [settled] { *settled = true; }); });
      });
  Weak<NSURLSessionDownloadTask> weakTask(holder->get());
  (*holder)->resume();
  ASSERT_TRUE(runMainUntil([&] { return *settled; }, 60));
  EXPECT_EQ(*state, NSURLSessionTaskStateCompleted);
  holder.reset();
  EXPECT_EQ(weakTask.load(), nullptr);
}

TEST_F(URLSessionTest, RunTimeMessagesDriveADownload) {
  HttpServer http;
  http.server.Get("/m", [](const httplib::Request&, httplib::Response& res) { res.set_content("sent", "text/plain"); });
  http.start();
  Class configurationClass = NSClassFromString("NSURLSessionConfiguration");
  Class sessionClass = NSClassFromString("NSURLSession");
  ASSERT_NE(configurationClass, nullptr);
  ASSERT_NE(sessionClass, nullptr);
  auto configuration = send<Id>(configurationClass, sel<"defaultSessionConfiguration">());
  send<void>(configuration, sel<"setTimeoutIntervalForRequest:">(), 30.0);
  EXPECT_EQ(send<double>(configuration, sel<"timeoutIntervalForRequest">()), 30.0);
  auto session = send<Id>(sessionClass, sel<"sessionWithConfiguration:">(), configuration);

  std::mutex lock;
  int64_t status = 0;
  bool done = false;
  auto completion =
      makeBlock<void(NSURL*, NSURLResponse*, NSError*)>([&](NSURL* location, NSURLResponse* response, NSError*) {
        std::lock_guard<std::mutex> g(lock);
        status = send<int64_t>(response, sel<"statusCode">());
        EXPECT_EQ(readFile(send<Ref<NSString>>(location, sel<"path">())->utf8()), "sent");
        dispatch_async(dispatch_get_main_queue(), [&] { done = true; });
      });
  auto task = send<Id>(session, sel<"downloadTaskWithURL:completionHandler:">(), NSURL::URLWithString(http.url("/m")),
                       completion);
  ASSERT_TRUE(task->isKindOfClass(NSClassFromString("NSURLSessionTask")));
  send<void>(task, sel<"resume">());
  ASSERT_TRUE(runMainUntil([&] { return done; }, 60));
  std::lock_guard<std::mutex> g(lock);
  EXPECT_EQ(status, 200);
}

TEST(URLSessionConfigurationTest, DefaultsAndCopies) {
  auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
  EXPECT_EQ(configuration->timeoutIntervalForRequest(), 60);
  EXPECT_NE(NSURLSessionConfiguration::defaultSessionConfiguration(), configuration);  // a fresh one each time
  configuration->setTimeoutIntervalForRequest(30);
  auto session = NSURLSession::sessionWithConfiguration(configuration);
  configuration->setTimeoutIntervalForRequest(5);  // the session keeps its own copy
  EXPECT_EQ(session->configuration()->timeoutIntervalForRequest(), 30);
  EXPECT_THROW(configuration->setTimeoutIntervalForRequest(0), Exception);
  EXPECT_THROW(configuration->setTimeoutIntervalForRequest(-1), Exception);
  EXPECT_THROW(configuration->setTimeoutIntervalForRequest(std::nan("")), Exception);
  EXPECT_EQ(configuration->timeoutIntervalForRequest(), 5);
}

TEST(URLResponseTest, ReadsTypeEncodingAndLengthFromTheHeaderFields) {
  auto fields = NSMutableDictionary::dictionary();
  fields->setObject(str("Text/Plain; Charset=\"ISO-8859-1\""), "content-type");
  fields->setObject(str("42"), "Content-Length");
  auto url = NSURL::URLWithString("https://127.0.0.1/r");
  auto response = NSHTTPURLResponse::responseWithURL(url, 201, fields);
  EXPECT_EQ(response->statusCode(), 201);
  EXPECT_EQ(response->MIMEType()->utf8(), "text/plain");
  EXPECT_EQ(response->textEncodingName()->utf8(), "iso-8859-1");
  EXPECT_EQ(response->expectedContentLength(), 42);
  EXPECT_EQ(response->valueForHTTPHeaderField("CONTENT-LENGTH")->utf8(), "42");
  EXPECT_EQ(response->valueForHTTPHeaderField("Missing"), nullptr);
  auto bare = NSHTTPURLResponse::responseWithURL(url, 204, nullptr);
  EXPECT_EQ(bare->MIMEType(), nullptr);
  EXPECT_EQ(bare->expectedContentLength(), -1);
}

// Under ThreadSanitizer in CI.

TEST(URLSessionConcurrency, ManyDownloadsInOneSessionFromSeveralThreads) {
  const int threads = 4, perThread = 5;
  std::vector<std::string> bodies;
  for (int i = 0; i < threads * perThread; ++i) bodies.push_back(randomBytes(1000 + 7919 * i, 100 + i));
  RawServer http(
      [&](int fd, const std::string& path, Gate&) { sendAll(fd, okResponse(bodies.at(std::stoul(path.substr(3))))); });
  auto before = temporaryFiles();
  auto session = NSURLSession::sessionWithConfiguration(nullptr);

  std::mutex lock;
  std::vector<std::shared_ptr<Outcome>> outcomes(bodies.size());
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::thread> starters;
  for (int t = 0; t < threads; ++t) {
    starters.emplace_back([&, t] {
      for (int i = t * perThread; i < (t + 1) * perThread; ++i) {
        Download d = startDownload(session, NSURL::URLWithString(http.url("/n/" + std::to_string(i))), [&](NSURL*) {
          if (inside.fetch_add(1) != 0) overlapped = true;  // one session's completions never overlap
          inside.fetch_sub(1);
        });
        std::lock_guard<std::mutex> g(lock);
        outcomes[static_cast<size_t>(i)] = d.outcome;
      }
    });
  }
  for (auto& s : starters) s.join();
  ASSERT_TRUE(settleAll(outcomes));
  for (size_t i = 0; i < outcomes.size(); ++i) {
    std::lock_guard<std::mutex> g(outcomes[i]->lock);
    EXPECT_EQ(outcomes[i]->calls, 1);
    EXPECT_EQ(outcomes[i]->error, nullptr);
    EXPECT_TRUE(outcomes[i]->body == bodies[i]) << "download " << i;
  }
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(temporaryFiles(), before);
}

TEST(URLSessionConcurrency, SessionsOnSeveralThreadsAtOnce) {
  RawServer http([](int fd, const std::string&, Gate&) { sendAll(fd, okResponse(std::string(20000, 's'))); });
  const int threads = 6;
  std::mutex lock;
  std::vector<std::shared_ptr<Outcome>> outcomes;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      // Each thread's session is dropped at once; its tasks keep it alive.
      auto session = sessionWithTimeout(30);
      for (int i = 0; i < 2; ++i) {
        Download d = startDownload(session, NSURL::URLWithString(http.url("/s")));
        std::lock_guard<std::mutex> g(lock);
        outcomes.push_back(d.outcome);
      }
    });
  }
  for (auto& w : workers) w.join();
  ASSERT_TRUE(settleAll(outcomes));
  for (auto& o : outcomes) {
    std::lock_guard<std::mutex> g(o->lock);
    EXPECT_EQ(o->calls, 1);
    EXPECT_EQ(o->body.size(), 20000u);
  }
}

TEST(URLSessionConcurrency, CancellingFromOtherThreadsCompletesEachTaskOnce) {
  RawServer http([](int fd, const std::string&, Gate&) { sendAll(fd, okResponse(std::string(50000, 'c'))); });
  auto before = temporaryFiles();
  auto session = NSURLSession::sessionWithConfiguration(nullptr);
  std::vector<Download> downloads;
  for (int i = 0; i < 24; ++i) downloads.push_back(makeDownload(session, NSURL::URLWithString(http.url("/c"))));
  std::vector<std::thread> threads;
  // Resumes and cancels race with each other, with transfers finishing and
  // with invalidation.
  threads.emplace_back([&] {
    for (auto& d : downloads) d.task->resume();
  });
  threads.emplace_back([&] {
    for (size_t i = 0; i < downloads.size(); i += 2) downloads[i].task->cancel();
  });
  threads.emplace_back([&] {
    for (size_t i = downloads.size(); i-- > 0;)
      if (i % 3 == 0) downloads[i].task->cancel();
  });
  for (auto& t : threads) t.join();
  session->invalidateAndCancel();
  std::vector<std::shared_ptr<Outcome>> outcomes;
  for (auto& d : downloads) outcomes.push_back(d.outcome);
  ASSERT_TRUE(settleAll(outcomes));
  for (auto& d : downloads) {
    std::lock_guard<std::mutex> g(d.outcome->lock);
    EXPECT_EQ(d.outcome->calls, 1);
    if (d.outcome->error) {
      EXPECT_EQ(d.outcome->error->code(), NSURLErrorCancelled);
    } else {
      EXPECT_EQ(d.outcome->body.size(), 50000u);
    }
    EXPECT_EQ(d.task->state(), NSURLSessionTaskStateCompleted);
  }
  EXPECT_EQ(temporaryFiles(), before);
}

}  // namespace

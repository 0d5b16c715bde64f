// Many deliveries through the interception on the main thread while
// background queues keep completing notification-centre requests and URL
// downloads, each of which also posts on the default notification centre
// from its own thread and hops to the main queue. Every callback must reach
// the host once, and every event the observer once, in the order of the
// callbacks; every background request must complete once.
//
// The server is the raw loopback server, so that ThreadSanitizer sees every
// step of it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackServers.h"
#include "support/OrvelTestSupport.h"

using namespace objc;

namespace {

#if defined(__SANITIZE_THREAD__)
#define ORVEL_STRESS_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVEL_STRESS_UNDER_TSAN 1
#endif
#endif

// ThreadSanitizer makes every delivery some fifty times slower (in the Debug
// build CI uses for it), so a quarter of the callbacks keeps that run well
// under a minute on a busy machine; the background work per callback, and
// so the interleaving, stays the same.
#ifdef ORVEL_STRESS_UNDER_TSAN
constexpr int64_t kCallbacks = 25000;
#else
constexpr int64_t kCallbacks = 100000;
#endif
// Main-queue turns: after this many callbacks, as a run loop would between
// system deliveries.
constexpr int64_t kCallbacksPerTurn = 100;
// The delivery waits at this many points until every background chain has
// completed another round, so that the background work overlaps it however
// the threads are scheduled.
constexpr int64_t kCheckpoints = 8;

// ---- what the system delivers ----

enum class Kind { Remote, Fetch, Local, Token };

Kind kindOf(int64_t sequence) { return static_cast<Kind>(sequence % 4); }

Ref<NSDictionary> remotePayload(int64_t sequence, const char* kind) {
  auto aps = NSDictionary::dictionaryWithEntries(
      {{str("alert"), str("n" + std::to_string(sequence))}, {str("badge"), NSNumber::numberWithInteger(1)}});
  return NSDictionary::dictionaryWithEntries(
      {{str("aps"), aps}, {str("seq"), NSNumber::numberWithInteger(sequence)}, {str("kind"), str(kind)}});
}

// The token's eight bytes are the sequence number, most significant first,
// so its event's "deviceToken" text is the number in hexadecimal.
Ref<NSData> tokenFor(int64_t sequence) {
  std::vector<uint8_t> bytes(8);
  for (int i = 0; i < 8; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(sequence >> (56 - 8 * i));
  return NSData::dataWithBytes(std::move(bytes));
}

int64_t sequenceIn(NSDictionary* info) {
  auto* number = info ? asNumber(info->objectForKey("seq")) : nullptr;
  return number ? number->integerValue() : -1;
}

struct Seen {
  Kind kind;
  int64_t sequence;
  bool operator==(const Seen&) const = default;
};

// ---- the host ----

// Implements the four callbacks; records what reached it, on which thread.
struct StressHost : NSObject {
  static Class class_();
  void didRegister(UIApplication*, NSData* token) {
    int64_t sequence = 0;
    for (size_t i = 0; i < token->length(); ++i) sequence = (sequence << 8) | token->bytes()[i];
    note(Kind::Token, sequence);
  }
  void didReceiveRemote(UIApplication*, NSDictionary* payload) { note(Kind::Remote, sequenceIn(payload)); }
  void didReceiveLocal(UIApplication*, UILocalNotification* notification) {
    note(Kind::Local, sequenceIn(notification->userInfo()));
  }
  void didReceiveRemoteFetch(UIApplication*, NSDictionary* payload, UIBackgroundFetchResultHandler* handler) {
    int64_t sequence = sequenceIn(payload);
    note(Kind::Fetch, sequence);
    // Half of them complete the handler themselves, the rest leave it to the
    // library.
    if (handler && sequence % 8 == 1) (*handler)(UIBackgroundFetchResultNoData);
  }
  void note(Kind kind, int64_t sequence) {
    if (!isMainThread()) offMainThread = true;
    seen.push_back({kind, sequence});
  }
  std::vector<Seen> seen;
  bool offMainThread = false;
};
Class StressHost::class_() {
  static Class c =
      ClassBuilder<StressHost>("StressHost")
          .conforms("UIApplicationDelegate")
          .method<&StressHost::didRegister>("application:didRegisterForRemoteNotificationsWithDeviceToken:")
          .method<&StressHost::didReceiveRemote>("application:didReceiveRemoteNotification:")
          .method<&StressHost::didReceiveLocal>("application:didReceiveLocalNotification:")
          .method<&StressHost::didReceiveRemoteFetch>(
              "application:didReceiveRemoteNotification:fetchCompletionHandler:")
          .build();
  return c;
}

// The library's events as an observer on the main thread sees them.
class EventLog {
 public:
  EventLog() {
    NSNotificationCenter* center = NSNotificationCenter::defaultCenter();
    tokens_.push_back(center->addObserverForName(OrvelDidReceiveMessageNotification, nullptr, nullptr,
                                                 [this](NSNotification* n) { onMessage(n); }));
    tokens_.push_back(center->addObserverForName(OrvelDidRegisterRemoteNotification, nullptr, nullptr,
                                                 [this](NSNotification* n) { onToken(n); }));
  }
  ~EventLog() {
    for (const Id& token : tokens_) NSNotificationCenter::defaultCenter()->removeObserver(token);
  }
  std::vector<Seen> seen;
  bool offMainThread = false;
  int64_t unreadable = 0;

 private:
  void onMessage(NSNotification* n) {
    auto* message = cast<OrvelNotificationMessage>(n->object());
    OrvelNotificationContent* content = message ? message->content() : nullptr;
    if (!content) return note(std::nullopt);
    int64_t sequence = sequenceIn(content->userInfo());
    if (message->notificationMessageType() == OrvelNotificationMessageTypeLocalReceived) {
      return note(Seen{Kind::Local, sequence});
    }
    auto* kind = asString(content->userInfo()->objectForKey("kind"));
    bool fetch = kind && kind->utf8() == "fetch";
    note(Seen{fetch ? Kind::Fetch : Kind::Remote, sequence});
  }
  void onToken(NSNotification* n) {
    auto* hex = n->userInfo() ? asString(n->userInfo()->objectForKey("deviceToken")) : nullptr;
    if (!hex) return note(std::nullopt);
    note(Seen{Kind::Token, static_cast<int64_t>(std::stoull(hex->utf8(), nullptr, 16))});
  }
  void note(std::optional<Seen> event) {
    if (!isMainThread()) offMainThread = true;
    if (event) {
      seen.push_back(*event);
    } else {
      ++unreadable;
    }
  }
  std::vector<Id> tokens_;
};

// ---- background work ----

// Repeats an asynchronous operation, one at a time, until stopped: each
// completion starts the next round from the completion's own queue, as long
// as the main thread has granted a round (it grants one per main-queue turn,
// so that the background work spreads over the whole delivery instead of
// taking the processors from it). A completion also posts
// "OrvelStressBackgroundRound" on the default centre from its queue and hops
// to the main queue.
class Chain {
 public:
  // Starts one operation and arranges for `done(succeeded)` to be called
  // when it completes.
  using Step = std::function<void(int64_t round, std::function<void(bool)> done)>;

  explicit Chain(Step step) : step_(std::move(step)) {}

  void start() {
    {
      std::lock_guard<std::mutex> g(lock_);
      running_ = true;
    }
    dispatch_async(queue_, [this] { next(); });
  }
  void grant() {
    bool resume;
    {
      std::lock_guard<std::mutex> g(lock_);
      ++granted_;
      resume = parked_;
      parked_ = false;
    }
    if (resume) dispatch_async(queue_, [this] { next(); });
  }
  void stop() {
    std::lock_guard<std::mutex> g(lock_);
    stopping_ = true;
    if (parked_) {
      parked_ = false;
      running_ = false;
    }
  }
  bool idle() const {
    std::lock_guard<std::mutex> g(lock_);
    return !running_;
  }
  int64_t completed() const { return completed_; }
  int64_t failures() const { return failures_; }
  int64_t repeated() const { return repeated_; }
  int64_t hopsArrived() const { return hopsArrived_; }  // main thread only

 private:
  void next() {
    int64_t round;
    {
      std::lock_guard<std::mutex> g(lock_);
      if (stopping_) {
        running_ = false;
        wakeMainLoop();
        return;
      }
      if (granted_ == started_) {
        parked_ = true;
        return;
      }
      round = started_++;
    }
    auto called = std::make_shared<std::atomic<bool>>(false);
    step_(round, [this, called](bool succeeded) {
      if (called->exchange(true)) {
        ++repeated_;
        return;
      }
      if (!succeeded) ++failures_;
      NSNotificationCenter::defaultCenter()->postNotificationName(lit<"OrvelStressBackgroundRound">(), nullptr);
      dispatch_async(dispatch_get_main_queue(), [this] { ++hopsArrived_; });
      ++completed_;
      next();
    });
  }

  Step step_;
  dispatch_queue_t queue_ = dispatch_queue_create("OrvelStress.chain");
  mutable std::mutex lock_;
  bool running_ = false;
  bool stopping_ = false;
  bool parked_ = false;
  int64_t granted_ = 0;
  int64_t started_ = 0;
  std::atomic<int64_t> completed_{0};
  std::atomic<int64_t> failures_{0};
  std::atomic<int64_t> repeated_{0};
  int64_t hopsArrived_ = 0;
};

// The notification centre, found by name as the library finds it.
Id notificationCenter() {
  return send<Id>(NSClassFromString("UNUserNotificationCenter"), sel<"currentNotificationCenter">());
}

void askForSettings(int64_t, std::function<void(bool)> done) {
  auto completion = makeBlock<void(NSObject*)>([done](NSObject* settings) { done(settings != nullptr); });
  send<void>(notificationCenter(), sel<"getNotificationSettingsWithCompletionHandler:">(), completion);
}

void addRequest(int64_t round, std::function<void(bool)> done) {
  Id content = send<Id>(NSClassFromString("UNMutableNotificationContent"), sel<"new">());
  send<void>(content, sel<"setBody:">(), str("background " + std::to_string(round)));
  Id trigger = send<Id>(NSClassFromString("UNTimeIntervalNotificationTrigger"),
                        sel<"triggerWithTimeInterval:repeats:">(), 3600.0, false);
  // A few identifiers, so that requests replace each other and the pending
  // list stays small.
  Id request = send<Id>(NSClassFromString("UNNotificationRequest"), sel<"requestWithIdentifier:content:trigger:">(),
                        str("stress-" + std::to_string(round % 16)), content, trigger);
  auto completion = makeBlock<void(NSError*)>([done](NSError* error) { done(error == nullptr); });
  send<void>(notificationCenter(), sel<"addNotificationRequest:withCompletionHandler:">(), request, completion);
}

std::string bodyFor(const std::string& path) {
  std::string body;
  while (body.size() < 4096) body += path + ";";
  return body;
}

// Answers every request on 127.0.0.1 with 200 and bodyFor(path).
std::unique_ptr<loopback::RawServer> fileServer() {
  return std::make_unique<loopback::RawServer>([](int fd, const std::string& path, loopback::Gate&) {
    loopback::sendAll(fd, loopback::okResponse(bodyFor(path)));
  });
}

Chain::Step downloads(const loopback::RawServer& server, Ref<NSURLSession> session, std::string name) {
  return [&server, session, name](int64_t round, std::function<void(bool)> done) {
    std::string path = "/" + name + "/" + std::to_string(round);
    auto task = session->downloadTaskWithURL(
        NSURL::URLWithString(server.url(path)), [done, path](NSURL* location, NSURLResponse*, NSError* error) {
          Ref<NSData> data = location ? NSFileManager::defaultManager()->contentsAtPath(location->path()) : nullptr;
          std::string body = data ? std::string(data->bytes(), data->bytes() + data->length()) : std::string();
          done(!error && body == bodyFor(path));
        });
    task->resume();
  };
}

// ---- the test ----

UIApplication* app() { return UIApplication::sharedApplication(); }

// Sends callback `sequence` to the delegate as the system does.
void deliver(NSObject* delegate, int64_t sequence, std::vector<int>& fetchCompletions) {
  switch (kindOf(sequence)) {
    case Kind::Remote:
      send<void>(delegate, sel<"application:didReceiveRemoteNotification:">(), app(),
                 remotePayload(sequence, "remote"));
      break;
    case Kind::Fetch: {
      auto handler = makeBlock<void(UIBackgroundFetchResult)>(
          [&fetchCompletions, sequence](UIBackgroundFetchResult) { ++fetchCompletions[sequence / 4]; });
      send<void>(delegate, sel<"application:didReceiveRemoteNotification:fetchCompletionHandler:">(), app(),
                 remotePayload(sequence, "fetch"), handler);
      break;
    }
    case Kind::Local: {
      auto info = NSDictionary::dictionaryWithEntries({{str("seq"), NSNumber::numberWithInteger(sequence)}});
      send<void>(delegate, sel<"application:didReceiveLocalNotification:">(), app(),
                 orveltest::localNotification("local", info));
      break;
    }
    case Kind::Token:
      send<void>(delegate, sel<"application:didRegisterForRemoteNotificationsWithDeviceToken:">(), app(),
                 tokenFor(sequence));
      break;
  }
}

TEST(OrvelStressConcurrency, EveryCallbackAndEventArrivesOnceInOrderWhileBackgroundQueuesComplete) {
  // The library logs every callback; the lines are of no interest here.
  setLogSink([](const std::string&) {});
  app()->setApplicationState(UIApplicationStateActive);
  ASSERT_TRUE(notificationCenter()) << "the notification framework is loaded at the default system version";

  auto host = make<StressHost>();
  orveltest::installApplicationDelegate(host);
  ASSERT_STREQ(object_getClassName(host), "Orvel_StressHost");
  EventLog events;

  std::atomic<int64_t> backgroundPosts{0};
  Id backgroundObserver = NSNotificationCenter::defaultCenter()->addObserverForName(
      lit<"OrvelStressBackgroundRound">(), nullptr, nullptr, [&](NSNotification*) { ++backgroundPosts; });

  auto server = fileServer();
  std::vector<std::unique_ptr<Chain>> chains;
  chains.push_back(std::make_unique<Chain>(&askForSettings));
  chains.push_back(std::make_unique<Chain>(&addRequest));
  chains.push_back(std::make_unique<Chain>(downloads(*server, NSURLSession::sessionWithConfiguration(nullptr), "a")));
  chains.push_back(std::make_unique<Chain>(downloads(*server, NSURLSession::sessionWithConfiguration(nullptr), "b")));
  for (auto& chain : chains) {
    chain->grant();
    chain->start();
  }

  auto everyChainCompletedSince = [&](const std::vector<int64_t>& marks) {
    for (size_t i = 0; i < chains.size(); ++i)
      if (chains[i]->completed() <= marks[i]) return false;
    return true;
  };
  auto completedNow = [&] {
    std::vector<int64_t> marks;
    for (auto& chain : chains) marks.push_back(chain->completed());
    return marks;
  };

  std::vector<int> fetchCompletions(kCallbacks / 4, 0);
  std::vector<int64_t> marks = completedNow();
  for (int64_t sequence = 0; sequence < kCallbacks; ++sequence) {
    deliver(host, sequence, fetchCompletions);
    if ((sequence + 1) % kCallbacksPerTurn == 0) {
      for (auto& chain : chains) chain->grant();
      runMainUntilIdle();
    }
    if ((sequence + 1) % (kCallbacks / kCheckpoints) == 0) {
      ASSERT_TRUE(runMainUntil([&] { return everyChainCompletedSince(marks); }, 60))
          << "background work stopped making progress at callback " << sequence;
      marks = completedNow();
    }
  }
  for (auto& chain : chains) chain->stop();
  ASSERT_TRUE(runMainUntil(
      [&] {
        for (auto& chain : chains)
          if (!chain->idle()) return false;
        return true;
      },
      60));
  runMainUntilIdle();

  std::vector<Seen> expected;
  for (int64_t sequence = 0; sequence < kCallbacks; ++sequence) expected.push_back({kindOf(sequence), sequence});
  EXPECT_FALSE(host->offMainThread);
  EXPECT_FALSE(events.offMainThread);
  EXPECT_EQ(events.unreadable, 0);
  ASSERT_EQ(host->seen.size(), expected.size());
  EXPECT_TRUE(host->seen == expected) << "the host's callbacks came out of order or with the wrong arguments";
  ASSERT_EQ(events.seen.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(events.seen[i], expected[i]) << "event " << i << " is out of place";
  }
  for (size_t i = 0; i < fetchCompletions.size(); ++i) {
    ASSERT_EQ(fetchCompletions[i], 1) << "fetch completion handler of callback " << 4 * i + 1;
  }

  int64_t rounds = 0;
  for (auto& chain : chains) {
    EXPECT_EQ(chain->failures(), 0);
    EXPECT_EQ(chain->repeated(), 0) << "a completion ran twice";
    EXPECT_EQ(chain->hopsArrived(), chain->completed());
    EXPECT_GT(chain->completed(), kCheckpoints);
    rounds += chain->completed();
  }
  EXPECT_EQ(backgroundPosts.load(), rounds);
  RecordProperty("background_rounds", std::to_string(rounds));
  std::printf("%lld callbacks delivered alongside %lld background completions\n", static_cast<long long>(kCallbacks),
              static_cast<long long>(rounds));
  NSNotificationCenter::defaultCenter()->removeObserver(backgroundObserver);
  setLogSink({});
}

}  // namespace

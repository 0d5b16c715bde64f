// The notification centre: order, weak observers, removal during delivery,
// filters, block observers, and use from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/Foundation.h"
#include "FoundationTestSupport.h"

using namespace objc;
using foundation_test::Latch;

namespace {

// Appends "tag:name" (or "tag:bare") to a shared log; the log belongs to the
// test and is touched only on the posting thread.
struct Recorder : NSObject {
  static Class class_();
  std::vector<std::string>* log = nullptr;
  std::string tag;
  std::function<void(NSNotification*)> also;

  void note(NSNotification* n) {
    log->push_back(tag + ":" + n->name()->utf8());
    if (also) also(n);
  }
  void bare() { log->push_back(tag + ":bare"); }
};

Class Recorder::class_() {
  static Class c = ClassBuilder<Recorder>("FoundationTestRecorder")
                       .method<&Recorder::note>("note:")
                       .method<&Recorder::bare>("bare")
                       .build();
  return c;
}

Ref<Recorder> recorder(std::vector<std::string>& log, std::string tag) {
  auto r = make<Recorder>();
  r->log = &log;
  r->tag = std::move(tag);
  return r;
}

// A centre of its own per test, so tests never see each other's observers.
Ref<NSNotificationCenter> centre() { return make<NSNotificationCenter>(); }

struct Counter : NSObject {
  static Class class_();
  std::atomic<int> count{0};
  void hit(NSNotification*) { count.fetch_add(1, std::memory_order_relaxed); }
};

Class Counter::class_() {
  static Class c = ClassBuilder<Counter>("FoundationTestCounter").method<&Counter::hit>("hit:").build();
  return c;
}

}  // namespace

TEST(NotificationCenter, DeliversInRegistrationOrderAcrossNamedAndAllNameObservers) {
  std::vector<std::string> log;
  auto c = centre();
  auto a = recorder(log, "a"), all = recorder(log, "all"), b = recorder(log, "b"), other = recorder(log, "other");
  c->addObserver(a, sel<"note:">(), str("X"), nullptr);
  c->addObserver(all, sel<"note:">(), nullptr, nullptr);
  c->addObserver(other, sel<"note:">(), str("Y"), nullptr);
  c->addObserver(b, sel<"note:">(), str("X"), nullptr);
  c->postNotificationName(str("X"), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"a:X", "all:X", "b:X"}));
  log.clear();
  c->postNotificationName(str("Z"), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"all:Z"}));
}

TEST(NotificationCenter, DeliversOnThePostingThreadWithObjectAndUserInfo) {
  auto c = centre();
  Id sender = str("sender");
  auto info = NSDictionary::dictionaryWithEntries({{str("k"), str("v")}});
  NSNotification* seen = nullptr;
  Ref<NSNotification> keep;
  std::thread::id thread;
  Id token = c->addObserverForName(str("N"), nullptr, nullptr, [&](NSNotification* n) {
    keep = n;
    seen = n;
    thread = std::this_thread::get_id();
  });
  c->postNotificationName(str("N"), sender, info);
  ASSERT_TRUE(seen);
  EXPECT_EQ(thread, std::this_thread::get_id());
  EXPECT_EQ(seen->object(), sender.get());
  EXPECT_EQ(asString(seen->userInfo()->objectForKey("k"))->utf8(), "v");
  EXPECT_EQ(seen->name()->utf8(), "N");
  c->removeObserver(token);
}

TEST(NotificationCenter, SelectorWithoutArgument) {
  std::vector<std::string> log;
  auto c = centre();
  auto r = recorder(log, "r");
  c->addObserver(r, sel<"bare">(), str("X"), nullptr);
  c->postNotificationName(str("X"), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"r:bare"}));
}

TEST(NotificationCenter, ObserversAreHeldWeaklyAndSkippedOnceGone) {
  std::vector<std::string> log;
  auto c = centre();
  auto stays = recorder(log, "stays");
  {
    auto goes = recorder(log, "goes");
    c->addObserver(goes, sel<"note:">(), str("X"), nullptr);
    c->addObserver(goes, sel<"note:">(), nullptr, nullptr);
    EXPECT_EQ(goes->retainCount(), 1u);  // the centre does not retain it
  }
  c->addObserver(stays, sel<"note:">(), str("X"), nullptr);
  c->postNotificationName(str("X"), nullptr);
  c->postNotificationName(str("X"), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"stays:X", "stays:X"}));
}

TEST(NotificationCenter, RemovalDuringDeliveryTakesEffectAtOnce) {
  std::vector<std::string> log;
  auto c = centre();
  auto first = recorder(log, "first"), second = recorder(log, "second"), third = recorder(log, "third");
  first->also = [&](NSNotification*) {
    c->removeObserver(second);
    c->removeObserver(first);
  };
  c->addObserver(first, sel<"note:">(), str("X"), nullptr);
  c->addObserver(second, sel<"note:">(), str("X"), nullptr);
  c->addObserver(third, sel<"note:">(), nullptr, nullptr);
  c->postNotificationName(str("X"), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"first:X", "third:X"}));
  log.clear();
  c->postNotificationName(str("X"), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"third:X"}));
}

TEST(NotificationCenter, ObserverAddedDuringDeliveryWaitsForTheNextPost) {
  std::vector<std::string> log;
  auto c = centre();
  auto adder = recorder(log, "adder"), late = recorder(log, "late");
  adder->also = [&](NSNotification*) { c->addObserver(late, sel<"note:">(), str("X"), nullptr); };
  c->addObserver(adder, sel<"note:">(), str("X"), nullptr);
  c->postNotificationName(str("X"), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"adder:X"}));
}

TEST(NotificationCenter, ObjectFilterAndTargetedRemoval) {
  std::vector<std::string> log;
  auto c = centre();
  Id mine = str("mine"), theirs = str("theirs");
  auto filtered = recorder(log, "filtered"), open = recorder(log, "open");
  c->addObserver(filtered, sel<"note:">(), str("X"), mine);
  c->addObserver(filtered, sel<"note:">(), str("Y"), nullptr);
  c->addObserver(open, sel<"note:">(), str("X"), nullptr);
  c->postNotificationName(str("X"), theirs);
  c->postNotificationName(str("X"), mine);
  EXPECT_EQ(log, (std::vector<std::string>{"open:X", "filtered:X", "open:X"}));
  log.clear();
  c->removeObserver(filtered, str("X"), nullptr);  // only its "X" registration
  c->postNotificationName(str("X"), mine);
  c->postNotificationName(str("Y"), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"open:X", "filtered:Y"}));
}

TEST(NotificationCenter, BlockObserverOnAQueueRunsThereInOrder) {
  auto c = centre();
  auto queue = dispatch_queue_create("notification-test");
  std::vector<int> seen;  // written on the queue, read after the latch
  std::atomic<bool> onPostingThread{false};
  Latch done(3);
  const auto poster = std::this_thread::get_id();
  Id token = c->addObserverForName(str("X"), nullptr, queue, [&](NSNotification* n) {
    if (std::this_thread::get_id() == poster) onPostingThread = true;
    seen.push_back(static_cast<int>(asNumber(n->object())->integerValue()));
    done.countDown();
  });
  for (int i = 0; i < 3; ++i) c->postNotificationName(str("X"), NSNumber::numberWithInt(i));
  ASSERT_TRUE(done.wait());
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
  EXPECT_FALSE(onPostingThread);
  c->removeObserver(token);
}

TEST(NotificationCenter, RemovingABlockTokenStopsDeliveryAndReleasesTheBlock) {
  auto c = centre();
  auto held = str("captured");
  int calls = 0;
  Id token = c->addObserverForName(nullptr, nullptr, nullptr, [&calls, held](NSNotification*) { ++calls; });
  EXPECT_EQ(held->retainCount(), 2u);
  c->postNotificationName(str("any"), nullptr);
  c->removeObserver(token);
  c->postNotificationName(str("any"), nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(held->retainCount(), 1u);
}

// A block whose captured state removes observers when it is destroyed: the
// centre must not hold its lock while dropping a removed observation.
TEST(NotificationCenter, DroppingARemovedObservationMayCallBackIntoTheCentre) {
  auto c = centre();
  struct Reentrant {
    NSNotificationCenter* centre;
    Reentrant(NSNotificationCenter* c) : centre(c) {}
    ~Reentrant() { centre->removeObserver(NSNull::null()); }
  };
  auto reentrant = std::make_shared<Reentrant>(c.get());
  Id token = c->addObserverForName(str("X"), nullptr, nullptr, [reentrant](NSNotification*) {});
  reentrant.reset();
  c->removeObserver(token);  // drops the last copy of the block
  SUCCEED();
}

TEST(NotificationCenter, DefaultCentreAnswersThePlatformSelectors) {
  std::vector<std::string> log;
  auto r = recorder(log, "r");
  NSNotificationCenter* c = NSNotificationCenter::defaultCenter();
  EXPECT_EQ(c, NSNotificationCenter::defaultCenter());
  send<void>(c, sel<"addObserver:selector:name:object:">(), r, sel<"note:">(),
             str("UIApplicationDidEnterBackgroundNotification"), nullptr);
  send<void>(c, sel<"postNotificationName:object:">(), str("UIApplicationDidEnterBackgroundNotification"), nullptr);
  send<void>(c, sel<"postNotificationName:object:userInfo:">(), str("UIApplicationDidEnterBackgroundNotification"),
             nullptr, NSDictionary::dictionary());
  send<void>(c, sel<"removeObserver:">(), r);
  send<void>(c, sel<"postNotificationName:object:">(), str("UIApplicationDidEnterBackgroundNotification"), nullptr);
  EXPECT_EQ(log.size(), 2u);
}

// Posters on several threads while others add, remove and drop observers.
// An observer that stays registered throughout sees every post exactly once.
TEST(NotificationCenterConcurrency, PostingWhileObserversComeAndGo) {
  auto c = centre();
  auto steady = make<Counter>();
  c->addObserver(steady, sel<"hit:">(), str("X"), nullptr);
  std::atomic<int> blockHits{0};
  Id steadyBlock = c->addObserverForName(nullptr, nullptr, nullptr, [&](NSNotification* n) {
    if (n->name()->isEqualToString(lit<"X">())) blockHits.fetch_add(1, std::memory_order_relaxed);
  });

  constexpr int kPosters = 3, kPosts = 400, kChurners = 2, kRounds = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kChurners; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        auto transient = make<Counter>();
        c->addObserver(transient, sel<"hit:">(), i % 2 ? str("X") : nullptr, nullptr);
        Id token = c->addObserverForName(str("X"), nullptr, nullptr, [](NSNotification*) {});
        if (i % 3 == 0) c->removeObserver(transient);  // otherwise it simply dies
        c->removeObserver(token);
        if (t == 0 && i % 50 == 0) c->postNotificationName(str("Other"), nullptr);
      }
    });
  }
  for (int t = 0; t < kPosters; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPosts; ++i) c->postNotificationName(str("X"), nullptr);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(steady->count.load(), kPosters * kPosts);
  EXPECT_EQ(blockHits.load(), kPosters * kPosts);
  c->removeObserver(steadyBlock);
}

// The last strong reference to an observer goes away on one thread while
// another thread is delivering to it.
TEST(NotificationCenterConcurrency, ObserversDyingDuringPosts) {
  auto c = centre();
  constexpr int kObservers = 200;
  std::vector<Ref<Counter>> observers;
  for (int i = 0; i < kObservers; ++i) {
    observers.push_back(make<Counter>());
    c->addObserver(observers.back(), sel<"hit:">(), str("X"), nullptr);
  }
  std::atomic<bool> go{false};
  std::thread poster([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 200; ++i) c->postNotificationName(str("X"), nullptr);
  });
  go = true;
  for (auto& o : observers) o = nullptr;
  poster.join();
  c->postNotificationName(str("X"), nullptr);
}

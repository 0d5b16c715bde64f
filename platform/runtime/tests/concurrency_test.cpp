// Dispatch and weak references under concurrent change. These run under
// ThreadSanitizer in CI; every loop is bounded by a count, never by a clock.
#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.h"

using namespace objc;
using namespace objc::testing;

namespace {

constexpr int kSenders = 3;
constexpr int kSendsPerThread = 50000;
constexpr int kMinChanges = 200;
constexpr int kMaxExtraMethods = 80;

// What each send ran, by the implementation's own answer.
struct Ran {
  std::array<int64_t, 16> counts{};
  int64_t unexpected = 0;
  std::string failure;

  void record(int64_t answer) {
    if (answer >= 0 && answer < static_cast<int64_t>(counts.size())) {
      ++counts[static_cast<size_t>(answer)];
    } else {
      ++unexpected;
    }
  }
};

}  // namespace

TEST(RuntimeConcurrency, SendsRunTheOldOrTheNewImplementationWhileMethodsAndClassesChange) {
  // base.value: 1, switched to 2 and back by method_setImplementation.
  // sub inherits base.value until the writer gives it its own (5, then 6).
  // other.value: 3, switched to 4 and back by class_replaceMethod.
  // base.late: added once, midway; once a sender has seen it, it stays.
  Class base = makeClass("ConcurrencyBase");
  Class sub = makeClass("ConcurrencySub", base);
  Class other = makeClass("ConcurrencyOther");
  addAnswer<1>(base, sel<"value">());
  addAnswer<3>(other, sel<"value">());
  Method baseValue = class_getInstanceMethod(base, sel<"value">());

  Id switching = class_createInstance(base);  // its class moves between all three
  Id fixedSub = class_createInstance(sub);

  std::atomic<int> sendersReady{0};
  std::atomic<bool> go{false};
  std::atomic<int> sendersDone{0};
  std::atomic<int> changes{0};
  std::vector<Ran> ran(kSenders);
  std::vector<Ran> ranSub(kSenders);
  std::vector<std::thread> senders;
  for (int t = 0; t < kSenders; ++t) {
    senders.emplace_back([&, t] {
      bool sawLate = false;
      sendersReady.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      try {
        for (int i = 0; i < kSendsPerThread; ++i) {
          // On a busy machine a sender could otherwise finish within one time
          // slice, before the writer runs at all.
          if (i % 500 == 0) {
            int seen = changes.load();
            while (changes.load() == seen) std::this_thread::yield();
          }
          ran[t].record(ask(switching, sel<"value">()));
          int64_t subAnswer = ask(fixedSub, sel<"value">());
          if (subAnswer != 1 && subAnswer != 2 && subAnswer != 5 && subAnswer != 6) subAnswer = -1;
          ranSub[t].record(subAnswer);
          if (sawLate || fixedSub->respondsToSelector(sel<"late">())) {
            sawLate = true;
            if (ask(fixedSub, sel<"late">()) != 7) ++ran[t].unexpected;
          }
        }
      } catch (const std::exception& e) {
        ran[t].failure = e.what();
      }
      sendersDone.fetch_add(1);
    });
  }

  std::thread writer([&] {
    const std::array<Class, 3> classes{base, sub, other};
    // Changes start once every sender is running and go on until all are
    // done, so that the sends really overlap them.
    while (sendersReady.load() < kSenders) std::this_thread::yield();
    go.store(true);
    int extras = 0;
    for (int i = 0; i < kMinChanges || sendersDone.load() < kSenders; ++i) {
      method_setImplementation(baseValue, i % 2 ? answerIMP<1>() : answerIMP<2>());
      class_replaceMethod(other, sel<"value">(), i % 2 ? answerIMP<3>() : answerIMP<4>(), "q16@0:8");
      object_setClass(switching, classes[static_cast<size_t>(i) % classes.size()]);
      if (i == kMinChanges / 4) addAnswer<7>(base, sel<"late">());
      if (i >= kMinChanges / 2)
        class_replaceMethod(sub, sel<"value">(), i % 2 ? answerIMP<5>() : answerIMP<6>(), "q16@0:8");
      // Unrelated additions start new epochs, so caches are rebuilt under the senders.
      if (i % 25 == 0 && extras < kMaxExtraMethods)
        addAnswer<0>(other, sel_registerName("extra" + std::to_string(extras++)));
      changes.fetch_add(1);
    }
  });

  for (auto& s : senders) s.join();
  writer.join();

  for (int t = 0; t < kSenders; ++t) {
    EXPECT_EQ(ran[t].failure, "") << "sender " << t;
    EXPECT_EQ(ran[t].unexpected, 0) << "sender " << t;
    EXPECT_EQ(ranSub[t].unexpected, 0) << "sender " << t;
    EXPECT_EQ(ran[t].counts[0], 0);
    int64_t total = 0;
    for (int64_t answer : {1, 2, 3, 4, 5, 6}) total += ran[t].counts[static_cast<size_t>(answer)];
    EXPECT_EQ(total, kSendsPerThread) << "every send ran one of the implementations it could reach";
    int64_t distinct = 0;
    for (int64_t count : ran[t].counts) distinct += count > 0;
    EXPECT_GE(distinct, 2) << "the sends overlapped the changes";
  }
  // After the writer stopped, every thread sees the final state.
  EXPECT_TRUE(fixedSub->respondsToSelector(sel<"late">()));
  EXPECT_EQ(ask(fixedSub, sel<"late">()), 7);
}

TEST(RuntimeConcurrency, CachesFillFromManyThreadsAtOnce) {
  Class cls = makeClass("ConcurrencyManySelectors");
  constexpr int kSelectors = 64;
  std::vector<SEL> selectors;
  for (int i = 0; i < kSelectors; ++i) {
    selectors.push_back(sel_registerName("many" + std::to_string(i)));
    addAnswer<1>(cls, selectors.back());
  }
  Id obj = class_createInstance(cls);
  std::atomic<int64_t> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        if (t == 0 && round % 20 == 0) detail::flushMethodCaches();
        for (SEL s : selectors)
          if (ask(obj, s) != 1) wrong.fetch_add(1);
        if (obj->respondsToSelector(sel<"manyAbsent">())) wrong.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(RuntimeConcurrency, ACacheRefilledInPlaceNeverPairsASelectorWithAnotherMethod) {
  // Each selector answers its own index. A cache is emptied and refilled in
  // place at every new epoch; a reader that read a selector before the
  // refill and its method after would get another selector's answer.
  Class cls = makeClass("ConcurrencyRefilledInPlace");
  std::vector<SEL> selectors;
  auto add = [&]<int... I>(std::integer_sequence<int, I...>) {
    ((selectors.push_back(sel_registerName("refilled" + std::to_string(I))), addAnswer<I>(cls, selectors.back())), ...);
  };
  add(std::make_integer_sequence<int, 12>{});
  Id obj = class_createInstance(cls);
  std::atomic<bool> done{false};
  std::atomic<int64_t> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!done.load(std::memory_order_relaxed)) {
        for (size_t i = 0; i < selectors.size(); ++i)
          if (ask(obj, selectors[i]) != static_cast<int64_t>(i)) wrong.fetch_add(1);
      }
    });
  }
  for (int round = 0; round < 5000; ++round) {
    detail::flushMethodCaches();
    (void)ask(obj, selectors[static_cast<size_t>(round) % selectors.size()]);
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(RuntimeConcurrency, SelectorsInternOnceAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kNames = 200;
  std::vector<std::vector<SEL>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kNames; ++i) seen[t].push_back(sel_registerName("interned" + std::to_string(i) + ":"));
    });
  }
  for (auto& t : threads) t.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
  EXPECT_STREQ(sel_getName(seen[0][5]), "interned5:");
}

TEST(RuntimeConcurrency, ThreadsDeclaringTheSameProtocolAllGetIt) {
  // Classes built lazily on different threads may declare one protocol at
  // the same moment; none of them may come away without it.
  constexpr int kThreads = 4;
  constexpr int kNames = 50;
  Protocol base = objc_registerProtocolNamed("ConcurrencyProtocolBase");
  std::vector<std::vector<Protocol>> got(kThreads);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < kNames; ++i)
        got[t].push_back(objc_registerProtocolNamed("ConcurrencyProtocol" + std::to_string(i), {base}));
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kNames; ++i) {
    ASSERT_NE(got[0][i], nullptr) << i;
    EXPECT_TRUE(protocol_conformsToProtocol(got[0][i], base));
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(got[t][i], got[0][i]);
  }
}

namespace {
std::atomic<int> gHandlerRuns[64];
void countHandlerRun(Class cls) { gHandlerRuns[std::stoi(class_getName(cls) + 18)].fetch_add(1); }
}  // namespace

TEST(RuntimeConcurrency, AHandlerAddedWhileItsClassRegistersRunsExactlyOnce) {
  // "ConcurrencyHandled" followed by the index: 18 characters of prefix.
  std::vector<std::thread> threads;
  threads.emplace_back([] {
    for (int i = 0; i < 64; ++i) objc_whenClassRegistered("ConcurrencyHandled" + std::to_string(i), &countHandlerRun);
  });
  threads.emplace_back([] {
    for (int i = 0; i < 64; ++i) makeClass("ConcurrencyHandled" + std::to_string(i));
  });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 64; ++i) EXPECT_EQ(gHandlerRuns[i].load(), 1) << i;
}

namespace {

// An object that can tell whether it is still alive when a weak load hands
// it out.
struct Watched : NSObject {
  static Class class_() {
    static Class c = ClassBuilder<Watched>("ConcurrencyWatched").build();
    return c;
  }
  explicit Watched(std::atomic<int>* deaths) : deaths(deaths) {}
  ~Watched() override {
    alive.store(false);
    deaths->fetch_add(1);
  }
  std::atomic<bool> alive{true};
  std::atomic<int>* deaths;
};

}  // namespace

TEST(WeakConcurrency, LoadsRaceTheLastStrongReleaseOnAnotherThread) {
  constexpr int kRounds = 300;
  std::atomic<int> deaths{0};
  int deadLoads = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto strong = make<Watched>(&deaths);
    Weak<Watched> weak(strong.get());
    std::atomic<bool> start{false};
    std::thread releaser([&] {
      while (!start.load()) std::this_thread::yield();
      strong = nullptr;
    });
    start.store(true);
    // Load while the other thread lets go; every object handed out is alive.
    for (int i = 0; i < 1000; ++i) {
      Ref<Watched> loaded = weak.load();
      if (!loaded) break;
      if (!loaded->alive.load()) ++deadLoads;
    }
    releaser.join();
    EXPECT_EQ(weak.load(), nullptr);
  }
  EXPECT_EQ(deadLoads, 0);
  EXPECT_EQ(deaths.load(), kRounds);
}

TEST(WeakConcurrency, OneReferenceStoredAndLoadedFromSeveralThreads) {
  constexpr int kObjects = 64;
  constexpr int kLoads = 20000;
  std::atomic<int> deaths{0};
  Weak<Watched> shared;
  std::atomic<int> deadLoads{0};
  std::atomic<bool> storing{true};

  std::thread storer([&] {
    for (int i = 0; i < kObjects; ++i) {
      auto obj = make<Watched>(&deaths);
      for (int j = 0; j < 50; ++j) {
        shared.store(obj.get());
        if (j % 10 == 0) shared.store(nullptr);
      }
      // The last strong reference goes here while loaders may hold the cell.
    }
    storing.store(false);
  });
  std::vector<std::thread> loaders;
  for (int t = 0; t < 2; ++t) {
    loaders.emplace_back([&] {
      for (int i = 0; i < kLoads || storing.load(); ++i) {
        Ref<Watched> loaded = shared.load();
        if (loaded && !loaded->alive.load()) deadLoads.fetch_add(1);
        Weak<Watched> copy = shared;  // copying loads and stores concurrently too
      }
    });
  }
  storer.join();
  for (auto& l : loaders) l.join();

  EXPECT_EQ(deadLoads.load(), 0);
  EXPECT_EQ(deaths.load(), kObjects);
  EXPECT_EQ(shared.load(), nullptr);
}

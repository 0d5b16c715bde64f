// Queues, dispatch_sync, dispatch_once and the main run loop.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Foundation/Foundation.h"
#include "FoundationTestSupport.h"

using namespace objc;
using foundation_test::Latch;

TEST(Queues, SerialOrderIsKeptAcrossManyItemsAndQueues) {
  constexpr int kQueues = 6, kItems = 2000;
  std::vector<dispatch_queue_t> queues;
  std::vector<std::vector<int>> seen(kQueues);  // each written by its own queue only
  std::vector<std::atomic<int>> running(kQueues);
  std::atomic<bool> overlapped{false};
  Latch done(kQueues);
  for (int q = 0; q < kQueues; ++q) queues.push_back(dispatch_queue_create(("order-" + std::to_string(q)).c_str()));
  for (int i = 0; i < kItems; ++i) {
    for (int q = 0; q < kQueues; ++q) {
      dispatch_async(queues[q], [&, q, i] {
        if (running[q].fetch_add(1) != 0) overlapped = true;
        seen[q].push_back(i);
        running[q].fetch_sub(1);
        if (i == kItems - 1) done.countDown();
      });
    }
  }
  ASSERT_TRUE(done.wait());
  EXPECT_FALSE(overlapped);
  for (int q = 0; q < kQueues; ++q) {
    ASSERT_EQ(seen[q].size(), static_cast<size_t>(kItems));
    for (int i = 0; i < kItems; ++i) ASSERT_EQ(seen[q][i], i) << "queue " << q;
  }
}

TEST(Queues, QueuedWorkRunsAfterTheLastReferenceIsDropped) {
  Latch done(1);
  {
    auto q = dispatch_queue_create("dropped");
    dispatch_async(q, [&] { done.countDown(); });
  }
  EXPECT_TRUE(done.wait());
}

TEST(Queues, IdleOnlyWhenNothingIsQueuedOrRunning) {
  auto q = dispatch_queue_create("idle");
  EXPECT_TRUE(q->isIdle());
  Latch started(1), release(1);
  int written = 0;  // read after isIdle() says the work is over
  dispatch_async(q, [&] {
    started.countDown();
    release.wait();
    written = 1;
  });
  dispatch_async(q, [&] { written = 2; });
  ASSERT_TRUE(started.wait());
  EXPECT_FALSE(q->isIdle()) << "running, with one more queued";
  release.countDown();
  while (!q->isIdle()) std::this_thread::yield();
  EXPECT_EQ(written, 2);

  auto* main = dispatch_get_main_queue();
  EXPECT_TRUE(main->isIdle());
  dispatch_async(main, [] {});
  EXPECT_FALSE(main->isIdle());
  runMainUntilIdle();
  EXPECT_TRUE(main->isIdle());
}

TEST(Queues, DispatchSyncRunsOnTheQueueAndWaits) {
  auto q = dispatch_queue_create("sync");
  std::vector<int> order;
  dispatch_async(q, [&] { order.push_back(1); });
  std::thread::id ranOn;
  dispatch_sync(q, [&] {
    order.push_back(2);
    ranOn = std::this_thread::get_id();
  });
  order.push_back(3);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_NE(ranOn, std::this_thread::get_id());
  EXPECT_THROW(dispatch_sync(q, [] { throw Exception(kInvalidArgumentException, "from the queue"); }), Exception);
}

TEST(Queues, DispatchSyncThatCouldNeverFinishRaises) {
  EXPECT_THROW(dispatch_sync(dispatch_get_main_queue(), [] {}), Exception);
  auto q = dispatch_queue_create("self-sync");
  bool raised = false;
  dispatch_sync(q, [&] {
    try {
      dispatch_sync(q, [] {});
    } catch (const Exception&) {
      raised = true;
    }
  });
  EXPECT_TRUE(raised);
}

TEST(Queues, MainQueueWorkRunsOnTheMainThreadInOrder) {
  ASSERT_TRUE(isMainThread());
  auto q = dispatch_queue_create("to-main");
  std::vector<int> order;
  bool allOnMain = true;
  dispatch_async(q, [&] {
    for (int i = 0; i < 100; ++i) {
      dispatch_async(dispatch_get_main_queue(), [&, i] {
        allOnMain = allOnMain && isMainThread();
        order.push_back(i);
      });
    }
  });
  ASSERT_TRUE(runMainUntil([&] { return order.size() == 100; }));
  EXPECT_TRUE(allOnMain);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(order[i], i);
}

TEST(RunLoop, UntilIdleRunsWorkQueuedMeanwhile) {
  EXPECT_EQ(runMainUntilIdle(), 0u);
  std::vector<int> order;
  dispatch_async(dispatch_get_main_queue(), [&] {
    order.push_back(1);
    dispatch_async(dispatch_get_main_queue(), [&] { order.push_back(3); });
  });
  dispatch_async(dispatch_get_main_queue(), [&] { order.push_back(2); });
  EXPECT_EQ(pendingMainWork(), 2u);
  EXPECT_EQ(runMainUntilIdle(), 3u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(pendingMainWork(), 0u);
}

TEST(RunLoop, UntilReturnsWhenTheConditionHolds) {
  std::atomic<bool> flag{false};
  std::thread t([&] {
    flag = true;
    wakeMainLoop();
  });
  EXPECT_TRUE(runMainUntil([&] { return flag.load(); }));
  t.join();
  // The condition is checked after each item: later work stays queued.
  int ran = 0;
  for (int i = 0; i < 3; ++i) dispatch_async(dispatch_get_main_queue(), [&] { ++ran; });
  EXPECT_TRUE(runMainUntil([&] { return ran == 2; }));
  EXPECT_EQ(pendingMainWork(), 1u);
  runMainUntilIdle();
}

TEST(RunLoop, UntilReturnsFalseOnTimeout) {
  int ran = 0;
  dispatch_async(dispatch_get_main_queue(), [&] { ++ran; });
  EXPECT_FALSE(runMainUntil([] { return false; }, 0.05));
  EXPECT_EQ(ran, 1);  // work that was there still ran
  EXPECT_FALSE(runMainUntil([] { return false; }, -1));
  EXPECT_FALSE(runMainUntil([] { return false; }, std::nan("")));
}

TEST(RunLoop, RefusesToRunOffTheMainThread) {
  bool raisedIdle = false, raisedUntil = false;
  std::thread t([&] {
    try {
      runMainUntilIdle();
    } catch (const Exception&) {
      raisedIdle = true;
    }
    try {
      runMainUntil([] { return true; });
    } catch (const Exception&) {
      raisedUntil = true;
    }
  });
  t.join();
  EXPECT_TRUE(raisedIdle);
  EXPECT_TRUE(raisedUntil);
}

TEST(DispatchConcurrency, OnceRunsExactlyOnceWhileThreadsRace) {
  dispatch_once_t token;
  std::atomic<int> runs{0};
  int value = 0;  // written inside the once, read by every caller after it
  std::atomic<int> wrong{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      dispatch_once(&token, [&] {
        runs.fetch_add(1);
        value = 42;
      });
      if (value != 42) wrong.fetch_add(1);
    });
  }
  go = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(wrong.load(), 0);
}

TEST(DispatchConcurrency, SubmittingFromManyThreadsKeepsEachThreadsOrder) {
  auto q = dispatch_queue_create("shared");
  constexpr int kThreads = 4, kItems = 500;
  std::vector<std::vector<int>> seen(kThreads);  // written on the queue only
  Latch done(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kItems; ++i)
        dispatch_async(q, [&, t, i] {
          seen[t].push_back(i);
          if (i == kItems - 1) done.countDown();
        });
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(done.wait());
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kItems));
    for (int i = 0; i < kItems; ++i) ASSERT_EQ(seen[t][i], i);
  }
}

// Work that blocks (a stalled download, a wait on another queue) must not
// hold up the other queues: here more queues block than a fixed pool of a
// few threads would have, and one more queue still gets to run.
TEST(DispatchConcurrency, BlockedQueuesDoNotStarveOthers) {
  constexpr int kBlocked = 8;
  // Shared with the work, which may still be leaving a latch's lock when
  // the test has seen the count reach zero and returned.
  struct Gate {
    std::mutex lock;
    std::condition_variable opened;
    bool open = false;
    Latch blocked{kBlocked}, released{kBlocked}, other{1};
  };
  auto gate = std::make_shared<Gate>();
  std::vector<dispatch_queue_t> queues;
  for (int i = 0; i < kBlocked; ++i) {
    queues.push_back(dispatch_queue_create("blocked"));
    dispatch_async(queues.back(), [gate] {
      gate->blocked.countDown();
      std::unique_lock<std::mutex> g(gate->lock);
      gate->opened.wait(g, [&] { return gate->open; });
      gate->released.countDown();
    });
  }
  ASSERT_TRUE(gate->blocked.wait());
  auto free = dispatch_queue_create("free");
  dispatch_async(free, [gate] { gate->other.countDown(); });
  bool ran = gate->other.wait();
  {
    std::lock_guard<std::mutex> g(gate->lock);
    gate->open = true;
  }
  gate->opened.notify_all();
  EXPECT_TRUE(gate->released.wait());
  EXPECT_TRUE(ran);
}

TEST(DispatchConcurrency, NestedSyncAcrossQueues) {
  constexpr int kDepth = 8;
  std::vector<dispatch_queue_t> queues;
  for (int i = 0; i < kDepth; ++i) queues.push_back(dispatch_queue_create("nested"));
  int reached = 0;
  std::function<void(int)> dive = [&](int level) {
    if (level == kDepth) {
      reached = level;
      return;
    }
    dispatch_sync(queues[level], [&, level] { dive(level + 1); });
  };
  dive(0);
  EXPECT_EQ(reached, kDepth);
}

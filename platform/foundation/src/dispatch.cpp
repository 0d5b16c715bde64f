#include "Foundation/dispatch.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace objc {

namespace {

using Work = std::function<void()>;

[[noreturn]] void uncaught(const std::string& label) {
  try {
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "*** uncaught exception on queue %s: %s\n", label.c_str(), e.what());
  } catch (...) {
    std::fprintf(stderr, "*** uncaught exception on queue %s\n", label.c_str());
  }
  std::fflush(stderr);
  std::abort();
}

const std::thread::id gMainThread = std::this_thread::get_id();

struct MainQueue {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<Work> work;
  uint64_t wakes = 0;
};

MainQueue& mainQueue() {
  static MainQueue* q = new MainQueue;
  return *q;
}

}  // namespace

struct SerialQueueState {
  std::mutex lock;
  std::deque<Work> work;
  bool scheduled = false;
  std::string label;
};

namespace {
using SerialState = SerialQueueState;

// The serial queue whose work runs on this thread, if any.
thread_local const SerialState* tCurrentQueue = nullptr;

// Threads that serve runnable serial queues. A thread is added whenever a
// queue becomes runnable and none is idle, so work that blocks (a download,
// a dispatch_sync onto another queue) never starves or deadlocks the other
// queues; threads stay once started, up to kMaxThreads.
struct Pool {
  static constexpr size_t kMaxThreads = 64;

  std::mutex lock;
  std::condition_variable ready;
  std::deque<std::shared_ptr<SerialState>> runnable;
  size_t threads = 0;
  size_t idle = 0;

  void submit(std::shared_ptr<SerialState> s) {
    {
      std::lock_guard<std::mutex> g(lock);
      runnable.push_back(std::move(s));
      if (idle < runnable.size() && threads < kMaxThreads) {
        try {
          std::thread([this] { serve(); }).detach();
          ++threads;
        } catch (const std::system_error&) {
          if (threads == 0) throw;  // with threads left, one of them gets to the queue
        }
      }
    }
    ready.notify_one();
  }

  void serve() {
    for (;;) {
      std::shared_ptr<SerialState> s;
      {
        std::unique_lock<std::mutex> g(lock);
        ++idle;
        ready.wait(g, [&] { return !runnable.empty(); });
        --idle;
        s = std::move(runnable.front());
        runnable.pop_front();
      }
      // Run a bounded batch, then let other queues have the thread.
      for (int i = 0; i < 64; ++i) {
        Work w;
        bool drained = false;
        {
          std::lock_guard<std::mutex> g(s->lock);
          if (s->work.empty()) {
            s->scheduled = false;
            drained = true;
          } else {
            w = std::move(s->work.front());
            s->work.pop_front();
          }
        }
        // Dropped after unlocking: this may be the queue's last reference,
        // and the state owns the mutex.
        if (drained) {
          s.reset();
          break;
        }
        tCurrentQueue = s.get();
        try {
          w();
        } catch (...) {
          uncaught(s->label);
        }
        tCurrentQueue = nullptr;
      }
      if (s) submit(std::move(s));
    }
  }
};

Pool& pool() {
  static Pool* p = new Pool;
  return *p;
}

}  // namespace

Class DispatchQueue::class_() {
  static Class c = ClassBuilder<DispatchQueue>("OS_dispatch_queue").build();
  return c;
}

DispatchQueue::DispatchQueue() : DispatchQueue("", false) {}

DispatchQueue::DispatchQueue(std::string label, bool main)
    : label_(std::move(label)), main_(main), state_(std::make_shared<SerialQueueState>()) {
  state_->label = label_;
}

DispatchQueue::~DispatchQueue() = default;

bool DispatchQueue::isIdle() const {
  if (main_) {
    auto& m = mainQueue();
    std::lock_guard<std::mutex> g(m.lock);
    return m.work.empty();
  }
  // `scheduled` stays set from the first submission until a worker finds
  // the queue empty after running its last item.
  std::lock_guard<std::mutex> g(state_->lock);
  return !state_->scheduled;
}

DispatchQueue* dispatch_get_main_queue() {
  static DispatchQueue* q = [] {
    DispatchQueue* p = make<DispatchQueue>("main-thread", true).detach();
    p->makeImmortal();
    return p;
  }();
  return q;
}

dispatch_queue_t dispatch_queue_create(const char* label) { return make<DispatchQueue>(label ? label : "", false); }

void dispatch_async(DispatchQueue* queue, std::function<void()> work) {
  if (!queue || !work) return;
  if (queue->isMain()) {
    auto& m = mainQueue();
    {
      std::lock_guard<std::mutex> g(m.lock);
      m.work.push_back(std::move(work));
    }
    m.changed.notify_all();
    return;
  }
  std::shared_ptr<SerialState> s = queue->state_;
  bool schedule = false;
  {
    std::lock_guard<std::mutex> g(s->lock);
    s->work.push_back(std::move(work));
    if (!s->scheduled) schedule = s->scheduled = true;
  }
  if (schedule) pool().submit(std::move(s));
}

void dispatch_sync(DispatchQueue* queue, std::function<void()> work) {
  if (!queue || !work) return;
  if (queue->isMain() && isMainThread()) {
    throw Exception(kInternalInconsistencyException, "dispatch_sync to the main queue from the main thread");
  }
  if (!queue->isMain() && tCurrentQueue == queue->state_.get()) {
    throw Exception(kInternalInconsistencyException, "dispatch_sync to queue " + queue->label() + " from its own work");
  }
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::exception_ptr error;
  dispatch_async(queue, [&] {
    try {
      work();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> g(m);
    done = true;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> g(m);
  cv.wait(g, [&] { return done; });
  if (error) std::rethrow_exception(error);
}

bool isMainThread() { return std::this_thread::get_id() == gMainThread; }

namespace {
bool runOne() {
  auto& m = mainQueue();
  Work w;
  {
    std::lock_guard<std::mutex> g(m.lock);
    if (m.work.empty()) return false;
    w = std::move(m.work.front());
    m.work.pop_front();
  }
  w();
  return true;
}

void requireMainThread(const char* what) {
  if (!isMainThread()) throw Exception(kInternalInconsistencyException, std::string(what) + " off the main thread");
}
}  // namespace

size_t runMainUntilIdle() {
  requireMainThread("runMainUntilIdle");
  size_t n = 0;
  while (runOne()) ++n;
  return n;
}

bool runMainUntil(const std::function<bool()>& done, double timeoutSeconds) {
  requireMainThread("runMainUntil");
  using Clock = std::chrono::steady_clock;
  // A year at most, so that a huge time-out cannot overflow the clock; a
  // negative or NaN one is none.
  double bounded = std::isnan(timeoutSeconds) ? 0 : std::clamp(timeoutSeconds, 0.0, 365 * 86400.0);
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded));
  // Besides waking for work and wakeMainLoop, the condition is looked at
  // every few milliseconds, so that state changed by other threads without
  // a wake is still seen soon.
  constexpr auto kRecheck = std::chrono::milliseconds(2);
  auto& m = mainQueue();
  for (;;) {
    while (Clock::now() < deadline && runOne()) {
      if (done()) return true;
    }
    if (done()) return true;
    auto now = Clock::now();
    if (now >= deadline) return false;
    std::unique_lock<std::mutex> g(m.lock);
    uint64_t wakes = m.wakes;
    m.changed.wait_until(g, std::min(deadline, now + kRecheck), [&] { return !m.work.empty() || m.wakes != wakes; });
  }
}

void wakeMainLoop() {
  auto& m = mainQueue();
  {
    std::lock_guard<std::mutex> g(m.lock);
    ++m.wakes;
  }
  m.changed.notify_all();
}

size_t pendingMainWork() {
  auto& m = mainQueue();
  std::lock_guard<std::mutex> g(m.lock);
  return m.work.size();
}

}  // namespace objc

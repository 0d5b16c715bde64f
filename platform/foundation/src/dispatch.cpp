#include "Foundation/dispatch.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
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

struct Pool {
  std::mutex lock;
  std::condition_variable ready;
  std::deque<std::shared_ptr<SerialState>> runnable;
  std::vector<std::thread> threads;

  void submit(std::shared_ptr<SerialState> s) {
    {
      std::lock_guard<std::mutex> g(lock);
      runnable.push_back(std::move(s));
      if (threads.size() < 4 && threads.size() < runnable.size() + 1) {
        threads.emplace_back([this] { serve(); });
        threads.back().detach();
      }
    }
    ready.notify_one();
  }

  void serve() {
    for (;;) {
      std::shared_ptr<SerialState> s;
      {
        std::unique_lock<std::mutex> g(lock);
        ready.wait(g, [&] { return !runnable.empty(); });
        s = std::move(runnable.front());
        runnable.pop_front();
      }
      // Run a bounded batch, then let other queues have the thread.
      for (int i = 0; i < 64; ++i) {
        Work w;
        {
          std::lock_guard<std::mutex> g(s->lock);
          if (s->work.empty()) {
            s->scheduled = false;
            s.reset();
            break;
          }
          w = std::move(s->work.front());
          s->work.pop_front();
        }
        try {
          w();
        } catch (...) {
          uncaught(s->label);
        }
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

DispatchQueue* dispatch_get_main_queue() {
  static DispatchQueue* q = [] {
    DispatchQueue* p = make<DispatchQueue>("com.apple.main-thread", true).detach();
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
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  auto& m = mainQueue();
  for (;;) {
    while (runOne()) {
      if (done()) return true;
    }
    if (done()) return true;
    std::unique_lock<std::mutex> g(m.lock);
    uint64_t wakes = m.wakes;
    if (!m.changed.wait_until(g, deadline, [&] { return !m.work.empty() || m.wakes != wakes; })) {
      g.unlock();
      return done();
    }
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

// Helpers shared by the Foundation tests: bounded, event-driven waiting.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace foundation_test {

// Counts down to zero; wait() returns when it gets there, or false after a
// generous bound so that a fault shows as a failure, not a hang.
class Latch {
 public:
  explicit Latch(int count) : count_(count) {}
  void countDown() {
    std::lock_guard<std::mutex> g(lock_);
    if (count_ > 0 && --count_ == 0) done_.notify_all();
  }
  bool wait(std::chrono::seconds bound = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> g(lock_);
    return done_.wait_for(g, bound, [&] { return count_ == 0; });
  }

 private:
  std::mutex lock_;
  std::condition_variable done_;
  int count_;
};

}  // namespace foundation_test

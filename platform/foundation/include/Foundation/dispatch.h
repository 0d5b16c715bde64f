// Queues. The main queue is drained by the main run loop on the main thread
// (tests drain it explicitly); other queues are serial queues served by a
// pool of real threads that grows while all of its threads are busy. Work
// submitted to one queue runs in the order of submission, one item at a time.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "objc/runtime.h"

namespace objc {

struct SerialQueueState;

class DispatchQueue final : public NSObject {
 public:
  static Class class_();
  DispatchQueue();
  explicit DispatchQueue(std::string label, bool main = false);
  ~DispatchQueue() override;

  const std::string& label() const { return label_; }
  bool isMain() const { return main_; }
  std::string description() const override { return "<OS_dispatch_queue: " + label_ + ">"; }
  // No work queued and none running: everything submitted before the call
  // has finished, and what it changed is visible to the caller.
  bool isIdle() const;

 private:
  friend void dispatch_async(DispatchQueue* queue, std::function<void()> work);
  friend void dispatch_sync(DispatchQueue* queue, std::function<void()> work);
  std::string label_;
  bool main_ = false;
  // Shared with the pool while work is queued, so that queued work still
  // runs after the last reference to the queue is dropped.
  std::shared_ptr<SerialQueueState> state_;
};

using dispatch_queue_t = Ref<DispatchQueue>;

DispatchQueue* dispatch_get_main_queue();
// A new serial queue.
dispatch_queue_t dispatch_queue_create(const char* label);
void dispatch_async(DispatchQueue* queue, std::function<void()> work);
// Runs `work` on `queue` and waits for it. Raises when called on the main
// thread for the main queue, or from a queue's own work for that queue,
// which would never finish.
void dispatch_sync(DispatchQueue* queue, std::function<void()> work);

struct dispatch_once_t {
  std::once_flag flag;
};
// Runs `work` exactly once per token; concurrent callers wait until it has
// finished.
template <class F>
void dispatch_once(dispatch_once_t* token, F&& work) {
  std::call_once(token->flag, std::forward<F>(work));
}

// The main thread: the thread that loaded the platform.
bool isMainThread();

// Runs main-queue work on the calling thread (the main thread) until none is
// left, including work queued meanwhile; returns how many items ran.
size_t runMainUntilIdle();
// Runs main-queue work as it arrives until `done` answers true (checked
// after each item and whenever the loop is woken) or `timeoutSeconds` of
// real time pass. Returns whether `done` answered true.
bool runMainUntil(const std::function<bool()>& done, double timeoutSeconds = 10.0);
// Wakes a waiting runMainUntil so that it checks its condition again; for
// work on other threads that changes what the condition reads.
void wakeMainLoop();
size_t pendingMainWork();

}  // namespace objc

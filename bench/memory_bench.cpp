// Bytes and allocations per delivered remote-notification event.
//
// This program replaces the global operator new and delete, so every C++
// allocation in the process (the library, the platform, the standard
// library) is counted; memory that C code takes with malloc itself is not.
// Each iteration is one whole delivery as in interception_bench: the
// callback through the generated subclass (or wired by hand), the main-queue
// turn and the observer. The counters are per delivered event:
//   bytes_per_event         bytes requested from operator new
//   allocations_per_event   calls of operator new
//   retained_per_event      allocations not yet freed when the loop ends
//                           (anything above 0 grows with every event)
// The library's log lines are formatted but dropped, as in
// interception_bench.
//
// BM_HostAfterPushes is a long-lived host instead: the simulated device
// delivers pushes to a running application in the background (the library
// intercepting its delegate), and the user clears what is shown every 100
// pushes. Its counters are the bytes of C++ memory in use after the first
// tenth of the pushes and after all of them, their difference per push,
// and the process's resident and peak memory at the end.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

#include "BenchDelivery.h"
#include "BenchSummary.h"
#include "Device/Device.h"

namespace {

std::atomic<uint64_t> gAllocations{0};
std::atomic<uint64_t> gFrees{0};
std::atomic<uint64_t> gBytes{0};
std::atomic<int64_t> gLiveBytes{0};  // as malloc counts them

void* counted(void* p) {
  if (p) gLiveBytes.fetch_add(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  return p;
}

void* allocate(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  gBytes.fetch_add(size, std::memory_order_relaxed);
  return counted(std::malloc(size == 0 ? 1 : size));
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  gBytes.fetch_add(size, std::memory_order_relaxed);
  auto align = static_cast<std::size_t>(alignment);
  return counted(std::aligned_alloc(align, (size + align - 1) / align * align));
}

// Every replaced operator new allocates with malloc or aligned_alloc, so
// free is the matching release; GCC 12 at -O2 still reports the pair once
// it inlines the replaced operators.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void release(void* p) {
  if (!p) return;
  gFrees.fetch_add(1, std::memory_order_relaxed);
  gLiveBytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}
#pragma GCC diagnostic pop

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  if (void* p = allocateAligned(size, alignment)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  if (void* p = allocateAligned(size, alignment)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocateAligned(size, alignment);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }

namespace {

struct Snapshot {
  uint64_t allocations = gAllocations.load();
  uint64_t frees = gFrees.load();
  uint64_t bytes = gBytes.load();
};

void reportPerEvent(benchmark::State& state, const Snapshot& before, const Snapshot& after) {
  auto events = static_cast<double>(state.iterations());
  state.counters["bytes_per_event"] = static_cast<double>(after.bytes - before.bytes) / events;
  state.counters["allocations_per_event"] = static_cast<double>(after.allocations - before.allocations) / events;
  auto allocated = static_cast<double>(after.allocations - before.allocations);
  auto freed = static_cast<double>(after.frees - before.frees);
  state.counters["retained_per_event"] = (allocated - freed) / events;
}

template <class Host>
void measure(benchmark::State& state, Host& host, const benchdelivery::DeliverySetting& setting) {
  auto payload = benchdelivery::payload();
  benchdelivery::deliverOne(&host, payload.get());  // the first delivery fills caches
  int64_t eventsBefore = setting.events();
  Snapshot before;
  for (auto _ : state) benchdelivery::deliverOne(&host, payload.get());
  Snapshot after;
  reportPerEvent(state, before, after);
  if (setting.events() - eventsBefore != static_cast<int64_t>(state.iterations())) {
    state.SkipWithError("an event did not reach the observer");
  }
}

void BM_InterceptedEvent(benchmark::State& state) {
  benchdelivery::DeliverySetting setting;
  auto host = benchdelivery::installInterceptedHost();
  measure(state, *host, setting);
}
BENCHMARK(BM_InterceptedEvent);

void BM_HandWiredEvent(benchmark::State& state) {
  benchdelivery::DeliverySetting setting;
  auto host = objc::make<benchdelivery::HandWiredHost>();
  measure(state, *host, setting);
}
BENCHMARK(BM_HandWiredEvent);

// How much of it is the log line: formatting the payload's description
// alone, as the library's NSLog("%@", payload) does.
void BM_LogLineFormatting(benchmark::State& state) {
  auto payload = benchdelivery::payload();
  Snapshot before;
  for (auto _ : state) {
    std::string line = objc::format("%@", payload.get());
    benchmark::DoNotOptimize(line.data());
  }
  Snapshot after;
  reportPerEvent(state, before, after);
}
BENCHMARK(BM_LogLineFormatting);

// "VmRSS" or "VmHWM" of this process, in MiB.
double statusMiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024;
  }
  return 0;
}

// 300,000 pushes; the test suite's short run (ORVEL_BENCH_QUICK) makes 3,000.
int64_t pushCount() { return std::getenv("ORVEL_BENCH_QUICK") ? 3000 : 300000; }

void BM_HostAfterPushes(benchmark::State& state) {
  objc::DeviceOptions options;
  options.keepRecords = false;
  options.logPassOn = [](const std::string&) {};
  objc::Device device(options);
  device.launch([] { return objc::Id(objc::make<benchdelivery::InterceptedHost>()); });
  device.setState(objc::AppState::Background);
  // The order update, asking for background work too: shown, and the
  // application woken for it.
  auto payload = objc::NSMutableDictionary::dictionaryWithDictionary(benchdelivery::payload().get());
  auto aps = objc::NSMutableDictionary::dictionaryWithDictionary(objc::asDictionary(payload->objectForKey("aps")));
  aps->setObject(objc::NSNumber::numberWithInteger(1), "content-available");
  payload->setObject(aps->copy(), "aps");
  auto clearShown = [&] {
    objc::UNUserNotificationCenter::currentNotificationCenter()->removeAllDeliveredNotifications();
    objc::UIApplication::sharedApplication()->setApplicationIconBadgeNumber(0);
  };
  const int64_t total = state.max_iterations;
  int64_t pushed = 0, liveAfterTenth = 0;
  for (auto _ : state) {
    device.push(payload.get());
    if (++pushed % 100 == 0) clearShown();
    if (pushed == total / 10) liveAfterTenth = gLiveBytes.load();
  }
  const int64_t liveAtEnd = gLiveBytes.load();
  state.counters["live_bytes_after_tenth"] = static_cast<double>(liveAfterTenth);
  state.counters["live_bytes_at_end"] = static_cast<double>(liveAtEnd);
  state.counters["growth_bytes_per_push"] =
      static_cast<double>(liveAtEnd - liveAfterTenth) / static_cast<double>(total - total / 10);
  state.counters["rss_mib"] = statusMiB("VmRSS");
  state.counters["peak_rss_mib"] = statusMiB("VmHWM");
}
BENCHMARK(BM_HostAfterPushes)->Iterations(pushCount())->Repetitions(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return benchsummary::runAndSummarize(
      argc, argv, {{"intercepted/hand-wired time per event", "BM_InterceptedEvent", "BM_HandWiredEvent", 0}});
}

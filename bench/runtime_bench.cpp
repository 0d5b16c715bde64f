// Message-send cost against plain C++ calls, measured in the same binary.
//
// The interesting figure is BM_CachedSend / BM_VirtualCall: a repeated,
// checked send should stay within about twice a virtual call.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "objc/runtime.h"

namespace {

// The same work behind every kind of call: add to a counter.
struct Accumulator {
  virtual ~Accumulator() = default;
  virtual void add(int64_t n) = 0;
  int64_t total = 0;
};

struct PlainAccumulator : Accumulator {
  void add(int64_t n) override { total += n; }
};

// A second implementation, so that the call site is truly polymorphic.
struct DoublingAccumulator : Accumulator {
  void add(int64_t n) override { total += 2 * n; }
};

[[gnu::noinline]] void directAdd(Accumulator& a, int64_t n) { a.total += n; }

struct BenchCounter : objc::NSObject {
  static objc::Class class_();
  int64_t total = 0;
  void add(int64_t n) { total += n; }
};

objc::Class BenchCounter::class_() {
  static objc::Class c = objc::ClassBuilder<BenchCounter>("BenchCounter").method<&BenchCounter::add>("add:").build();
  return c;
}

void BM_DirectCall(benchmark::State& state) {
  PlainAccumulator a;
  for (auto _ : state) {
    directAdd(a, 1);
    benchmark::DoNotOptimize(a.total);
  }
}
BENCHMARK(BM_DirectCall);

void BM_VirtualCall(benchmark::State& state) {
  PlainAccumulator plain;
  DoublingAccumulator doubling;
  Accumulator* target = state.range(0) == 0 ? static_cast<Accumulator*>(&plain) : &doubling;
  for (auto _ : state) {
    // The compiler must assume the pointer (and so its dynamic type) may
    // have changed, so it can neither devirtualise nor inline the call.
    benchmark::DoNotOptimize(target);
    target->add(1);
  }
  benchmark::DoNotOptimize(plain.total + doubling.total);
}
BENCHMARK(BM_VirtualCall)->Arg(0);

void BM_CachedSend(benchmark::State& state) {
  auto counter = objc::make<BenchCounter>();
  objc::id receiver = counter.get();
  objc::send<void>(receiver, objc::sel<"add:">(), int64_t{1});  // fills the cache
  for (auto _ : state) {
    benchmark::DoNotOptimize(receiver);
    objc::send<void>(receiver, objc::sel<"add:">(), int64_t{1});
  }
  benchmark::DoNotOptimize(counter->total);
}
BENCHMARK(BM_CachedSend);

// Only what BM_UncachedSend adds besides the send: starting a new epoch.
void BM_CacheFlush(benchmark::State& state) {
  for (auto _ : state) objc::detail::flushMethodCaches();
}
// Every flush retires the caches rebuilt after it, so the iteration count is
// fixed to keep the retired memory small.
BENCHMARK(BM_CacheFlush)->Iterations(200000);

void BM_UncachedSend(benchmark::State& state) {
  auto counter = objc::make<BenchCounter>();
  objc::id receiver = counter.get();
  for (auto _ : state) {
    objc::detail::flushMethodCaches();
    benchmark::DoNotOptimize(receiver);
    objc::send<void>(receiver, objc::sel<"add:">(), int64_t{1});
  }
  benchmark::DoNotOptimize(counter->total);
}
BENCHMARK(BM_UncachedSend)->Iterations(200000);

void BM_RespondsToSelector(benchmark::State& state) {
  auto counter = objc::make<BenchCounter>();
  objc::id receiver = counter.get();
  for (auto _ : state) {
    benchmark::DoNotOptimize(receiver);
    bool answers = receiver->respondsToSelector(objc::sel<"add:">());
    benchmark::DoNotOptimize(answers);
  }
}
BENCHMARK(BM_RespondsToSelector);

void BM_RespondsToSelectorNo(benchmark::State& state) {
  auto counter = objc::make<BenchCounter>();
  objc::id receiver = counter.get();
  for (auto _ : state) {
    benchmark::DoNotOptimize(receiver);
    bool answers = receiver->respondsToSelector(objc::sel<"subtract:">());
    benchmark::DoNotOptimize(answers);
  }
}
BENCHMARK(BM_RespondsToSelectorNo);

}  // namespace

BENCHMARK_MAIN();

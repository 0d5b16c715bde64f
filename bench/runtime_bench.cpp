// Message-send cost against plain C++ calls, measured in the same binary.
//
// The interesting figures are BM_CachedSend / BM_VirtualCall (a repeated,
// checked send should stay within about twice a virtual call) and how the
// send cost holds up as a class gains methods and the process gains
// classes (it should not grow with either).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BenchSummary.h"
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
BENCHMARK(BM_CacheFlush);

// A send that misses because a new epoch began: the class's cache is
// emptied and refilled where it is. The counter "retired_bytes" is the
// memory of caches retired during the run (none: a rebuilt cache is reused).
void BM_UncachedSend(benchmark::State& state) {
  auto counter = objc::make<BenchCounter>();
  objc::id receiver = counter.get();
  const size_t retiredBefore = objc::detail::retiredMethodCaches().bytes;
  for (auto _ : state) {
    objc::detail::flushMethodCaches();
    benchmark::DoNotOptimize(receiver);
    objc::send<void>(receiver, objc::sel<"add:">(), int64_t{1});
  }
  benchmark::DoNotOptimize(counter->total);
  state.counters["retired_bytes"] = static_cast<double>(objc::detail::retiredMethodCaches().bytes - retiredBefore);
}
BENCHMARK(BM_UncachedSend);

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

// ---- Send cost against the size of the method table and of the registry ----

// Every method of the generated classes runs this, with the encoding of
// BenchCounter's "add:".
void addImplementation(objc::id self, objc::SEL, int64_t n) { static_cast<BenchCounter*>(self)->total += n; }

struct GeneratedClass {
  objc::Class cls = nullptr;
  std::vector<objc::SEL> selectors;  // every method's selector, in the order added
};

// A subclass of BenchCounter with `methodCount` methods "<name>_methodN:".
// The benchmark runner calls a benchmark function several times, so a class
// is made on the first request for its name and reused after.
const GeneratedClass& makeClass(const std::string& name, size_t methodCount) {
  static std::map<std::string, GeneratedClass> made;
  auto [it, isNew] = made.try_emplace(name);
  GeneratedClass& g = it->second;
  if (!isNew) return g;
  g.cls = objc::objc_allocateClassPair(BenchCounter::class_(), name, 0);
  for (size_t i = 0; i < methodCount; ++i) {
    objc::SEL s = objc::sel_registerName(name + "_method" + std::to_string(i) + ":");
    objc::class_addMethod(g.cls, s, reinterpret_cast<objc::IMP>(&addImplementation), "v@:q");
    g.selectors.push_back(s);
  }
  objc::objc_registerClassPair(g.cls);
  return g;
}

// Sends every selector of the class once, so that its cache holds all of
// them, as it does in a program that uses the whole class.
void warmAll(objc::id receiver, const GeneratedClass& g) {
  for (objc::SEL s : g.selectors) objc::send<void>(receiver, s, int64_t{1});
}

// The mean number of cache slots a send of each of the class's selectors
// reads (1 when every one sits in the slot it hashes to), from the cache
// the sends use.
double meanProbes(const GeneratedClass& g) {
  objc::detail::MethodCache* c = g.cls->cache.load(std::memory_order_acquire);
  double total = 0;
  for (objc::SEL s : g.selectors) {
    uint32_t i = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(s) >> 4) & c->mask;
    int probes = 1;
    while (c->slots()[i].sel.load(std::memory_order_relaxed) != s) {
      i = (i + 1) & c->mask;
      ++probes;
    }
    total += probes;
  }
  return total / static_cast<double>(g.selectors.size());
}

// One iteration sends every method of the class once, in the order they
// were added. A single selector could sit in the first slot it hashes to
// however full the cache is and so hide any growth; every selector of a
// full cache probes as the sends of a program that uses the whole class do.
// The ratios are per send.
void sendRound(benchmark::State& state, objc::id receiver, const GeneratedClass& g) {
  const std::vector<objc::SEL>& selectors = g.selectors;
  for (auto _ : state) {
    benchmark::DoNotOptimize(receiver);
    for (objc::SEL s : selectors) objc::send<void>(receiver, s, int64_t{1});
  }
  state.counters["items_per_iteration"] = static_cast<double>(selectors.size());
  state.counters["probes_per_send"] = meanProbes(g);
  state.counters["cache_slots"] = g.cls->cache.load()->mask + 1;
}

// A class with 10 and with 1,000 methods, the whole class in the cache.
void BM_SendByMethodCount(benchmark::State& state) {
  auto methods = static_cast<size_t>(state.range(0));
  const GeneratedClass& g = makeClass("BenchMethods" + std::to_string(methods), methods);
  objc::Id receiver = objc::class_createInstance(g.cls);
  warmAll(receiver, g);
  sendRound(state, receiver, g);
}
BENCHMARK(BM_SendByMethodCount)->Arg(10)->Arg(1000);

// The same 10-method class, measured with 10 and with 10,000 further
// classes registered (the platform's own classes come on top). Every extra
// class has methods and a filled cache of its own, as a large program's
// classes do. Classes are never removed, so the registry only grows: the
// small case must run first, which the registration order ensures.
void BM_SendByClassCount(benchmark::State& state) {
  static size_t registered = 0;
  auto wanted = static_cast<size_t>(state.range(0));
  while (registered < wanted) {
    const GeneratedClass& extra = makeClass("BenchFiller" + std::to_string(registered++), 4);
    objc::Id instance = objc::class_createInstance(extra.cls);
    warmAll(instance, extra);
  }
  // A class of its own per case, made after the extra classes.
  const GeneratedClass& g = makeClass("BenchRegistry" + std::to_string(wanted), 10);
  objc::Id receiver = objc::class_createInstance(g.cls);
  warmAll(receiver, g);
  state.counters["classes_registered"] = objc::objc_getClassCount();
  sendRound(state, receiver, g);
}
BENCHMARK(BM_SendByClassCount)->Arg(10)->Arg(10000);

}  // namespace

int main(int argc, char** argv) {
  return benchsummary::runAndSummarize(
      argc, argv,
      {
          {"CachedSend/VirtualCall", "BM_CachedSend", "BM_VirtualCall/0", 2.0},
          {"send with 1,000 methods / 10 methods", "BM_SendByMethodCount/1000", "BM_SendByMethodCount/10", 1.2},
          {"send with 10,000 classes / 10 classes", "BM_SendByClassCount/10000", "BM_SendByClassCount/10", 1.2},
      });
}

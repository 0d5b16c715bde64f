// Posting to one observer while 1 or 1,000 other names are observed.
//
// Each case has a centre of its own: one observer of the posted name, and one
// observer of each of the other names. A post should cost the same whatever
// the other names are, since the centre finds the observers of a name
// without looking at the others. Measured for an observer by selector (held
// weakly, reached by message send) and for a block observer.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "BenchSummary.h"
#include "Foundation/Foundation.h"

namespace {

struct Counter : objc::NSObject {
  static objc::Class class_() {
    static objc::Class c =
        objc::ClassBuilder<Counter>("BenchNotificationCounter").method<&Counter::observe>("observe:").build();
    return c;
  }
  void observe(objc::NSNotification*) { ++calls; }
  int64_t calls = 0;
};

enum ObserverKind : int64_t { kBySelector = 0, kByBlock = 1 };

void BM_Post(benchmark::State& state) {
  auto otherNames = static_cast<size_t>(state.range(0));
  auto kind = static_cast<ObserverKind>(state.range(1));
  auto center = objc::make<objc::NSNotificationCenter>();

  auto others = objc::make<Counter>();
  std::vector<objc::Id> tokens;
  for (size_t i = 0; i < otherNames; ++i) {
    auto name = objc::str("BenchOtherNotification" + std::to_string(i));
    if (kind == kBySelector) {
      center->addObserver(others, objc::sel<"observe:">(), name, nullptr);
    } else {
      tokens.push_back(center->addObserverForName(name, nullptr, nullptr, [](objc::NSNotification*) {}));
    }
  }

  auto posted = objc::str("BenchPostedNotification");
  auto observer = objc::make<Counter>();
  int64_t blockCalls = 0;
  if (kind == kBySelector) {
    center->addObserver(observer, objc::sel<"observe:">(), posted, nullptr);
  } else {
    tokens.push_back(
        center->addObserverForName(posted, nullptr, nullptr, [&blockCalls](objc::NSNotification*) { ++blockCalls; }));
  }

  for (auto _ : state) center->postNotificationName(posted, nullptr);

  int64_t calls = kind == kBySelector ? observer->calls : blockCalls;
  if (calls != static_cast<int64_t>(state.iterations()) || others->calls != 0) {
    state.SkipWithError("the posted name did not reach exactly its own observer once per post");
  }
  for (const objc::Id& token : tokens) center->removeObserver(token);
}
BENCHMARK(BM_Post)
    ->ArgNames({"other_names", "block"})
    ->Args({1, kBySelector})
    ->Args({1000, kBySelector})
    ->Args({1, kByBlock})
    ->Args({1000, kByBlock});

}  // namespace

int main(int argc, char** argv) {
  return benchsummary::runAndSummarize(argc, argv,
                                       {
                                           {"selector observer, 1,000 other names / 1 other name",
                                            "BM_Post/other_names:1000/block:0", "BM_Post/other_names:1/block:0", 1.5},
                                           {"block observer, 1,000 other names / 1 other name",
                                            "BM_Post/other_names:1000/block:1", "BM_Post/other_names:1/block:1", 1.5},
                                       });
}

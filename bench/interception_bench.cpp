// One remote-notification callback through the library's interception
// against the same work wired by hand.
//
// Both deliver the same payload as the system does (a message send of
// "application:didReceiveRemoteNotification:" to the application delegate),
// then turn the main queue once, which posts the library's event to one
// observer. Intercepted: the delegate is the generated subclass, whose
// callback hands the payload to the context and then reaches the host's own
// implementation. Hand-wired: the host's callback calls the context's
// didReceiveRemoteNotification itself and then does its own work. The
// library's log lines are formatted in both but written to a sink that
// drops them, so that writing to standard error does not dominate.
#include <benchmark/benchmark.h>

#include "BenchDelivery.h"
#include "BenchSummary.h"

namespace {

using benchdelivery::deliverOne;

template <class Host>
void checkDelivered(benchmark::State& state, const Host& host, const benchdelivery::DeliverySetting& setting,
                    int64_t before) {
  auto delivered = static_cast<int64_t>(state.iterations());
  if (host.calls != delivered || setting.events() - before != delivered) {
    state.SkipWithError("a callback did not reach the host or its event did not reach the observer");
  }
}

void BM_Intercepted(benchmark::State& state) {
  benchdelivery::DeliverySetting setting;
  auto host = benchdelivery::installInterceptedHost();
  auto payload = benchdelivery::payload();
  int64_t before = setting.events();
  for (auto _ : state) deliverOne(host.get(), payload.get());
  checkDelivered(state, *host, setting, before);
}
BENCHMARK(BM_Intercepted);

void BM_HandWired(benchmark::State& state) {
  benchdelivery::DeliverySetting setting;
  auto host = objc::make<benchdelivery::HandWiredHost>();
  auto payload = benchdelivery::payload();
  int64_t before = setting.events();
  for (auto _ : state) deliverOne(host.get(), payload.get());
  checkDelivered(state, *host, setting, before);
}
BENCHMARK(BM_HandWired);

// The library's part alone, for scale: the context's handler and the main
// queue turn, without any host.
void BM_ContextHandlerOnly(benchmark::State& state) {
  benchdelivery::DeliverySetting setting;
  auto payload = benchdelivery::payload();
  OrvelContext* context = OrvelContext::currentContext();
  for (auto _ : state) {
    context->didReceiveRemoteNotification(payload.get());
    objc::runMainUntilIdle();
  }
}
BENCHMARK(BM_ContextHandlerOnly);

}  // namespace

int main(int argc, char** argv) {
  return benchsummary::runAndSummarize(argc, argv,
                                       {
                                           {"intercepted/hand-wired", "BM_Intercepted", "BM_HandWired", 1.2},
                                       });
}

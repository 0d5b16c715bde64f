// Reading a remote-notification payload into the library's records against
// parsing the same payload's JSON text.
//
// BM_PayloadHandling is what the library does with every remote payload:
// apnsNotificationWithDict on the Foundation dictionary the system hands
// over, the message around it, and the message's convertDictionary (the
// plain dictionary a host gets from it). The parse benchmarks read the
// payload's JSON text (about 1 KB) with the JSON library directly and
// through the JSON bridge into Foundation values. Handling should cost less
// than either parse.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "BenchDelivery.h"
#include "BenchSummary.h"

namespace {

void BM_PayloadHandling(benchmark::State& state) {
  auto payload = benchdelivery::payload();
  for (auto _ : state) {
    auto content = OrvelNotificationContent::apnsNotificationWithDict(payload.get());
    auto message = objc::make<OrvelNotificationMessage>();
    message->setNotificationMessageType(OrvelNotificationMessageTypeRemoteReceived);
    message->setContent(content.get());
    auto dictionary = message->convertDictionary();
    benchmark::DoNotOptimize(dictionary.get());
  }
  state.counters["payload_bytes"] = static_cast<double>(benchdelivery::payloadJSON().size());
}
BENCHMARK(BM_PayloadHandling);

void BM_ParseWithJSONLibrary(benchmark::State& state) {
  const std::string& text = benchdelivery::payloadJSON();
  for (auto _ : state) {
    nlohmann::json parsed = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseWithJSONLibrary);

void BM_ParseWithJSONBridge(benchmark::State& state) {
  const std::string& text = benchdelivery::payloadJSON();
  for (auto _ : state) {
    objc::Id parsed = objc::JSONParse(text);
    benchmark::DoNotOptimize(parsed.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseWithJSONBridge);

}  // namespace

int main(int argc, char** argv) {
  return benchsummary::runAndSummarize(
      argc, argv,
      {
          {"payload handling / JSON library parse", "BM_PayloadHandling", "BM_ParseWithJSONLibrary", 1.0},
          {"payload handling / JSON bridge parse", "BM_PayloadHandling", "BM_ParseWithJSONBridge", 1.0},
          {"JSON bridge parse / JSON library parse", "BM_ParseWithJSONBridge", "BM_ParseWithJSONLibrary", 1.2},
      });
}

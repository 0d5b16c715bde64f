// One push's records as orvel-sim serve writes them (the request, the
// system's and the host's calls, the completion, the badge, the delivered
// list, the library's event), made into lines of JSON: by the record
// writer, and for comparison by the JSON library's own dump.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "sim/Records.h"

namespace {

using orvelsim::Json;
using orvelsim::Record;

std::vector<Record> onePush() {
  const std::string id = "51e6c35b-af63-4746-bbbe-0f2e4054b18f";
  const std::string call = "userNotificationCenter:willPresentNotification:withCompletionHandler:";
  const Json payload = Json::parse(R"({"aps":{"alert":"Hello from h2load","badge":1}})");
  const Json content{{"body", "Hello from h2load"}, {"badge", 1},           {"threadIdentifier", ""},
                     {"launchImageName", ""},       {"summaryArgument", ""}, {"userInfo", payload}};
  return {
      Record{12.345, "provider",
             Json{{"connection", 4},
                  {"stream", 1},
                  {"method", "POST"},
                  {"path", "/3/device/000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"},
                  {"headers", {{"apns-topic", "com.orvel.sample"}, {"apns-push-type", "alert"}}},
                  {"status", 200},
                  {"apns-id", id},
                  {"payload", payload}}},
      Record{12.345, "os", Json{{"call", call}, {"state", "active"}, {"receiver", "centre delegate"}, {"id", id}}},
      Record{12.345, "host",
             Json{{"call", call},
                  {"args",
                   {"UNUserNotificationCenter",
                    {{"identifier", id},
                     {"content", content},
                     {"trigger", {{"kind", "push"}}},
                     {"date", "2026-12-08T21:43:24.100Z"}},
                    "<block>"}},
                  {"completion", 7}}},
      Record{12.345, "completion", Json{{"call", call}, {"value", 7}, {"by", "host"}}},
      Record{12.345, "badge", Json{{"value", 1}}},
      Record{12.345, "local", Json{{"action", "presented"}, {"id", id}, {"list", "delivered"}}},
      Record{12.345, "local", Json{{"action", "delivered"}, {"id", id}, {"list", "delivered"}}},
      Record{12.345, "event",
             Json{{"name", "OrvelDidReceiveMessageNotification"},
                  {"object", {{"identifier", id}, {"notification", content}}},
                  {"type", 0}}},
  };
}

void BM_RecordLines(benchmark::State& state) {
  const std::vector<Record> records = onePush();
  size_t bytes = 0;
  for (auto _ : state) {
    for (const Record& r : records) {
      std::string line = r.toJsonLine();
      bytes += line.size();
      benchmark::DoNotOptimize(line);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records.size()));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_RecordLines);

void BM_RecordLinesByTheJsonLibrary(benchmark::State& state) {
  const std::vector<Record> records = onePush();
  size_t bytes = 0;
  for (auto _ : state) {
    for (const Record& r : records) {
      std::string line = r.toJson().dump(-1, ' ', false, Json::error_handler_t::replace);
      bytes += line.size();
      benchmark::DoNotOptimize(line);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records.size()));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_RecordLinesByTheJsonLibrary);

}  // namespace

BENCHMARK_MAIN();

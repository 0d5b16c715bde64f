// orvel-sim serve under load, in this process so that the sanitizers see
// every thread: a hundred streams at once on one connection and a client
// that vanishes in the middle of a request. Each accepted push reaches the
// device once; nothing of the cut request does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "H2Client.h"
#include "sim/Serve.h"

namespace {

using namespace orvelsim;
namespace fs = std::filesystem;

const std::string kPath = "/3/device/000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

pushtest::H2Request alert(int n) {
  pushtest::H2Request request;
  request.path = kPath;
  char id[40];
  std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", n);
  request.headers = {{"apns-topic", kSampleHostBundleId}, {"apns-push-type", "alert"}, {"apns-id", id}};
  request.body = R"({"aps":{"alert":"number )" + std::to_string(n) + R"("}})";
  return request;
}

TEST(SimServeConcurrency, AHundredStreamsAtOnceAndACutRequestEachAcceptedPushReachesTheDeviceOnce) {
  const fs::path dir = fs::temp_directory_path() / ("orvel-sim-serve-concurrency-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  ServeOptions options;
  options.port = 0;
  options.noAuth = true;
  options.certificateOut = (dir / "service.pem").string();
  std::mutex lock;
  std::vector<Record> records;
  Server server(options, [&](const Record& r) {
    std::lock_guard<std::mutex> g(lock);
    records.push_back(r);
  });
  const std::string url = server.describe()["url"];
  const auto port = static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));
  std::stringstream pem;
  pem << std::ifstream(options.certificateOut).rdbuf();

  int accepted = 0;
  std::thread providers([&] {
    {
      pushtest::H2Client cut(port, pem.str());
      pushtest::H2Request partial = alert(1000);
      partial.body = R"({"aps":{"alert":"cut)";
      partial.keepOpen = true;
      cut.submit(partial);
      cut.run([] { return false; }, 0.2);
      cut.disconnect();
    }
    pushtest::H2Client many(port, pem.str());
    std::vector<int32_t> streams;
    for (int i = 0; i < 100; ++i) streams.push_back(many.submit(alert(i)));
    many.run();
    for (int32_t stream : streams) accepted += many.response(stream).status == 200;
    server.stop();
  });
  const int status = server.serve();
  providers.join();
  fs::remove_all(dir);

  EXPECT_EQ(status, 0);
  EXPECT_EQ(accepted, 100);
  std::map<std::string, int> presented, answered;
  for (const Record& r : records) {
    if (r.kind == "provider") ++answered[r.fields.value("apns-id", "")];
    if (r.kind == "os" &&
        r.fields.value("call", "") == "userNotificationCenter:willPresentNotification:withCompletionHandler:")
      ++presented[r.fields.value("id", "")];
  }
  EXPECT_EQ(answered.size(), 100u) << "the cut request was never answered";
  EXPECT_EQ(presented.size(), 100u);
  for (const auto& [id, count] : presented) EXPECT_EQ(count, 1) << id << " delivered more than once";
  EXPECT_EQ(presented.count("00000000-0000-4000-8000-000000001000"), 0u);
}

}  // namespace

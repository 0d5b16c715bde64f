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
#include <condition_variable>
#include <chrono>
#include <memory>
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
    if (r.kind == "provider") ++answered[r.fields().value("apns-id", "")];
    if (r.kind == "os" &&
        r.fields().value("call", "") == "userNotificationCenter:willPresentNotification:withCompletionHandler:")
      ++presented[r.fields().value("id", "")];
  }
  EXPECT_EQ(answered.size(), 100u) << "the cut request was never answered";
  EXPECT_EQ(presented.size(), 100u);
  for (const auto& [id, count] : presented) EXPECT_EQ(count, 1) << id << " delivered more than once";
  EXPECT_EQ(presented.count("00000000-0000-4000-8000-000000001000"), 0u);
}

// A host slower than its provider: while the main thread is held up, the
// service answers about kMaxPushesBehind pushes and then reads no more;
// once the host catches up, the rest are answered and every push reaches it
// once.
TEST(SimServeConcurrency, AProviderFasterThanTheHostIsHeldBackAndNothingIsLost) {
  const fs::path dir = fs::temp_directory_path() / ("orvel-sim-serve-behind-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  ServeOptions options;
  options.port = 0;
  options.noAuth = true;
  options.cleartext = true;
  std::mutex lock;
  std::condition_variable released;
  bool holding = true;
  std::map<std::string, int> presented;
  Server server(options, [&](const Record& r) {
    std::unique_lock<std::mutex> g(lock);
    // The host is held up at the first push.
    if (r.kind == "provider") released.wait(g, [&] { return !holding; });
    if (r.kind == "os" &&
        r.fields().value("call", "") == "userNotificationCenter:willPresentNotification:withCompletionHandler:")
      ++presented[r.fields().value("id", "")];
  });
  const std::string url = server.describe()["url"];
  const auto port = static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));

  constexpr int kConnections = 2, kEach = 900;
  size_t answeredWhileHeld = 0, accepted = 0;
  std::thread providers([&] {
    std::vector<std::unique_ptr<pushtest::H2Client>> clients;
    std::vector<std::vector<int32_t>> streams(kConnections);
    for (int c = 0; c < kConnections; ++c) {
      clients.push_back(std::make_unique<pushtest::H2Client>(port, ""));
      for (int i = 0; i < kEach; ++i) streams[c].push_back(clients[c]->submit(alert(c * kEach + i)));
    }
    auto answered = [&] {
      size_t n = 0;
      for (int c = 0; c < kConnections; ++c)
        for (int32_t s : streams[c]) n += clients[c]->response(s).status != 0;
      return n;
    };
    // Up to the bound (however slow the machine), then a moment for what
    // would come beyond it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (answered() + 1 < Server::kMaxPushesBehind && std::chrono::steady_clock::now() < deadline) {
      for (auto& client : clients) client->run([] { return false; }, 0.2);
    }
    for (auto& client : clients) client->run([] { return false; }, 0.5);
    answeredWhileHeld = answered();
    {
      std::lock_guard<std::mutex> g(lock);
      holding = false;
    }
    released.notify_all();
    for (auto& client : clients) client->run();
    for (int c = 0; c < kConnections; ++c)
      for (int32_t s : streams[c]) accepted += clients[c]->response(s).status == 200;
    server.stop();
  });
  const int status = server.serve();
  providers.join();
  fs::remove_all(dir);

  EXPECT_EQ(status, 0);
  EXPECT_GE(answeredWhileHeld, Server::kMaxPushesBehind - 1);
  // Beyond the bound, at most what one read (16 KiB, some 230 of these
  // requests) brings on each connection.
  EXPECT_LE(answeredWhileHeld, Server::kMaxPushesBehind + 512) << "the provider was not held back";
  EXPECT_EQ(accepted, static_cast<size_t>(kConnections * kEach));
  EXPECT_EQ(presented.size(), static_cast<size_t>(kConnections * kEach));
  for (const auto& [id, count] : presented) EXPECT_EQ(count, 1) << id << " delivered more than once";
}

}  // namespace

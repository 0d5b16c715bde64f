// Many streams and connections at once, and a client that vanishes in the
// middle of a request: every push answered and delivered exactly once,
// nothing left open.
#include <set>
#include <thread>

#include "PushTestSupport.h"

namespace pushtest {
namespace {

class PushServiceConcurrency : public PushServiceTest {
 protected:
  // A push with an identifier of its own, so that deliveries can be told
  // apart.
  H2Request numbered(int n) const {
    H2Request request = push();
    char id[40];
    std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", n);
    request.headers.emplace_back("apns-id", id);
    return request;
  }

  void expectEachDeliveredOnce(size_t count) {
    ASSERT_TRUE(sink.waitFor(count));
    std::set<std::string> ids;
    for (const PushNotification& n : sink.delivered()) ids.insert(n.apnsId);
    EXPECT_EQ(ids.size(), count);
    EXPECT_EQ(sink.delivered().size(), count) << "nothing delivered twice";
  }
};

TEST_F(PushServiceConcurrency, AHundredStreamsAtOnceOnOneConnection) {
  start();
  auto client = connect();
  std::vector<int32_t> streams;
  for (int i = 0; i < 100; ++i) streams.push_back(client->submit(numbered(i)));
  ASSERT_TRUE(client->run());
  for (int32_t stream : streams) EXPECT_EQ(client->response(stream).status, 200);
  expectEachDeliveredOnce(100);
}

TEST_F(PushServiceConcurrency, WhileTheSinkIsBehindRequestsWaitUnreadAndAreAnsweredOnceWhenItCatchesUp) {
  std::atomic<bool> behind{true};
  start([&](PushServiceOptions& options) { options.backlogged = [&] { return behind.load(); }; });
  auto client = connect();
  std::vector<int32_t> streams;
  for (int i = 0; i < 20; ++i) streams.push_back(client->submit(numbered(i)));
  EXPECT_FALSE(client->run({}, 0.3)) << "nothing is answered while the sink is behind";
  EXPECT_TRUE(sink.delivered().empty());
  behind = false;
  ASSERT_TRUE(client->run());
  for (int32_t stream : streams) EXPECT_EQ(client->response(stream).status, 200);
  expectEachDeliveredOnce(20);
}

TEST_F(PushServiceConcurrency, SeveralConnectionsFromSeveralThreads) {
  start();
  constexpr int kConnections = 4, kEach = 25;
  std::vector<std::thread> threads;
  std::atomic<int> accepted{0};
  for (int c = 0; c < kConnections; ++c) {
    threads.emplace_back([&, c] {
      auto client = connect();
      std::vector<int32_t> streams;
      for (int i = 0; i < kEach; ++i) streams.push_back(client->submit(numbered(c * kEach + i)));
      client->run();
      for (int32_t stream : streams) accepted += client->response(stream).status == 200;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(accepted.load(), kConnections * kEach);
  expectEachDeliveredOnce(kConnections * kEach);
}

TEST_F(PushServiceConcurrency, AClientThatDisconnectsMidRequestLeavesNothingBehindAndDeliversNothingOfIt) {
  start();
  auto client = connect();
  std::vector<int32_t> unfinished;
  for (int i = 0; i < 50; ++i) {
    H2Request partial = numbered(i);
    partial.body = R"({"aps":{"alert":"cut)";
    partial.keepOpen = true;
    unfinished.push_back(client->submit(partial));
  }
  const int32_t complete = client->submit(numbered(50));
  ASSERT_TRUE(client->run([&] { return client->response(complete).closed && service->stats().openStreams == 50; }));
  EXPECT_EQ(client->response(complete).status, 200);
  client->disconnect();

  EXPECT_TRUE(eventually([&] {
    const PushService::Stats stats = service->stats();
    return stats.openConnections == 0 && stats.openStreams == 0;
  })) << "the connection and its streams are gone";
  EXPECT_EQ(send(numbered(51)).status, 200) << "the service goes on";
  service->stop();
  expectEachDeliveredOnce(2);
  EXPECT_EQ(service->stats().requests, 2u) << "the cut requests were never answered";
}

}  // namespace
}  // namespace pushtest

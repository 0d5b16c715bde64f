// The service on 127.0.0.1, through an HTTP/2 client: answers on the wire,
// the transport's bounds, closing, and what is kept while the device is
// away.
#include <atomic>
#include <thread>

#include "Refusals.h"

namespace pushtest {
namespace {

H2Request onTheWire(const ProviderRequest& r) {
  H2Request request;
  request.method = r.method;
  request.path = r.path;
  for (const ProviderHeader& h : r.headers) request.headers.emplace_back(h.name, h.value);
  request.body = r.bodyTooLarge ? r.body + std::string(kMaxPayloadBytes, ' ') : r.body;
  return request;
}

class PushServiceTransport : public PushServiceTest {};

TEST_F(PushServiceTransport, AnAcceptedPushIsAnsweredWithItsIdentifierAndReachesTheSinkOnce) {
  start();
  H2Request request = push();
  request.headers.emplace_back("apns-collapse-id", "score");
  const H2Response response = send(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "");
  const std::string id = response.header("apns-id");
  EXPECT_TRUE(isCanonicalUUID(id)) << id;

  ASSERT_TRUE(sink.waitFor(1));
  const std::vector<PushNotification> delivered = sink.delivered();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].apnsId, id);
  EXPECT_EQ(delivered[0].payload, kAlert);
  EXPECT_EQ(delivered[0].collapseId, "score");

  const std::vector<ProviderExchange> records = recorded();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].status, 200);
  EXPECT_EQ(records[0].apnsId, id);
  EXPECT_EQ(records[0].path, "/3/device/" + kDeviceToken);
  EXPECT_THAT(records[0].headers, ::testing::Contains(::testing::Field(&ProviderHeader::value, "bearer ...")))
      << "the token itself stays out of records";
  EXPECT_EQ(service->stats().delivered, 1u);
}

TEST_F(PushServiceTransport, EveryRefusalArrivesWithItsStatusAndReasonAndNothingIsDelivered) {
  start();
  service->registerDevice(kOtherToken, kOtherBundle);
  service->registerDevice(kRemovedToken, kRemovedBundle);
  service->removeApplication(kRemovedToken, kRemovedAt);
  for (const Refusal& refusal : refusals(key, wallClock())) {
    SCOPED_TRACE(refusal.what);
    ProviderRequest r = documentedRequest(key, wallClock());
    refusal.change(r);
    const H2Response response = send(onTheWire(r));
    EXPECT_EQ(response.status, refusal.status);
    EXPECT_EQ(response.reason(), refusal.reason) << response.body;
    EXPECT_TRUE(isCanonicalUUID(response.header("apns-id")));
  }
  EXPECT_TRUE(sink.delivered().empty());
  EXPECT_EQ(service->stats().accepted, 0u);
}

TEST_F(PushServiceTransport, AThirdTokenWithinTwentyMinutesOnOneConnectionIsTooManyUpdates) {
  start();
  auto client = connect();
  std::vector<int32_t> streams;
  for (int64_t age : {30, 20, 10}) {
    H2Request request = push();
    request.headers[0].second = "bearer " + mintProviderToken(key, static_cast<int64_t>(wallClock()) - age);
    streams.push_back(client->submit(request));
    ASSERT_TRUE(client->run());
  }
  EXPECT_EQ(client->response(streams[0]).status, 200);
  EXPECT_EQ(client->response(streams[1]).status, 200) << "one change is allowed";
  EXPECT_EQ(client->response(streams[2]).status, 429);
  EXPECT_EQ(client->response(streams[2]).reason(), "TooManyProviderTokenUpdates");
  EXPECT_EQ(send(push()).status, 200) << "another connection starts afresh";
}

TEST_F(PushServiceTransport, ABodyOverTheLimitIsRefusedWithoutWaitingForAllOfIt) {
  start();
  auto client = connect();
  // Declared too large: answered at the headers, before any body.
  H2Request declared = push("");
  declared.headers.emplace_back("content-length", "100000");
  declared.keepOpen = true;
  // Undeclared: answered once the body passes 4096 bytes; the rest never
  // comes.
  H2Request streaming = push(R"({"aps":{},"x":")" + std::string(kMaxPayloadBytes, 'x'));
  streaming.keepOpen = true;
  const int32_t first = client->submit(declared), second = client->submit(streaming);
  ASSERT_TRUE(client->run()) << "both streams end although the client never finished either request";
  for (int32_t stream : {first, second}) {
    EXPECT_EQ(client->response(stream).status, 413);
    EXPECT_EQ(client->response(stream).reason(), "PayloadTooLarge");
  }
  EXPECT_TRUE(sink.delivered().empty());
  const int32_t after = client->submit(push());
  ASSERT_TRUE(client->run());
  EXPECT_EQ(client->response(after).status, 200) << "the connection goes on";
}

TEST_F(PushServiceTransport, HeadersOverTheListSizeAreRefusedAndTheSinkThrowingIsAnInternalError) {
  start([](PushServiceOptions& o) {
    o.maxHeaderListBytes = 1024;
    o.deliver = [](const PushNotification&) -> Delivery { throw std::runtime_error("device on fire"); };
  });
  H2Request big = push();
  big.headers.emplace_back("x-padding", std::string(2000, 'p'));
  const H2Response tooBig = send(big);
  EXPECT_EQ(tooBig.status, 431);
  EXPECT_EQ(tooBig.reason(), "HeaderListTooLarge");

  const H2Response failed = send(push());
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.reason(), "InternalServerError");
  EXPECT_THAT(recorded().back().detail, ::testing::HasSubstr("device on fire"));
}

TEST_F(PushServiceTransport, AnIdleConnectionIsClosedWithAGoAwaySayingIdleTimeout) {
  start([](PushServiceOptions& o) { o.idleTimeout = 0.2; });
  auto client = connect();
  const int32_t stream = client->submit(push());
  ASSERT_TRUE(client->run());
  EXPECT_EQ(client->response(stream).status, 200);
  ASSERT_TRUE(client->run([&] { return client->peerClosed; }));
  EXPECT_TRUE(client->goAwayReceived);
  EXPECT_EQ(client->goAwayError, 0u);
  EXPECT_EQ(client->goAwayData, R"({"reason":"IdleTimeout"})");
  client->disconnect();  // as clients do once told to go away
  EXPECT_TRUE(eventually([&] { return service->stats().openConnections == 0; }));
}

TEST_F(PushServiceTransport, StoppingFinishesTheRequestInFlightThenSaysShutdown) {
  start();
  auto client = connect();
  H2Request partial = push(R"({"aps":{"alert":)");
  partial.keepOpen = true;
  const int32_t stream = client->submit(partial);
  ASSERT_TRUE(client->run([&] { return service->stats().openStreams == 1; }));

  std::thread stopper([&] { service->stop(); });
  ASSERT_TRUE(client->run([&] { return client->goAwayReceived; }));
  EXPECT_EQ(client->goAwayData, R"({"reason":"Shutdown"})");
  client->finishBody(stream, R"("late"}})");
  ASSERT_TRUE(client->run());
  client->disconnect();
  stopper.join();
  EXPECT_EQ(client->response(stream).status, 200) << "a request in flight when the service stopped is answered";
  EXPECT_EQ(sink.delivered().size(), 1u);
  EXPECT_EQ(service->stats().openConnections, 0u);
  EXPECT_THROW(H2Client(service->port(), service->certificatePEM()), std::runtime_error) << "no longer listening";
}

TEST_F(PushServiceTransport, CleartextHttp2OnlyWhenAskedAndHttp1GetsAnExplanation) {
  start([](PushServiceOptions& o) {
    o.cleartext = true;
    o.requireProviderToken = false;
  });
  EXPECT_EQ(service->url(), "http://127.0.0.1:" + std::to_string(service->port()));
  EXPECT_EQ(service->certificatePEM(), "");
  H2Request request = push();
  request.headers.clear();
  EXPECT_EQ(send(request).status, 200) << "no token, no topic: accepted without token authentication";

  const CommandResult http1 =
      runCommand({"curl", "-s", "--http1.1", "-d", kAlert, service->url() + "/3/device/" + kDeviceToken});
  EXPECT_THAT(http1.output, ::testing::HasSubstr("speaks HTTP/2 only"));
}

TEST(PushServiceOptionsCheck, MistakesAreRefusedWithWhatToDo) {
  auto message = [](PushServiceOptions options) {
    if (!options.deliver) options.deliver = [](const PushNotification&) { return Delivery::Delivered; };
    try {
      PushService service(std::move(options));
    } catch (const PushServiceError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  PushServiceOptions noKeys;
  noKeys.port = 0;
  EXPECT_THAT(message(noKeys), ::testing::HasSubstr("no key was given"));

  PushServiceOptions named;
  named.port = 0;
  named.requireProviderToken = false;
  named.address = "localhost";
  EXPECT_THAT(message(named), ::testing::HasSubstr("not an IP address"));

  PushServiceOptions first;
  first.port = 0;
  first.requireProviderToken = false;
  first.deliver = [](const PushNotification&) { return Delivery::Delivered; };
  PushService running(first);
  PushServiceOptions taken = first;
  taken.port = running.port();
  EXPECT_THAT(message(taken), ::testing::HasSubstr("another program listens there"));

  PushServiceOptions halfIdentity = first;
  halfIdentity.certificateFile = "cert.pem";
  EXPECT_THAT(message(halfIdentity), ::testing::HasSubstr("give both files"));
  EXPECT_THROW(running.registerDevice("abc", kBundle), PushServiceError);
  EXPECT_THROW(running.registerDevice(kDeviceToken, "com example"), PushServiceError);
}

class PushServiceStore : public PushServiceTest {
 protected:
  H2Request pushExpiring(const std::string& alert, std::optional<int64_t> expiration) {
    H2Request request = push(R"({"aps":{"alert":")" + alert + "\"}}");
    if (expiration) request.headers.emplace_back("apns-expiration", std::to_string(*expiration));
    return request;
  }
  const int64_t start_ = static_cast<int64_t>(wallClock());
  std::atomic<double> now{static_cast<double>(start_)};
};

TEST_F(PushServiceStore, OnlyTheLatestIsKeptWhileAwayAndItArrivesOnceWhenTheDeviceReturns) {
  start([this](PushServiceOptions& o) { o.clock = [this] { return now.load(); }; });
  sink.setReachable(false);
  const std::string first = send(pushExpiring("first", std::nullopt)).header("apns-id");
  const std::string second = send(pushExpiring("second", start_ + 3600)).header("apns-id");
  const H2Response once = send(pushExpiring("now or never", 0));
  EXPECT_EQ(once.status, 200) << "accepted, then not kept";
  EXPECT_EQ(service->stats().kept, 1u);

  sink.setReachable(true);
  service->deviceReachable();
  ASSERT_TRUE(sink.waitFor(1));
  ASSERT_TRUE(sink.waitForStoreEvents(5));
  EXPECT_THAT(sink.storeEvents(), ::testing::ElementsAre("kept " + first, "replaced " + first, "kept " + second,
                                                         "discarded " + once.header("apns-id"), "forwarded " + second));
  service->deviceReachable();
  service->stop();
  EXPECT_EQ(sink.delivered().size(), 1u) << "forwarded once";
  EXPECT_EQ(sink.delivered()[0].apnsId, second);
}

TEST_F(PushServiceStore, WhatExpiresWhileAwayOrBelongsToARemovedApplicationIsNotDelivered) {
  start([this](PushServiceOptions& o) { o.clock = [this] { return now.load(); }; });
  sink.setReachable(false);
  const std::string expiring = send(pushExpiring("soon", start_ + 60)).header("apns-id");
  now = static_cast<double>(start_ + 60);
  sink.setReachable(true);
  service->deviceReachable();
  ASSERT_TRUE(sink.waitForStoreEvents(2));
  EXPECT_EQ(sink.storeEvents()[1], "expired " + expiring);

  sink.setReachable(false);
  send(pushExpiring("to a removed app", std::nullopt));
  service->removeApplication(kDeviceToken);
  EXPECT_EQ(send(push()).status, 410);
  sink.setReachable(true);
  service->deviceReachable();
  service->stop();
  EXPECT_TRUE(sink.delivered().empty());
  EXPECT_EQ(service->stats().kept, 0u);
}

}  // namespace
}  // namespace pushtest

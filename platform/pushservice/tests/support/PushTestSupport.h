// What the push service's tests share: a device token and its application,
// a sink that records what it is handed, and a service on 127.0.0.1 with a
// client to talk to it.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "H2Client.h"
#include "PushService/PushService.h"

namespace pushtest {

using namespace objc;

inline const std::string kBundle = "com.example.orvel";
inline const std::string kDeviceToken = "5f0c3e2a9b8d7c6e5f4a3b2c1d0e9f8a7b6c5d4e3f2a1b0c9d8e7f6a5b4c3d2e";
inline const std::string kAlert = R"({"aps":{"alert":"Hello","badge":1}})";
inline const std::string kSilent = R"({"aps":{"content-available":1},"job":"sync"})";

inline double wallClock() { return static_cast<double>(std::time(nullptr)); }

// Records every notification; answers Unreachable while told so.
class TestSink {
 public:
  Delivery deliver(const PushNotification& notification) {
    std::lock_guard<std::mutex> lock(lock_);
    if (!reachable_) return Delivery::Unreachable;
    delivered_.push_back(notification);
    changed_.notify_all();
    return Delivery::Delivered;
  }
  void setReachable(bool reachable) {
    std::lock_guard<std::mutex> lock(lock_);
    reachable_ = reachable;
  }
  std::vector<PushNotification> delivered() const {
    std::lock_guard<std::mutex> lock(lock_);
    return delivered_;
  }
  // What the service did with notifications the device could not take, as
  // "event apns-id".
  void stored(const PushNotification& notification, StoreEvent event) {
    std::lock_guard<std::mutex> lock(lock_);
    storeEvents_.push_back(std::string(storeEventName(event)) + " " + notification.apnsId);
    changed_.notify_all();
  }
  std::vector<std::string> storeEvents() const {
    std::lock_guard<std::mutex> lock(lock_);
    return storeEvents_;
  }
  // Wait (at most 10 s) until `count` notifications have arrived, or `count`
  // store events have happened.
  bool waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return delivered_.size() >= count; });
  }
  bool waitForStoreEvents(size_t count) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return storeEvents_.size() >= count; });
  }

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool reachable_ = true;
  std::vector<PushNotification> delivered_;
  std::vector<std::string> storeEvents_;
};

// For state no callback announces (a connection's end): checks `condition`
// every few milliseconds, for at most 10 s.
inline bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class PushServiceTest : public ::testing::Test {
 protected:
  // A service on a free port of 127.0.0.1 with one key and the test
  // device; `adjust` changes the options first.
  void start(const std::function<void(PushServiceOptions&)>& adjust = {}) {
    PushServiceOptions options;
    options.port = 0;
    options.keys = {key};
    options.deliver = [this](const PushNotification& n) { return sink.deliver(n); };
    options.stored = [this](const PushNotification& n, StoreEvent e) { sink.stored(n, e); };
    options.observe = [this](const ProviderExchange& e) {
      std::lock_guard<std::mutex> lock(exchangesLock);
      exchanges.push_back(e);
    };
    if (adjust) adjust(options);
    cleartext = options.cleartext;
    service = std::make_unique<PushService>(std::move(options));
    service->registerDevice(kDeviceToken, kBundle);
  }

  // One token for the whole test, as a provider keeps its token (each
  // minting signs anew, and a connection may change tokens only so often).
  std::string bearer() const { return "bearer " + token; }

  // An alert push to the test device, with the documented headers.
  H2Request push(const std::string& body = kAlert) const {
    H2Request request;
    request.path = "/3/device/" + kDeviceToken;
    request.headers = {{"authorization", bearer()}, {"apns-topic", kBundle}, {"apns-push-type", "alert"}};
    request.body = body;
    return request;
  }

  std::unique_ptr<H2Client> connect() const {
    return std::make_unique<H2Client>(service->port(), cleartext ? std::string() : service->certificatePEM());
  }

  // Sends one request on a connection of its own and waits for the answer.
  H2Response send(const H2Request& request) {
    auto client = connect();
    const int32_t stream = client->submit(request);
    EXPECT_TRUE(client->run()) << "no answer";
    return client->response(stream);
  }

  std::vector<ProviderExchange> recorded() {
    std::lock_guard<std::mutex> lock(exchangesLock);
    return exchanges;
  }

  ProviderKey key = ProviderKey::generate("KEYID12345", "TEAMID1234");
  std::string token = mintProviderToken(key, static_cast<int64_t>(wallClock()));
  TestSink sink;
  bool cleartext = false;
  std::mutex exchangesLock;
  std::vector<ProviderExchange> exchanges;
  // Last, so that it stops (and stops calling the sink and the observer)
  // before what they write into goes.
  std::unique_ptr<PushService> service;
};

}  // namespace pushtest

// The platform's push service, running locally: providers send it
// notifications over HTTP/2 (TLS with ALPN "h2", or cleartext with prior
// knowledge when asked), it checks each request as the real service does,
// answers with the documented status, reason and apns-id, and hands every
// accepted notification to a delivery sink.
//
//   objc::PushServiceOptions options;
//   options.keys.push_back(objc::ProviderKey::fromPEMFile("AuthKey.p8", "ABC123DEFG", "DEF123GHIJ"));
//   options.writeCertificateTo = "service.pem";   // curl --cacert service.pem
//   options.deliver = [&](const objc::PushNotification& n) {
//     objc::dispatch_async(objc::dispatch_get_main_queue(), [=] { /* to the device */ });
//     return objc::Delivery::Delivered;
//   };
//   objc::PushService service(std::move(options));   // listening now
//   service.registerDevice(token, "com.example.app");
//   ...
//   service.stop();   // or let it go out of scope
//
// Threads: the service runs its connections on one thread of its own. The
// sink and the observers are called on that thread, one call at a time; a
// sink that must reach the device's main thread posts to the main queue and
// returns. Every public member function may be called from any thread
// except the service's own (stop() from inside a sink would wait for
// itself).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "PushService/ProviderRequest.h"
#include "PushService/ProviderToken.h"
#include "PushService/ServerIdentity.h"

namespace objc {

// What the sink made of a notification.
enum class Delivery {
  Delivered,
  // The device cannot be reached: the service keeps the notification (the
  // latest one per application) until deviceReachable(), unless its
  // expiration says otherwise.
  Unreachable,
};

// What happened to a notification the device could not take.
enum class StoreEvent {
  Kept,       // stored until the device is reachable
  Replaced,   // a newer notification for the same application took its place
  Discarded,  // not stored: its expiration was 0 or had passed
  Expired,    // stored, but it expired before the device came back
  Forwarded,  // stored, and delivered when the device came back
};
const char* storeEventName(StoreEvent event);  // "kept", "replaced", ...

// One request and its answer, for records and logs.
struct ProviderExchange {
  double time = 0;          // seconds since the epoch, when it was answered
  uint64_t connection = 0;  // 1, 2, ... in the order connections came
  int32_t stream = 0;
  std::string method;
  std::string path;
  // The apns-* headers as sent, and "authorization" as "bearer ..." (the
  // token itself is a credential and stays out of records).
  std::vector<ProviderHeader> headers;
  int status = 0;
  std::string reason;
  std::string detail;
  std::string apnsId;
};

struct PushServiceOptions {
  // Where to listen. Another address than 127.0.0.1 exposes the service to
  // other machines; it is taken only when given here.
  std::string address = "127.0.0.1";
  // 0 picks a free port; PushService::port() tells which.
  uint16_t port = 2197;
  // Cleartext HTTP/2 with prior knowledge (h2c) instead of TLS.
  bool cleartext = false;

  // The TLS identity: both files, or neither for a new self-signed
  // certificate for 127.0.0.1 and localhost (and `address`).
  std::string certificateFile;
  std::string privateKeyFile;
  // Where to write the certificate, so that clients can trust it; empty
  // writes nothing.
  std::string writeCertificateTo;

  // Provider tokens are checked against these keys; with
  // requireProviderToken false, requests need no token.
  bool requireProviderToken = true;
  std::vector<ProviderKey> keys;

  // Bounds of one connection.
  uint32_t maxConcurrentStreams = 1000;
  uint32_t maxHeaderListBytes = 8192;
  // A connection without a frame for this many seconds is closed with a
  // GOAWAY whose debug data is {"reason":"IdleTimeout"}.
  double idleTimeout = 3600;
  // How long stop() (and an idle close) waits for requests in flight
  // before closing connections anyway.
  double closeGrace = 5;

  // Seconds since the epoch: provider tokens' age and notifications'
  // expiration are judged by it. Empty: the system clock.
  std::function<double()> clock;

  // Takes each accepted notification (required). An exception it throws
  // answers the request 500 InternalServerError.
  std::function<Delivery(const PushNotification&)> deliver;
  // Sees every request and its answer (optional).
  std::function<void(const ProviderExchange&)> observe;
  // Sees what happens to notifications the device could not take
  // (optional).
  std::function<void(const PushNotification&, StoreEvent)> stored;
  // Asked before each read from a connection (optional): while it answers
  // true, the sink is behind and the service reads no more requests; they
  // wait in the connections, and HTTP/2 flow control holds the providers
  // back. Asked again every millisecond.
  std::function<bool()> backlogged;
};

class PushService {
 public:
  // Makes or reads the TLS identity, writes the certificate when asked,
  // listens and starts serving. Throws PushServiceError for a bad option,
  // an unreadable file or an address it cannot listen on.
  explicit PushService(PushServiceOptions options);
  // stop()
  ~PushService();
  PushService(const PushService&) = delete;
  PushService& operator=(const PushService&) = delete;

  const std::string& address() const;
  uint16_t port() const;
  // "https://127.0.0.1:2197" (http:// for cleartext; IPv6 in brackets).
  std::string url() const;
  // The certificate the service presents (PEM); empty for cleartext.
  const std::string& certificatePEM() const;

  // A device token (hexadecimal, either case) and the application it
  // belongs to; registering a token again replaces its application and
  // makes it valid again. Throws PushServiceError for a token that is not
  // hexadecimal text of whole bytes or a bundle identifier that is not one.
  void registerDevice(std::string_view deviceToken, std::string_view bundleId);
  // The token's application was removed from the device at `removedAt`
  // (milliseconds since the epoch; default now): pushes to it are answered
  // 410 Unregistered, and a notification kept for it is dropped.
  void removeApplication(std::string_view deviceToken, std::optional<int64_t> removedAt = std::nullopt);
  // The device can be reached again: delivers what was kept for it, unless
  // expired. The delivery happens on the service's thread; this returns
  // once it is done, so that a caller can go on with what the sink was
  // handed. (Nothing happens once the service has stopped.)
  void deviceReachable();

  // Finishes the requests in flight (for up to closeGrace seconds), sends
  // every connection a GOAWAY with {"reason":"Shutdown"}, closes them and
  // stops the thread. Does nothing the second time.
  void stop();

  struct Stats {
    uint64_t openConnections = 0;
    uint64_t openStreams = 0;
    uint64_t requests = 0;   // answered
    uint64_t accepted = 0;   // answered 200
    uint64_t delivered = 0;  // taken by the sink, at once or forwarded
    uint64_t kept = 0;       // notifications stored now
  };
  Stats stats() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace objc

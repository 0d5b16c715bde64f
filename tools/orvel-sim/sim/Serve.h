// `orvel-sim serve`: the sample host on the simulated device, behind the
// push service, so that provider code (curl, a provider library) can send
// to it while a control channel drives the device.
//
//   orvelsim::Server server(options, [](const Record& r) { ... });
//   server.control(R"({"state": "background"})");   // from any thread
//   int status = server.serve();                     // until stop()
//
// A scenario's "send" step is a real request to the service (libcurl,
// HTTP/2), signed with the service's key when it has the private half;
// the step ends once the device has taken the push.
//
// Everything the device, the host, the library and the service do is a
// record in one stream: each provider request is a "provider" record (and
// what the service kept or forwarded while the device was offline a
// "store" record), followed by what the device made of the push. More
// consumers subscribe through recorder().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "sim/Records.h"
#include "sim/Runner.h"
#include "sim/Scenario.h"

namespace orvelsim {

// The sample host's bundle identifier: the topic providers send to.
inline constexpr const char* kSampleHostBundleId = "com.orvel.sample";
// The longest control line read; a longer one is answered with an "error"
// record and skipped.
inline constexpr size_t kMaxControlLineBytes = size_t{1} << 20;

struct ServeOptions {
  RunOptions run;  // the device clock's start
  HostConfig host;
  // Run first; when it begins with "launch", that launch starts the host.
  std::optional<Scenario> scenario;

  std::string address = "127.0.0.1";
  uint16_t port = 2197;
  bool cleartext = false;
  // The TLS identity (both or neither; neither makes a self-signed one)
  // and where its certificate is written for clients to trust.
  std::string certificateFile, privateKeyFile;
  std::string certificateOut = "orvel-sim-service.pem";
  // Provider tokens: checked against this public or private key ...
  std::string authKeyFile;
  std::string keyId, teamId;
  // ... or against a key pair made now, written here (empty:
  // AuthKey_<key id>.p8 in the current directory) ...
  std::string newKeyFile;
  // ... or not required.
  bool noAuth = false;
  std::string topic = kSampleHostBundleId;
  // The live device page's address, for the "serve" record ("page"); the
  // page itself belongs to the caller.
  std::string livePage;
  // Stop after this many accepted pushes have reached the device (0: run
  // until stopped).
  uint64_t exitAfter = 0;

  // For `orvel-sim run` of a scenario that sends to the push service: run
  // the scenario (which launches the host itself) and stop, without a
  // "serve" record; the service judges expiration by the device clock.
  bool scenarioOnly = false;

  // Called on the main thread when it has nothing more to do for now: the
  // moment to flush what the sink wrote.
  std::function<void()> idle;
};

class Server {
 public:
  // On the main thread: starts the device and the host's observers, and the
  // push service with the device token registered for the topic. Throws
  // objc::PushServiceError for an option it cannot use (a key, a
  // certificate, an address).
  Server(ServeOptions options, Recorder::Sink sink);
  ~Server();

  // The device is at most about this many pushes behind the service's
  // answers: beyond it, the service reads no more requests until the host
  // has caught up, and providers are held back by HTTP/2 flow control.
  static constexpr size_t kMaxPushesBehind = 1024;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // The address, the device token, the topic and the files a provider
  // needs: the fields of the "serve" record.
  Json describe() const;

  // One scenario step as a line of JSON, from any thread: performed on the
  // main thread in the order given, answered in the record stream (a line
  // that is not a step: an "error" record, and serving goes on).
  void control(std::string line);
  // A control line that could not be read at all (too long): an "error"
  // record saying `what`.
  void controlError(std::string what);

  // From any thread (a signal's handler thread): finish what is in flight,
  // close the connections (GOAWAY) and return from serve().
  void stop();

  // On the main thread: the "serve" record, the launch, the scenario, then
  // pushes and control lines as they come, until stop() or the count of
  // ServeOptions::exitAfter. The device clock follows real time meanwhile.
  // Returns 0 when every step could be carried out and every expectation
  // held, else 1.
  int serve();

  Recorder& recorder();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Reads control lines from standard input and stops `server` on SIGINT or
// SIGTERM, until it goes. Make it before the server starts its threads, on
// the main thread.
class ServeInput {
 public:
  ServeInput();
  ~ServeInput();
  ServeInput(const ServeInput&) = delete;
  ServeInput& operator=(const ServeInput&) = delete;
  // Starts handing lines and signals to `server`, which outlives this.
  void attach(Server& server);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvelsim

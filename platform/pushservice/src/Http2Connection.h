// One provider connection: TLS (or cleartext) under asio, HTTP/2 by
// libnghttp2's server session. Everything in it runs on the service's
// thread; asio's handlers hold the connection alive while they are queued.
#pragma once

#include <nghttp2/nghttp2.h>

#include <array>
#include <asio.hpp>
#include <asio/ssl.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "ServiceCore.h"

namespace objc {

struct ConnectionLimits {
  uint32_t maxConcurrentStreams = 1000;
  uint32_t maxHeaderListBytes = 8192;
  double idleTimeout = 3600;
  double closeGrace = 5;
};

class Http2Connection : public std::enable_shared_from_this<Http2Connection> {
 public:
  // Told once, when the connection has closed its socket.
  using Closed = std::function<void(Http2Connection*)>;

  // `tls` null: cleartext HTTP/2 with prior knowledge.
  Http2Connection(asio::ip::tcp::socket socket, asio::ssl::context* tls, ServiceCore& core,
                  const ConnectionLimits& limits, uint64_t id, Closed closed);
  ~Http2Connection();
  Http2Connection(const Http2Connection&) = delete;
  Http2Connection& operator=(const Http2Connection&) = delete;

  void start();
  // The service stops: a GOAWAY with {"reason":"Shutdown"}, then the
  // requests in flight finish (for up to closeGrace seconds), then the
  // connection closes.
  void shutdown();

 private:
  struct Stream;
  using Clock = std::chrono::steady_clock;

  void startSession();
  void read();
  // read(), or, while the service is backlogged, a read a moment later.
  void readWhenReady();
  void onRead(const asio::error_code& error, size_t length);
  void flush();
  void goAway(std::string_view reason);
  // Ends a connection that has nothing more to say: TLS close_notify (or a
  // half-close) and then the socket, reading and dropping what the peer
  // still sends meanwhile, so that it sees everything that was written.
  void finish();
  void close();
  void armIdleTimer();
  // An HTTP/1.1 client on an HTTP/2-only port: a plain-text answer saying
  // so, then the connection ends.
  void refuseHttp1();

  Stream* streamOf(int32_t streamId);
  void answer(Stream& stream);

  static int onBeginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* self);
  static int onHeader(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name, size_t nameLength,
                      const uint8_t* value, size_t valueLength, uint8_t flags, void* self);
  static int onFrameRecv(nghttp2_session*, const nghttp2_frame* frame, void* self);
  static int onDataChunk(nghttp2_session*, uint8_t flags, int32_t streamId, const uint8_t* data, size_t length,
                         void* self);
  static int onFrameSend(nghttp2_session*, const nghttp2_frame* frame, void* self);
  static int onStreamClose(nghttp2_session*, int32_t streamId, uint32_t errorCode, void* self);
  static ssize_t readResponse(nghttp2_session*, int32_t streamId, uint8_t* buffer, size_t length, uint32_t* flags,
                              nghttp2_data_source* source, void*);

  asio::ip::tcp::socket socket_;
  std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> tls_;
  ServiceCore& core_;
  const ConnectionLimits limits_;
  const uint64_t id_;
  Closed closed_;

  nghttp2_session* session_ = nullptr;
  std::map<int32_t, std::unique_ptr<Stream>> streams_;
  ProviderConnectionToken token_;

  std::array<uint8_t, 16384> in_{};
  std::string out_;
  bool reading_ = false;
  bool writing_ = false;
  bool goingAway_ = false;
  bool finishing_ = false;
  bool shuttingDownTls_ = false;
  bool isClosed_ = false;

  Clock::time_point lastActivity_;
  asio::steady_timer idleTimer_;
  asio::steady_timer closeTimer_;
  asio::steady_timer resumeTimer_;
};

}  // namespace objc

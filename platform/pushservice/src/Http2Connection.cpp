#include "Http2Connection.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace objc {

namespace {

constexpr size_t kWriteChunk = 64 * 1024;
constexpr std::string_view kHttp1Refusal =
    "HTTP/1.1 505 HTTP Version Not Supported\r\n"
    "content-type: text/plain\r\n"
    "connection: close\r\n"
    "\r\n"
    "This push service speaks HTTP/2 only: over TLS with ALPN \"h2\" (curl --http2), or, on a cleartext port, "
    "with prior knowledge (curl --http2-prior-knowledge).\n";

nghttp2_nv header(std::string_view name, std::string_view value) {
  return {reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(), NGHTTP2_NV_FLAG_NONE};
}

std::chrono::steady_clock::duration seconds(double s) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

// The declared length of a request body; nothing when absent or not a
// number (nghttp2 refuses a body that disagrees with a valid one).
std::optional<uint64_t> contentLength(const ProviderRequest& request) {
  const std::string* value = request.header("content-length");
  uint64_t length = 0;
  if (!value || std::from_chars(value->data(), value->data() + value->size(), length).ec != std::errc()) return {};
  return length;
}

}  // namespace

struct Http2Connection::Stream {
  Stream(int32_t streamId, std::atomic<uint64_t>& openStreams) : id(streamId), open(openStreams) { ++open; }
  ~Stream() { --open; }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  const int32_t id;
  std::atomic<uint64_t>& open;
  ProviderRequest request;
  size_t headerBytes = 0;
  bool headersTooLarge = false;
  size_t bodyLimit = kMaxPayloadBytes;
  bool requestEnded = false;
  bool answered = false;
  std::string status;
  std::string apnsId;
  std::string response;
  size_t responseSent = 0;
};

Http2Connection::Http2Connection(asio::ip::tcp::socket socket, asio::ssl::context* tls, ServiceCore& core,
                                 const ConnectionLimits& limits, uint64_t id, Closed closed)
    : socket_(std::move(socket)),
      core_(core),
      limits_(limits),
      id_(id),
      closed_(std::move(closed)),
      lastActivity_(Clock::now()),
      idleTimer_(socket_.get_executor()),
      closeTimer_(socket_.get_executor()),
      resumeTimer_(socket_.get_executor()) {
  if (tls) tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(socket_, *tls);
  ++core_.counters.openConnections;
}

Http2Connection::~Http2Connection() {
  // The session first: it may still refer to the streams.
  nghttp2_session_del(session_);
  streams_.clear();
  --core_.counters.openConnections;
}

void Http2Connection::start() {
  armIdleTimer();
  if (!tls_) {
    startSession();
    return;
  }
  tls_->async_handshake(asio::ssl::stream_base::server, [self = shared_from_this()](const asio::error_code& error) {
    if (self->isClosed_) return;
    if (error) {
      self->close();
      return;
    }
    const unsigned char* protocol = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(self->tls_->native_handle(), &protocol, &length);
    if (std::string_view(reinterpret_cast<const char*>(protocol), length) != "h2") {
      self->refuseHttp1();
      return;
    }
    self->startSession();
  });
}

void Http2Connection::startSession() {
  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_session_callbacks_new(&callbacks);
  nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, onBeginHeaders);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, onHeader);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, onFrameRecv);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, onDataChunk);
  nghttp2_session_callbacks_set_on_frame_send_callback(callbacks, onFrameSend);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, onStreamClose);
  const int created = nghttp2_session_server_new(&session_, callbacks, this);
  nghttp2_session_callbacks_del(callbacks);
  if (created != 0) {
    close();
    return;
  }
  const nghttp2_settings_entry settings[] = {
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, limits_.maxConcurrentStreams},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, limits_.maxHeaderListBytes},
  };
  nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, settings, std::size(settings));
  // Over TLS, ALPN has settled the protocol, so the settings go at once. In
  // cleartext they wait for the client's first bytes: an HTTP/1.1 client
  // then gets a readable refusal instead of binary frames.
  if (tls_) flush();
  readWhenReady();
}

void Http2Connection::read() {
  if (reading_ || isClosed_) return;
  reading_ = true;
  auto handler = [self = shared_from_this()](const asio::error_code& error, size_t length) {
    self->onRead(error, length);
  };
  if (tls_) {
    tls_->async_read_some(asio::buffer(in_), std::move(handler));
  } else {
    socket_.async_read_some(asio::buffer(in_), std::move(handler));
  }
}

void Http2Connection::readWhenReady() {
  if (!core_.backlogged()) {
    read();
    return;
  }
  resumeTimer_.expires_after(std::chrono::milliseconds(1));
  resumeTimer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
    // A connection that finishes reads (and drops) on its own.
    if (error || self->isClosed_ || self->finishing_) return;
    self->readWhenReady();
  });
}

void Http2Connection::onRead(const asio::error_code& error, size_t length) {
  reading_ = false;
  if (isClosed_) return;
  if (finishing_) {
    // What the peer sends now is dropped. In cleartext the connection
    // waits for the peer to close; over TLS the shutdown goes on once no
    // read is pending.
    if (error && error != asio::error::operation_aborted) {
      close();
    } else if (tls_) {
      finish();
    } else {
      read();
    }
    return;
  }
  if (error) {
    // The peer went away: streams it had not finished were never answered
    // and nothing of them was delivered.
    close();
    return;
  }
  lastActivity_ = Clock::now();
  if (!session_) {
    // Reads before a session exist only after refuseHttp1: drop them.
    read();
    return;
  }
  const ssize_t consumed = nghttp2_session_mem_recv(session_, in_.data(), length);
  if (consumed == NGHTTP2_ERR_BAD_CLIENT_MAGIC) {
    refuseHttp1();
    return;
  }
  if (consumed < 0) {
    close();
    return;
  }
  flush();
  if (!finishing_) readWhenReady();
}

void Http2Connection::flush() {
  if (writing_ || isClosed_ || !session_) return;
  out_.clear();
  while (out_.size() < kWriteChunk) {
    const uint8_t* data = nullptr;
    const ssize_t length = nghttp2_session_mem_send(session_, &data);
    if (length < 0) {
      close();
      return;
    }
    if (length == 0) break;
    out_.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
  }
  if (out_.empty()) {
    if (!nghttp2_session_want_read(session_) && !nghttp2_session_want_write(session_)) finish();
    return;
  }
  writing_ = true;
  auto handler = [self = shared_from_this()](const asio::error_code& error, size_t) {
    self->writing_ = false;
    if (self->isClosed_) return;
    if (error) {
      self->close();
      return;
    }
    self->flush();
  };
  if (tls_) {
    asio::async_write(*tls_, asio::buffer(out_), std::move(handler));
  } else {
    asio::async_write(socket_, asio::buffer(out_), std::move(handler));
  }
}

void Http2Connection::shutdown() {
  if (!session_) {
    close();  // still in the TLS handshake
    return;
  }
  goAway(R"({"reason":"Shutdown"})");
}

void Http2Connection::goAway(std::string_view reason) {
  if (goingAway_ || isClosed_) return;
  goingAway_ = true;
  idleTimer_.cancel();
  nghttp2_submit_goaway(session_, NGHTTP2_FLAG_NONE, nghttp2_session_get_last_proc_stream_id(session_),
                        NGHTTP2_NO_ERROR, reinterpret_cast<const uint8_t*>(reason.data()), reason.size());
  closeTimer_.expires_after(seconds(limits_.closeGrace));
  closeTimer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
    if (!error) self->close();
  });
  flush();
}

void Http2Connection::finish() {
  if (isClosed_) return;
  if (!finishing_) {
    finishing_ = true;
    idleTimer_.cancel();
    closeTimer_.expires_after(seconds(std::min(limits_.closeGrace, 2.0)));
    closeTimer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
      if (!error) self->close();
    });
    if (!tls_) {
      asio::error_code ignored;
      socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
      read();  // until the peer closes
      return;
    }
  }
  if (!tls_ || shuttingDownTls_) return;
  if (reading_) {
    // TLS shuts down with reads and writes of its own; the pending read
    // makes way first and calls back here.
    asio::error_code ignored;
    socket_.cancel(ignored);
    return;
  }
  shuttingDownTls_ = true;
  tls_->async_shutdown([self = shared_from_this()](const asio::error_code&) { self->close(); });
}

void Http2Connection::close() {
  if (isClosed_) return;
  isClosed_ = true;
  idleTimer_.cancel();
  closeTimer_.cancel();
  resumeTimer_.cancel();
  asio::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  if (closed_) closed_(this);
}

void Http2Connection::armIdleTimer() {
  idleTimer_.expires_at(lastActivity_ + seconds(limits_.idleTimeout));
  idleTimer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
    if (error || self->isClosed_ || self->goingAway_) return;
    if (Clock::now() < self->lastActivity_ + seconds(self->limits_.idleTimeout)) {
      self->armIdleTimer();
    } else if (!self->session_) {
      self->close();  // never finished the TLS handshake
    } else {
      self->goAway(R"({"reason":"IdleTimeout"})");
    }
  });
}

void Http2Connection::refuseHttp1() {
  nghttp2_session_del(session_);
  session_ = nullptr;
  streams_.clear();
  out_ = kHttp1Refusal;
  writing_ = true;
  auto handler = [self = shared_from_this()](const asio::error_code& error, size_t) {
    self->writing_ = false;
    if (error) {
      self->close();
    } else {
      self->finish();
    }
  };
  if (tls_) {
    asio::async_write(*tls_, asio::buffer(out_), std::move(handler));
  } else {
    asio::async_write(socket_, asio::buffer(out_), std::move(handler));
  }
}

Http2Connection::Stream* Http2Connection::streamOf(int32_t streamId) {
  return static_cast<Stream*>(nghttp2_session_get_stream_user_data(session_, streamId));
}

void Http2Connection::answer(Stream& stream) {
  stream.answered = true;
  ProviderVerdict verdict;
  if (stream.headersTooLarge) {
    // HTTP's own answer for it; the documented reasons have none.
    verdict.status = 431;
    verdict.reason = "HeaderListTooLarge";
    verdict.detail = "the request's header fields are over " + std::to_string(limits_.maxHeaderListBytes) + " bytes";
    verdict.apnsId = newApnsId();
    core_.record(stream.request, verdict, id_, stream.id);
  } else {
    verdict = core_.answer(stream.request, token_, id_, stream.id);
    token_ = verdict.connectionToken;
  }
  stream.status = std::to_string(verdict.status);
  stream.apnsId = verdict.apnsId;
  stream.response = verdict.body();
  // The request is done with; a long body need not stay until the stream
  // closes.
  stream.request = ProviderRequest();

  std::vector<nghttp2_nv> headers = {header(":status", stream.status), header("apns-id", stream.apnsId)};
  if (!stream.response.empty()) headers.push_back(header("content-type", "application/json"));
  nghttp2_data_provider body{};
  body.source.ptr = &stream;
  body.read_callback = readResponse;
  nghttp2_submit_response(session_, stream.id, headers.data(), headers.size(),
                          stream.response.empty() ? nullptr : &body);
}

int Http2Connection::onBeginHeaders(nghttp2_session* session, const nghttp2_frame* frame, void* self) {
  auto* connection = static_cast<Http2Connection*>(self);
  if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
  auto stream = std::make_unique<Stream>(frame->hd.stream_id, connection->core_.counters.openStreams);
  nghttp2_session_set_stream_user_data(session, frame->hd.stream_id, stream.get());
  connection->streams_[frame->hd.stream_id] = std::move(stream);
  return 0;
}

int Http2Connection::onHeader(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name, size_t nameLength,
                              const uint8_t* value, size_t valueLength, uint8_t, void* self) {
  auto* connection = static_cast<Http2Connection*>(self);
  Stream* stream = connection->streamOf(frame->hd.stream_id);
  if (!stream || stream->answered || stream->headersTooLarge) return 0;
  // As SETTINGS_MAX_HEADER_LIST_SIZE counts: each field's octets plus 32.
  stream->headerBytes += nameLength + valueLength + 32;
  if (stream->headerBytes > connection->limits_.maxHeaderListBytes) {
    stream->headersTooLarge = true;
    return 0;
  }
  const std::string_view n(reinterpret_cast<const char*>(name), nameLength);
  const std::string_view v(reinterpret_cast<const char*>(value), valueLength);
  if (n == ":method") {
    stream->request.method = v;
  } else if (n == ":path") {
    stream->request.path = v;
  } else if (!n.starts_with(':')) {
    stream->request.headers.push_back({std::string(n), std::string(v)});
  }
  return 0;
}

int Http2Connection::onFrameRecv(nghttp2_session*, const nghttp2_frame* frame, void* self) {
  auto* connection = static_cast<Http2Connection*>(self);
  if (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) return 0;
  Stream* stream = connection->streamOf(frame->hd.stream_id);
  if (!stream) return 0;
  if (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) stream->requestEnded = true;
  if (stream->answered) return 0;
  if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
    const std::string* pushType = stream->request.header("apns-push-type");
    stream->bodyLimit = payloadLimit(pushType ? std::string_view(*pushType) : std::string_view());
    // A body declared too large is answered before any of it is read.
    const std::optional<uint64_t> declared = contentLength(stream->request);
    if (declared && *declared > stream->bodyLimit) stream->request.bodyTooLarge = true;
    if (stream->headersTooLarge || stream->request.bodyTooLarge) {
      connection->answer(*stream);
      return 0;
    }
  }
  if (stream->requestEnded) connection->answer(*stream);
  return 0;
}

int Http2Connection::onDataChunk(nghttp2_session*, uint8_t, int32_t streamId, const uint8_t* data, size_t length,
                                 void* self) {
  auto* connection = static_cast<Http2Connection*>(self);
  Stream* stream = connection->streamOf(streamId);
  if (!stream || stream->answered) return 0;
  if (stream->request.body.size() + length > stream->bodyLimit) {
    stream->request.bodyTooLarge = true;
    connection->answer(*stream);
    return 0;
  }
  stream->request.body.append(reinterpret_cast<const char*>(data), length);
  return 0;
}

int Http2Connection::onFrameSend(nghttp2_session* session, const nghttp2_frame* frame, void* self) {
  auto* connection = static_cast<Http2Connection*>(self);
  if ((frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) ||
      !(frame->hd.flags & NGHTTP2_FLAG_END_STREAM)) {
    return 0;
  }
  // Answered before the request's end (a body too large): the client is
  // told to stop sending it.
  Stream* stream = connection->streamOf(frame->hd.stream_id);
  if (stream && !stream->requestEnded) {
    nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, frame->hd.stream_id, NGHTTP2_NO_ERROR);
  }
  return 0;
}

int Http2Connection::onStreamClose(nghttp2_session*, int32_t streamId, uint32_t, void* self) {
  static_cast<Http2Connection*>(self)->streams_.erase(streamId);
  return 0;
}

ssize_t Http2Connection::readResponse(nghttp2_session*, int32_t, uint8_t* buffer, size_t length, uint32_t* flags,
                                      nghttp2_data_source* source, void*) {
  auto* stream = static_cast<Stream*>(source->ptr);
  const size_t n = std::min(length, stream->response.size() - stream->responseSent);
  std::memcpy(buffer, stream->response.data() + stream->responseSent, n);
  stream->responseSent += n;
  if (stream->responseSent == stream->response.size()) *flags |= NGHTTP2_DATA_FLAG_EOF;
  return static_cast<ssize_t>(n);
}

}  // namespace objc

#include "H2Client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/pem.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace pushtest {

namespace {

nghttp2_nv header(std::string_view name, std::string_view value) {
  return {reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(), NGHTTP2_NV_FLAG_NONE};
}

H2Client* clientOf(void* user) { return static_cast<H2Client*>(user); }

}  // namespace

std::string H2Response::header(const std::string& name) const {
  for (const auto& [n, v] : headers) {
    if (n == name) return v;
  }
  return {};
}

std::string H2Response::reason() const {
  const std::string key = "\"reason\":\"";
  const size_t start = body.find(key);
  if (start == std::string::npos) return {};
  const size_t end = body.find('"', start + key.size());
  return body.substr(start + key.size(), end - start - key.size());
}

H2Client::H2Client(uint16_t port, const std::string& certificatePEM) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno));
  }
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  if (!certificatePEM.empty()) {
    context_ = SSL_CTX_new(TLS_client_method());
    BIO* in = BIO_new_mem_buf(certificatePEM.data(), static_cast<int>(certificatePEM.size()));
    X509* certificate = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    X509_STORE_add_cert(SSL_CTX_get_cert_store(context_), certificate);
    X509_free(certificate);
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    static const unsigned char kAlpn[] = "\x02h2";
    SSL_CTX_set_alpn_protos(context_, kAlpn, sizeof kAlpn - 1);
    ssl_ = SSL_new(context_);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), "127.0.0.1");
    SSL_set_fd(ssl_, fd_);
    if (SSL_connect(ssl_) != 1) throw std::runtime_error("TLS handshake with the push service failed");
    const unsigned char* protocol = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(ssl_, &protocol, &length);
    if (std::string(reinterpret_cast<const char*>(protocol), length) != "h2") {
      throw std::runtime_error("the push service did not agree to HTTP/2");
    }
  }

  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_session_callbacks_new(&callbacks);
  nghttp2_session_callbacks_set_on_header_callback(
      callbacks, [](nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name, size_t nameLength,
                    const uint8_t* value, size_t valueLength, uint8_t, void* user) {
        H2Response& response = clientOf(user)->responses_[frame->hd.stream_id];
        std::string n(reinterpret_cast<const char*>(name), nameLength);
        std::string v(reinterpret_cast<const char*>(value), valueLength);
        if (n == ":status") response.status = std::stoi(v);
        response.headers.emplace_back(std::move(n), std::move(v));
        return 0;
      });
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(
      callbacks, [](nghttp2_session*, uint8_t, int32_t stream, const uint8_t* data, size_t length, void* user) {
        clientOf(user)->responses_[stream].body.append(reinterpret_cast<const char*>(data), length);
        return 0;
      });
  nghttp2_session_callbacks_set_on_stream_close_callback(
      callbacks, [](nghttp2_session*, int32_t stream, uint32_t error, void* user) {
        H2Response& response = clientOf(user)->responses_[stream];
        response.closed = true;
        response.closeError = error;
        return 0;
      });
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, [](nghttp2_session*, const nghttp2_frame* frame,
                                                                     void* user) {
    if (frame->hd.type != NGHTTP2_GOAWAY) return 0;
    H2Client* client = clientOf(user);
    client->goAwayReceived = true;
    client->goAwayError = frame->goaway.error_code;
    client->goAwayData.assign(reinterpret_cast<const char*>(frame->goaway.opaque_data), frame->goaway.opaque_data_len);
    return 0;
  });
  nghttp2_session_client_new(&session_, callbacks, this);
  nghttp2_session_callbacks_del(callbacks);
  const nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 1000}};
  nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, settings, 1);
}

H2Client::~H2Client() {
  nghttp2_session_del(session_);
  if (ssl_) SSL_free(ssl_);
  if (context_) SSL_CTX_free(context_);
  if (fd_ >= 0) ::close(fd_);
}

int32_t H2Client::submit(const H2Request& request) {
  const std::string_view scheme = ssl_ ? "https" : "http";
  std::vector<nghttp2_nv> headers = {header(":method", request.method), header(":scheme", scheme),
                                     header(":authority", "127.0.0.1"), header(":path", request.path)};
  for (const auto& [name, value] : request.headers) headers.push_back(header(name, value));
  nghttp2_data_provider body{};
  body.read_callback = [](nghttp2_session*, int32_t stream, uint8_t* buffer, size_t length, uint32_t* flags,
                          nghttp2_data_source*, void* user) -> ssize_t {
    H2Client* client = clientOf(user);
    auto& [text, sent] = client->bodies_[stream];
    const size_t n = std::min(length, text.size() - sent);
    std::memcpy(buffer, text.data() + sent, n);
    sent += n;
    if (sent < text.size()) return static_cast<ssize_t>(n);
    if (client->keepOpen_[stream]) return n > 0 ? static_cast<ssize_t>(n) : ssize_t{NGHTTP2_ERR_DEFERRED};
    *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(n);
  };
  const bool hasBody = !request.body.empty() || request.keepOpen;
  const int32_t stream =
      nghttp2_submit_request(session_, nullptr, headers.data(), headers.size(), hasBody ? &body : nullptr, nullptr);
  if (stream < 0) throw std::runtime_error(std::string("cannot submit: ") + nghttp2_strerror(stream));
  responses_[stream];
  bodies_[stream] = {request.body, 0};
  keepOpen_[stream] = request.keepOpen;
  return stream;
}

void H2Client::finishBody(int32_t stream, const std::string& more) {
  bodies_[stream].first += more;
  keepOpen_[stream] = false;
  nghttp2_session_resume_data(session_, stream);
}

bool H2Client::allClosed() const {
  for (const auto& [stream, response] : responses_) {
    if (!response.closed) return false;
  }
  return true;
}

bool H2Client::sendPending() {
  for (;;) {
    const uint8_t* data = nullptr;
    const ssize_t length = nghttp2_session_mem_send(session_, &data);
    if (length < 0) return false;
    if (length == 0) return true;
    ssize_t written = 0;
    while (written < length) {
      const ssize_t n = ssl_ ? SSL_write(ssl_, data + written, static_cast<int>(length - written))
                             : ::send(fd_, data + written, static_cast<size_t>(length - written), MSG_NOSIGNAL);
      if (n <= 0) return false;
      written += n;
    }
  }
}

bool H2Client::receive(int timeoutMs) {
  if (!(ssl_ && SSL_pending(ssl_) > 0)) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return true;  // nothing yet
  }
  uint8_t buffer[16384];
  const ssize_t n = ssl_ ? SSL_read(ssl_, buffer, sizeof buffer) : ::recv(fd_, buffer, sizeof buffer, 0);
  if (n <= 0) return false;
  return nghttp2_session_mem_recv(session_, buffer, static_cast<size_t>(n)) >= 0;
}

bool H2Client::run(const std::function<bool()>& done, double timeout) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  auto finished = [&] { return done ? done() : allClosed(); };
  while (fd_ >= 0 && !peerClosed) {
    if (!sendPending()) peerClosed = true;
    if (finished()) return true;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (!receive(static_cast<int>(std::min<long>(left.count(), 50)))) peerClosed = true;
  }
  return finished();
}

void H2Client::disconnect() {
  ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
  fd_ = -1;
}

CommandResult runCommand(const std::vector<std::string>& arguments) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  CommandResult result;
  if (spawned != 0) {
    ::close(pipeFds[0]);
    result.output = "cannot run " + arguments[0] + ": " + std::strerror(spawned);
    return result;
  }
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace pushtest

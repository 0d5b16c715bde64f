// A small HTTP/2 client for the push service's tests: libnghttp2's client
// session over a blocking socket, with TLS from OpenSSL (trusting the
// service's certificate) or cleartext with prior knowledge. It sends what
// curl and provider libraries will not: duplicate headers, bodies that never
// end, a disconnect in the middle of a request.
#pragma once

#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pushtest {

struct H2Response {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool closed = false;
  uint32_t closeError = 0;  // the stream's RST_STREAM code, 0 when it ended normally

  std::string header(const std::string& name) const;
  // The "reason" of an error body; empty when there is none.
  std::string reason() const;
};

struct H2Request {
  std::string method = "POST";
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Sends `body` and then keeps the request open (no END_STREAM), as a
  // client that is still sending.
  bool keepOpen = false;
};

class H2Client {
 public:
  // Connects to 127.0.0.1:`port`: TLS trusting `certificatePEM` (ALPN h2,
  // the certificate checked for 127.0.0.1), or cleartext when it is empty.
  // Throws std::runtime_error when the connection or handshake fails.
  H2Client(uint16_t port, const std::string& certificatePEM);
  ~H2Client();
  H2Client(const H2Client&) = delete;
  H2Client& operator=(const H2Client&) = delete;

  int32_t submit(const H2Request& request);
  // Sends the rest of a request submitted with keepOpen, and ends it.
  void finishBody(int32_t stream, const std::string& more);
  // Exchanges frames until `done` holds (by default: every submitted
  // stream has closed), the peer closes the connection, or `timeout`
  // seconds pass. Returns whether `done` held.
  bool run(const std::function<bool()>& done = {}, double timeout = 10);
  const H2Response& response(int32_t stream) { return responses_[stream]; }
  bool allClosed() const;

  // Closes the socket at once, in the middle of whatever is going on.
  void disconnect();

  bool goAwayReceived = false;
  uint32_t goAwayError = 0;
  std::string goAwayData;
  bool peerClosed = false;

 private:
  bool sendPending();
  bool receive(int timeoutMs);

  int fd_ = -1;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  nghttp2_session* session_ = nullptr;
  std::map<int32_t, H2Response> responses_;
  std::map<int32_t, std::pair<std::string, size_t>> bodies_;  // what is left to send
  std::map<int32_t, bool> keepOpen_;
};

// Runs a command line (no shell; arguments as given) and returns its exit
// status and what it wrote on standard output and standard error.
struct CommandResult {
  int exitCode = -1;
  std::string output;
};
CommandResult runCommand(const std::vector<std::string>& arguments);

}  // namespace pushtest

#include "PushService/PushService.h"

#include <openssl/ssl.h>

#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "Http2Connection.h"

namespace objc {

namespace {

// ALPN: HTTP/2 when the client offers it. A client that offers only
// HTTP/1.1 gets it, and then a plain answer saying the service speaks
// HTTP/2 only, which says more than a failed handshake would.
int selectProtocol(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
                   unsigned int inLength, void*) {
  if (nghttp2_select_next_protocol(const_cast<unsigned char**>(out), outLength, in, inLength) < 0) {
    return SSL_TLSEXT_ERR_NOACK;
  }
  return SSL_TLSEXT_ERR_OK;
}

void checkOptions(const PushServiceOptions& options) {
  if (!options.deliver) throw PushServiceError("the push service needs a delivery sink (PushServiceOptions::deliver)");
  if (options.requireProviderToken && options.keys.empty()) {
    throw PushServiceError(
        "provider tokens are required but no key was given: give the team's key (a .p8 file or a public key, with "
        "its key id and team id), have one generated, or accept requests without tokens");
  }
  if (options.certificateFile.empty() != options.privateKeyFile.empty()) {
    throw PushServiceError(
        "a certificate needs its private key and the other way round: give both files, or neither "
        "for a self-signed certificate");
  }
  if (options.cleartext && !options.certificateFile.empty()) {
    throw PushServiceError("a certificate was given for a cleartext service; cleartext HTTP/2 does not use one");
  }
  if (options.maxConcurrentStreams == 0 || options.maxHeaderListBytes == 0 || !(options.idleTimeout > 0) ||
      !(options.closeGrace >= 0)) {
    throw PushServiceError("the connection limits must be positive (streams, header list size, idle time-out)");
  }
}

}  // namespace

struct PushService::Impl {
  explicit Impl(PushServiceOptions o) : options(std::move(o)), core(options), acceptor(io), retryTimer(io) {}

  void listen();
  void accept();
  void shutdown();

  PushServiceOptions options;
  ServiceCore core;
  ServerIdentity identity;
  asio::io_context io;
  std::unique_ptr<asio::ssl::context> tls;
  asio::ip::tcp::acceptor acceptor;
  asio::steady_timer retryTimer;
  uint16_t port = 0;
  // Service thread only.
  std::set<std::shared_ptr<Http2Connection>> connections;
  uint64_t connectionCount = 0;
  std::thread thread;
  std::mutex stopLock;
};

void PushService::Impl::listen() {
  asio::error_code error;
  const asio::ip::address address = asio::ip::make_address(options.address, error);
  if (error) {
    throw PushServiceError("cannot listen on \"" + options.address + "\": not an IP address (such as 127.0.0.1)");
  }
  const asio::ip::tcp::endpoint endpoint(address, options.port);
  const std::string where =
      (address.is_v6() ? "[" + options.address + "]" : options.address) + ":" + std::to_string(options.port);
  acceptor.open(endpoint.protocol(), error);
  if (!error) acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    std::string hint;
    if (error == asio::error::address_in_use)
      hint = " (another program listens there: choose another port, or 0 for a free one)";
    if (error == asio::error::access_denied) hint = " (ports below 1024 need privileges: choose a port above 1023)";
    if (error == std::errc::address_not_available) hint = " (no network interface has this address)";
    throw PushServiceError("cannot listen on " + where + ": " + error.message() + hint);
  }
  port = acceptor.local_endpoint().port();
}

void PushService::Impl::accept() {
  acceptor.async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor.is_open()) return;
    if (error) {
      // Out of descriptors, most likely: try again shortly instead of
      // spinning.
      retryTimer.expires_after(std::chrono::milliseconds(100));
      retryTimer.async_wait([this](const asio::error_code& e) {
        if (!e) accept();
      });
      return;
    }
    asio::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    const ConnectionLimits limits{options.maxConcurrentStreams, options.maxHeaderListBytes, options.idleTimeout,
                                  options.closeGrace};
    auto connection = std::make_shared<Http2Connection>(
        std::move(socket), tls.get(), core, limits, ++connectionCount, [this](Http2Connection* closed) {
          std::erase_if(connections, [closed](const auto& c) { return c.get() == closed; });
        });
    connections.insert(connection);
    connection->start();
    accept();
  });
}

void PushService::Impl::shutdown() {
  asio::error_code ignored;
  acceptor.close(ignored);
  retryTimer.cancel();
  // A connection that closes at once leaves the set meanwhile.
  const auto open = connections;
  for (const auto& connection : open) connection->shutdown();
}

PushService::PushService(PushServiceOptions options) {
  checkOptions(options);
  impl_ = std::make_unique<Impl>(std::move(options));
  Impl& s = *impl_;
  if (!s.options.cleartext) {
    s.identity = s.options.certificateFile.empty()
                     ? ServerIdentity::selfSigned(s.options.address)
                     : ServerIdentity::fromFiles(s.options.certificateFile, s.options.privateKeyFile);
    s.tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
    SSL_CTX_set_min_proto_version(s.tls->native_handle(), TLS1_2_VERSION);
    s.tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::single_dh_use);
    try {
      s.tls->use_certificate_chain(asio::buffer(s.identity.certificatePEM));
      s.tls->use_private_key(asio::buffer(s.identity.privateKeyPEM), asio::ssl::context::pem);
    } catch (const std::exception& e) {
      throw PushServiceError(std::string("cannot use the certificate: ") + e.what());
    }
    SSL_CTX_set_alpn_select_cb(s.tls->native_handle(), selectProtocol, nullptr);
  }
  s.listen();
  // Only a service that listens writes its certificate: one that cannot
  // (the port is taken, by another service perhaps) must not replace the
  // file that the running one's clients trust.
  if (!s.options.cleartext && !s.options.writeCertificateTo.empty()) {
    s.identity.writeCertificate(s.options.writeCertificateTo);
  }
  s.accept();
  s.thread = std::thread([&s] { s.io.run(); });
}

PushService::~PushService() { stop(); }

const std::string& PushService::address() const { return impl_->options.address; }
uint16_t PushService::port() const { return impl_->port; }

std::string PushService::url() const {
  const std::string& host = impl_->options.address;
  const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return (impl_->options.cleartext ? "http://" : "https://") + shown + ":" + std::to_string(impl_->port);
}

const std::string& PushService::certificatePEM() const { return impl_->identity.certificatePEM; }

void PushService::registerDevice(std::string_view deviceToken, std::string_view bundleId) {
  impl_->core.registerDevice(deviceToken, bundleId);
}

void PushService::removeApplication(std::string_view deviceToken, std::optional<int64_t> removedAt) {
  impl_->core.removeApplication(deviceToken, removedAt.value_or(static_cast<int64_t>(impl_->core.now() * 1000)));
  asio::post(impl_->io, [s = impl_.get(), token = std::string(deviceToken)] { s->core.dropKept(token); });
}

void PushService::deviceReachable() {
  std::lock_guard<std::mutex> lock(impl_->stopLock);
  if (!impl_->thread.joinable()) return;
  if (impl_->thread.get_id() == std::this_thread::get_id()) {
    impl_->core.forwardKept();
    return;
  }
  std::promise<void> forwarded;
  asio::post(impl_->io, [s = impl_.get(), &forwarded] {
    s->core.forwardKept();
    forwarded.set_value();
  });
  forwarded.get_future().wait();
}

void PushService::stop() {
  std::lock_guard<std::mutex> lock(impl_->stopLock);
  if (!impl_->thread.joinable()) return;
  if (impl_->thread.get_id() == std::this_thread::get_id()) {
    throw std::logic_error("PushService::stop() called on the service's own thread (from a sink or an observer)");
  }
  asio::post(impl_->io, [s = impl_.get()] { s->shutdown(); });
  impl_->thread.join();
}

PushService::Stats PushService::stats() const {
  const ServiceCore::Counters& c = impl_->core.counters;
  return {c.openConnections.load(), c.openStreams.load(), c.requests.load(),
          c.accepted.load(),        c.delivered.load(),   c.kept.load()};
}

}  // namespace objc

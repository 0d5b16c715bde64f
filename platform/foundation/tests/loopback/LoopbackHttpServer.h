// cpp-httplib on a free port of 127.0.0.1, for well-formed answers. Add
// routes to `server`, then start(). cpp-httplib is a prebuilt library whose
// internal synchronisation ThreadSanitizer cannot see: concurrency tests use
// RawServer (LoopbackServers.h) instead.
#pragma once

#include <httplib.h>

#include <string>
#include <string_view>
#include <thread>

#include "LoopbackServers.h"

namespace loopback {

class HttpServer {
 public:
  HttpServer() : port_(server.bind_to_any_port("127.0.0.1")) {
    // One request per connection: the server's few threads would otherwise
    // sit in idle keep-alive connections while other clients wait.
    server.set_keep_alive_max_count(1);
  }
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  ~HttpServer() {
    if (!thread_.joinable()) return;
    server.stop();
    thread_.join();
  }
  void start() {
    thread_ = std::thread([this] { server.listen_after_bind(); });
    // stop() only ends a loop that has started.
    while (!server.is_running()) std::this_thread::yield();
  }
  int port() const { return port_; }
  std::string url(std::string_view path) const { return loopbackURL(port_, path); }

  httplib::Server server;

 private:
  int port_;
  std::thread thread_;
};

}  // namespace loopback

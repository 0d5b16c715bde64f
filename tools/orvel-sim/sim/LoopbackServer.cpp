#include "sim/LoopbackServer.h"

#include <stdexcept>

namespace orvelsim {

LoopbackServer::LoopbackServer(httplib::Server& server, int port, const std::string& what) : server_(server) {
  if (port == 0) {
    port_ = server_.bind_to_any_port("127.0.0.1");
  } else if (server_.bind_to_port("127.0.0.1", port)) {
    port_ = port;
  }
  if (port_ <= 0) {
    throw std::runtime_error("cannot serve " + what + " on 127.0.0.1" +
                             (port ? ":" + std::to_string(port) + " (is the port in use?)" : ""));
  }
  // Bound and listening already: connections wait in the backlog until the
  // thread accepts them.
  thread_ = std::thread([this] {
    try {
      server_.listen_after_bind();
    } catch (...) {
      // Its threads could not start (out of memory): the server never runs,
      // which the constructor reports.
    }
    finished_ = true;
  });
  // stop() only reaches a server whose accept loop has begun; a server
  // stopped before that would then accept for ever. The loop begins at once.
  while (!server_.is_running() && !finished_) std::this_thread::yield();
  if (!server_.is_running()) {
    thread_.join();
    throw std::runtime_error("cannot serve " + what + " on 127.0.0.1: the server did not start");
  }
}

LoopbackServer::~LoopbackServer() {
  server_.stop();
  thread_.join();
}

}  // namespace orvelsim

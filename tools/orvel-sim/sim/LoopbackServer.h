// An HTTP server of the simulator's on 127.0.0.1, run in a thread of its
// own from construction to destruction.
#pragma once

#include <httplib.h>

#include <atomic>
#include <string>
#include <thread>

namespace orvelsim {

class LoopbackServer {
 public:
  // Starts `server`, set up with its routes, on `port` (0: one the system
  // picks). Throws, naming `what`, when it cannot listen.
  LoopbackServer(httplib::Server& server, int port, const std::string& what);
  // Stops the server and waits for its thread.
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }

 private:
  httplib::Server& server_;
  int port_ = 0;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace orvelsim

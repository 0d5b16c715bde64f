// Servers on 127.0.0.1 for tests that download: a raw socket server whose
// answers a test writes byte by byte (a body cut short, a stall, a trickle,
// a redirect to a file: address), and the pieces around it. It is all our
// own code on plain sockets, so that ThreadSanitizer sees every step; the
// cpp-httplib server for well-formed answers is in LoopbackHttpServer.h.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace loopback {

// Something threads can wait for; opens by itself when destroyed.
class Gate {
 public:
  Gate() = default;
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;
  ~Gate() { open(); }

  void open() {
    {
      std::lock_guard<std::mutex> g(lock_);
      open_ = true;
    }
    changed_.notify_all();
  }
  bool isOpen() {
    std::lock_guard<std::mutex> g(lock_);
    return open_;
  }
  // False after a generous bound, so that a fault fails instead of hanging.
  bool wait() { return waitFor(std::chrono::seconds(30)); }
  // True once the gate is open, false when `interval` passes first.
  template <class Rep, class Period>
  bool waitFor(std::chrono::duration<Rep, Period> interval) {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, interval, [&] { return open_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool open_ = false;
};

// Writes all of `bytes`; false when the peer has gone.
inline bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// A 200 answer with this body and content type, that closes the connection.
inline std::string okResponse(std::string_view body, std::string_view type = "application/octet-stream") {
  return "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(type) +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + std::string(body);
}

inline std::string loopbackURL(int port, std::string_view path) {
  return "http://127.0.0.1:" + std::to_string(port) + std::string(path);
}

// A port on 127.0.0.1 that nothing listens on.
inline int refusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// Answers each connection, on a thread of its own, with
// `respond(fd, path, release)` once the request head has arrived, then
// closes it. An answer that stalls waits on `release`, which the server
// opens before it stops. Threads of answered connections are joined as new
// ones arrive, so that a long stress run does not pile them up.
class RawServer {
 public:
  using Respond = std::function<void(int fd, const std::string& path, Gate& release)>;

  explicit RawServer(Respond respond) : respond_(std::move(respond)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_, 128) != 0 || ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(stop_, O_CLOEXEC) != 0) {
      if (listen_ >= 0) ::close(listen_);
      throw std::runtime_error("loopback server: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;
  ~RawServer() {
    release_.open();
    (void)!::write(stop_[1], "x", 1);
    thread_.join();
    for (auto& c : connections_) c.thread.join();
    ::close(listen_);
    ::close(stop_[0]);
    ::close(stop_[1]);
  }

  int port() const { return port_; }
  std::string url(std::string_view path) const { return loopbackURL(port_, path); }

 private:
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void serve() {
    for (;;) {
      pollfd fds[2] = {{listen_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      int connection = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      reapAnswered();
      auto done = std::make_shared<std::atomic<bool>>(false);
      connections_.push_back({std::thread([this, connection, done] {
                                answer(connection);
                                done->store(true, std::memory_order_release);
                              }),
                              done});
    }
  }

  void reapAnswered() {
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (!it->done->load(std::memory_order_acquire)) {
        ++it;
        continue;
      }
      it->thread.join();
      it = connections_.erase(it);
    }
  }

  void answer(int connection) {
    std::string head;
    char buffer[1024];
    while (head.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      head.append(buffer, static_cast<size_t>(n));
    }
    size_t start = head.find(' ') + 1, end = head.find(' ', start);
    respond_(connection, start > 0 && end != std::string::npos ? head.substr(start, end - start) : "", release_);
    ::close(connection);
  }

  Respond respond_;
  Gate release_;
  int listen_ = -1;
  int stop_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
  std::list<Connection> connections_;  // the accepting thread's, until it is joined
};

}  // namespace loopback

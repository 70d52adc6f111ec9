// A real accept loop on loopback for the front and loop tests, plain blocking clients, and a
// capture of standard error (the log lines are written straight to fd 2).
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "core/async_semaphore.h"
#include "core/runtime.h"
#include "core/runtime_async.h"
#include "proxy/front/accept_loop.h"
#include "proxy/front/connect_front.h"
#include "proxy/proxy_state.h"
#include "support/bounded_thread.h"
#include "support/stderr_capture.h"

namespace qb::test {

using namespace std::chrono_literals;

// Polls a condition; only for states the code reaches on its own, never to measure time.
inline bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A shutdown the test pulls. Abandoned waits end at once.
class ManualShutdown : public ShutdownSignal {
 public:
  void trigger() { fired_ = true; }
  boost::asio::awaitable<void> wait() override {
    namespace asio = boost::asio;
    while (!fired_) {
      asio::steady_timer t(co_await asio::this_coro::executor, 2ms);
      auto op = t.async_wait(asio::as_tuple(asio::use_awaitable));
      auto [ec] = co_await std::move(op);
      if (ec) co_return;
    }
  }

 private:
  std::atomic<bool> fired_{false};
};

// Nothing held but the permit the running loop keeps for its next accept.
inline bool settled(const ProxyState& s) {
  return s.tunnel_slots->available() == s.tunnel_slots->capacity() && s.tunnel_slots->waiting() == 0 &&
         s.connection_permits->available() + 1 == s.connection_permits->capacity();
}

inline bool all_returned(const ProxyState& s) {
  return s.tunnel_slots->available() == s.tunnel_slots->capacity() && s.tunnel_slots->waiting() == 0 &&
         s.connection_permits->available() == s.connection_permits->capacity() && s.connection_permits->waiting() == 0;
}

inline std::shared_ptr<ProxyState> make_state(std::size_t slots = TUNNEL_SLOT_COUNT,
                                              std::size_t permits = CONNECTION_PERMIT_COUNT) {
  auto s = std::make_shared<ProxyState>();
  s->expected_proxy_auth = proxy_auth_value("token");
  s->tunnel_slots = std::make_shared<AsyncSemaphore>(slots);
  s->connection_permits = std::make_shared<AsyncSemaphore>(permits);
  return s;
}

inline boost::asio::awaitable<int> loop_body(boost::asio::ip::tcp::acceptor acceptor,
                                             std::shared_ptr<const ProxyState> state, ShutdownSignal* shutdown,
                                             WorkerContexts* workers) {
  co_await run_accept_loop(std::move(acceptor), std::move(state), *shutdown, *workers);
  co_return 0;
}

// The accept loop on 127.0.0.1 with its own runtime; the loop runs on this object's main thread.
// Teardown is bounded: a loop that does not end (a test failed before its shutdown) fails the
// test and has its runtime stopped under it.
class LoopServer {
 public:
  explicit LoopServer(std::shared_ptr<ProxyState> state, std::unique_ptr<ShutdownSignal> shutdown = nullptr)
      : rt_(3), state_(std::move(state)) {
    if (shutdown) {
      shutdown_ = std::move(shutdown);
    } else {
      auto manual = std::make_unique<ManualShutdown>();
      manual_ = manual.get();
      shutdown_ = std::move(manual);
    }
    namespace asio = boost::asio;
    asio::ip::tcp::acceptor acceptor(rt_.main_context(), {asio::ip::make_address("127.0.0.1"), 0});
    port_ = acceptor.local_endpoint().port();
    asio::co_spawn(rt_.main_context(), loop_body(std::move(acceptor), state_, shutdown_.get(), &rt_.workers()),
                   [this](std::exception_ptr, int) {
                     finished_ = true;
                     rt_.main_context().stop();
                   });
    main_ = BoundedThread([this] { rt_.main_context().run(); });
  }
  ~LoopServer() {
    stop();
    if (!main_.join_for(kTeardownLimit)) {
      ADD_FAILURE() << "the accept loop did not end within " << kTeardownLimit.count() << " s; stopping its runtime";
      rt_.main_context().stop();
      main_.join_or_abort(kTeardownLimit, "the accept loop's thread");
    }
    shutdown_.reset();
    rt_.shutdown();
  }

  std::uint16_t port() const { return port_; }
  ProxyState& state() { return *state_; }
  bool finished() const { return finished_; }
  void stop() {
    if (manual_) manual_->trigger();
  }

 private:
  Runtime rt_;
  std::shared_ptr<ProxyState> state_;
  std::unique_ptr<ShutdownSignal> shutdown_;
  ManualShutdown* manual_ = nullptr;
  std::uint16_t port_ = 0;
  std::atomic<bool> finished_{false};
  BoundedThread main_;
};

// A blocking loopback client with a receive time-out, so a broken server fails the test instead
// of hanging it.
class Client {
 public:
  explicit Client(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{20, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~Client() { close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void shutdown_write() { ::shutdown(fd_, SHUT_WR); }
  // Everything until the peer closes (a reset counts as the end too).
  std::string read_all() {
    std::string out;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  std::string read_exactly(std::size_t count) {
    std::string out;
    char buf[4096];
    while (out.size() < count) {
      const ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, count - out.size()), 0);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

inline std::string connect_head(std::string_view target, std::string_view auth_line) {
  std::string head = "CONNECT " + std::string(target) + " HTTP/1.1\r\nHost: " + std::string(target) + "\r\n";
  if (!auth_line.empty()) head += std::string(auth_line) + "\r\n";
  return head + "\r\n";
}

inline std::string good_auth_line() { return "Proxy-Authorization: " + proxy_auth_value("token"); }

}  // namespace qb::test

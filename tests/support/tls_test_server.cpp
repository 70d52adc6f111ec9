#include "support/tls_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "core/owner_file.h"
#include "support/bounded_thread.h"

namespace qb::test {

struct TlsTestServer::Impl {
  TlsTestServerOptions options;
  TlsTestHandlers handlers;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx{nullptr, SSL_CTX_free};
  UniqueFd listen_fd;
  std::uint16_t port = 0;
  BoundedThread acceptor;

  mutable std::mutex mu;
  std::condition_variable work_cv;
  std::atomic<bool> stopping{false};
  bool stopped = false;
  std::size_t connections = 0;
  std::vector<int> open_fds;  // accepted and not yet closed: shut down on stop
  std::deque<std::pair<int, std::size_t>> pending;
  std::vector<BoundedThread> workers;
  std::size_t idle_workers = 0;

  void accept_loop() {
    while (true) {
      const int fd = ::accept4(listen_fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0 && handlers.admit && !handlers.admit()) {
        std::lock_guard lock(mu);
        ++connections;
        ::close(fd);
        if (stopping) return;
        continue;
      }
      std::lock_guard lock(mu);
      if (stopping) {
        if (fd >= 0) ::close(fd);
        return;
      }
      if (fd < 0) continue;
      open_fds.push_back(fd);
      pending.emplace_back(fd, ++connections);
      if (idle_workers >= pending.size() || (options.max_workers != 0 && workers.size() >= options.max_workers)) {
        work_cv.notify_one();
        continue;
      }
      try {
        workers.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        // Out of threads: the connection waits for a running worker, or is refused without one.
        if (workers.empty()) {
          finish(pending.back().first);
          pending.pop_back();
        }
        work_cv.notify_one();
      }
    }
  }

  void work() {
    std::unique_lock lock(mu);
    for (;;) {
      ++idle_workers;
      work_cv.wait(lock, [&] { return stopping || !pending.empty(); });
      --idle_workers;
      if (stopping) return;
      const auto [fd, id] = pending.front();
      pending.pop_front();
      lock.unlock();
      handlers.serve(fd, id);
      lock.lock();
      finish(fd);
    }
  }

  // Under the lock. Forgotten before it closes, so that stopping never touches a reused descriptor.
  void finish(int fd) {
    if (options.hold_finished) {
      ::shutdown(fd, SHUT_RDWR);
      return;
    }
    std::erase(open_fds, fd);
    ::close(fd);
  }
};

TlsTestServer::TlsTestServer(const TestCert& leaf, TlsTestServerOptions options) : impl_(std::make_unique<Impl>()) {
  // A client that leaves mid-write must not kill the test process.
  ::signal(SIGPIPE, SIG_IGN);
  impl_->options = options;
  impl_->ctx.reset(SSL_CTX_new(TLS_server_method()));
  if (!impl_->ctx) throw std::runtime_error("test server: TLS context");
  use_test_cert(impl_->ctx.get(), leaf);

  impl_->listen_fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!impl_->listen_fd.valid()) throw std::runtime_error("test server: socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  const int on = 1;
  ::setsockopt(impl_->listen_fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(impl_->listen_fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(impl_->listen_fd.get(), SOMAXCONN) != 0 ||
      ::getsockname(impl_->listen_fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("test server: bind/listen");
  }
  impl_->port = ntohs(addr.sin_port);
}

TlsTestServer::~TlsTestServer() { stop(); }

void TlsTestServer::start(TlsTestHandlers handlers) {
  impl_->handlers = std::move(handlers);
  impl_->acceptor = BoundedThread([impl = impl_.get()] { impl->accept_loop(); });
}

void TlsTestServer::stop() {
  {
    std::lock_guard lock(impl_->mu);
    if (impl_->stopped) return;
    impl_->stopped = true;
    impl_->stopping = true;
    // shutdown(2) wakes the threads blocked in accept and read; the descriptors are closed by their owners.
    ::shutdown(impl_->listen_fd.get(), SHUT_RDWR);
    for (int fd : impl_->open_fds) ::shutdown(fd, SHUT_RDWR);
  }
  if (impl_->handlers.on_stop) impl_->handlers.on_stop();
  impl_->work_cv.notify_all();
  impl_->acceptor.join_or_abort(kTeardownLimit, "a test server's accept thread");
  std::vector<BoundedThread> workers;
  {
    std::lock_guard lock(impl_->mu);
    workers.swap(impl_->workers);
  }
  for (auto& t : workers) t.join_or_abort(kTeardownLimit, "a test server's connection thread");
  // What is left was never served, or is held.
  for (int fd : impl_->open_fds) ::close(fd);
  impl_->open_fds.clear();
  impl_->pending.clear();
  impl_->listen_fd.reset();
}

std::uint16_t TlsTestServer::port() const { return impl_->port; }
SSL_CTX* TlsTestServer::tls_context() const { return impl_->ctx.get(); }

SSL_CTX* TlsTestServer::tls_context_reference() const {
  SSL_CTX_up_ref(impl_->ctx.get());
  return impl_->ctx.get();
}

bool TlsTestServer::stopping() const { return impl_->stopping; }

std::size_t TlsTestServer::connections() const {
  std::lock_guard lock(impl_->mu);
  return impl_->connections;
}

}  // namespace qb::test

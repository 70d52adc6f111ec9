// The skeleton the HTTPS test servers (HttpsTestServer, EchoUpstream, TestGate) share: a listening
// socket on 127.0.0.1, the server's TLS context for a test certificate, an accept thread, a pool
// of connection threads, and a teardown that wakes every blocked accept and read and joins every
// thread within a limit, so a broken server fails its test instead of hanging the suite.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "support/https_test_server.h"

namespace qb::test {

struct TlsTestServerOptions {
  // Connection threads at most (0: as many as there are connections open at once). Over the
  // limit, a connection waits for a thread to come free.
  std::size_t max_workers = 0;
  // Finished connections are shut down but their descriptors kept until the server stops, so
  // that bytes the peer still sends never draw a reset that could cost it the reply's end.
  bool hold_finished = false;
};

struct TlsTestHandlers {
  // On the accept thread, before TLS; false closes the connection at once. Empty: all admitted.
  std::function<bool()> admit;
  // On a connection thread. The descriptor stays the server's: closed (or held) after this
  // returns; wrap a dup of it to hand it to an owner. id is 1 for the first connection accepted.
  std::function<void(int fd, std::size_t id)> serve;
  // Once, when the server stops: after stopping() turns true and every socket is shut down,
  // before the joins. For waits of the server's own that no socket wakes.
  std::function<void()> on_stop;
};

class TlsTestServer {
 public:
  explicit TlsTestServer(const TestCert& leaf, TlsTestServerOptions options = {});
  // Stops, if stop has not been called.
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  // Accepting begins here, once everything the handlers use is in place.
  void start(TlsTestHandlers handlers);
  // Call first in the owner's destructor, while what the handlers use is still there.
  void stop();

  std::uint16_t port() const;
  // The server's context, with the certificate and key; an owner may tune it before start.
  SSL_CTX* tls_context() const;
  // The same with a reference of its own, for an owner that frees it (asio::ssl::context).
  SSL_CTX* tls_context_reference() const;
  bool stopping() const;
  std::size_t connections() const;  // TCP connections accepted

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qb::test

#include "tls/tls_stream.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

namespace qb {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;
constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

struct CtxFree {
  void operator()(SSL_CTX* p) const noexcept { SSL_CTX_free(p); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;

// A server context with a fresh self-signed P-256 certificate, and a client that trusts anything.
CtxPtr server_ctx() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  CtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  SSL_CTX_use_certificate(ctx.get(), cert);
  SSL_CTX_use_PrivateKey(ctx.get(), key);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_RELEASE_BUFFERS);
  X509_free(cert);
  EVP_PKEY_free(key);
  return ctx;
}

CtxPtr client_ctx() {
  CtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_RELEASE_BUFFERS);
  return ctx;
}

std::vector<char> pattern(std::size_t n) {
  std::vector<char> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<char>((i * 31 + i / 251) & 0xff);
  return v;
}

// A connected pair on loopback, the server's send buffer small so that writes meet a full socket.
struct Pair {
  asio::io_context io;
  CtxPtr sctx = server_ctx();
  CtxPtr cctx = client_ctx();
  std::unique_ptr<TlsStream> server;
  std::unique_ptr<TlsStream> client;

  Pair() {
    tcp::acceptor acc(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    tcp::socket c(io);
    c.connect(acc.local_endpoint());
    tcp::socket s = acc.accept();
    s.set_option(asio::socket_base::send_buffer_size(8192));
    s.set_option(tcp::no_delay(true));
    c.set_option(tcp::no_delay(true));
    server = std::make_unique<TlsStream>(std::move(s), sctx.get());
    client = std::make_unique<TlsStream>(std::move(c), cctx.get());
    client->set_read_buffer(4 * (16 * 1024 + 256));
  }

  // Runs both sides to their end, or fails the test after the limit.
  void run() {
    io.run_for(std::chrono::seconds(20));
    ASSERT_TRUE(io.stopped()) << "the exchange did not finish in time";
  }
};

asio::awaitable<void> handshake(TlsStream& s, TlsStream::Role role, error_code& out) {
  auto [ec, n] = co_await s.async_handshake(role, use_tuple);
  out = ec;
}

// Records gathered for one send must all arrive, in order, however often the socket is full, and the
// peer's close_notify comes after the last byte.
TEST(TlsStream, GatheredRecordsArriveWholeAndInOrderThroughAFullSocket) {
  Pair p;
  const std::vector<char> body = pattern(1024 * 1024 + 777);
  std::vector<char> got;
  error_code server_ec, client_ec, end_ec;
  std::size_t largest_read = 0;

  asio::co_spawn(
      p.io,
      [&]() -> asio::awaitable<void> {
        co_await handshake(*p.server, TlsStream::Role::server, server_ec);
        if (server_ec) co_return;
        // Pieces of differing sizes: one byte, part of a record, several records.
        const std::size_t sizes[] = {1, 5000, 64 * 1024, 16 * 1024, 100 * 1024, 3};
        std::size_t at = 0, i = 0;
        while (at < body.size()) {
          const std::size_t n = std::min(sizes[i++ % std::size(sizes)], body.size() - at);
          auto [ec, w] = co_await asio::async_write(*p.server, asio::buffer(body.data() + at, n), use_tuple);
          if (ec) {
            server_ec = ec;
            co_return;
          }
          at += w;
        }
        auto [sec, sn] = co_await p.server->async_shutdown(use_tuple);
        (void)sec;
      },
      asio::detached);
  asio::co_spawn(
      p.io,
      [&]() -> asio::awaitable<void> {
        co_await handshake(*p.client, TlsStream::Role::client, client_ec);
        if (client_ec) co_return;
        std::vector<char> buf(64 * 1024);
        while (true) {
          auto [ec, n] = co_await p.client->async_read_some(asio::buffer(buf), use_tuple);
          got.insert(got.end(), buf.data(), buf.data() + n);
          largest_read = std::max(largest_read, n);
          if (ec) {
            end_ec = ec;
            break;
          }
        }
        // Our close_notify answers the server's, which waits for it.
        co_await p.client->async_shutdown(use_tuple);
      },
      asio::detached);
  p.run();

  EXPECT_FALSE(server_ec) << server_ec.message();
  EXPECT_FALSE(client_ec) << client_ec.message();
  EXPECT_EQ(end_ec, asio::error::eof) << end_ec.message();
  ASSERT_EQ(got.size(), body.size());
  EXPECT_TRUE(got == body) << "bytes changed or reordered on the way";
  EXPECT_LE(largest_read, 64u * 1024);
}

// A peer that is gone makes a write fail with the socket's error; a gathered write never reports
// success for bytes that could not leave, and nothing waits forever.
TEST(TlsStream, WriteToAClosedPeerFailsInsteadOfWaiting) {
  Pair p;
  error_code server_ec, client_ec, write_ec;
  asio::co_spawn(
      p.io, [&]() -> asio::awaitable<void> { co_await handshake(*p.server, TlsStream::Role::server, server_ec); },
      asio::detached);
  asio::co_spawn(
      p.io, [&]() -> asio::awaitable<void> { co_await handshake(*p.client, TlsStream::Role::client, client_ec); },
      asio::detached);
  p.run();
  ASSERT_FALSE(server_ec) << server_ec.message();
  ASSERT_FALSE(client_ec) << client_ec.message();

  // The client's socket goes; the server's writes meet the reset that answers them.
  p.io.restart();
  error_code ignored;
  p.client->socket().close(ignored);
  const std::vector<char> piece = pattern(64 * 1024);
  asio::co_spawn(
      p.io,
      [&]() -> asio::awaitable<void> {
        for (int i = 0; i < 200 && !write_ec; ++i) {
          auto [ec, n] = co_await asio::async_write(*p.server, asio::buffer(piece), use_tuple);
          (void)n;
          write_ec = ec;
        }
      },
      asio::detached);
  p.run();
  EXPECT_TRUE(write_ec == asio::error::connection_reset || write_ec == asio::error::broken_pipe) << write_ec.message();
}

}  // namespace
}  // namespace qb

// A TLS stream on a TCP socket with no buffers of its own: OpenSSL reads and writes the socket
// through a small BIO, and the stream waits for readiness whenever OpenSSL would block. With
// SSL_MODE_RELEASE_BUFFERS an idle connection holds little more than its SSL object. Bytes read
// before the TLS stream began (the ClientHello sent with a CONNECT head) go to the handshake as a
// buffer and are read first, never mixed with socket bytes in one read. Include only from .cpp
// files that use Asio.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <string>
#include <utility>

#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include "crypto/openssl_ptr.h"

#include <memory>

namespace qb {

class TlsStream {
 public:
  using executor_type = boost::asio::ip::tcp::socket::executor_type;
  enum class Role { client, server };

  // The SSL object fails to build only when memory runs out: valid() tells.
  TlsStream(boost::asio::ip::tcp::socket sock, SSL_CTX* ctx);
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  bool valid() const { return ssl_ != nullptr; }
  SSL* native_handle() { return ssl_.get(); }
  boost::asio::ip::tcp::socket& socket() { return sock_; }
  executor_type get_executor() { return sock_.get_executor(); }

  template <typename MutableBufferSequence, typename Token>
  auto async_read_some(const MutableBufferSequence& buffers, Token&& token) {
    boost::asio::mutable_buffer b = first_buffer<boost::asio::mutable_buffer>(buffers);
    return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
        IoOp{this, Kind::read, b.data(), b.size()}, token, sock_);
  }

  // One SSL write of the first non-empty buffer: a head and its first body bytes in one buffer
  // leave in one record.
  template <typename ConstBufferSequence, typename Token>
  auto async_write_some(const ConstBufferSequence& buffers, Token&& token) {
    boost::asio::const_buffer b = first_buffer<boost::asio::const_buffer>(buffers);
    return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
        IoOp{this, Kind::write, const_cast<void*>(b.data()), b.size()}, token, sock_);
  }

  // already_read: bytes of the peer's that came before the stream began; they are copied.
  template <typename Token>
  auto async_handshake(Role role, boost::asio::const_buffer already_read, Token&& token) {
    prefix_.assign(static_cast<const char*>(already_read.data()), already_read.size());
    prefix_pos_ = 0;
    return async_handshake(role, std::forward<Token>(token));
  }

  template <typename Token>
  auto async_handshake(Role role, Token&& token) {
    if (ssl_) role == Role::server ? SSL_set_accept_state(ssl_.get()) : SSL_set_connect_state(ssl_.get());
    return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
        IoOp{this, Kind::handshake, nullptr, 0}, token, sock_);
  }

  // Sends close_notify and waits for the peer's.
  template <typename Token>
  auto async_shutdown(Token&& token) {
    return boost::asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(
        IoOp{this, Kind::shutdown, nullptr, 0}, token, sock_);
  }

 private:
  enum class Kind { read, write, handshake, shutdown };
  enum class Step { done, want_read, want_write };

  template <typename Buffer, typename Sequence>
  static Buffer first_buffer(const Sequence& seq) {
    for (auto it = boost::asio::buffer_sequence_begin(seq); it != boost::asio::buffer_sequence_end(seq); ++it) {
      Buffer b(*it);
      if (b.size() > 0) return b;
    }
    return Buffer();
  }

  // One try of the operation; on done, ec and n hold its outcome.
  Step attempt(Kind kind, void* data, std::size_t size, boost::system::error_code& ec, std::size_t& n);

  struct IoOp {
    TlsStream* s;
    Kind kind;
    void* data;
    std::size_t size;
    int state = 0;  // 0 first try, 1 after a readiness wait, 2 result posted
    boost::system::error_code ec_{};
    std::size_t n_ = 0;

    template <typename Self>
    void operator()(Self& self, boost::system::error_code ec = {}) {
      if (state == 2) return self.complete(ec_, n_);
      if (state == 1 && ec) return self.complete(ec, 0);  // the wait was cancelled or failed
      const bool first = state == 0;
      state = 1;
      switch (s->attempt(kind, data, size, ec_, n_)) {
        case Step::want_read:
          return s->sock_.async_wait(boost::asio::ip::tcp::socket::wait_read, std::move(self));
        case Step::want_write:
          return s->sock_.async_wait(boost::asio::ip::tcp::socket::wait_write, std::move(self));
        case Step::done:
          break;
      }
      // A handler never runs inside the call that started the operation.
      if (first) {
        state = 2;
        return boost::asio::post(std::move(self));
      }
      self.complete(ec_, n_);
    }
  };

  friend struct TlsBio;
  boost::asio::ip::tcp::socket sock_;
  std::string prefix_;
  std::size_t prefix_pos_ = 0;
  int last_errno_ = 0;    // of the last failed socket call
  bool saw_eof_ = false;  // the peer closed its side of the TCP stream
  UniquePtr<SSL> ssl_;
};

}  // namespace qb

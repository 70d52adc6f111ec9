// A TLS stream on a TCP socket: OpenSSL reads and writes the socket through a small BIO, and the
// stream waits for readiness whenever OpenSSL would block. The records of one write leave in one
// send (a 64 KiB write is four records: one wake-up of the peer instead of four). With
// SSL_MODE_RELEASE_BUFFERS, and the send buffer given back whenever the stream waits for its peer,
// an idle connection holds little more than its SSL object. Bytes read
// before the TLS stream began (the ClientHello sent with a CONNECT head) go to the handshake as a
// buffer and are read first, never mixed with socket bytes in one read. Include only from .cpp
// files that use Asio.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

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
  // The name Asio's own streams give their socket.
  boost::asio::ip::tcp::socket& next_layer() { return sock_; }
  // Room for several records per socket read; a read then returns as many whole records as the
  // read brought in and the buffer takes. Given back while idle, as the record buffers are.
  void set_read_buffer(std::size_t bytes) {
    if (ssl_) SSL_set_default_read_buffer_len(ssl_.get(), bytes);
  }
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

  // Sends what OpenSSL left in out_: all of it, or up to where the socket would block, or a
  // socket failure in ec.
  enum class Flush { done, blocked, failed };
  Flush flush_out(boost::system::error_code& ec);
  // Between operations, when the stream waits for its peer, the output buffer goes back.
  void release_out();

  // Records OpenSSL writes are gathered in out_ and leave together, one send for a whole write
  // or flight; all of it goes out before the stream waits for the peer or reports.
  struct IoOp {
    TlsStream* s;
    Kind kind;
    void* data;
    std::size_t size;
    int state = 0;  // 0 first try, 1 after a readiness wait, 2 result posted, 3 after a wait to flush
    bool first = true;
    Step step = Step::done;  // what follows the flush
    boost::system::error_code ec_{};
    std::size_t n_ = 0;

    template <typename Self>
    void operator()(Self& self, boost::system::error_code ec = {}) {
      if (state == 2) return self.complete(ec_, n_);
      if ((state == 1 || state == 3) && ec) return self.complete(ec, 0);  // the wait was cancelled or failed
      if (state != 3) step = s->attempt(kind, data, size, ec_, n_);
      boost::system::error_code fec;
      switch (s->flush_out(fec)) {
        case Flush::blocked:
          state = 3;
          first = false;
          return s->sock_.async_wait(boost::asio::ip::tcp::socket::wait_write, std::move(self));
        case Flush::failed:
          // Nothing more can leave: a result that counted on the send is this failure instead.
          if (!ec_) ec_ = fec;
          n_ = 0;
          step = Step::done;
          break;
        case Flush::done:
          break;
      }
      switch (step) {
        case Step::want_read:
          state = 1;
          first = false;
          s->release_out();
          return s->sock_.async_wait(boost::asio::ip::tcp::socket::wait_read, std::move(self));
        case Step::want_write:
          state = 1;
          first = false;
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
  std::vector<char> out_;  // records not yet sent, from out_pos_ on
  std::size_t out_pos_ = 0;
  int last_errno_ = 0;          // of the last failed socket call
  bool saw_eof_ = false;        // the peer closed its side of the TCP stream
  bool buffered_only_ = false;  // reads take what OpenSSL holds, never the socket
  UniquePtr<SSL> ssl_;
};

}  // namespace qb

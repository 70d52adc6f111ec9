#include "tls/tls_stream.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <boost/asio/ssl/error.hpp>

namespace qb {

namespace asio = boost::asio;
using boost::system::error_code;

// The stream's transport: first the prefix, then the socket, never both in one read. Sends never
// raise SIGPIPE.
struct TlsBio {
  // Four full records and a flight's worth of handshake messages fit.
  static constexpr std::size_t kOutMax = 80 * 1024;

  static TlsStream& of(BIO* b) { return *static_cast<TlsStream*>(BIO_get_data(b)); }

  static int read(BIO* b, char* out, std::size_t len, std::size_t* got) {
    TlsStream& s = of(b);
    BIO_clear_retry_flags(b);
    *got = 0;
    if (len == 0) return 0;
    if (s.prefix_pos_ < s.prefix_.size()) {
      std::size_t n = std::min(len, s.prefix_.size() - s.prefix_pos_);
      std::memcpy(out, s.prefix_.data() + s.prefix_pos_, n);
      s.prefix_pos_ += n;
      if (s.prefix_pos_ == s.prefix_.size()) {
        std::string().swap(s.prefix_);
        s.prefix_pos_ = 0;
      }
      *got = n;
      return 1;
    }
    if (s.buffered_only_) {
      BIO_set_retry_read(b);
      return 0;
    }
    while (true) {
      ssize_t r = ::recv(s.sock_.native_handle(), out, len, 0);
      if (r > 0) {
        *got = static_cast<std::size_t>(r);
        return 1;
      }
      if (r == 0) {
        s.saw_eof_ = true;
        return 0;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        BIO_set_retry_read(b);
      } else {
        s.last_errno_ = errno;
      }
      return 0;
    }
  }

  // Records are gathered for one send; a full buffer goes out first, and while the socket
  // cannot take it OpenSSL is told to retry. The buffer grows to what the writes need: a small
  // answer's few hundred bytes are cheap to give back at each wait, a body's 64 KiB is kept while
  // it streams.
  static int write(BIO* b, const char* in, std::size_t len, std::size_t* put) {
    TlsStream& s = of(b);
    BIO_clear_retry_flags(b);
    *put = 0;
    if (s.out_.size() - s.out_pos_ + len > kOutMax && s.out_pos_ < s.out_.size()) {
      boost::system::error_code ec;
      if (s.flush_out(ec) == TlsStream::Flush::failed) return 0;
      if (s.out_pos_ < s.out_.size()) {
        BIO_set_retry_write(b);
        return 0;
      }
    }
    if (s.out_pos_ == s.out_.size()) {
      s.out_.clear();
      s.out_pos_ = 0;
    }
    s.out_.insert(s.out_.end(), in, in + len);
    *put = len;
    return 1;
  }

  static long ctrl(BIO* b, int cmd, long, void*) {
    switch (cmd) {
      case BIO_CTRL_FLUSH:
        return 1;
      case BIO_CTRL_EOF: {
        TlsStream& s = of(b);
        return s.saw_eof_ && s.prefix_.empty() ? 1 : 0;
      }
      default:
        return 0;
    }
  }

  static int create(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
  }

  static const BIO_METHOD* method() {
    static const UniquePtr<BIO_METHOD> m = [] {
      UniquePtr<BIO_METHOD> p(BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qb tls"));
      if (p && (BIO_meth_set_read_ex(p.get(), read) != 1 || BIO_meth_set_write_ex(p.get(), write) != 1 ||
                BIO_meth_set_ctrl(p.get(), ctrl) != 1 || BIO_meth_set_create(p.get(), create) != 1))
        p.reset();
      return p;
    }();
    return m.get();
  }
};

TlsStream::TlsStream(asio::ip::tcp::socket sock, SSL_CTX* ctx) : sock_(std::move(sock)) {
  error_code ec;
  sock_.native_non_blocking(true, ec);
  const BIO_METHOD* m = TlsBio::method();
  if (ec || !m) return;
  ssl_.reset(SSL_new(ctx));
  BIO* bio = ssl_ ? BIO_new(m) : nullptr;
  if (!bio) {
    ssl_.reset();
    ERR_clear_error();
    return;
  }
  BIO_set_data(bio, this);
  SSL_set_bio(ssl_.get(), bio, bio);  // one reference, owned by the SSL object
  // Records are read in as large pieces as the socket has, one recv each, not header then body.
  SSL_set_read_ahead(ssl_.get(), 1);
  SSL_set_mode(ssl_.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

TlsStream::~TlsStream() = default;

TlsStream::Flush TlsStream::flush_out(error_code& ec) {
  while (out_pos_ < out_.size()) {
    ssize_t r = ::send(sock_.native_handle(), out_.data() + out_pos_, out_.size() - out_pos_, MSG_NOSIGNAL);
    if (r >= 0) {
      out_pos_ += static_cast<std::size_t>(r);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Flush::blocked;
    last_errno_ = errno;
    ec = error_code(errno, asio::error::get_system_category());
    out_.clear();
    out_pos_ = 0;
    return Flush::failed;
  }
  out_.clear();
  out_pos_ = 0;
  return Flush::done;
}

void TlsStream::release_out() {
  if (out_pos_ != out_.size()) return;
  std::vector<char>().swap(out_);
  out_pos_ = 0;
}

TlsStream::Step TlsStream::attempt(Kind kind, void* data, std::size_t size, error_code& ec, std::size_t& n) {
  ec = {};
  n = 0;
  if (!ssl_) {
    ec = asio::error::bad_descriptor;
    return Step::done;
  }
  if ((kind == Kind::read || kind == Kind::write) && size == 0) return Step::done;
  SSL* ssl = ssl_.get();
  ERR_clear_error();
  last_errno_ = 0;
  int r = 0;
  switch (kind) {
    case Kind::read:
      r = SSL_read_ex(ssl, data, size, &n);
      // Whole records already read in are taken too, without touching the socket; anything but
      // more bytes is left for the next read.
      buffered_only_ = true;
      while (r == 1 && n < size && SSL_has_pending(ssl)) {
        std::size_t more = 0;
        if (SSL_read_ex(ssl, static_cast<char*>(data) + n, size - n, &more) != 1) {
          ERR_clear_error();
          break;
        }
        n += more;
      }
      buffered_only_ = false;
      break;
    case Kind::write:
      r = SSL_write_ex(ssl, data, size, &n);
      break;
    case Kind::handshake:
      r = SSL_do_handshake(ssl);
      break;
    case Kind::shutdown:
      r = SSL_shutdown(ssl);
      // Our close_notify is out: call again to wait for the peer's.
      if (r == 0) r = SSL_shutdown(ssl);
      break;
  }
  if (r == 1) return Step::done;
  n = 0;
  switch (SSL_get_error(ssl, r)) {
    case SSL_ERROR_WANT_READ:
      return Step::want_read;
    case SSL_ERROR_WANT_WRITE:
      return Step::want_write;
    case SSL_ERROR_ZERO_RETURN:
      ec = asio::error::eof;
      break;
    case SSL_ERROR_SYSCALL:
      if (last_errno_ != 0)
        ec = error_code(last_errno_, asio::error::get_system_category());
      else if (saw_eof_)
        ec = asio::ssl::error::stream_truncated;
      else
        ec = asio::ssl::error::unspecified_system_error;
      break;
    case SSL_ERROR_SSL: {
      unsigned long e = ERR_get_error();
      if (saw_eof_ && ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
        ec = asio::ssl::error::stream_truncated;
      else if (last_errno_ != 0 && e == 0)
        ec = error_code(last_errno_, asio::error::get_system_category());
      else
        ec = error_code(static_cast<int>(e), asio::error::get_ssl_category());
      break;
    }
    default:
      ec = asio::ssl::error::unspecified_system_error;
      break;
  }
  ERR_clear_error();
  return Step::done;
}

}  // namespace qb

#include "support/echo_upstream.h"

#include <fmt/format.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>

#include "crypto/openssl_ptr.h"
#include "proxy/http/http_parser.h"
#include "support/tls_test_server.h"

namespace qb::test {

using qb::StreamParser;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

class Sha256 {
 public:
  Sha256() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr); }
  void update(const void* p, std::size_t n) { EVP_DigestUpdate(ctx_.get(), p, n); }
  std::string hex() {
    unsigned char out[32];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_.get(), out, &len);
    std::string s;
    for (unsigned i = 0; i < len; ++i) s += fmt::format("{:02x}", out[i]);
    return s;
  }

 private:
  UniquePtr<EVP_MD_CTX> ctx_;
};

std::string query_value(std::string_view target, std::string_view key) {
  auto q = target.find('?');
  if (q == std::string_view::npos) return {};
  std::string_view rest = target.substr(q + 1);
  while (!rest.empty()) {
    auto amp = rest.find('&');
    std::string_view kv = rest.substr(0, amp);
    auto eq = kv.find('=');
    if (kv.substr(0, eq) == key) return eq == std::string_view::npos ? std::string() : std::string(kv.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  return {};
}

}  // namespace

bool EchoRecord::has_header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (iequal(n, name)) return true;
  return false;
}

std::string EchoRecord::header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (iequal(n, name)) return v;
  return {};
}

std::string download_pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  return s;
}

std::string sha256_hex(std::string_view data) {
  Sha256 h;
  h.update(data.data(), data.size());
  return h.hex();
}

struct EchoUpstream::Impl {
  EchoOptions options;
  TlsTestServer server;
  asio::io_context io;
  asio::ssl::context ctx{server.tls_context_reference()};

  mutable std::mutex mu;
  std::condition_variable cv;
  bool released = false;
  std::vector<EchoRecord> records;

  Impl(const TestCert& leaf, EchoOptions o) : options(o), server(leaf) {
    // A first socket makes the context's reactor descriptors now, so that tests counting the
    // process's descriptors see them before any connection.
    tcp::socket first(io);
  }

  bool wait_release() {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return server.stopping() || released; });
    return !server.stopping();
  }

  void serve(int fd, std::size_t id) {
    try {
      // The socket owns a duplicate; the server closes the descriptor itself.
      asio::ssl::stream<tcp::socket> s(tcp::socket(io, tcp::v4(), ::dup(fd)), ctx);
      s.handshake(asio::ssl::stream_base::server);
      beast::flat_buffer buf;
      std::size_t served = 0;
      while (serve_one(s, buf, id, fd, served)) ++served;
      boost::system::error_code ec;
      s.shutdown(ec);
    } catch (const std::exception&) {
    }
  }

  static void write(asio::ssl::stream<tcp::socket>& s, std::string_view text) { asio::write(s, asio::buffer(text)); }

  bool serve_one(asio::ssl::stream<tcp::socket>& s, beast::flat_buffer& buf, std::size_t id, int fd,
                 std::size_t served) {
    // Only between requests: the first one may already sit in the TLS layer's buffer.
    if (options.idle_close.count() > 0 && served > 0 && buf.size() == 0 && SSL_pending(s.native_handle()) == 0) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(options.idle_close.count())) == 0) return false;
    }
    StreamParser<true> parser;
    parser.header_limit(1 << 20);
    parser.body_limit(boost::none);
    boost::system::error_code ec;
    http::read_header(s, buf, parser, ec);
    if (ec) return false;
    EchoRecord rec;
    rec.method = parser.method;
    rec.target = parser.target;
    rec.connection = id;
    for (const auto& f : parser.headers.fields()) rec.headers.emplace_back(f.name, f.value);
    std::string_view target = rec.target;
    std::string path(target.substr(0, target.find('?')));
    const bool head = rec.method == "HEAD";
    auto keep = parser.keep_alive();

    auto read_body = [&](auto&& on_bytes) {
      std::vector<char> chunk(64 * 1024);
      while (!parser.is_done()) {
        parser.set_output(chunk.data(), chunk.size());
        boost::system::error_code rec_ec;
        http::read(s, buf, parser, rec_ec);
        if (rec_ec == http::error::need_buffer) rec_ec = {};
        if (rec_ec) throw boost::system::system_error(rec_ec);
        on_bytes(chunk.data(), parser.got());
      }
    };
    auto record = [&] {
      std::lock_guard lock(mu);
      records.push_back(rec);
    };

    if (path == "/early-413") {
      record();
      write(s, "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 9\r\nConnection: close\r\n\r\ntoo large");
      // Keep reading (and dropping) for a while so that the answer is not lost to a reset.
      ::shutdown(fd, SHUT_WR);
      std::vector<char> sink(64 * 1024);
      for (int i = 0; i < 200; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) > 0 && ::recv(fd, sink.data(), sink.size(), 0) <= 0) break;
      }
      return false;
    }
    if (path == "/slow-head") {
      record();
      if (!wait_release()) return false;
      write(s, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nlate");
      return keep;
    }
    if (path == "/stall-body") {
      record();
      write(s, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789");
      wait_release();
      return false;
    }
    if (path == "/download") {
      record();
      std::size_t n = std::stoull("0" + query_value(target, "n"));
      bool chunked = query_value(target, "chunked") == "1";
      std::string data = download_pattern(n);
      if (chunked) {
        write(s, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        if (!head) {
          for (std::size_t off = 0; off < n; off += 100'000) {
            std::size_t len = std::min<std::size_t>(100'000, n - off);
            write(s, fmt::format("{:x}\r\n", len));
            write(s, std::string_view(data).substr(off, len));
            write(s, "\r\n");
          }
          write(s, "0\r\n\r\n");
        }
      } else {
        write(s, fmt::format("HTTP/1.1 200 OK\r\nContent-Length: {}\r\n\r\n", n));
        if (!head) write(s, data);
      }
      return keep;
    }
    if (path == "/stream-echo") {
      write(s, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
      Sha256 h;
      read_body([&](const char* p, std::size_t n) {
        if (n == 0) return;
        h.update(p, n);
        rec.body_size += n;
        write(s, fmt::format("{:x}\r\n", n));
        write(s, std::string_view(p, n));
        write(s, "\r\n");
      });
      write(s, "0\r\n\r\n");
      rec.body_sha256 = h.hex();
      record();
      return keep;
    }
    Sha256 h;
    read_body([&](const char* p, std::size_t n) {
      h.update(p, n);
      rec.body_size += n;
    });
    rec.body_sha256 = h.hex();
    record();
    std::string text = fmt::format("{} {}\n", rec.method, rec.target);
    for (const auto& [n, v] : rec.headers) text += fmt::format("{}: {}\n", n, v);
    text += fmt::format("body-bytes: {}\nbody-sha256: {}\n", rec.body_size, rec.body_sha256);
    write(s,
          fmt::format("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: {}\r\nSet-Cookie: a=1\r\n"
                      "Set-Cookie: b=2\r\nKeep-Alive: timeout=5\r\nConnection: keep-alive, X-Hop\r\nX-Hop: dropped\r\n"
                      "X-Upstream: echo\r\n\r\n",
                      text.size()));
    if (!head) write(s, text);
    return keep;
  }
};

EchoUpstream::EchoUpstream(const TestCert& leaf, EchoOptions options) : impl_(std::make_shared<Impl>(leaf, options)) {
  impl_->server.start({.serve = [impl = impl_.get()](int fd, std::size_t id) { impl->serve(fd, id); },
                       .on_stop =
                           [impl = impl_.get()] {
                             { std::lock_guard lock(impl->mu); }
                             impl->cv.notify_all();
                           }});
}

EchoUpstream::~EchoUpstream() { impl_->server.stop(); }

std::uint16_t EchoUpstream::port() const { return impl_->server.port(); }

std::vector<EchoRecord> EchoUpstream::requests() const {
  std::lock_guard lock(impl_->mu);
  return impl_->records;
}

std::size_t EchoUpstream::connections() const { return impl_->server.connections(); }

void EchoUpstream::release() {
  {
    std::lock_guard lock(impl_->mu);
    impl_->released = true;
  }
  impl_->cv.notify_all();
}

}  // namespace qb::test

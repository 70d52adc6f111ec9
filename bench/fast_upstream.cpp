// A fast HTTPS upstream for the benchmarks. Every path gets a small fixed response, except
// "/bytes?n=N", which gets N bytes of body with a Content-Length. Keeps connections alive.
//   fast_upstream --cert PEM --key PEM --port P [--addresses N] [--threads T]
// Listens on 127.0.0.1 .. 127.0.0.N (the extra addresses let a benchmark use many hosts, one leaf
// each), prints "ready" once listening, and serves until killed. T (default: one per processor)
// single-threaded contexts; connections are dealt to them in turn and stay there, so the direct
// rows measure the machine rather than two threads or a shared queue.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using Stream = ssl::stream<tcp::socket>;

constexpr std::string_view kSmall =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 13\r\n\r\nhello, bench\n";

const std::string& chunk() {
  static const std::string c(256 * 1024, 'x');
  return c;
}

std::size_t body_size_of(std::string_view target) {
  constexpr std::string_view prefix = "/bytes?n=";
  if (target.substr(0, prefix.size()) != prefix) return std::string_view::npos;
  std::size_t n = 0;
  const char* b = target.data() + prefix.size();
  const char* e = target.data() + target.size();
  auto [end, ec] = std::from_chars(b, e, n);
  if (ec != std::errc() || end != e) return std::string_view::npos;
  return n;
}

asio::awaitable<void> session(std::shared_ptr<Stream> stream) {
  try {
    co_await stream->async_handshake(ssl::stream_base::server, asio::use_awaitable);
    boost::beast::flat_buffer buf;
    for (;;) {
      http::request_parser<http::string_body> parser;
      parser.body_limit(1 << 20);
      co_await http::async_read(*stream, buf, parser, asio::use_awaitable);
      const auto& req = parser.get();
      const std::size_t n = body_size_of(req.target());
      if (n == std::string_view::npos) {
        co_await asio::async_write(*stream, asio::buffer(kSmall), asio::use_awaitable);
      } else {
        const std::string head =
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(n) +
            "\r\n\r\n";
        co_await asio::async_write(*stream, asio::buffer(head), asio::use_awaitable);
        std::size_t left = n;
        while (left > 0) {
          const std::size_t take = std::min(left, chunk().size());
          co_await asio::async_write(*stream, asio::buffer(chunk().data(), take), asio::use_awaitable);
          left -= take;
        }
      }
      if (!req.keep_alive()) break;
    }
    boost::system::error_code ec;
    stream->lowest_layer().shutdown(tcp::socket::shutdown_both, ec);
  } catch (const std::exception&) {
    // The client went away; nothing to report in a benchmark server.
  }
}

struct Workers {
  std::vector<std::unique_ptr<asio::io_context>> contexts;
  std::size_t next = 0;  // only the first context's thread runs the accept loops

  asio::io_context& pick() {
    asio::io_context& io = *contexts[next];
    next = (next + 1) % contexts.size();
    return io;
  }
};

asio::awaitable<void> accept_loop(std::shared_ptr<tcp::acceptor> acceptor, ssl::context& tls, Workers& workers) {
  for (;;) {
    asio::io_context& io = workers.pick();
    tcp::socket sock = co_await acceptor->async_accept(io, asio::use_awaitable);
    sock.set_option(tcp::no_delay(true));
    auto stream = std::make_shared<Stream>(std::move(sock), tls);
    asio::co_spawn(io, session(std::move(stream)), asio::detached);
  }
}

int usage() {
  std::cerr << "usage: fast_upstream --cert PEM --key PEM --port P [--addresses N] [--threads T]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string cert, key;
  unsigned port = 0, addresses = 1, threads = std::max(1u, std::thread::hardware_concurrency());
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const char* v = argv[i + 1];
    if (a == "--cert") {
      cert = v;
    } else if (a == "--key") {
      key = v;
    } else if (a == "--port") {
      port = static_cast<unsigned>(std::atoi(v));
    } else if (a == "--addresses") {
      addresses = static_cast<unsigned>(std::atoi(v));
    } else if (a == "--threads") {
      threads = static_cast<unsigned>(std::atoi(v));
    } else {
      return usage();
    }
  }
  if (cert.empty() || key.empty() || port == 0 || addresses < 1 || addresses > 250 || threads < 1) return usage();

  try {
    ssl::context tls(ssl::context::tls_server);
    tls.set_options(ssl::context::no_sslv2 | ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                    ssl::context::no_tlsv1_1);
    tls.use_certificate_chain_file(cert);
    tls.use_private_key_file(key, ssl::context::pem);

    Workers workers;
    for (unsigned i = 0; i < threads; ++i) workers.contexts.push_back(std::make_unique<asio::io_context>(1));
    asio::io_context& io = *workers.contexts.front();
    for (unsigned i = 0; i < addresses; ++i) {
      const auto addr = asio::ip::make_address_v4(0x7f000001u + i);
      auto acceptor = std::make_shared<tcp::acceptor>(io, tcp::endpoint(addr, static_cast<std::uint16_t>(port)));
      asio::co_spawn(io, accept_loop(acceptor, tls, workers), asio::detached);
    }
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> keep;
    for (auto& c : workers.contexts) keep.push_back(asio::make_work_guard(*c));
    asio::signal_set stop(io, SIGINT, SIGTERM);
    stop.async_wait([&](const boost::system::error_code&, int) {
      for (auto& c : workers.contexts) c->stop();
    });
    std::cout << "ready" << std::endl;

    std::vector<std::thread> pool;
    for (unsigned i = 1; i < threads; ++i) pool.emplace_back([&, i] { workers.contexts[i]->run(); });
    io.run();
    for (auto& t : pool) t.join();
  } catch (const std::exception& e) {
    std::cerr << "fast_upstream: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

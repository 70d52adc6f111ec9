// An HTTPS upstream as a program, for demonstrations and end-to-end runs with real agents:
//   echo_upstream [--ca-out PATH]
// listens on an ephemeral port of 127.0.0.1 with a certificate from a fresh test CA, writes that CA to
// PATH (default "echo-upstream-ca.pem"), prints "url https://127.0.0.1:PORT" and "ca PATH", then serves
// until SIGINT or SIGTERM:
//   /download?n=N  N bytes of the fixed test pattern, chunked
//   anything else  200 with a JSON object of what arrived: method, target, headers (in order, as
//                  [name, value] pairs), body_bytes, body_sha256, and body when it is short UTF-8 text
// Each request is also printed on standard output as it arrived (request line, headers, body size).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include <fmt/format.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include "core/text.h"
#include "support/echo_upstream.h"
#include "support/https_test_server.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Stream = asio::ssl::stream<tcp::socket>;

constexpr std::size_t kBodyShown = 4096;
std::mutex out_mu;

std::size_t download_size(std::string_view target) {
  const auto q = target.find("?n=");
  if (q == std::string_view::npos) return 0;
  std::size_t n = 0;
  for (char c : target.substr(q + 3)) {
    if (c < '0' || c > '9' || n > (std::size_t{1} << 32)) break;
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  return n;
}

void log_request(const http::request<http::string_body>& req) {
  std::string text = fmt::format("{} {}\n", std::string(req.method_string()), std::string(req.target()));
  for (const auto& f : req) text += fmt::format("  {}: {}\n", std::string(f.name_string()), std::string(f.value()));
  text += fmt::format("  ({} body bytes)\n", req.body().size());
  std::lock_guard lock(out_mu);
  std::cout << text << std::flush;
}

void send_download(Stream& s, std::size_t n) {
  const std::string data = qb::test::download_pattern(n);
  asio::write(s, asio::buffer(std::string_view("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                               "Transfer-Encoding: chunked\r\n\r\n")));
  for (std::size_t off = 0; off < n; off += 64 * 1024) {
    const std::size_t len = std::min<std::size_t>(64 * 1024, n - off);
    asio::write(s, asio::buffer(fmt::format("{:x}\r\n", len)));
    asio::write(s, asio::buffer(data.data() + off, len));
    asio::write(s, asio::buffer(std::string_view("\r\n")));
  }
  asio::write(s, asio::buffer(std::string_view("0\r\n\r\n")));
}

// Pretty, with one header per line so that a person can read it in a terminal.
std::string echo_json(const http::request<http::string_body>& req) {
  using nlohmann::json;
  std::string out = fmt::format("{{\n  \"method\": {},\n  \"target\": {},\n  \"headers\": [",
                                json(std::string(req.method_string())).dump(), json(std::string(req.target())).dump());
  const char* sep = "\n";
  for (const auto& f : req) {
    out += sep;
    out += "    " + json::array({std::string(f.name_string()), std::string(f.value())}).dump();
    sep = ",\n";
  }
  out += fmt::format("\n  ],\n  \"body_bytes\": {},\n  \"body_sha256\": \"{}\"", req.body().size(),
                     qb::test::sha256_hex(req.body()));
  if (req.body().size() <= kBodyShown && qb::is_utf8(req.body())) out += ",\n  \"body\": " + json(req.body()).dump();
  return out + "\n}\n";
}

void serve(tcp::socket sock, asio::ssl::context& ctx) {
  try {
    Stream s(std::move(sock), ctx);
    s.handshake(asio::ssl::stream_base::server);
    beast::flat_buffer buf;
    while (true) {
      http::request_parser<http::string_body> parser;
      parser.header_limit(1 << 20);
      parser.body_limit(std::uint64_t{64} << 20);
      beast::error_code ec;
      http::read(s, buf, parser, ec);
      if (ec) return;
      const auto& req = parser.get();
      log_request(req);
      const std::string target(req.target());
      if (target.starts_with("/download?")) {
        send_download(s, download_size(target));
      } else {
        http::response<http::string_body> res{http::status::ok, 11};
        res.set(http::field::content_type, "application/json");
        res.body() = echo_json(req);
        res.prepare_payload();
        res.keep_alive(req.keep_alive());
        http::write(s, res);
      }
      if (!req.keep_alive()) {
        s.shutdown(ec);
        return;
      }
    }
  } catch (const std::exception&) {
  }
}

int usage() {
  std::cerr << "usage: echo_upstream [--ca-out PATH]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ca_out = "echo-upstream-ca.pem";
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) != "--ca-out" || i + 1 >= argc) return usage();
    ca_out = argv[++i];
  }
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  try {
    const qb::test::TestCert ca = qb::test::make_test_ca("Echo Upstream CA");
    const qb::test::TestCert leaf = qb::test::make_test_leaf(ca);
    asio::io_context io;
    asio::ssl::context ctx{asio::ssl::context::tls_server};
    ctx.use_certificate_chain(asio::buffer(leaf.cert_pem));
    ctx.use_private_key(asio::buffer(leaf.key_pem), asio::ssl::context::pem);
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));

    std::ofstream(ca_out) << ca.cert_pem;
    std::cout << "url https://127.0.0.1:" << acceptor.local_endpoint().port() << "\n"
              << "ca " << ca_out << std::endl;

    std::thread([&] {
      while (true) {
        tcp::socket sock(io);
        beast::error_code ec;
        acceptor.accept(sock, ec);
        if (ec) continue;
        std::thread(serve, std::move(sock), std::ref(ctx)).detach();
      }
    }).detach();
    int sig = 0;
    sigwait(&stop, &sig);
  } catch (const std::exception& e) {
    std::cerr << "echo_upstream: " << e.what() << "\n";
    return 1;
  }
  std::cout << std::flush;
  std::_Exit(0);  // connection threads may still be blocked in reads
}

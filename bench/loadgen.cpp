// The load generator every benchmark candidate is driven by, so the comparison is fair.
//   loadgen --target HOST:PORT [--proxy HOST:PORT --proxy-auth USER:PASS] --ca PEM [--ca PEM ...]
//           [--mode load|setup|idle] [--conns N] [--requests M] [--duration S] [--path P]
//           [--header "Name: value"] [--fresh-hosts] [--hold S] [--label TEXT]
// load:  N connections (tunnels when --proxy is given), one warm-up request each, then keep-alive
//        requests until M per connection or S seconds; latency of each request, whole body read.
// setup: N times in a row a new connection: CONNECT, TLS handshake, one request; latency of the
//        whole. --fresh-hosts uses 127.0.0.(2+i) as the target host, so each needs its own leaf.
// idle:  N tunnels with their TLS handshakes done, then "ready" on standard error, held S seconds.
// Prints one JSON object on standard output.
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string target_host, target_port;
  std::string proxy_host, proxy_port;
  std::string proxy_auth;
  std::vector<std::string> cas;
  std::string mode = "load";
  int conns = 1;
  long requests = 0;
  double duration = 0;
  std::string path = "/";
  std::string header_name, header_value;
  bool fresh_hosts = false;
  double hold = 10;
  std::string label;
};

void split_host_port(const std::string& text, std::string& host, std::string& port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) throw std::runtime_error("expected HOST:PORT, got " + text);
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
}

std::string base64(const std::string& in) {
  std::string out(boost::beast::detail::base64::encoded_size(in.size()), '\0');
  out.resize(boost::beast::detail::base64::encode(out.data(), in.data(), in.size()));
  return out;
}

class Client {
 public:
  Client(const Options& o, asio::io_context& io, ssl::context& tls, std::string host)
      : o_(o), stream_(io, tls), host_(std::move(host)) {
    buf_.resize(256 * 1024);
  }

  void open() {
    tcp::resolver resolver(stream_.get_executor());
    const bool via_proxy = !o_.proxy_host.empty();
    auto eps = via_proxy ? resolver.resolve(o_.proxy_host, o_.proxy_port) : resolver.resolve(host_, o_.target_port);
    asio::connect(stream_.next_layer(), eps);
    stream_.next_layer().set_option(tcp::no_delay(true));
    if (via_proxy) {
      std::string head = fmt::format("CONNECT {0}:{1} HTTP/1.1\r\nHost: {0}:{1}\r\n", host_, o_.target_port);
      if (!o_.proxy_auth.empty()) head += "Proxy-Authorization: Basic " + base64(o_.proxy_auth) + "\r\n";
      head += "\r\n";
      asio::write(stream_.next_layer(), asio::buffer(head));
      asio::streambuf reply;
      const std::size_t n = asio::read_until(stream_.next_layer(), reply, "\r\n\r\n");
      std::string text(asio::buffers_begin(reply.data()), asio::buffers_begin(reply.data()) + n);
      if (text.rfind("HTTP/1.1 200", 0) != 0 && text.rfind("HTTP/1.0 200", 0) != 0) {
        throw std::runtime_error("CONNECT refused: " + text.substr(0, text.find('\r')));
      }
      if (reply.size() != n) throw std::runtime_error("bytes after the CONNECT reply");
    }
    SSL* ssl_handle = stream_.native_handle();
    boost::system::error_code ec;
    asio::ip::make_address(host_, ec);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_handle);
    if (!ec) {
      X509_VERIFY_PARAM_set1_ip_asc(param, host_.c_str());
    } else {
      SSL_set_tlsext_host_name(ssl_handle, host_.c_str());
      X509_VERIFY_PARAM_set1_host(param, host_.c_str(), 0);
    }
    stream_.handshake(ssl::stream_base::client);
    authority_ = host_ + ":" + o_.target_port;
  }

  // One request, the whole body read; returns the body bytes.
  std::size_t request() {
    http::request<http::empty_body> req{http::verb::get, o_.path, 11};
    req.set(http::field::host, authority_);
    req.set(http::field::user_agent, "qb-loadgen");
    if (!o_.header_name.empty()) req.set(o_.header_name, o_.header_value);
    http::write(stream_, req);

    http::response_parser<http::buffer_body> parser;
    parser.body_limit(boost::none);
    http::read_header(stream_, rbuf_, parser);
    if (parser.get().result_int() != 200) {
      throw std::runtime_error(fmt::format("status {}", parser.get().result_int()));
    }
    std::size_t bytes = 0;
    while (!parser.is_done()) {
      parser.get().body().data = buf_.data();
      parser.get().body().size = buf_.size();
      boost::system::error_code ec;
      http::read(stream_, rbuf_, parser, ec);
      if (ec && ec != http::error::need_buffer) throw boost::system::system_error(ec);
      bytes += buf_.size() - parser.get().body().size;
    }
    if (!parser.keep_alive()) throw std::runtime_error("connection not kept alive");
    return bytes;
  }

  void close() {
    boost::system::error_code ec;
    stream_.next_layer().shutdown(tcp::socket::shutdown_both, ec);
    stream_.next_layer().close(ec);
  }

 private:
  const Options& o_;
  ssl::stream<tcp::socket> stream_;
  std::string host_;
  std::string authority_;
  boost::beast::flat_buffer rbuf_;
  std::vector<char> buf_;
};

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

void print(const Options& o, double seconds, std::vector<double>& lat, std::size_t bytes, std::size_t errors,
           const std::string& first_error) {
  const double n = static_cast<double>(lat.size());
  double mean = 0;
  for (double x : lat) mean += x;
  if (!lat.empty()) mean /= n;
  std::string err = first_error;
  for (char& c : err) {
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  std::cout << fmt::format(R"({{"label":"{}","mode":"{}","conns":{},"requests":{},"seconds":{:.3f},"rps":{:.1f},)"
                           R"("mean_us":{:.1f},"p50_us":{:.1f},"p99_us":{:.1f},"p999_us":{:.1f},"bytes":{},)"
                           R"("bytes_per_s":{:.0f},"errors":{},"first_error":"{}"}})",
                           o.label, o.mode, o.conns, lat.size(), seconds, seconds > 0 ? n / seconds : 0, mean,
                           percentile(lat, 0.50), percentile(lat, 0.99), percentile(lat, 0.999), bytes,
                           seconds > 0 ? static_cast<double>(bytes) / seconds : 0, errors, err)
            << std::endl;
}

int run_load(const Options& o, ssl::context& tls) {
  std::mutex mu;
  std::vector<double> all;
  std::size_t bytes_total = 0, errors = 0;
  std::string first_error;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  Clock::time_point start, deadline;
  std::vector<std::thread> threads;
  for (int c = 0; c < o.conns; ++c) {
    threads.emplace_back([&] {
      asio::io_context io;
      std::vector<double> lat;
      std::size_t bytes = 0;
      std::string failure;
      Client client(o, io, tls, o.target_host);
      try {
        client.open();
        client.request();  // warm-up: the tunnel and the upstream connection are set up here
      } catch (const std::exception& e) {
        failure = e.what();
      }
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      for (long i = 0; failure.empty() && (o.requests == 0 || i < o.requests); ++i) {
        if (o.duration > 0 && Clock::now() >= deadline) break;
        const auto t0 = Clock::now();
        try {
          bytes += client.request();
        } catch (const std::exception& e) {
          failure = e.what();
          break;
        }
        lat.push_back(micros(Clock::now() - t0));
      }
      client.close();
      std::lock_guard lock(mu);
      all.insert(all.end(), lat.begin(), lat.end());
      bytes_total += bytes;
      if (!failure.empty()) {
        ++errors;
        if (first_error.empty()) first_error = failure;
      }
    });
  }
  while (ready.load() < o.conns) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  start = Clock::now();
  deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.duration));
  go.store(true);
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  print(o, seconds, all, bytes_total, errors, first_error);
  return errors == 0 ? 0 : 1;
}

int run_setup(const Options& o, ssl::context& tls) {
  asio::io_context io;
  std::vector<double> lat;
  std::size_t bytes = 0, errors = 0;
  std::string first_error;
  const auto start = Clock::now();
  for (int i = 0; i < o.conns; ++i) {
    const std::string host = o.fresh_hosts ? fmt::format("127.0.0.{}", 2 + i) : o.target_host;
    const auto t0 = Clock::now();
    try {
      Client client(o, io, tls, host);
      client.open();
      bytes += client.request();
      lat.push_back(micros(Clock::now() - t0));
      client.close();
    } catch (const std::exception& e) {
      ++errors;
      if (first_error.empty()) first_error = e.what();
    }
  }
  print(o, std::chrono::duration<double>(Clock::now() - start).count(), lat, bytes, errors, first_error);
  return errors == 0 ? 0 : 1;
}

int run_idle(const Options& o, ssl::context& tls) {
  asio::io_context io;
  std::vector<std::unique_ptr<Client>> open;
  std::vector<double> lat;
  std::size_t errors = 0;
  std::string first_error;
  const auto start = Clock::now();
  for (int i = 0; i < o.conns; ++i) {
    const auto t0 = Clock::now();
    try {
      auto c = std::make_unique<Client>(o, io, tls, o.target_host);
      c->open();
      lat.push_back(micros(Clock::now() - t0));
      open.push_back(std::move(c));
    } catch (const std::exception& e) {
      ++errors;
      if (first_error.empty()) first_error = e.what();
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::cerr << "ready " << open.size() << std::endl;
  std::this_thread::sleep_for(std::chrono::duration<double>(o.hold));
  for (auto& c : open) c->close();
  print(o, seconds, lat, 0, errors, first_error);
  return errors == 0 ? 0 : 1;
}

int usage() {
  std::cerr << "usage: loadgen --target HOST:PORT [--proxy HOST:PORT --proxy-auth USER:PASS] --ca PEM "
               "[--mode load|setup|idle] [--conns N] [--requests M] [--duration S] [--path P] "
               "[--header 'Name: value'] [--fresh-hosts] [--hold S] [--label TEXT]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "--fresh-hosts") {
        o.fresh_hosts = true;
        continue;
      }
      if (i + 1 >= argc) return usage();
      const std::string v = argv[++i];
      if (a == "--target") {
        split_host_port(v, o.target_host, o.target_port);
      } else if (a == "--proxy") {
        split_host_port(v, o.proxy_host, o.proxy_port);
      } else if (a == "--proxy-auth") {
        o.proxy_auth = v;
      } else if (a == "--ca") {
        o.cas.push_back(v);
      } else if (a == "--mode") {
        o.mode = v;
      } else if (a == "--conns") {
        o.conns = std::stoi(v);
      } else if (a == "--requests") {
        o.requests = std::stol(v);
      } else if (a == "--duration") {
        o.duration = std::stod(v);
      } else if (a == "--path") {
        o.path = v;
      } else if (a == "--header") {
        const auto colon = v.find(':');
        if (colon == std::string::npos) return usage();
        o.header_name = v.substr(0, colon);
        o.header_value = v.substr(v.find_first_not_of(' ', colon + 1));
      } else if (a == "--hold") {
        o.hold = std::stod(v);
      } else if (a == "--label") {
        o.label = v;
      } else {
        return usage();
      }
    }
    if (o.target_host.empty() || o.cas.empty() || o.conns < 1) return usage();
    if (o.mode == "load" && o.requests == 0 && o.duration <= 0) o.requests = 100;

    ssl::context tls(ssl::context::tls_client);
    tls.set_options(ssl::context::no_sslv2 | ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                    ssl::context::no_tlsv1_1);
    for (const auto& ca : o.cas) tls.load_verify_file(ca);
    tls.set_verify_mode(ssl::verify_peer);
    static const unsigned char alpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    SSL_CTX_set_alpn_protos(tls.native_handle(), alpn, sizeof alpn);

    if (o.mode == "load") return run_load(o, tls);
    if (o.mode == "setup") return run_setup(o, tls);
    if (o.mode == "idle") return run_idle(o, tls);
    return usage();
  } catch (const std::exception& e) {
    std::cerr << "loadgen: " << e.what() << "\n";
    return 1;
  }
}

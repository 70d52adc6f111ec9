// The load generator every benchmark candidate is driven by, so the comparison is fair.
//   loadgen --target HOST:PORT [--proxy HOST:PORT --proxy-auth USER:PASS] --ca PEM [--ca PEM ...]
//           [--mode load|setup|idle] [--conns N] [--requests M] [--duration S] [--path P]
//           [--header "Name: value"] [--fresh-hosts] [--hold S] [--label TEXT] [--watch NAME=PID ...]
// load:  N connections (tunnels when --proxy is given), one warm-up request each, then keep-alive
//        requests until M per connection or S seconds; latency of each request, whole body read.
// setup: N times in a row a new connection: CONNECT, TLS handshake, one request; latency of the
//        whole. --fresh-hosts uses 127.0.0.(2+i) as the target host, so each needs its own leaf.
// idle:  N tunnels with their TLS handshakes done, then "ready" on standard error, held S seconds.
// --watch: the CPU time of that process's threads over the measured part, reported beside the
// load generator's own and the machine's, so a row shows whether something other than the candidate
// was the limit.
// Prints one JSON object on standard output.
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
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
  std::vector<std::pair<std::string, int>> watch;  // name, pid
};

// utime + stime in seconds from a /proc stat file; -1 when it cannot be read.
double stat_cpu(const std::filesystem::path& file) {
  static const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(text.substr(close + 1));
  std::string field;
  double utime = 0, stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stod(field);
    if (i == 15) stime = std::stod(field);
  }
  return (utime + stime) / tick;
}

// CPU seconds per thread of a process, from /proc/PID/task/*/stat; key 0 holds the whole process
// (/proc/PID/stat, which keeps the time of threads that have ended, e.g. a thread per connection).
std::map<int, double> thread_cpu(int pid) {
  std::map<int, double> out;
  const double whole = stat_cpu(fmt::format("/proc/{}/stat", pid));
  if (whole < 0) return out;
  out[0] = whole;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(fmt::format("/proc/{}/task", pid), ec)) {
    const double t = stat_cpu(e.path() / "stat");
    if (t >= 0) out[std::atoi(e.path().filename().c_str())] = t;
  }
  return out;
}

// Busy and total jiffies of the whole machine, from the first line of /proc/stat.
std::pair<double, double> machine_cpu() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  in >> cpu;
  double total = 0, idle = 0, v = 0;
  for (int i = 0; i < 8 && in >> v; ++i) {
    total += v;
    if (i == 3 || i == 4) idle += v;  // idle, iowait
  }
  return {total - idle, total};
}

double self_cpu(int who) {
  rusage ru{};
  getrusage(who, &ru);
  auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return sec(ru.ru_utime) + sec(ru.ru_stime);
}

// CPU use over the measured part of a run: the watched processes, the load generator, the machine.
class CpuWatch {
 public:
  explicit CpuWatch(const Options& o) : o_(o) {}

  void start() {
    before_.clear();
    for (const auto& [name, pid] : o_.watch) before_.push_back(thread_cpu(pid));
    self_ = self_cpu(RUSAGE_SELF);
    machine_ = machine_cpu();
    started_ = true;
  }

  // Busiest loader thread's share, measured by the threads themselves.
  void loader_thread(double share) {
    std::lock_guard lock(mu_);
    busiest_loader_ = std::max(busiest_loader_, share);
  }

  std::string json(double seconds) const {
    if (seconds <= 0 || !started_) return "{}";
    std::string out = "{";
    for (std::size_t i = 0; i < o_.watch.size(); ++i) {
      const auto after = thread_cpu(o_.watch[i].second);
      if (after.empty() || before_[i].empty()) {
        out += fmt::format(R"("{}":{{"gone":true}},)", o_.watch[i].first);
        continue;
      }
      double busiest = 0;
      for (const auto& [tid, t] : after) {
        if (tid == 0) continue;
        const auto b = before_[i].find(tid);
        busiest = std::max(busiest, t - (b == before_[i].end() ? 0 : b->second));
      }
      out += fmt::format(R"("{}":{{"cores":{:.2f},"busiest_thread":{:.2f},"threads":{}}},)", o_.watch[i].first,
                         (after.at(0) - before_[i].at(0)) / seconds, busiest / seconds, after.size() - 1);
    }
    const auto m = machine_cpu();
    const double cpus = static_cast<double>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    const double total = m.second - machine_.second;
    out += fmt::format(R"("loadgen":{{"cores":{:.2f},"busiest_thread":{:.2f}}},)",
                       (self_cpu(RUSAGE_SELF) - self_) / seconds, busiest_loader_);
    out += fmt::format(R"("machine":{{"busy_cores":{:.2f},"cpus":{}}}}})",
                       total > 0 ? (m.first - machine_.first) / total * cpus : 0, cpus);
    return out;
  }

 private:
  const Options& o_;
  std::vector<std::map<int, double>> before_;
  bool started_ = false;
  double self_ = 0;
  std::pair<double, double> machine_{0, 0};
  mutable std::mutex mu_;
  double busiest_loader_ = 0;
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
    if (head_.empty()) {  // the same head every time: serialised once, so the loader stays cheap
      head_ = fmt::format("GET {} HTTP/1.1\r\nHost: {}\r\nUser-Agent: qb-loadgen\r\n", o_.path, authority_);
      if (!o_.header_name.empty()) head_ += fmt::format("{}: {}\r\n", o_.header_name, o_.header_value);
      head_ += "\r\n";
    }
    asio::write(stream_, asio::buffer(head_));

    http::response_parser<http::buffer_body> parser;
    parser.body_limit(boost::none);
    http::read_header(stream_, rbuf_, parser);
    if (parser.get().result_int() != 200) {
      throw std::runtime_error(fmt::format("status {}", parser.get().result_int()));
    }
    if (!parser.keep_alive()) throw std::runtime_error("connection not kept alive");
    if (parser.content_length() && !parser.chunked()) {
      // Sized body: read straight into one buffer, past the parser, so the loader is not what limits.
      std::uint64_t left = *parser.content_length();
      const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(rbuf_.size(), left));
      rbuf_.consume(have);
      left -= have;
      while (left > 0) {
        left -= stream_.read_some(
            asio::buffer(buf_.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buf_.size(), left))));
      }
      return static_cast<std::size_t>(*parser.content_length());
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
  std::string head_;
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
           const std::string& first_error, const CpuWatch& cpu) {
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
                           R"("bytes_per_s":{:.0f},"errors":{},"first_error":"{}","cpu":{}}})",
                           o.label, o.mode, o.conns, lat.size(), seconds, seconds > 0 ? n / seconds : 0, mean,
                           percentile(lat, 0.50), percentile(lat, 0.99), percentile(lat, 0.999), bytes,
                           seconds > 0 ? static_cast<double>(bytes) / seconds : 0, errors, err, cpu.json(seconds))
            << std::endl;
}

int run_load(const Options& o, ssl::context& tls) {
  std::mutex mu;
  std::vector<double> all;
  std::size_t bytes_total = 0, errors = 0;
  std::string first_error;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  CpuWatch cpu(o);
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
      go.wait(false);  // blocked, not spinning, while the other connections are still set up
      const double cpu0 = self_cpu(RUSAGE_THREAD);
      const auto t_start = Clock::now();
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
      const double spent = std::chrono::duration<double>(Clock::now() - t_start).count();
      if (spent > 0) cpu.loader_thread((self_cpu(RUSAGE_THREAD) - cpu0) / spent);
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
  cpu.start();
  go.store(true);
  go.notify_all();
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  print(o, seconds, all, bytes_total, errors, first_error, cpu);
  return errors == 0 ? 0 : 1;
}

int run_setup(const Options& o, ssl::context& tls) {
  asio::io_context io;
  std::vector<double> lat;
  std::size_t bytes = 0, errors = 0;
  std::string first_error;
  CpuWatch cpu(o);
  cpu.start();
  const double cpu0 = self_cpu(RUSAGE_THREAD);
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
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (seconds > 0) cpu.loader_thread((self_cpu(RUSAGE_THREAD) - cpu0) / seconds);
  print(o, seconds, lat, bytes, errors, first_error, cpu);
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
  print(o, seconds, lat, 0, errors, first_error, CpuWatch(o));
  return errors == 0 ? 0 : 1;
}

int usage() {
  std::cerr << "usage: loadgen --target HOST:PORT [--proxy HOST:PORT --proxy-auth USER:PASS] --ca PEM "
               "[--mode load|setup|idle] [--conns N] [--requests M] [--duration S] [--path P] "
               "[--header 'Name: value'] [--fresh-hosts] [--hold S] [--label TEXT] [--watch NAME=PID ...]\n";
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
      } else if (a == "--watch") {
        const auto eq = v.find('=');
        if (eq == std::string::npos) return usage();
        o.watch.emplace_back(v.substr(0, eq), std::stoi(v.substr(eq + 1)));
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

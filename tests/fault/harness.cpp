#include "fault/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "support/https_test_server.h"
#include "support/test_gate.h"

extern char** environ;

namespace qb::fault {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

// ---- Child ----------------------------------------------------------------------------------

Child::Child(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::filesystem::path& cwd, const std::map<std::string, std::string>& env_set,
             const std::string& stdin_data) {
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> argv_s{program.string()};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<std::string> env_s;
  for (char** e = environ; *e; ++e) {
    std::string_view kv(*e);
    const auto eq = kv.find('=');
    if (eq != std::string_view::npos && env_set.count(std::string(kv.substr(0, eq)))) continue;
    env_s.emplace_back(kv);
  }
  for (const auto& [k, v] : env_set) env_s.push_back(k + "=" + v);
  std::vector<char*> argv, envp;
  for (auto& s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (auto& s : env_s) envp.push_back(s.data());
  envp.push_back(nullptr);

  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  const std::string dir = cwd.string();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    // Nothing of the test (listeners, pools) may live on in the child.
    ::close_range(3, ~0U, 0);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  // Small inputs only: they fit in the pipe, so this never blocks on a child that does not read.
  std::size_t done = 0;
  while (done < stdin_data.size()) {
    const ssize_t n = ::write(in[1], stdin_data.data() + done, stdin_data.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(in[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  reader_ = test::BoundedThread([this] { collect(); });
}

void Child::collect() {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  int open = 2;
  char buf[8192];
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      std::lock_guard lock(mu_);
      (i == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(n));
    }
  }
}

Child::~Child() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(10));
  }
  reader_.join_or_abort(test::kTeardownLimit, "the child's output reader");
}

void Child::signal(int sig) const { ::kill(pid_, sig); }

int Child::wait(std::chrono::milliseconds limit) {
  const auto until = Clock::now() + limit;
  while (!reaped_) {
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      break;
    }
    if (Clock::now() >= until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  reader_.join_or_abort(test::kTeardownLimit, "the child's output reader");
  return status_;
}

bool Child::running() {
  if (reaped_) return false;
  int st = 0;
  const pid_t r = ::waitpid(pid_, &st, WNOHANG);
  if (r == 0) return true;
  if (r == pid_) {
    reaped_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  return false;
}

std::string Child::out() const {
  std::lock_guard lock(mu_);
  return out_;
}
std::string Child::err() const {
  std::lock_guard lock(mu_);
  return err_;
}

bool Child::wait_for_out(std::string_view text, std::chrono::milliseconds limit) {
  const auto until = Clock::now() + limit;
  while (Clock::now() < until) {
    if (out().find(text) != std::string::npos) return true;
    if (!running()) return out().find(text) != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool Child::wait_for_err(std::string_view text, std::size_t count, std::chrono::milliseconds limit) {
  const auto until = Clock::now() + limit;
  while (Clock::now() < until) {
    if (count_of(err(), text) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::size_t count_of(std::string_view haystack, std::string_view needle) {
  std::size_t n = 0;
  for (auto at = haystack.find(needle); at != std::string_view::npos; at = haystack.find(needle, at + needle.size()))
    ++n;
  return n;
}

// ---- /proc ----------------------------------------------------------------------------------

namespace {

struct SocketRow {
  std::string table;
  std::uint16_t local = 0;
  std::uint16_t remote = 0;
  std::string state;
};

// Socket inode to its ports and state, from the process's view of the TCP tables.
std::map<std::string, SocketRow> socket_rows(pid_t pid) {
  std::map<std::string, SocketRow> peers;
  for (const char* table : {"tcp", "tcp6"}) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/net/" + table);
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string sl, local, remote, st, queues, tr, retr, uid, timeout, inode;
      fields >> sl >> local >> remote >> st >> queues >> tr >> retr >> uid >> timeout >> inode;
      const auto rc = remote.rfind(':');
      const auto lc = local.rfind(':');
      if (rc == std::string::npos || lc == std::string::npos) continue;
      peers[inode] = SocketRow{table, static_cast<std::uint16_t>(std::stoul(local.substr(lc + 1), nullptr, 16)),
                               static_cast<std::uint16_t>(std::stoul(remote.substr(rc + 1), nullptr, 16)), st};
    }
  }
  std::ifstream unix_in("/proc/" + std::to_string(pid) + "/net/unix");
  std::string line;
  std::getline(unix_in, line);
  while (std::getline(unix_in, line)) {
    std::istringstream fields(line);
    std::string num, refs, proto, flags, type, st, inode;
    fields >> num >> refs >> proto >> flags >> type >> st >> inode;
    peers[inode] = SocketRow{"unix", 0, 0, st};
  }
  return peers;
}

}  // namespace

FdCensus fd_census(pid_t pid, const std::vector<std::uint16_t>& pooled_ports) {
  FdCensus c;
  const auto peers = socket_rows(pid);
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    ++c.total;
    std::error_code lec;
    const std::string link = std::filesystem::read_symlink(e.path(), lec).string();
    if (link.rfind("socket:[", 0) != 0) continue;
    const std::string inode = link.substr(8, link.size() - 9);
    auto it = peers.find(inode);
    if (it != peers.end() && it->second.table == "unix") ++c.unix_sockets;
    if (it != peers.end() && it->second.table != "unix" &&
        std::find(pooled_ports.begin(), pooled_ports.end(), it->second.remote) != pooled_ports.end())
      ++c.pooled;
  }
  return c;
}

std::size_t connections_on(pid_t pid, std::uint16_t local_port) {
  std::size_t n = 0;
  const auto rows = socket_rows(pid);
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code lec;
    const std::string link = std::filesystem::read_symlink(e.path(), lec).string();
    if (link.rfind("socket:[", 0) != 0) continue;
    auto it = rows.find(link.substr(8, link.size() - 9));
    if (it != rows.end() && it->second.table != "unix" && it->second.local == local_port && it->second.state != "0A")
      ++n;
  }
  return n;
}

std::string fd_listing(pid_t pid) {
  std::string text;
  const auto rows = socket_rows(pid);
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code lec;
    const std::string link = std::filesystem::read_symlink(e.path(), lec).string();
    text += e.path().filename().string() + " " + link;
    if (link.rfind("socket:[", 0) == 0) {
      auto it = rows.find(link.substr(8, link.size() - 9));
      if (it != rows.end())
        text += " " + it->second.table + " " + std::to_string(it->second.local) + "->" +
                std::to_string(it->second.remote) + " st " + it->second.state;
    }
    text += "\n";
  }
  return text;
}

std::size_t rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
  }
  return 0;
}

// ---- HTTP text helpers ----------------------------------------------------------------------

namespace {

struct Head {
  std::string first_line;
  std::map<std::string, std::string> headers;
};

Head parse_head(std::string_view text) {
  Head h;
  std::size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    auto end = text.find("\r\n", at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 2;
    if (first) {
      h.first_line = std::string(line);
      first = false;
      continue;
    }
    if (line.empty()) break;
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name(line.substr(0, colon));
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    h.headers[name] = std::string(value);
  }
  return h;
}

int status_of(const Head& h) {
  const auto sp = h.first_line.find(' ');
  if (sp == std::string::npos) return 0;
  return std::atoi(h.first_line.c_str() + sp + 1);
}

bool is_chunked(const Head& h) {
  auto it = h.headers.find("transfer-encoding");
  return it != h.headers.end() && it->second.find("chunked") != std::string::npos;
}

std::size_t content_length(const Head& h) {
  auto it = h.headers.find("content-length");
  return it == h.headers.end() ? 0 : std::stoul(it->second);
}

// Reads a body from stream, starting with the bytes already in buf; chunked or by length.
template <typename Stream>
asio::awaitable<bool> read_body(Stream& s, std::string& buf, const Head& h, std::string& body, bool& closed) {
  closed = false;
  if (is_chunked(h)) {
    while (true) {
      auto [ec, n] = co_await asio::async_read_until(s, asio::dynamic_buffer(buf), "\r\n", kTuple);
      if (ec) co_return false;
      const std::size_t size = std::stoul(buf.substr(0, n - 2), nullptr, 16);
      buf.erase(0, n);
      if (size == 0) {
        auto [ec2, n2] = co_await asio::async_read_until(s, asio::dynamic_buffer(buf), "\r\n", kTuple);
        if (ec2) co_return false;
        buf.erase(0, n2);
        co_return true;
      }
      while (buf.size() < size + 2) {
        std::array<char, 16384> chunk;
        auto [ec3, got] = co_await s.async_read_some(asio::buffer(chunk), kTuple);
        if (ec3) co_return false;
        buf.append(chunk.data(), got);
      }
      body.append(buf, 0, size);
      buf.erase(0, size + 2);
    }
  }
  if (h.headers.count("content-length") == 0) co_return true;
  const std::size_t want = content_length(h);
  while (buf.size() < want) {
    std::array<char, 16384> chunk;
    auto [ec, got] = co_await s.async_read_some(asio::buffer(chunk), kTuple);
    if (ec) {
      closed = true;
      body += buf;
      buf.clear();
      co_return false;
    }
    buf.append(chunk.data(), got);
  }
  body.append(buf, 0, want);
  buf.erase(0, want);
  co_return true;
}

const test::TestCert& upstream_leaf() {
  static const test::TestCert leaf = test::make_test_leaf(test::test_gate_ca());
  return leaf;
}

}  // namespace

// ---- LoopbackUpstream -----------------------------------------------------------------------

struct LoopbackUpstream::Impl : std::enable_shared_from_this<LoopbackUpstream::Impl> {
  asio::io_context ioc{1};
  asio::ssl::context ctx{asio::ssl::context::tls_server};
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  test::BoundedThread thread;
  mutable std::mutex mu;
  std::vector<UpstreamSeen> seen;
  std::size_t connections = 0;
  std::string after_switch;
  std::size_t switched_closed = 0;
  std::set<tcp::socket*> live;  // touched on the context's thread only
};

namespace {

using UpImpl = LoopbackUpstream::Impl;

asio::awaitable<void> upstream_serve(std::shared_ptr<UpImpl> impl, tcp::socket sock) {
  asio::ssl::stream<tcp::socket> s(std::move(sock), impl->ctx);
  struct Live {
    UpImpl* impl;
    tcp::socket* sock;
    ~Live() { impl->live.erase(sock); }
  } live{impl.get(), &s.next_layer()};
  impl->live.insert(&s.next_layer());
  auto [hec] = co_await s.async_handshake(asio::ssl::stream_base::server, kTuple);
  if (hec) co_return;
  std::string buf;
  while (true) {
    auto [ec, n] = co_await asio::async_read_until(s, asio::dynamic_buffer(buf), "\r\n\r\n", kTuple);
    if (ec) co_return;
    const Head h = parse_head(std::string_view(buf).substr(0, n));
    buf.erase(0, n);
    UpstreamSeen seen;
    {
      std::istringstream line(h.first_line);
      line >> seen.method >> seen.target;
    }
    seen.headers = h.headers;
    std::string body;
    bool closed = false;
    auto reading = read_body(s, buf, h, body, closed);
    const bool whole = co_await std::move(reading);
    if (!whole) co_return;
    const std::string target = seen.target;
    {
      std::lock_guard lock(impl->mu);
      impl->seen.push_back(std::move(seen));
    }
    if (target == "/reset") {
      std::string part = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'r');
      auto [wec, wn] = co_await asio::async_write(s, asio::buffer(part), kTuple);
      (void)wec;
      (void)wn;
      boost::system::error_code ignore;
      s.next_layer().set_option(asio::socket_base::linger(true, 0), ignore);
      s.next_layer().close(ignore);
      co_return;
    }
    if (target == "/close") co_return;
    if (target == "/switch") {
      const std::string_view head =
          "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x-other\r\nConnection: upgrade\r\n\r\n";
      auto [wec, wn] = co_await asio::async_write(s, asio::buffer(head), kTuple);
      (void)wn;
      if (wec) co_return;
      // The other protocol's stream: whatever the proxy writes here went astray.
      while (true) {
        std::array<char, 4096> chunk;
        auto [rec, got] = co_await s.async_read_some(asio::buffer(chunk), kTuple);
        std::lock_guard lock(impl->mu);
        if (rec) {
          ++impl->switched_closed;
          co_return;
        }
        impl->after_switch.append(chunk.data(), got);
      }
    }
    std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\nok";
    if (target.rfind("/fields/", 0) == 0) {
      const std::size_t fields = std::stoul(target.substr(8));
      reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n";
      for (std::size_t i = 1; i < fields; ++i) reply += "X-F" + std::to_string(i) + ": v\r\n";
      reply += "\r\nok";
    }
    auto [wec, wn] = co_await asio::async_write(s, asio::buffer(reply), kTuple);
    (void)wn;
    if (wec) co_return;
  }
}

asio::awaitable<void> upstream_accept(std::shared_ptr<UpImpl> impl, tcp::acceptor* acceptor) {
  while (true) {
    auto [ec, sock] = co_await acceptor->async_accept(kTuple);
    if (ec) {
      if (ec == asio::error::operation_aborted || !acceptor->is_open()) co_return;
      continue;
    }
    {
      std::lock_guard lock(impl->mu);
      ++impl->connections;
    }
    asio::co_spawn(impl->ioc, upstream_serve(impl, std::move(sock)), asio::detached);
  }
}

}  // namespace

LoopbackUpstream::LoopbackUpstream(LoopbackOptions options) : impl_(std::make_shared<Impl>()) {
  if (options.leaf_cert_pem.empty()) {
    const test::TestCert& leaf = upstream_leaf();
    options.leaf_cert_pem = leaf.cert_pem;
    options.leaf_key_pem = leaf.key_pem;
  }
  impl_->ctx.use_certificate_chain(asio::buffer(options.leaf_cert_pem));
  impl_->ctx.use_private_key(asio::buffer(options.leaf_key_pem), asio::ssl::context::pem);
  const tcp::endpoint ep(asio::ip::address_v4::loopback(), 0);
  for (std::size_t i = 0; i < std::max<std::size_t>(options.ports, 1); ++i) {
    auto acceptor = std::make_unique<tcp::acceptor>(impl_->ioc);
    acceptor->open(ep.protocol());
    acceptor->bind(ep);
    acceptor->listen(asio::socket_base::max_listen_connections);
    asio::co_spawn(impl_->ioc, upstream_accept(impl_, acceptor.get()), asio::detached);
    impl_->acceptors.push_back(std::move(acceptor));
  }
  impl_->thread = test::BoundedThread([impl = impl_] { impl->ioc.run(); });
}

LoopbackUpstream::~LoopbackUpstream() {
  // Closing every socket lets each connection's coroutine end by itself; the context then runs out of work.
  asio::post(impl_->ioc, [impl = impl_.get()] {
    boost::system::error_code ignore;
    for (auto& a : impl->acceptors) a->close(ignore);
    for (tcp::socket* s : impl->live) {
      s->shutdown(tcp::socket::shutdown_both, ignore);
      s->close(ignore);
    }
  });
  if (!impl_->thread.join_for(test::kTeardownLimit)) {
    ADD_FAILURE() << "the loopback upstream's connections did not end; stopping its context";
    impl_->ioc.stop();
    impl_->thread.join_or_abort(test::kTeardownLimit, "the loopback upstream's thread");
  }
}

std::uint16_t LoopbackUpstream::port() const { return impl_->acceptors.front()->local_endpoint().port(); }

std::vector<std::uint16_t> LoopbackUpstream::ports() const {
  std::vector<std::uint16_t> out;
  for (const auto& a : impl_->acceptors) out.push_back(a->local_endpoint().port());
  return out;
}

std::size_t LoopbackUpstream::connections() const {
  std::lock_guard lock(impl_->mu);
  return impl_->connections;
}

std::string LoopbackUpstream::after_switch() const {
  std::lock_guard lock(impl_->mu);
  return impl_->after_switch;
}

std::size_t LoopbackUpstream::switched_closed() const {
  std::lock_guard lock(impl_->mu);
  return impl_->switched_closed;
}

std::vector<UpstreamSeen> LoopbackUpstream::seen() const {
  std::lock_guard lock(impl_->mu);
  return impl_->seen;
}

std::size_t LoopbackUpstream::seen_count() const {
  std::lock_guard lock(impl_->mu);
  return impl_->seen.size();
}

// ---- Agents ---------------------------------------------------------------------------------

namespace {

struct AgentShared {
  explicit AgentShared(const ProxyTarget& t) : target(t) {
    ctx.add_certificate_authority(asio::buffer(target.ca_pem));
    ctx.set_verify_mode(asio::ssl::verify_peer);
  }
  ProxyTarget target;
  asio::ssl::context ctx{asio::ssl::context::tls_client};
  std::chrono::seconds limit{30};
  // Hold: counted when up or failed; released by cancelling the timer.
  std::mutex mu;
  std::condition_variable cv;
  std::size_t settled = 0;
  std::size_t up = 0;
  std::unique_ptr<asio::steady_timer> release;
};

struct AgentConn {
  AgentConn(asio::any_io_executor ex, asio::ssl::context& ctx) : stream(ex, ctx), deadline(ex) {}
  asio::ssl::stream<tcp::socket> stream;
  asio::steady_timer deadline;
};

void settle(AgentShared& sh, bool up) {
  std::lock_guard lock(sh.mu);
  ++sh.settled;
  if (up) ++sh.up;
  sh.cv.notify_all();
}

asio::awaitable<void> agent_steps(AgentShared& sh, const AgentJob& job, AgentResult& res, AgentConn& c) {
  auto& sock = c.stream.next_layer();
  const tcp::endpoint proxy(asio::ip::address_v4::loopback(), sh.target.proxy_port);
  auto [cec] = co_await sock.async_connect(proxy, kTuple);
  if (cec) {
    res.error = "connect: " + cec.message();
    co_return;
  }
  if (job.leave == Leave::AtOnce) co_return;
  const std::string authority = sh.target.upstream_host + ":" + std::to_string(sh.target.upstream_port);
  std::string connect = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority +
                        "\r\nProxy-Authorization: " + sh.target.proxy_authorization + "\r\n\r\n";
  if (job.leave == Leave::MidConnect) connect.resize(connect.size() / 2);
  auto [wec, wn] = co_await asio::async_write(sock, asio::buffer(connect), kTuple);
  (void)wn;
  if (wec || job.leave == Leave::MidConnect) co_return;
  std::string buf;
  auto [rec, rn] = co_await asio::async_read_until(sock, asio::dynamic_buffer(buf), "\r\n\r\n", kTuple);
  if (rec) {
    res.error = "CONNECT reply: " + rec.message();
    co_return;
  }
  res.connect_status = status_of(parse_head(std::string_view(buf).substr(0, rn)));
  if (res.connect_status != 200 || job.leave == Leave::AfterConnect) co_return;
  if (job.leave == Leave::MidHandshake) {
    // A ClientHello record header announcing 512 bytes, and 40 of them.
    std::string hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
    hello.append(29, '\x5a');
    auto [hec, hn] = co_await asio::async_write(sock, asio::buffer(hello), kTuple);
    (void)hec;
    (void)hn;
    co_return;
  }
  c.stream.set_verify_callback(asio::ssl::host_name_verification(sh.target.upstream_host));
  auto [tec] = co_await c.stream.async_handshake(asio::ssl::stream_base::client, kTuple);
  if (tec) {
    res.error = "TLS: " + tec.message();
    co_return;
  }
  res.tls = true;
  if (job.leave == Leave::AfterHandshake) co_return;
  if (job.leave == Leave::Hold) {
    settle(sh, true);
    auto [hold] = co_await sh.release->async_wait(kTuple);
    (void)hold;
    co_return;
  }
  std::string extra;
  for (const auto& [name, value] : job.headers) extra += name + ": " + value + "\r\n";
  if (job.leave == Leave::MidHead) {
    std::string head = "GET " + job.path + " HTTP/1.1\r\nHost: " + authority + "\r\n" + extra + "X-Half: ab";
    auto [mec, mn] = co_await asio::async_write(c.stream, asio::buffer(head), kTuple);
    (void)mec;
    (void)mn;
    co_return;
  }
  if (job.leave == Leave::MidBody) {
    std::string head = "POST " + job.path + " HTTP/1.1\r\nHost: " + authority + "\r\n" + extra +
                       "Content-Length: 100000\r\n\r\n" + std::string(1000, 'b');
    auto [mec, mn] = co_await asio::async_write(c.stream, asio::buffer(head), kTuple);
    (void)mn;
    if (mec) co_return;
    // Long enough for the proxy to start forwarding, then gone.
    asio::steady_timer pause(co_await asio::this_coro::executor, std::chrono::milliseconds(100));
    auto [pec] = co_await pause.async_wait(kTuple);
    (void)pec;
    co_return;
  }
  std::string rbuf;
  for (int i = 0; i < job.requests; ++i) {
    std::string head = job.method + " " + job.path + " HTTP/1.1\r\nHost: " + authority + "\r\n" + extra + "\r\n";
    auto [qec, qn] = co_await asio::async_write(c.stream, asio::buffer(head), kTuple);
    (void)qn;
    if (qec) {
      res.error = "request: " + qec.message();
      co_return;
    }
    auto [hec, hn] = co_await asio::async_read_until(c.stream, asio::dynamic_buffer(rbuf), "\r\n\r\n", kTuple);
    if (hec) {
      res.error = "response head: " + hec.message();
      co_return;
    }
    const Head h = parse_head(std::string_view(rbuf).substr(0, hn));
    rbuf.erase(0, hn);
    res.statuses.push_back(status_of(h));
    std::string body;
    bool closed = false;
    auto reading = read_body(c.stream, rbuf, h, body, closed);
    const bool whole = co_await std::move(reading);
    res.bodies.push_back(std::move(body));
    if (!whole) {
      res.error = "response body cut";
      co_return;
    }
  }
}

asio::awaitable<void> agent(std::shared_ptr<AgentShared> sh, const AgentJob* job, AgentResult* res) {
  auto c = std::make_shared<AgentConn>(co_await asio::this_coro::executor, sh->ctx);
  c->deadline.expires_after(sh->limit);
  c->deadline.async_wait([c](boost::system::error_code ec) {
    if (ec) return;
    boost::system::error_code ignore;
    c->stream.next_layer().close(ignore);
  });
  auto steps = agent_steps(*sh, *job, *res, *c);
  co_await std::move(steps);
  if (job->leave == Leave::Hold && !res->tls) settle(*sh, false);
  c->deadline.cancel();
  boost::system::error_code ignore;
  c->stream.next_layer().close(ignore);
}

}  // namespace

std::vector<AgentResult> run_agents(const ProxyTarget& target, const std::vector<AgentJob>& jobs,
                                    std::chrono::seconds limit) {
  asio::io_context ioc{1};
  auto sh = std::make_shared<AgentShared>(target);
  sh->limit = limit;
  std::vector<AgentResult> results(jobs.size());
  for (std::size_t i = 0; i < jobs.size(); ++i) asio::co_spawn(ioc, agent(sh, &jobs[i], &results[i]), asio::detached);
  ioc.run();
  return results;
}

struct HeldTunnels::Impl {
  asio::io_context ioc{1};
  std::shared_ptr<AgentShared> sh;
  std::vector<AgentJob> jobs;
};

HeldTunnels::HeldTunnels(const ProxyTarget& target, std::size_t n) : impl_(std::make_shared<Impl>()) {
  impl_->sh = std::make_shared<AgentShared>(target);
  impl_->sh->limit = std::chrono::seconds(120);
  impl_->sh->release = std::make_unique<asio::steady_timer>(impl_->ioc, asio::steady_timer::time_point::max());
  impl_->jobs.assign(n, AgentJob{Leave::Hold});
  results_.resize(n);
  for (std::size_t i = 0; i < n; ++i)
    asio::co_spawn(impl_->ioc, agent(impl_->sh, &impl_->jobs[i], &results_[i]), asio::detached);
  thread_ = test::BoundedThread([impl = impl_] { impl->ioc.run(); });
}

std::size_t HeldTunnels::established(std::chrono::seconds limit) {
  auto& sh = *impl_->sh;
  std::unique_lock lock(sh.mu);
  sh.cv.wait_for(lock, limit, [&] { return sh.settled >= impl_->jobs.size(); });
  return sh.up;
}

std::vector<AgentResult> HeldTunnels::release() {
  if (thread_.joinable()) {
    asio::post(impl_->ioc, [impl = impl_] { impl->sh->release->cancel(); });
    if (!thread_.join_for(test::kTeardownLimit)) {
      ADD_FAILURE() << "held tunnels did not end after their release; stopping their context";
      impl_->ioc.stop();
      thread_.join_or_abort(test::kTeardownLimit, "the held tunnels' thread");
    }
  }
  return results_;
}

HeldTunnels::~HeldTunnels() { release(); }

}  // namespace qb::fault

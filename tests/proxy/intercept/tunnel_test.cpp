// The tunnel end to end on loopback: a small CONNECT acceptor in front of serve_tunnel, the real
// upstream client, an HTTPS echo upstream with a test CA handed through SSL_CERT_FILE, and curl
// or a raw OpenSSL client as the agent.
#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "core/runtime.h"
#include "proxy/intercept/ca.h"
#include "proxy/intercept/tunnel.h"
#include "proxy/upstream/upstream.h"
#include "support/echo_upstream.h"
#include "support/https_test_server.h"
#include "support/process.h"
#include "support/scoped_env.h"
#include "support/stderr_capture.h"
#include "support/temp_dir.h"
#include "support/tls_test_server.h"
#include "tls/platform_roots.h"

namespace qb {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using test::EchoUpstream;
using test::TempDir;

// The upstream's CA, trusted through SSL_CERT_FILE as the platform store; one per process.
struct UpstreamPki {
  TempDir dir;
  test::TestCert ca = test::make_test_ca("tunnel test upstream CA");
  test::TestCert leaf = test::make_test_leaf(ca);
  std::vector<DerCert> roots;
  test::ScopedEnv env;
  UpstreamPki() {
    test::write_file(dir / "roots.pem", ca.cert_pem);
    env.set("SSL_CERT_FILE", (dir / "roots.pem").string()).unset("SSL_CERT_DIR");
    roots = platform_roots();
  }
};
UpstreamPki& pki() {
  static UpstreamPki p;
  return p;
}

using test::StderrCapture;

struct ProxyOptions {
  std::optional<std::vector<DerCert>> roots;  // default: the platform's (the upstream test CA)
  bool allow_private = true;
  TunnelLimits limits;
  UpstreamOptions upstream;
};

class TestProxy {
 public:
  explicit TestProxy(ProxyOptions o = {}) {
    auto ca = load_or_create_ca(dir_.path());
    if (!ca) throw std::runtime_error(ca.error().display());
    ctx_.ca = *ca;
    test::write_file(dir_ / "proxy-ca.pem", ctx_.ca->cert_pem());
    auto up = build_upstream_client(rt_.blocking(), o.allow_private, o.roots ? *o.roots : pki().roots, o.upstream);
    if (!up) throw std::runtime_error(up.error().display());
    auto tls = build_tunnel_tls();
    if (!tls) throw std::runtime_error(tls.error().display());
    ctx_.blocking = &rt_.blocking();
    ctx_.tls = *tls;
    ctx_.upstream = *up;
    ctx_.limits = o.limits;
    tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), 0);
    acceptor_.open(ep.protocol());
    acceptor_.bind(ep);
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    asio::co_spawn(acceptor_.get_executor(), accept_loop(this), asio::detached);
  }
  ~TestProxy() { rt_.shutdown(); }

  std::uint16_t port() const { return port_; }
  std::string ca_file() const { return (dir_ / "proxy-ca.pem").string(); }
  CaState& ca() { return *ctx_.ca; }
  UpstreamClient& upstream() { return *ctx_.upstream; }
  std::vector<std::string> errors() {
    std::lock_guard lock(mu_);
    return errors_;
  }
  std::size_t tunnels_done() {
    std::lock_guard lock(mu_);
    return done_;
  }
  // Waits (without a time assertion) until n tunnels have ended.
  bool wait_tunnels(std::size_t n) {
    for (int i = 0; i < 2000; ++i) {
      if (tunnels_done() >= n) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

 private:
  // As serve's loop: each tunnel pinned to the context with the fewest live ones.
  static asio::awaitable<void> accept_loop(TestProxy* p) {
    while (true) {
      auto [ec, accepted] = co_await p->acceptor_.async_accept(asio::as_tuple(asio::use_awaitable));
      if (ec) co_return;
      WorkerContexts::Lease lease = p->rt_.workers().lease();
      asio::io_context& home = lease.context();
      tcp::socket sock(home);
      sock.assign(tcp::v4(), accepted.release());
      asio::co_spawn(home, handle(p, std::move(sock), std::move(lease)), asio::detached);
    }
  }

  // The CONNECT front reduced to what the tunnel needs: the target, the 200, the leftover. The
  // lease ends before the tunnel counts as done, so the next tunnel a test opens after waiting
  // for it lands on the same context.
  static asio::awaitable<void> handle(TestProxy* p, tcp::socket sock, WorkerContexts::Lease lease) {
    std::string data;
    auto [ec, n] = co_await asio::async_read_until(sock, asio::dynamic_buffer(data), "\r\n\r\n",
                                                   asio::as_tuple(asio::use_awaitable));
    if (ec) co_return;
    std::string head = data.substr(0, n);
    std::string leftover = data.substr(n);
    std::string authority = head.substr(8, head.find(' ', 8) - 8);
    std::string host;
    std::string port_text;
    if (authority.front() == '[') {
      host = authority.substr(1, authority.find(']') - 1);
      port_text = authority.substr(authority.find(']') + 2);
    } else {
      host = authority.substr(0, authority.rfind(':'));
      port_text = authority.substr(authority.rfind(':') + 1);
    }
    auto port = static_cast<std::uint16_t>(std::stoi(port_text));
    static constexpr std::string_view kOk = "HTTP/1.1 200 Connection Established\r\n\r\n";
    auto [wec, wn] = co_await asio::async_write(sock, asio::buffer(kOk), asio::as_tuple(asio::use_awaitable));
    if (wec) co_return;
    auto op = serve_tunnel(p->ctx_, std::move(sock), std::move(leftover), std::move(host), port);
    ProxyResult<void> r = co_await std::move(op);
    lease.release();
    std::lock_guard lock(p->mu_);
    if (!r) p->errors_.push_back(r.error().display());
    ++p->done_;
  }

  TempDir dir_;
  // Two worker contexts of one thread each, as serve runs them; each context's pooled upstream
  // connections close with it, whenever the client goes.
  Runtime rt_{2, 16};
  TunnelContext ctx_;
  tcp::acceptor acceptor_{rt_.worker_context(0)};
  std::uint16_t port_ = 0;
  std::mutex mu_;
  std::vector<std::string> errors_;
  std::size_t done_ = 0;
};

test::ProcessResult curl(const TestProxy& p, std::vector<std::string> args) {
  test::ProcessOptions o;
  o.args = {"-sS", "--proxy", fmt::format("http://127.0.0.1:{}", p.port()), "--cacert", p.ca_file()};
  o.args.insert(o.args.end(), args.begin(), args.end());
  o.env_unset = {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy", "NO_PROXY", "no_proxy"};
  o.timeout = 120s;
  return test::run_process("/usr/bin/curl", o);
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

class TunnelEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    echo_ = new EchoUpstream(pki().leaf);
    proxy_ = new TestProxy();
  }
  static void TearDownTestSuite() {
    delete proxy_;
    delete echo_;
  }
  std::string url(std::string_view path) const { return fmt::format("https://127.0.0.1:{}{}", echo_->port(), path); }
  std::optional<test::EchoRecord> last_request(std::string_view target_prefix) const {
    auto all = echo_->requests();
    for (auto it = all.rbegin(); it != all.rend(); ++it)
      if (it->target.rfind(target_prefix, 0) == 0) return *it;
    return std::nullopt;
  }

  static EchoUpstream* echo_;
  static TestProxy* proxy_;
  TempDir tmp_;
};
EchoUpstream* TunnelEndToEnd::echo_ = nullptr;
TestProxy* TunnelEndToEnd::proxy_ = nullptr;

TEST_F(TunnelEndToEnd, HopByHopProxyAuthorizationAndCookiesAreStripped) {
  auto r = curl(*proxy_, {"-D", "-", "-H", "Connection: X-Trace, close", "-H", "X-Trace: 1", "-H", "Keep-Alive: 5",
                          "-H", "TE: trailers", "-H", "Proxy-Authorization: Basic c2VjcmV0", "-H", "X-Kept: yes",
                          url("/echo?q=1#frag")});
  ASSERT_EQ(r.status, 0) << r.err;
  auto rec = last_request("/echo?q=1");
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->target, "/echo?q=1");
  for (auto name : {"connection", "x-trace", "keep-alive", "te", "proxy-authorization", "transfer-encoding"})
    EXPECT_FALSE(rec->has_header(name)) << name;
  EXPECT_EQ(rec->header("x-kept"), "yes");
  EXPECT_EQ(rec->header("host"), fmt::format("127.0.0.1:{}", echo_->port()));
  // The first head in the dump is the CONNECT reply.
  std::string rest = r.out.substr(r.out.find("\r\n\r\n") + 4);
  std::string head = lower(rest.substr(0, rest.find("\r\n\r\n")));
  EXPECT_NE(head.find("http/1.1 200 ok"), std::string::npos) << head;
  EXPECT_NE(head.find("x-upstream: echo"), std::string::npos);
  for (auto name : {"set-cookie", "keep-alive", "x-hop:", "transfer-encoding"})
    EXPECT_EQ(head.find(name), std::string::npos) << name;
}

TEST_F(TunnelEndToEnd, LargeBodiesStreamBothWays) {
  const std::size_t n = 20 * 1024 * 1024;
  const std::string data = test::download_pattern(n) + "tail";
  test::write_file(tmp_ / "up.bin", data);
  const std::string want = test::sha256_hex(data);
  struct Case {
    const char* name;
    std::vector<std::string> extra;
  };
  const std::vector<Case> uploads = {{"content-length", {}}, {"chunked", {"-H", "Transfer-Encoding: chunked"}}};
  for (const auto& c : uploads) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"--data-binary", "@" + (tmp_ / "up.bin").native(), "-o",
                                     (tmp_ / "back.bin").string()};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    args.push_back(url("/stream-echo"));
    auto r = curl(*proxy_, args);
    ASSERT_EQ(r.status, 0) << r.err;
    auto rec = last_request("/stream-echo");
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->body_size, data.size());
    EXPECT_EQ(rec->body_sha256, want);
    EXPECT_EQ(test::sha256_hex(test::read_file(tmp_ / "back.bin")), want);
  }
  const std::string want_down = test::sha256_hex(test::download_pattern(n));
  for (std::string q : {"", "&chunked=1"}) {
    SCOPED_TRACE(q);
    auto r = curl(*proxy_, {"-o", (tmp_ / "down.bin").string(), url(fmt::format("/download?n={}{}", n, q))});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::sha256_hex(test::read_file(tmp_ / "down.bin")), want_down);
  }
}

TEST_F(TunnelEndToEnd, LargeHeadPasses) {
  std::string big(64 * 1024, 'v');
  auto r = curl(*proxy_, {"-o", "/dev/null", "-w", "%{http_code}", "-H", "X-Big: " + big, url("/echo?big")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "200");
  auto rec = last_request("/echo?big");
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->header("x-big"), big);
}

TEST_F(TunnelEndToEnd, KeepAliveReusesTheTunnelAndTheUpstreamConnection) {
  auto before = proxy_->upstream().stats();
  auto r = curl(*proxy_, {"-o", "/dev/null", "-o", "/dev/null", "-o", "/dev/null", url("/echo?ka=1"), url("/echo?ka=2"),
                          url("/echo?ka=3")});
  ASSERT_EQ(r.status, 0) << r.err;
  auto r1 = last_request("/echo?ka=1");
  auto r3 = last_request("/echo?ka=3");
  ASSERT_TRUE(r1 && r3);
  EXPECT_EQ(r1->connection, r3->connection);
  auto after = proxy_->upstream().stats();
  EXPECT_GE(after.connections_reused - before.connections_reused, 2u);
}

TEST_F(TunnelEndToEnd, HeadKeepsContentLengthWithoutBody) {
  auto r = curl(*proxy_, {"-I", url("/download?n=1000")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(lower(r.out).find("content-length: 1000"), std::string::npos) << r.out;
  // The tunnel stays in step: a GET after the HEAD on the same connection works.
  auto r2 = curl(*proxy_,
                 {"-I", url("/download?n=10"), "--next", "--proxy", fmt::format("http://127.0.0.1:{}", proxy_->port()),
                  "--cacert", proxy_->ca_file(), url("/download?n=10")});
  ASSERT_EQ(r2.status, 0) << r2.err;
  EXPECT_NE(r2.out.find(test::download_pattern(10)), std::string::npos) << r2.out;
}

TEST_F(TunnelEndToEnd, ContinueIsAnsweredWhenTheBodyIsNeeded) {
  std::string data(300 * 1024, 'c');
  test::write_file(tmp_ / "c.bin", data);
  auto r = curl(*proxy_, {"-D", "-", "-o", "/dev/null", "-H", "Expect: 100-continue", "--expect100-timeout", "30",
                          "--data-binary", "@" + (tmp_ / "c.bin").native(), url("/echo?continue")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("HTTP/1.1 100 Continue"), std::string::npos) << r.out;
  auto rec = last_request("/echo?continue");
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->body_size, data.size());
}

TEST_F(TunnelEndToEnd, EarlyRefusalDuringUploadReachesTheAgent) {
  test::write_file(tmp_ / "big.bin", std::string(20 * 1024 * 1024, 'u'));
  auto r = curl(*proxy_, {"-o", "/dev/null", "-w", "%{http_code}", "-H", "Expect:", "--data-binary",
                          "@" + (tmp_ / "big.bin").native(), url("/early-413")});
  EXPECT_EQ(r.out, "413") << r.err;
}

std::size_t open_fds() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n - 1;  // the iterator's own
}

// Waits (bounded) until the pool holds n idle connections and the process has fds descriptors.
bool wait_idle(TestProxy& proxy, std::size_t n) {
  for (int i = 0; i < 1000; ++i) {
    if (proxy.upstream().stats().idle_connections == n) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

bool wait_pool(TestProxy& proxy, std::size_t n, std::size_t fds) {
  for (int i = 0; i < 1000; ++i) {
    if (proxy.upstream().stats().idle_connections == n && open_fds() == fds) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(TunnelUpstreamPool, ServerThatClosesIdleConnectionsIsDroppedWithoutNewTraffic) {
  EchoUpstream echo(pki().leaf, test::EchoOptions{300ms});
  TestProxy proxy;
  const std::string u = fmt::format("https://127.0.0.1:{}/echo", echo.port());
  const std::size_t fds = open_fds();
  auto r1 = curl(proxy, {"-o", "/dev/null", "-w", "%{http_code}", u});
  EXPECT_EQ(r1.out, "200") << r1.err;
  // Both ends of the connection are in this process: none left, not even in CLOSE_WAIT.
  EXPECT_TRUE(wait_pool(proxy, 0, fds)) << proxy.upstream().stats().idle_connections << " idle, " << open_fds()
                                        << " descriptors, " << fds << " at the start";
  auto r2 = curl(proxy, {"-o", "/dev/null", "-w", "%{http_code}", u});
  EXPECT_EQ(r2.out, "200") << r2.err;
  EXPECT_EQ(echo.connections(), 2u);
}

TEST(TunnelUpstreamPool, IdleConnectionsAreClosedAfterTheIdleTime) {
  EchoUpstream echo(pki().leaf);
  ProxyOptions o;
  // Long enough that a loaded machine sees the connection pooled before it expires.
  o.upstream.pool_idle_timeout = 2s;
  TestProxy proxy(o);
  const std::string u = fmt::format("https://127.0.0.1:{}/echo", echo.port());
  const std::size_t fds = open_fds();
  auto r1 = curl(proxy, {"-o", "/dev/null", "-w", "%{http_code}", u});
  EXPECT_EQ(r1.out, "200") << r1.err;
  // The connection goes back to the pool just after the agent has its response.
  EXPECT_TRUE(wait_idle(proxy, 1u)) << proxy.upstream().stats().idle_connections << " idle";
  EXPECT_TRUE(wait_pool(proxy, 0, fds)) << proxy.upstream().stats().idle_connections << " idle, " << open_fds()
                                        << " descriptors, " << fds << " at the start";
  EXPECT_EQ(echo.connections(), 1u);
}

TEST(TunnelUpstreamPool, KeysIgnoreTheCaseOfTheHostAndTheOldestIdleIsClosedFirst) {
  EchoUpstream one(pki().leaf);
  EchoUpstream two(pki().leaf);
  ProxyOptions o;
  o.upstream.pool_max_idle = 2;
  o.upstream.lookup = [](const std::string&) -> ResolveResult {
    return std::vector<asio::ip::address>{asio::ip::make_address("127.0.0.1")};
  };
  TestProxy proxy(o);
  struct Step {
    std::string url;
    std::size_t new_connections;  // opened by this request
  };
  const std::vector<Step> steps = {
      {fmt::format("https://localhost:{}/echo", one.port()), 1},
      {fmt::format("https://LocalHost:{}/echo", one.port()), 0},
      {fmt::format("https://127.0.0.1:{}/echo", one.port()), 1},
      {fmt::format("https://127.0.0.1:{}/echo", two.port()), 1},  // the pool is full: localhost goes
      {fmt::format("https://127.0.0.1:{}/echo", one.port()), 0},
      {fmt::format("https://LOCALHOST:{}/echo", one.port()), 1},
  };
  std::size_t done = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.url);
    const std::size_t before = proxy.upstream().stats().connections_opened;
    auto r = curl(proxy, {"-o", "/dev/null", "-w", "%{http_code}", step.url});
    EXPECT_EQ(r.out, "200") << r.err;
    EXPECT_EQ(proxy.upstream().stats().connections_opened - before, step.new_connections);
    EXPECT_LE(proxy.upstream().stats().idle_connections, 2u);
    // Ended before the next: the next tunnel then sits on the same context, with the same pool.
    ASSERT_TRUE(proxy.wait_tunnels(++done));
  }
}

// One GET read to its end on the calling context, so that its connection is pooled there.
asio::awaitable<unsigned> fetch_to_end(std::shared_ptr<UpstreamClient> client, std::uint16_t port) {
  ForwardRequest req;
  req.method = "GET";
  req.upstream_url = fmt::format("https://127.0.0.1:{}/download?n=1000", port);
  req.log_url = req.upstream_url;
  auto op = client->forward(std::move(req), "127.0.0.1", port);
  ProxyResponse resp = co_await std::move(op);
  std::vector<char> buf(4096);
  while (resp.body) {
    BodyResult n = co_await resp.body->read_some(buf.data(), buf.size());
    if (!n || *n == 0) break;
  }
  co_return resp.status;
}

// Runs fetch_to_end on ctx and waits for its status (0 when it threw or did not end in time).
unsigned fetch_on(asio::io_context& ctx, std::shared_ptr<UpstreamClient> client, std::uint16_t port) {
  auto status = std::make_shared<std::promise<unsigned>>();
  std::future<unsigned> got = status->get_future();
  asio::co_spawn(ctx, fetch_to_end(std::move(client), port),
                 [status](std::exception_ptr e, unsigned s) { status->set_value(e ? 0 : s); });
  return got.wait_for(60s) == std::future_status::ready ? got.get() : 0;
}

// Two clients on one context never share a connection, even to the same server: a connection
// verified under one client's roots and guard stays that client's.
TEST(TunnelUpstreamPool, ClientsOnOneContextDoNotShareConnections) {
  EchoUpstream echo(pki().leaf);
  Runtime rt(1, 4);
  auto first = build_upstream_client(rt.blocking(), true, pki().roots);
  auto second = build_upstream_client(rt.blocking(), true, pki().roots);
  ASSERT_TRUE(first && second);
  struct Step {
    std::shared_ptr<UpstreamClient> client;
    std::size_t opened;  // by that client, in total after the step
    std::size_t reused;
  };
  const std::vector<Step> steps = {{*first, 1, 0}, {*second, 1, 0}, {*first, 1, 1}, {*second, 1, 1}};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(fetch_on(rt.worker_context(0), steps[i].client, echo.port()), 200u);
    EXPECT_EQ(steps[i].client->stats().connections_opened, steps[i].opened);
    EXPECT_EQ(steps[i].client->stats().connections_reused, steps[i].reused);
  }
  EXPECT_EQ(echo.connections(), 2u);
}

// Idle connections sit on three contexts when the client's last reference goes: on the test's
// thread while the contexts run, or with a handler that one context drops as it is destroyed
// (the first, or the last, when the others are already gone). Each context closes its own; no
// descriptor is left and nothing is touched after its context is gone (the sanitizers' builds).
TEST(TunnelUpstreamPool, TeardownWithConnectionsPooledOnSeveralContexts) {
  EchoUpstream echo(pki().leaf);
  enum class LastReference { TestThreadWhileRunning, DroppedByFirstContext, DroppedByLastContext };
  for (LastReference last : {LastReference::TestThreadWhileRunning, LastReference::DroppedByFirstContext,
                             LastReference::DroppedByLastContext}) {
    SCOPED_TRACE(static_cast<int>(last));
    const std::size_t fds_before = open_fds();
    {
      Runtime rt(3, 4);
      auto built = build_upstream_client(rt.blocking(), true, pki().roots);
      ASSERT_TRUE(built) << built.error().display();
      std::shared_ptr<UpstreamClient> client = std::move(*built);
      const std::size_t fds_idle = open_fds();
      for (std::size_t i = 0; i < rt.worker_threads(); ++i)
        ASSERT_EQ(fetch_on(rt.worker_context(i), client, echo.port()), 200u);
      for (int i = 0; i < 1000 && client->stats().idle_connections != 3; ++i) std::this_thread::sleep_for(10ms);
      ASSERT_EQ(client->stats().idle_connections, 3u);
      EXPECT_EQ(client->stats().connections_opened, 3u);
      if (last == LastReference::TestThreadWhileRunning) {
        // Both ends of the connections are in this process: the runtime's own are left.
        client.reset();
        bool closed = false;
        for (int i = 0; i < 1000 && !closed; ++i) {
          closed = open_fds() == fds_idle;
          if (!closed) std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(closed) << open_fds() << " descriptors, " << fds_idle << " before the exchanges";
      } else {
        rt.shutdown();
        // The stopped context never runs the handler; it drops it, and the client with it.
        const std::size_t holder = last == LastReference::DroppedByFirstContext ? 0 : rt.worker_threads() - 1;
        asio::post(rt.worker_context(holder), [keep = std::move(client)] {});
      }
    }
    bool closed = false;
    for (int i = 0; i < 1000 && !closed; ++i) {
      closed = open_fds() == fds_before;
      if (!closed) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(closed) << open_fds() << " descriptors, " << fds_before << " before the runtime";
  }
}

TEST(TunnelDeadlines, SlowHeadStalledBodyAndIdleHeaderRead) {
  TempDir tmp;
  EchoUpstream echo(pki().leaf);
  ProxyOptions o;
  o.upstream.response_head_timeout = 300ms;
  o.upstream.body.idle = 300ms;
  TestProxy proxy(o);
  StderrCapture err;
  const std::string base = fmt::format("https://127.0.0.1:{}", echo.port());

  auto slow = curl(proxy, {"-D", "-", base + "/slow-head"});
  EXPECT_EQ(slow.status, 0) << slow.err;
  EXPECT_NE(slow.out.find("HTTP/1.1 504 Gateway Timeout"), std::string::npos) << slow.out;
  EXPECT_NE(slow.out.find("\r\n\r\nQB-5070: upstream timed out\n"), std::string::npos) << slow.out;

  auto stall = curl(proxy, {"-o", "/dev/null", base + "/stall-body"});
  EXPECT_EQ(stall.status, 18) << stall.err;  // CURLE_PARTIAL_FILE: the truncation shows
  ASSERT_TRUE(proxy.wait_tunnels(2));
  echo.release();
  err.restore();
  std::string log = err.text();
  EXPECT_NE(
      log.find(fmt::format("QB-5070: upstream https://127.0.0.1:{}/slow-head: response header timeout\n", echo.port())),
      std::string::npos)
      << log;
  auto errors = proxy.errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0],
            "QB-5071: serve tunnel: QB-5072: body made no progress within the idle timeout; tearing down the tunnel");
}

TEST(TunnelGuard, NameResolvingOnlyToBlockedAddressesGives502) {
  TempDir tmp;
  EchoUpstream echo(pki().leaf);
  ProxyOptions o;
  o.allow_private = false;
  TestProxy proxy(o);
  StderrCapture err;
  auto r = curl(proxy, {"-D", "-", fmt::format("https://localhost:{}/echo", echo.port())});
  err.restore();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("HTTP/1.1 502 Bad Gateway"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\r\n\r\nQB-5070: upstream connection failed\n"), std::string::npos) << r.out;
  EXPECT_NE(err.text().find(fmt::format("QB-5070: upstream https://localhost:{}/echo: QB-5070: localhost resolves "
                                        "only to blocked (private/link-local/IMDS) addresses\n",
                                        echo.port())),
            std::string::npos)
      << err.text();
  EXPECT_TRUE(echo.requests().empty());
}

TEST(TunnelUpstreamConnect, SecondAddressFamilyIsTriedWhenTheFirstFails) {
  EchoUpstream echo(pki().leaf);  // listens on 127.0.0.1 only
  ProxyOptions o;
  o.upstream.lookup = [](const std::string&) -> ResolveResult {
    return std::vector<asio::ip::address>{asio::ip::make_address("::1"), asio::ip::make_address("127.0.0.1")};
  };
  TestProxy proxy(o);
  auto r =
      curl(proxy, {"-o", "/dev/null", "-w", "%{http_code}", fmt::format("https://localhost:{}/echo", echo.port())});
  EXPECT_EQ(r.out, "200") << r.err;
  ASSERT_EQ(echo.requests().size(), 1u);
  EXPECT_EQ(echo.requests()[0].header("host"), fmt::format("localhost:{}", echo.port()));
}

// A loopback listener whose accept queue is full: a further connect gets no answer to its SYN.
class UnansweredPort {
 public:
  UnansweredPort() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("listener");
    port_ = ntohs(a.sin_port);
    // Never accepted: it fills the queue.
    filler_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("filler");
  }
  ~UnansweredPort() {
    ::close(filler_);
    ::close(listener_);
  }
  std::uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  std::uint16_t port_ = 0;
};

TEST(TunnelUpstreamConnect, ConnectWithoutAnswerEndsAtTheConnectLimitOrEarlierAtTheHeadDeadline) {
  struct Case {
    const char* name;
    std::chrono::milliseconds connect_timeout;
    std::chrono::milliseconds head_timeout;
    std::string status_line;
    std::string body;
    std::string log;
  };
  // The other limit is far beyond curl's own: a connect the deadline failed to end fails the case.
  const std::vector<Case> cases = {
      {"connect limit", 200ms, 1h, "HTTP/1.1 502 Bad Gateway", "QB-5070: upstream connection failed\n",
       "/x: tcp connect error: connection timed out\n"},
      {"head deadline", 1h, 300ms, "HTTP/1.1 504 Gateway Timeout", "QB-5070: upstream timed out\n",
       "/x: response header timeout\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UnansweredPort port;
    ProxyOptions o;
    o.upstream.connect_timeout = c.connect_timeout;
    o.upstream.response_head_timeout = c.head_timeout;
    TestProxy proxy(o);
    StderrCapture err;
    auto r = curl(proxy, {"-D", "-", fmt::format("https://127.0.0.1:{}/x", port.port())});
    err.restore();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\r\n\r\n" + c.status_line + "\r\n"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with("\r\n\r\n" + c.body)) << r.out;
    EXPECT_NE(err.text().find(c.log), std::string::npos) << err.text();
  }
}

TEST(TunnelUpstreamTls, ServerNotSignedByATrustedRootGives502) {
  TempDir tmp;
  EchoUpstream echo(pki().leaf);
  ProxyOptions o;
  o.roots = std::vector<DerCert>{test::make_test_ca("some other CA").der};
  TestProxy proxy(o);
  StderrCapture err;
  auto r = curl(proxy, {"-D", "-", fmt::format("https://127.0.0.1:{}/echo", echo.port())});
  err.restore();
  EXPECT_NE(r.out.find("\r\n\r\nQB-5070: upstream connection failed\n"), std::string::npos) << r.out;
  EXPECT_NE(err.text().find("certificate verify failed"), std::string::npos) << err.text();
  EXPECT_TRUE(echo.requests().empty());
}

TEST(TunnelUpstreamTls, HostNamesComeFromDnsSubjectAltNamesWithWholeLabelWildcards) {
  struct Case {
    std::string common_name;
    std::string alt_names;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"foo.example.com", "", false},
      {"foo.example.com", "DNS:f*.example.com", false},
      {"foo.example.com", "DNS:*oo.example.com", false},
      {"x", "DNS:*.example.com", true},
      {"x", "DNS:FOO.example.com", true},
  };
  ProxyOptions o;
  o.upstream.lookup = [](const std::string&) -> ResolveResult {
    return std::vector<asio::ip::address>{asio::ip::make_address("127.0.0.1")};
  };
  TestProxy proxy(o);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.alt_names);
    EchoUpstream echo(test::make_test_leaf(pki().ca, c.common_name, c.alt_names));
    auto r = curl(
        proxy, {"-o", "/dev/null", "-w", "%{http_code}", fmt::format("https://foo.example.com:{}/echo", echo.port())});
    EXPECT_EQ(r.out, c.accepted ? "200" : "502") << r.err;
    EXPECT_EQ(echo.requests().size(), c.accepted ? 1u : 0u);
  }
}

// ---------------------------------------------------------------------------------------------
// A raw TLS agent: sends the ClientHello in the same write as the CONNECT head, so the tunnel
// must take it from the bytes read after the head.

struct RawOptions {
  std::string connect_host = "127.0.0.1";
  std::uint16_t connect_port = 0;
  std::string sni = "other.example";
  std::vector<std::string> alpn;  // empty: no ALPN extension
  int max_version = TLS1_3_VERSION;
};

class RawAgent {
 public:
  RawAgent(const TestProxy& proxy, const RawOptions& o) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{20, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(proxy.port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect");
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(ctx_, o.max_version);
    SSL_CTX_load_verify_locations(ctx_, proxy.ca_file().c_str(), nullptr);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    ssl_ = SSL_new(ctx_);
    rbio_ = BIO_new(BIO_s_mem());
    wbio_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, rbio_, wbio_);
    SSL_set_connect_state(ssl_);
    if (!o.sni.empty()) SSL_set_tlsext_host_name(ssl_, o.sni.c_str());
    if (!o.alpn.empty()) {
      std::string wire;
      for (const auto& p : o.alpn) wire += static_cast<char>(p.size()) + p;
      SSL_set_alpn_protos(ssl_, reinterpret_cast<const unsigned char*>(wire.data()),
                          static_cast<unsigned>(wire.size()));
    }
    SSL_do_handshake(ssl_);
    std::string first =
        fmt::format("CONNECT {}:{} HTTP/1.1\r\nHost: x\r\n\r\n", o.connect_host, o.connect_port) + drain_wbio();
    send_all(first);
    std::string got;
    while (got.find("\r\n\r\n") == std::string::npos) {
      char buf[4096];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) throw std::runtime_error("no CONNECT reply");
      got.append(buf, static_cast<std::size_t>(n));
    }
    std::string rest = got.substr(got.find("\r\n\r\n") + 4);
    BIO_write(rbio_, rest.data(), static_cast<int>(rest.size()));
    while (true) {
      int r = SSL_do_handshake(ssl_);
      send_all(drain_wbio());
      if (r == 1) {
        handshake_ok_ = true;
        break;
      }
      if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ || !pull()) break;
    }
    ERR_clear_error();
  }
  ~RawAgent() {
    if (ssl_) SSL_free(ssl_);
    if (ctx_) SSL_CTX_free(ctx_);
    if (fd_ >= 0) ::close(fd_);
  }

  bool handshake_ok() const { return handshake_ok_; }
  std::string alpn() const {
    const unsigned char* p = nullptr;
    unsigned len = 0;
    SSL_get0_alpn_selected(ssl_, &p, &len);
    return std::string(reinterpret_cast<const char*>(p), len);
  }
  long verify_result() const { return SSL_get_verify_result(ssl_); }
  X509* peer() const { return SSL_get0_peer_certificate(ssl_); }
  std::string peer_der() const {
    unsigned char* out = nullptr;
    int n = i2d_X509(peer(), &out);
    std::string s(reinterpret_cast<char*>(out), static_cast<std::size_t>(n));
    OPENSSL_free(out);
    return s;
  }
  bool session_has_ticket() const {
    SSL_SESSION* s = SSL_get1_session(ssl_);
    bool has = s && SSL_SESSION_has_ticket(s);
    if (s) SSL_SESSION_free(s);
    return has;
  }

  void write(std::string_view text) {
    SSL_write(ssl_, text.data(), static_cast<int>(text.size()));
    send_all(drain_wbio());
  }
  // The plain text of the next TLS record that carries data: one SSL_read never spans two.
  std::string read_record() {
    while (true) {
      char buf[16384];
      int n = SSL_read(ssl_, buf, sizeof buf);
      if (n > 0) return std::string(buf, static_cast<std::size_t>(n));
      send_all(drain_wbio());
      if (SSL_get_error(ssl_, n) != SSL_ERROR_WANT_READ || !pull()) return {};
    }
  }
  // Reads until the text holds `until` or the connection ends; false at the end.
  bool read_until(std::string& out, std::string_view until) {
    while (out.find(until) == std::string::npos) {
      char buf[4096];
      int n = SSL_read(ssl_, buf, sizeof buf);
      if (n > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      send_all(drain_wbio());
      if (SSL_get_error(ssl_, n) != SSL_ERROR_WANT_READ || !pull()) return false;
    }
    return true;
  }

 private:
  std::string drain_wbio() {
    std::string out;
    char buf[4096];
    int n;
    while ((n = BIO_read(wbio_, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }
  void send_all(std::string_view data) {
    while (!data.empty()) {
      ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  bool pull() {
    char buf[16384];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    BIO_write(rbio_, buf, static_cast<int>(n));
    return true;
  }

  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* rbio_ = nullptr;
  BIO* wbio_ = nullptr;
  bool handshake_ok_ = false;
};

class TunnelTlsServer : public ::testing::Test {
 protected:
  // Waits until a tunnel error equal to `want` was recorded after the first `before` ones;
  // returns how many such errors there are.
  static std::size_t wait_error(std::size_t before, const std::string& want) {
    auto count = [&] {
      auto errors = proxy_->errors();
      return static_cast<std::size_t>(std::count(errors.begin() + static_cast<long>(before), errors.end(), want));
    };
    for (int i = 0; i < 500 && count() == 0; ++i) std::this_thread::sleep_for(10ms);
    return count();
  }
  static void SetUpTestSuite() {
    echo_ = new EchoUpstream(pki().leaf);
    ProxyOptions o;
    o.limits.header_read_timeout = 300ms;
    o.limits.handshake_deadline = 500ms;
    o.upstream.body.idle = 300ms;
    proxy_ = new TestProxy(o);
  }
  static void TearDownTestSuite() {
    delete proxy_;
    delete echo_;
  }
  RawOptions opts() const {
    RawOptions o;
    o.connect_port = echo_->port();
    return o;
  }
  static EchoUpstream* echo_;
  static TestProxy* proxy_;
};
EchoUpstream* TunnelTlsServer::echo_ = nullptr;
TestProxy* TunnelTlsServer::proxy_ = nullptr;

TEST_F(TunnelTlsServer, LeafIsForTheConnectHostWhateverTheSniAndIsCached) {
  RawAgent a(*proxy_, opts());
  ASSERT_TRUE(a.handshake_ok());
  EXPECT_EQ(a.verify_result(), X509_V_OK);
  EXPECT_EQ(X509_check_ip_asc(a.peer(), "127.0.0.1", 0), 1);
  EXPECT_NE(X509_check_host(a.peer(), "other.example", 0, 0, nullptr), 1);
  EXPECT_TRUE(proxy_->ca().leaf_cache().contains("127.0.0.1"));
  RawAgent b(*proxy_, opts());
  ASSERT_TRUE(b.handshake_ok());
  EXPECT_EQ(a.peer_der(), b.peer_der());
}

TEST_F(TunnelTlsServer, AlpnAndVersions) {
  struct Case {
    std::vector<std::string> alpn;
    int max_version;
    bool ok;
    std::string selected;
  };
  const std::vector<Case> cases = {
      {{}, TLS1_3_VERSION, true, ""},
      {{"http/1.1"}, TLS1_3_VERSION, true, "http/1.1"},
      {{"h2", "http/1.1"}, TLS1_3_VERSION, true, "http/1.1"},
      {{"h2"}, TLS1_3_VERSION, false, ""},
      {{}, TLS1_2_VERSION, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(fmt::format("alpn {} max {:x}", fmt::join(c.alpn, ","), c.max_version));
    RawOptions o = opts();
    o.alpn = c.alpn;
    o.max_version = c.max_version;
    std::size_t before = proxy_->errors().size();
    RawAgent a(*proxy_, o);
    EXPECT_EQ(a.handshake_ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(a.alpn(), c.selected);
    } else {
      auto found = [&] {
        auto errors = proxy_->errors();
        return std::any_of(errors.begin() + static_cast<long>(before), errors.end(),
                           [](const std::string& e) { return e.rfind("QB-5071: MITM handshake: ", 0) == 0; });
      };
      for (int i = 0; i < 500 && !found(); ++i) std::this_thread::sleep_for(10ms);
      EXPECT_TRUE(found());
    }
  }
}

TEST_F(TunnelTlsServer, NoSessionTicketAndRequestsServed) {
  RawAgent a(*proxy_, opts());
  ASSERT_TRUE(a.handshake_ok());
  a.write(fmt::format("GET /echo?raw HTTP/1.1\r\nHost: 127.0.0.1:{}\r\n\r\n", echo_->port()));
  std::string resp;
  ASSERT_TRUE(a.read_until(resp, "body-sha256: "));
  EXPECT_EQ(resp.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << resp;
  EXPECT_FALSE(a.session_has_ticket());
}

TEST_F(TunnelTlsServer, ResponseHeadLeavesInOneRecordWithTheBodyBytesThatCameWithIt) {
  // The upstream sends the head and 10 of 1000 body bytes at once, then stalls.
  RawAgent a(*proxy_, opts());
  ASSERT_TRUE(a.handshake_ok());
  a.write(fmt::format("GET /stall-body HTTP/1.1\r\nHost: 127.0.0.1:{}\r\n\r\n", echo_->port()));
  std::string first = a.read_record();
  EXPECT_EQ(first.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << first;
  EXPECT_TRUE(first.ends_with("\r\n\r\n0123456789")) << first;
}

TEST_F(TunnelTlsServer, HeaderReadTimeoutClosesIdleAndHalfSentHeads) {
  std::size_t before = proxy_->errors().size();
  {
    RawAgent idle(*proxy_, opts());
    ASSERT_TRUE(idle.handshake_ok());
    std::string out;
    EXPECT_FALSE(idle.read_until(out, "never"));  // closed by the proxy
  }
  {
    RawAgent half(*proxy_, opts());
    ASSERT_TRUE(half.handshake_ok());
    half.write("GET /echo HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    std::string out;
    EXPECT_FALSE(half.read_until(out, "never"));
  }
  // The idle tunnel ends quietly; the half-sent head is reported.
  EXPECT_EQ(wait_error(before, "QB-5071: serve tunnel: read header from client timeout"), 1u);
}

TEST_F(TunnelTlsServer, StalledRequestBodyFailsTheExchange) {
  TempDir tmp;
  RawAgent a(*proxy_, opts());
  ASSERT_TRUE(a.handshake_ok());
  StderrCapture err;
  a.write(fmt::format("POST /echo?stall HTTP/1.1\r\nHost: 127.0.0.1:{}\r\nContent-Length: 100\r\n\r\n0123456789",
                      echo_->port()));
  std::string resp;
  a.read_until(resp, "failed\n");
  err.restore();
  EXPECT_EQ(resp.rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u) << resp;
  EXPECT_NE(resp.find("\r\n\r\nQB-5070: upstream connection failed\n"), std::string::npos) << resp;
  EXPECT_NE(err.text().find(fmt::format("QB-5070: upstream https://127.0.0.1:{}/echo: QB-5072: body made no progress "
                                        "within the idle timeout; tearing down the tunnel\n",
                                        echo_->port())),
            std::string::npos)
      << err.text();
}

// An upstream that keeps the plain text of each connection's first record, then answers and closes;
// the connection is held so that body bytes still coming draw no reset.
class FirstRecordUpstream {
 public:
  FirstRecordUpstream() : server_(pki().leaf, {.max_workers = 0, .hold_finished = true}) {
    test::TlsTestHandlers h;
    h.serve = [this](int fd, std::size_t) { serve(fd); };
    server_.start(std::move(h));
  }
  ~FirstRecordUpstream() { server_.stop(); }
  std::uint16_t port() const { return server_.port(); }
  std::vector<std::string> records() {
    std::lock_guard lock(mu_);
    return records_;
  }

 private:
  void serve(int fd) {
    SSL* ssl = SSL_new(server_.tls_context());
    SSL_set_fd(ssl, fd);
    char buf[16384];
    int n = SSL_accept(ssl) == 1 ? SSL_read(ssl, buf, sizeof buf) : 0;
    if (n > 0) {
      {
        std::lock_guard lock(mu_);
        records_.emplace_back(buf, static_cast<std::size_t>(n));
      }
      const std::string reply = test::http_response(200, "OK", "", {"Connection: close"});
      SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ERR_clear_error();
  }

  test::TlsTestServer server_;
  std::mutex mu_;
  std::vector<std::string> records_;
};

TEST_F(TunnelTlsServer, RequestHeadLeavesInOneRecordWithTheBodyBytesAtHandUnlessTheAgentAwaitsA100) {
  FirstRecordUpstream up;
  struct Case {
    const char* name;
    std::string fields;
    std::string body;  // sent in one record with the head
    std::string after_head;
  };
  const std::vector<Case> cases = {
      {"length", "Content-Length: 5\r\n", "hello", "hello"},
      {"chunked", "Transfer-Encoding: chunked\r\n", "5\r\nhello\r\n0\r\n\r\n", "5\r\nhello\r\n"},
      {"100-continue", "Expect: 100-continue\r\nContent-Length: 5\r\n", "hello", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawOptions o = opts();
    o.connect_port = up.port();
    RawAgent a(*proxy_, o);
    ASSERT_TRUE(a.handshake_ok());
    const std::size_t before = up.records().size();
    a.write(fmt::format("POST /up HTTP/1.1\r\nHost: 127.0.0.1:{}\r\n{}\r\n{}", up.port(), c.fields, c.body));
    std::string resp;
    ASSERT_TRUE(a.read_until(resp, "HTTP/1.1 200 OK\r\n")) << resp;
    auto records = up.records();
    ASSERT_EQ(records.size(), before + 1);
    const std::string& first = records.back();
    EXPECT_EQ(first.rfind("POST /up HTTP/1.1\r\n", 0), 0u) << first;
    EXPECT_TRUE(first.ends_with("\r\n\r\n" + c.after_head)) << first;
  }
}

TEST_F(TunnelTlsServer, MalformedTargetGets400) {
  RawAgent a(*proxy_, opts());
  ASSERT_TRUE(a.handshake_ok());
  a.write("GET /a<b> HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  std::string resp;
  a.read_until(resp, "\r\n\r\n");
  EXPECT_EQ(resp.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << resp;
}

}  // namespace
}  // namespace qb

namespace qb {
namespace {

TEST_F(TunnelTlsServer, ClientThatNeverStartsTlsIsDropped) {
  std::size_t before = proxy_->errors().size();
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(proxy_->port());
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  std::string head = fmt::format("CONNECT 127.0.0.1:{} HTTP/1.1\r\n\r\n", echo_->port());
  ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  std::string got;
  char buf[512];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  EXPECT_EQ(got, "HTTP/1.1 200 Connection Established\r\n\r\n");
  EXPECT_EQ(wait_error(before, "QB-5071: MITM handshake timed out"), 1u);
}

// Two tunnels open at once sit on the two contexts. Each context reuses only its own idle
// connections, and the bound covers both: with room for one, the second context's connection is
// closed rather than pooled, and the first keeps its own.
TEST(TunnelUpstreamPool, EachContextHasItsOwnPoolAndTheBoundCoversThemAll) {
  EchoUpstream echo(pki().leaf);
  ProxyOptions o;
  o.upstream.pool_max_idle = 1;
  TestProxy proxy(o);
  RawOptions ro;
  ro.connect_port = echo.port();
  RawAgent first(proxy, ro);
  ASSERT_TRUE(first.handshake_ok());
  RawAgent second(proxy, ro);  // the first tunnel is live: this one goes to the other context
  ASSERT_TRUE(second.handshake_ok());
  const std::string request = fmt::format("GET /download?n=0 HTTP/1.1\r\nHost: 127.0.0.1:{}\r\n\r\n", echo.port());
  struct Step {
    RawAgent* agent;
    std::size_t opened;  // in total after the step
    std::size_t reused;
  };
  const std::vector<Step> steps = {
      {&first, 1, 0},
      {&second, 2, 0},  // nothing in its own pool; its connection is then closed: the pool is full
      {&second, 3, 0},
      {&first, 3, 1},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    steps[i].agent->write(request);
    std::string resp;
    ASSERT_TRUE(steps[i].agent->read_until(resp, "\r\n\r\n"));
    EXPECT_EQ(resp.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << resp;
    auto stats = proxy.upstream().stats();
    for (int wait = 0; wait < 500 && stats.idle_connections != 1; ++wait) {
      std::this_thread::sleep_for(10ms);
      stats = proxy.upstream().stats();
    }
    EXPECT_EQ(stats.idle_connections, 1u);
    EXPECT_EQ(stats.connections_opened, steps[i].opened);
    EXPECT_EQ(stats.connections_reused, steps[i].reused);
  }
  EXPECT_EQ(echo.connections(), 3u);
}

}  // namespace
}  // namespace qb

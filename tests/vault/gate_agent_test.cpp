#include "vault/gate_agent.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/bounded_thread.h"
#include "support/https_test_server.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "tls/trust_roots.h"

namespace qb {
namespace {

constexpr std::size_t kCap = 1'048'576;

std::string gzip(std::string_view data) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

// A loopback HTTP CONNECT proxy that relays to 127.0.0.1 ports only and counts the tunnels it carried.
class ConnectProxy {
 public:
  ConnectProxy() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 16) != 0 || ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("proxy listen");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = test::BoundedThread([this] { accept_loop(); });
  }
  ~ConnectProxy() {
    {
      std::lock_guard lock(mu_);
      stopping_ = true;
      ::shutdown(listen_fd_, SHUT_RDWR);
      for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }
    acceptor_.join_or_abort(test::kTeardownLimit, "the CONNECT proxy's accept thread");
    for (auto& t : workers_) t.join_or_abort(test::kTeardownLimit, "a CONNECT proxy worker");
    for (int fd : fds_) ::close(fd);
    ::close(listen_fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::size_t tunnels() const {
    std::lock_guard lock(mu_);
    return tunnels_;
  }

 private:
  void accept_loop() {
    while (true) {
      int fd = ::accept(listen_fd_, nullptr, nullptr);
      std::lock_guard lock(mu_);
      if (stopping_) {
        if (fd >= 0) ::close(fd);
        return;
      }
      if (fd < 0) continue;
      fds_.push_back(fd);
      workers_.emplace_back([this, fd] { relay(fd); });
    }
  }

  void relay(int client) {
    std::string head;
    char buf[16384];
    while (head.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(client, buf, sizeof buf, 0);
      if (n <= 0) return;
      head.append(buf, static_cast<std::size_t>(n));
    }
    constexpr std::string_view prefix = "CONNECT 127.0.0.1:";
    if (!head.starts_with(prefix)) return;
    int port = std::atoi(head.c_str() + prefix.size());
    int upstream = ::socket(AF_INET, SOCK_STREAM, 0);
    {
      std::lock_guard lock(mu_);
      if (stopping_) {
        ::close(upstream);
        return;
      }
      fds_.push_back(upstream);
      ++tunnels_;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(upstream, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return;
    const std::string_view ok = "HTTP/1.1 200 Connection established\r\n\r\n";
    if (::send(client, ok.data(), ok.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ok.size())) return;
    pollfd pfds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
    while (::poll(pfds, 2, -1) > 0) {
      for (int i = 0; i < 2; ++i) {
        if (!(pfds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = ::recv(pfds[i].fd, buf, sizeof buf, 0);
        if (n <= 0 || ::send(pfds[1 - i].fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
          ::shutdown(client, SHUT_RDWR);
          ::shutdown(upstream, SHUT_RDWR);
          return;
        }
      }
    }
  }

  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  test::BoundedThread acceptor_;
  mutable std::mutex mu_;
  std::vector<int> fds_;
  std::vector<test::BoundedThread> workers_;
  std::size_t tunnels_ = 0;
  bool stopping_ = false;
};

class GateAgentTls : public ::testing::Test {
 protected:
  GateAgentSettings settings_for(const test::TestCert& root) {
    GateAgentSettings s;
    s.roots = {root.der};
    return s;
  }

  test::TestCert ca = test::make_test_ca("Gate Test CA");
  test::TestCert leaf = test::make_test_leaf(ca);
};

TEST_F(GateAgentTls, PostsTheBodyAndHandsBackA2xxResponse) {
  test::HttpsTestServer server(leaf, {test::http_response(200, "OK", "c2Vjb25k")});
  GateAgent agent(settings_for(ca));
  std::string body(200'000, 'Q');  // large enough that curl would otherwise ask for 100-continue
  auto r = agent.post(server.url(), "text/plain", body, kCap);
  ASSERT_TRUE(r) << r.error().text;
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "c2Vjb25k");

  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  const std::string& req = seen[0];
  EXPECT_TRUE(req.starts_with("POST /gate HTTP/1.1\r\n")) << req.substr(0, 80);
  EXPECT_NE(req.find("\r\nContent-Type: text/plain\r\n"), std::string::npos);
  EXPECT_EQ(req.find("Expect:"), std::string::npos);
  EXPECT_NE(req.find("\r\nAccept-Encoding: gzip\r\n"), std::string::npos);
  EXPECT_TRUE(req.ends_with("\r\n\r\n" + body));

  // A second call reuses the pooled connection.
  server.set_reply({test::http_response(204, "No Content", "")});
  auto again = agent.post(server.url(), std::nullopt, "x", kCap);
  ASSERT_TRUE(again) << again.error().text;
  EXPECT_EQ(again->status, 204);
  EXPECT_EQ(again->body, "");
  EXPECT_EQ(server.connections(), 1u);
  seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].find("Content-Type"), std::string::npos) << "no type given, none sent";
}

TEST_F(GateAgentTls, NonSuccessStatusesAreResponsesAndRedirectsAreNotFollowed) {
  test::HttpsTestServer server(leaf, {});
  GateAgent agent(settings_for(ca));
  struct Case {
    int status;
    std::string reply;
  };
  std::string big(kCap + 10, 'z');  // the body of a refused status is never read, so never over the cap
  const Case cases[] = {
      {302, test::http_response(302, "Found", "", {"Location: " + server.url("/elsewhere")})},
      {300, test::http_response(300, "Multiple Choices", "pick")},
      {404, test::http_response(404, "Not Found", "none")},
      {503, test::http_response(503, "Service Unavailable", big)},
      {502, test::http_response(502, "Bad Gateway", "", {"Connection: close"})},
  };
  std::size_t sent = 0;
  for (const auto& c : cases) {
    server.set_reply({c.reply});
    auto r = agent.post(server.url(), "text/plain", "msg1", kCap);
    ++sent;
    ASSERT_TRUE(r) << c.status << ": " << r.error().text;
    EXPECT_EQ(r->status, c.status);
    EXPECT_EQ(r->body, "");
    EXPECT_EQ(server.requests().size(), sent) << "only the one request reached the server";
  }
}

TEST_F(GateAgentTls, ManyThreadsShareOneAgent) {
  test::HttpsTestServer server(leaf, {test::http_response(200, "OK", "shared")});
  GateAgent agent(settings_for(ca));
  std::mutex mu;
  std::vector<std::string> failures;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 4; ++i) {
        auto r = agent.post(server.url(), "text/plain", "m", kCap);
        std::lock_guard lock(mu);
        if (!r) {
          failures.push_back(r.error().text);
        } else if (r->body != "shared") {
          failures.push_back(r->body);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(failures.empty()) << failures.front();
  EXPECT_EQ(server.requests().size(), 24u);
}

TEST_F(GateAgentTls, UntrustedCertificateIsRefusedBeforeTheHead) {
  test::HttpsTestServer server(leaf, {test::http_response(200, "OK", "never")});
  auto other = test::make_test_ca("Some Other CA");
  // The environment's CA file must not widen the agent's trust either.
  auto dir = test::TempDir();
  test::write_file(dir / "ca.pem", ca.cert_pem);
  test::ScopedEnv env;
  env.set("SSL_CERT_FILE", (dir / "ca.pem").string()).set("CURL_CA_BUNDLE", (dir / "ca.pem").string());
  for (auto roots : {std::vector<DerCert>{other.der}, std::vector<DerCert>{}}) {
    GateAgentSettings s;
    s.roots = roots;
    GateAgent agent(s);
    auto r = agent.post(server.url(), "text/plain", "msg1", kCap);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().phase, GatePhase::BeforeHead);
    EXPECT_NE(r.error().text.find("certificate"), std::string::npos) << r.error().text;
  }
  EXPECT_TRUE(server.requests().empty());
}

// The gate's name must be a subjectAltName of its certificate, whole labels only: a certificate from a
// trusted root that names the gate only in its common name, or through a partial wildcard, is refused
// before anything is sent.
TEST_F(GateAgentTls, CertificateMustNameTheGateInItsAltNames) {
  struct NameCase {
    const char* what;
    test::TestLeafSpec spec;
    const char* host;
    bool accepted;
  };
  const NameCase cases[] = {
      {"common name only", {.common_name = "127.0.0.1", .alt_names = ""}, "127.0.0.1", false},
      {"common name only, by name", {.common_name = "localhost", .alt_names = ""}, "localhost", false},
      {"common name right, alt name other",
       {.common_name = "127.0.0.1", .alt_names = "IP:127.0.0.2"},
       "127.0.0.1",
       false},
      {"partial wildcard", {.common_name = "x", .alt_names = "DNS:l*host"}, "localhost", false},
      {"alt name IP", {.common_name = "x", .alt_names = "IP:127.0.0.1"}, "127.0.0.1", true},
      {"alt name DNS", {.common_name = "x", .alt_names = "DNS:LocalHost"}, "localhost", true},
  };
  GateAgent agent(settings_for(ca));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::HttpsTestServer server(test::make_test_leaf(ca, c.spec), {test::http_response(200, "OK", "named")});
    const std::string url = "https://" + std::string(c.host) + ":" + std::to_string(server.port()) + "/gate";
    for (int round = 0; round < 2; ++round) {  // a refused connection is not pooled and then taken as good
      auto r = agent.post(url, "text/plain", "msg1", kCap);
      if (c.accepted) {
        ASSERT_TRUE(r) << r.error().text;
        EXPECT_EQ(r->body, "named");
      } else {
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().phase, GatePhase::BeforeHead);
        EXPECT_NE(r.error().text.find("certificate"), std::string::npos) << r.error().text;
      }
    }
    EXPECT_EQ(server.requests().size(), c.accepted ? 2u : 0u);
  }
}

// TLS 1.2 only with ECDHE key exchange and an AEAD cipher.
TEST_F(GateAgentTls, Tls12SuitesAreEcdheWithAead) {
  const auto rsa_leaf = test::make_test_leaf(ca, test::TestLeafSpec{.rsa = true});
  struct SuiteCase {
    const char* suite;
    bool rsa;
    bool accepted;
  };
  const SuiteCase cases[] = {
      {"AES128-SHA", true, false},
      {"AES256-GCM-SHA384", true, false},
      {"DHE-RSA-AES128-GCM-SHA256", true, false},
      {"ECDHE-RSA-AES128-SHA", true, false},
      {"ECDHE-ECDSA-AES128-SHA256", false, false},
      {"ECDHE-ECDSA-AES128-GCM-SHA256", false, true},
      {"ECDHE-ECDSA-AES256-GCM-SHA384", false, true},
      {"ECDHE-ECDSA-CHACHA20-POLY1305", false, true},
      {"ECDHE-RSA-AES128-GCM-SHA256", true, true},
      {"ECDHE-RSA-CHACHA20-POLY1305", true, true},
  };
  GateAgent agent(settings_for(ca));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.suite);
    test::HttpsTestServer server(c.rsa ? rsa_leaf : leaf, {test::http_response(200, "OK", "suite")},
                                 test::HttpsTestTls{.tls12_ciphers = c.suite});
    auto r = agent.post(server.url(), "text/plain", "msg1", kCap);
    if (c.accepted) {
      ASSERT_TRUE(r) << r.error().text;
      EXPECT_EQ(r->body, "suite");
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().phase, GatePhase::BeforeHead);
      EXPECT_TRUE(server.requests().empty());
    }
  }
}

TEST_F(GateAgentTls, ConnectionRefusedIsAFailureBeforeTheHead) {
  GateAgent agent(settings_for(ca));
  auto port = test::closed_loopback_port();
  auto r = agent.post("https://127.0.0.1:" + std::to_string(port) + "/gate", "text/plain", "msg1", kCap);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().phase, GatePhase::BeforeHead);
  EXPECT_NE(r.error().text.find("127.0.0.1 port " + std::to_string(port)), std::string::npos) << r.error().text;
}

TEST_F(GateAgentTls, BodyCapIsExactAndAFailureAfterTheHead) {
  test::HttpsTestServer server(leaf, {test::http_response(200, "OK", std::string(kCap, 'a'))});
  GateAgent agent(settings_for(ca));
  auto at_cap = agent.post(server.url(), "text/plain", "m", kCap);
  ASSERT_TRUE(at_cap) << at_cap.error().text;
  EXPECT_EQ(at_cap->body.size(), kCap);

  server.set_reply({test::http_response(200, "OK", std::string(kCap + 1, 'a'))});
  auto over = agent.post(server.url(), "text/plain", "m", kCap);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().phase, GatePhase::Body);
  EXPECT_EQ(over.error().text, "response body longer than 1048576 bytes");
}

// The cap holds for the body as decoded: a small gzip body that unpacks past it fails like a long one.
TEST_F(GateAgentTls, GzipBodiesAreDecodedAndCappedDecoded) {
  const std::string text = "eyJvayI6dHJ1ZX0=\n";
  test::HttpsTestServer server(leaf, {test::http_response(200, "OK", gzip(text), {"Content-Encoding: gzip"})});
  GateAgent agent(settings_for(ca));
  auto small = agent.post(server.url(), "text/plain", "m", kCap);
  ASSERT_TRUE(small) << small.error().text;
  EXPECT_EQ(small->body, text);

  server.set_reply({test::http_response(200, "OK", gzip(std::string(kCap, 'a')), {"Content-Encoding: gzip"})});
  auto at_cap = agent.post(server.url(), "text/plain", "m", kCap);
  ASSERT_TRUE(at_cap) << at_cap.error().text;
  EXPECT_EQ(at_cap->body.size(), kCap);
  EXPECT_EQ(at_cap->body.find_first_not_of('a'), std::string::npos);

  const std::string bomb = gzip(std::string(kCap + 1, 'a'));
  ASSERT_LT(bomb.size(), 16'384u);
  server.set_reply({test::http_response(200, "OK", bomb, {"Content-Encoding: gzip"})});
  auto over = agent.post(server.url(), "text/plain", "m", kCap);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().phase, GatePhase::Body);
  EXPECT_EQ(over.error().text, "response body longer than 1048576 bytes");
}

TEST_F(GateAgentTls, OversizedHeadIsRefusedBeforeTheHead) {
  test::HttpsTestServer server(leaf, {test::http_response(200, "OK", "x", {"X-Filler: " + std::string(70'000, 'f')})});
  GateAgent agent(settings_for(ca));
  auto r = agent.post(server.url(), "text/plain", "m", kCap);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().phase, GatePhase::BeforeHead);
  EXPECT_EQ(r.error().text, "response head longer than 65536 bytes");
}

TEST_F(GateAgentTls, TimeLimitFailsTheCallInEitherPhase) {
  std::string reply = test::http_response(200, "OK", "0123456789");
  test::HttpsTestServer server(leaf, {reply, 0});
  auto s = settings_for(ca);
  s.call_timeout = std::chrono::milliseconds(300);
  GateAgent agent(s);
  auto silent = agent.post(server.url(), "text/plain", "m", kCap);
  ASSERT_FALSE(silent);
  EXPECT_EQ(silent.error().phase, GatePhase::BeforeHead) << silent.error().text;

  // The head arrives, the body never ends.
  server.set_reply({reply, reply.size() - 4});
  auto cut = agent.post(server.url(), "text/plain", "m", kCap);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().phase, GatePhase::Body) << cut.error().text;
}

TEST_F(GateAgentTls, ProxyCarriesTheCallsUnlessNoProxyNamesTheHost) {
  test::HttpsTestServer server(leaf, {test::http_response(200, "OK", "via")});
  ConnectProxy proxy;
  auto s = settings_for(ca);
  s.proxy = gate_proxy_from_env([&](const char* name) -> std::optional<std::string> {
    if (std::string_view(name) == "HTTPS_PROXY") return proxy.url();
    return std::nullopt;
  });
  {
    GateAgent agent(s);
    for (int i = 0; i < 2; ++i) {
      auto r = agent.post(server.url(), "text/plain", "m", kCap);
      ASSERT_TRUE(r) << r.error().text;
      EXPECT_EQ(r->body, "via");
    }
    EXPECT_EQ(proxy.tunnels(), 1u) << "the tunnel is a pooled connection";
  }
  s.proxy.no_proxy = "localhost,127.0.0.1";
  GateAgent direct(s);
  auto r = direct.post(server.url(), "text/plain", "m", kCap);
  ASSERT_TRUE(r) << r.error().text;
  EXPECT_EQ(proxy.tunnels(), 1u);
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST(GateProxy, EnvironmentOrderOfPreference) {
  using Env = std::map<std::string, std::string>;
  struct Case {
    Env env;
    std::string proxy;
    std::string no_proxy;
  };
  const Case cases[] = {
      {{}, "", ""},
      {{{"http_proxy", "http://h:1"}}, "http://h:1", ""},
      {{{"HTTP_PROXY", "http://H:1"}, {"http_proxy", "http://h:1"}}, "http://H:1", ""},
      {{{"https_proxy", "http://s:2"}, {"HTTP_PROXY", "http://H:1"}}, "http://s:2", ""},
      {{{"HTTPS_PROXY", "http://S:2"}, {"https_proxy", "http://s:2"}}, "http://S:2", ""},
      {{{"all_proxy", "socks5://a:3"}, {"HTTPS_PROXY", "http://S:2"}}, "socks5://a:3", ""},
      {{{"ALL_PROXY", "http://A:3"}, {"all_proxy", "socks5://a:3"}, {"NO_PROXY", "gate.example"}},
       "http://A:3",
       "gate.example"},
      {{{"ALL_PROXY", ""}, {"https_proxy", "http://s:2"}, {"no_proxy", "x,y"}}, "http://s:2", "x,y"},
      {{{"NO_PROXY", ""}, {"no_proxy", "x"}}, "", ""},
  };
  for (const auto& c : cases) {
    auto got = gate_proxy_from_env([&](const char* name) -> std::optional<std::string> {
      auto it = c.env.find(name);
      if (it == c.env.end()) return std::nullopt;
      return it->second;
    });
    EXPECT_EQ(got.proxy, c.proxy);
    EXPECT_EQ(got.no_proxy, c.no_proxy);
  }
}

// The shared agent reads its settings once per process; ctest runs each test in a process of its own.
TEST(GateAgentShared, TrustsTheEnvironmentsCertFile) {
  auto ca = test::make_test_ca("Shared Agent CA");
  auto leaf = test::make_test_leaf(ca);
  test::HttpsTestServer server(leaf, {test::http_response(200, "OK", "shared")});
  test::TempDir dir;
  test::write_file(dir / "ca.pem", ca.cert_pem);
  test::ScopedEnv env;
  env.set("SSL_CERT_FILE", (dir / "ca.pem").string())
      .unset({"SSL_CERT_DIR", "ALL_PROXY", "all_proxy", "HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy"});
  const GateAgent& agent = gate_agent();
  EXPECT_EQ(&agent, &gate_agent());
  auto r = agent.post(server.url(), "text/plain", "m", kCap);
  ASSERT_TRUE(r) << r.error().text;
  EXPECT_EQ(r->body, "shared");
  EXPECT_EQ(gate_roots().front(), ca.der);
}

}  // namespace
}  // namespace qb

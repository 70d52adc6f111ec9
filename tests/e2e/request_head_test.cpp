// Request heads as an agent may write them, through the real binary to the echo upstream: the cap
// on header fields, and the framing of a request body toward the upstream.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/text.h"
#include "crypto/codecs.h"
#include "e2e/agents_env.h"
#include "support/temp_dir.h"

namespace qb::e2e {
namespace {

using nlohmann::json;

struct Reply {
  int status = 0;  // 0: no complete head arrived
  std::string head;
  std::string body;
};

// One tunnel through the proxy to the echo upstream, spoken byte for byte. Every read and write
// gives up after 20 s, so a proxy that never answers fails the test instead of hanging it.
class RawTunnel {
 public:
  RawTunnel(SystemUnderTest& sys) {
    const std::string up = sys.upstream().substr(std::string("https://").size());
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{20, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(sys.proxy_port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    std::string token = test::read_file(sys.install_dir() / "proxy-auth");
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
    const std::string connect =
        fmt::format("CONNECT {0} HTTP/1.1\r\nHost: {0}\r\nProxy-Authorization: Basic {1}\r\n\r\n", up,
                    encode_base64("quorbelt:" + token));
    if (::send(fd_, connect.data(), connect.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(connect.size())) return;
    // Byte by byte: nothing of the TLS stream may be read here.
    std::string reply;
    char c;
    while (reply.find("\r\n\r\n") == std::string::npos && ::recv(fd_, &c, 1, 0) == 1) reply += c;
    if (reply.rfind("HTTP/1.1 200", 0) != 0) return;
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(ctx_, sys.proxy_ca().c_str(), nullptr);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    up_ = SSL_connect(ssl_) == 1;
    ERR_clear_error();
  }
  ~RawTunnel() {
    if (ssl_) SSL_free(ssl_);
    if (ctx_) SSL_CTX_free(ctx_);
    if (fd_ >= 0) ::close(fd_);
  }
  RawTunnel(const RawTunnel&) = delete;
  RawTunnel& operator=(const RawTunnel&) = delete;

  bool up() const { return up_; }

  // Sends the bytes and reads one response: its head, then a Content-Length body.
  Reply exchange(std::string_view request) {
    Reply r;
    if (SSL_write(ssl_, request.data(), static_cast<int>(request.size())) <= 0) return r;
    std::string got;
    std::size_t end = std::string::npos;
    while ((end = got.find("\r\n\r\n")) == std::string::npos && pull(got)) {
    }
    if (end == std::string::npos) return r;
    r.head = got.substr(0, end + 2);
    got.erase(0, end + 4);
    std::size_t length = 0;
    for (std::string_view name : {"Content-Length: ", "content-length: "}) {
      if (auto at = r.head.find(name); at != std::string::npos) length = std::stoul(r.head.substr(at + name.size()));
    }
    while (got.size() < length && pull(got)) {
    }
    r.body = got;
    r.status = std::stoi(r.head.substr(9, 3));
    return r;
  }

 private:
  bool pull(std::string& out) {
    char buf[16384];
    int n = SSL_read(ssl_, buf, sizeof buf);
    if (n <= 0) return false;
    out.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool up_ = false;
};

// The values of one header, any case of the name, in the order the upstream received them.
std::vector<std::string> values_of(const json& echo, std::string_view name) {
  std::vector<std::string> out;
  for (const auto& h : echo["headers"]) {
    if (ascii_lower(h[0].get<std::string>()) == name) out.push_back(h[1].get<std::string>());
  }
  return out;
}

class RequestHead : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sys_ = new SystemUnderTest();
    std::string err = sys_->enrol();
    if (err.empty()) err = sys_->serve();
    start_error_ = new std::string(err);
  }
  static void TearDownTestSuite() {
    delete sys_;
    delete start_error_;
  }
  void SetUp() override { ASSERT_EQ(*start_error_, ""); }

  std::string host() const { return sys_->upstream().substr(std::string("https://").size()); }
  // How many requests with this target reached the upstream.
  std::size_t arrived(std::string_view target) const {
    std::size_t n = 0;
    const std::string log = sys_->upstream_log();
    const std::string line = fmt::format(" {}\n", target);
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
    return n;
  }

  static SystemUnderTest* sys_;
  static std::string* start_error_;
};
SystemUnderTest* RequestHead::sys_ = nullptr;
std::string* RequestHead::start_error_ = nullptr;

TEST_F(RequestHead, HundredFieldsAreForwardedAndOneMoreIsAnswered431) {
  for (int fields : {100, 101}) {
    SCOPED_TRACE(fields);
    const std::string target = fmt::format("/fields-{}", fields);
    std::string request = fmt::format("GET {} HTTP/1.1\r\nHost: {}\r\n", target, host());
    for (int i = 1; i < fields; ++i) request += fmt::format("X-Field-{}: {}\r\n", i, i);
    request += "\r\n";
    RawTunnel t(*sys_);
    ASSERT_TRUE(t.up());
    const Reply r = t.exchange(request);
    if (fields == 100) {
      ASSERT_EQ(r.status, 200) << r.head << r.body;
      const json echo = json::parse(r.body);
      for (int i = 1; i < fields; ++i)
        EXPECT_EQ(values_of(echo, fmt::format("x-field-{}", i)), std::vector<std::string>{std::to_string(i)});
    } else {
      EXPECT_EQ(r.head.rfind("HTTP/1.1 431 Request Header Fields Too Large\r\n", 0), 0u) << r.head;
      EXPECT_EQ(arrived(target), 0u);
    }
  }
  // The line comes once the tunnel has ended, just after the answer.
  const std::string line = "QB-5071: serve tunnel: too many header fields\n";
  for (int i = 0; i < 1000 && sys_->serve_err().find(line) == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(sys_->serve_err().find(line), std::string::npos) << sys_->serve_err();
}

TEST_F(RequestHead, BodyFramingTowardTheUpstream) {
  struct Case {
    const char* name;
    const char* version;
    std::string framing;  // header lines, each ending in CRLF
    std::string body;
    int status;                                    // what the agent gets
    std::vector<std::string> content_length = {};  // as the upstream received it
  };
  const std::vector<Case> cases = {
      {"two equal lines", "1.1", "Content-Length: 5\r\nContent-Length: 5\r\n", "hello", 200, {"5"}},
      {"one list", "1.1", "Content-Length: 5, 5\r\n", "hello", 200, {"5"}},
      {"differing lengths", "1.1", "Content-Length: 5\r\nContent-Length: 6\r\n", "hello", 400},
      {"coding not chunked", "1.1", "Transfer-Encoding: gzip\r\n", "hello", 400},
      {"chunked not last", "1.1", "Transfer-Encoding: chunked, gzip\r\n", "5\r\nhello\r\n0\r\n\r\n", 400},
      {"HTTP/1.0 with a length", "1.0", "Content-Length: 5\r\n", "hello", 200, {"5"}},
      {"HTTP/1.0 chunked", "1.0", "Transfer-Encoding: chunked\r\n", "5\r\nhello\r\n0\r\n\r\n", 400},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string target = fmt::format("/framing-{}", i);
    RawTunnel t(*sys_);
    ASSERT_TRUE(t.up());
    const Reply r = t.exchange(
        fmt::format("POST {} HTTP/{}\r\nHost: {}\r\n{}\r\n{}", target, c.version, host(), c.framing, c.body));
    ASSERT_EQ(r.status, c.status) << r.head << r.body;
    if (c.status != 200) {
      EXPECT_EQ(arrived(target), 0u);
      continue;
    }
    const json echo = json::parse(r.body);
    EXPECT_EQ(values_of(echo, "content-length"), c.content_length);
    EXPECT_EQ(values_of(echo, "transfer-encoding"), std::vector<std::string>{});
    EXPECT_EQ(echo["body"], "hello");
  }
}

}  // namespace
}  // namespace qb::e2e

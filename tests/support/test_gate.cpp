#include "support/test_gate.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <fmt/format.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include "core/bytes.h"
#include "core/owner_file.h"
#include "crypto/codecs.h"
#include "crypto/noise_responder.h"
#include "crypto/primitives.h"
#include "support/tls_test_server.h"
#include "vault/gate_call.h"

namespace qb::test {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// Written out bit by bit rather than taken from the program, so that the two readings of the
// token's check meet only in the standard.
std::uint32_t crc32_bitwise(std::string_view data) {
  std::uint32_t crc = 0xffffffffu;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

bool is_b64url(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

std::optional<std::vector<std::uint8_t>> b64url_decode(std::string_view text) {
  if (!std::all_of(text.begin(), text.end(), is_b64url)) return std::nullopt;
  auto r = decode_enrolment_token(text);
  if (!r) return std::nullopt;
  return std::vector<std::uint8_t>(r->begin(), r->end());
}

std::uint64_t be64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

struct Served {
  http::status status;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::chrono::milliseconds delay{0};
};

}  // namespace

GateAnswer answer_result(std::string_view result_json) {
  GateAnswer a;
  a.reply_json = fmt::format(R"({{"ok":true,"result":{}}})", result_json);
  return a;
}

GateAnswer answer_error(std::string_view code, std::string_view message) {
  GateAnswer a;
  a.reply_json =
      nlohmann::json{{"ok", false}, {"error", {{"code", std::string(code)}, {"message", std::string(message)}}}}.dump();
  return a;
}

TokenCheck open_wire_token(std::string_view text) {
  TokenCheck out;
  if (text.size() != 93) {
    out.error = fmt::format("token is {} characters", text.size());
    return out;
  }
  if (!text.starts_with("qbt_") || text[86] != '.') {
    out.error = "token layout";
    return out;
  }
  auto payload = b64url_decode(text.substr(4, 82));
  auto check = b64url_decode(text.substr(87));
  if (!payload || payload->size() != 61 || !check || check->size() != 4) {
    out.error = "token not base64url";
    return out;
  }
  const std::uint32_t crc = crc32_bitwise(text.substr(0, 86));
  const std::uint32_t got = (std::uint32_t{(*check)[0]} << 24) | (std::uint32_t{(*check)[1]} << 16) |
                            (std::uint32_t{(*check)[2]} << 8) | std::uint32_t{(*check)[3]};
  if (crc != got) {
    out.error = "token CRC";
    return out;
  }
  if ((*payload)[0] != 0x02) {
    out.error = "token format byte";
    return out;
  }
  OpenedToken t;
  t.vault_id = be64(payload->data() + 1);
  const auto ikm = std::span(payload->data() + 1, 8);
  const auto info = as_bytes(TOKEN_KEY_INFO);
  const SecretBytes key = hkdf_sha256(ikm, std::nullopt, info, 16);
  auto plain = aead_decrypt(key.span(), std::span(payload->data() + 9, 52));
  if (!plain || plain->size() != 24) {
    out.error = "token seal";
    return out;
  }
  std::copy(plain->begin(), plain->begin() + 8, t.l1.begin());
  std::copy(plain->begin() + 8, plain->end(), t.agent_id.begin());
  out.token = t;
  return out;
}

const TestCert& test_gate_ca() {
  static const TestCert ca = make_test_ca("Test Gate CA");
  return ca;
}

const GateAgent& test_gate_agent() {
  // Never freed, like the program's own: a blocking job may still be calling it at exit.
  static const GateAgent* agent = new GateAgent(GateAgentSettings{{test_gate_ca().der}, {}});
  return *agent;
}

void trust_test_gate_ca() {
  static std::once_flag once;
  std::call_once(once, [] {
    char path[] = "/tmp/qb-test-gate-ca-XXXXXX";
    UniqueFd fd(::mkstemp(path));
    if (!fd.valid()) throw std::runtime_error("mkstemp");
    const std::string& pem = test_gate_ca().cert_pem;
    const bool ok = ::write(fd.get(), pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
    fd.reset();
    if (!ok) throw std::runtime_error("writing the test gate CA");
    ::setenv("SSL_CERT_FILE", path, 1);
    ::unsetenv("SSL_CERT_DIR");
    for (const char* name : {"ALL_PROXY", "all_proxy", "HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy"}) {
      ::unsetenv(name);
    }
  });
}

// The leaf every test gate serves, from the process's test gate CA.
static const TestCert& test_gate_leaf() {
  static const TestCert leaf = make_test_leaf(test_gate_ca());
  return leaf;
}

struct TestGate::Impl {
  noise::ResponderKeys keys;
  // Connections are served by a bounded pool of threads: a thread per connection ran the process
  // out of threads in long runs.
  TlsTestServer server{test_gate_leaf(), {.max_workers = 64}};
  asio::io_context ioc;
  asio::ssl::context ctx{server.tls_context_reference()};

  mutable std::mutex mu;
  std::map<std::string, GateAnswer> answers;
  std::map<std::string, GateAnswer> search_answers;
  GateAnswer default_answer;
  bool close_on_accept = false;
  std::vector<GateSeen> seen;
  std::size_t responses = 0;
  std::size_t resumed = 0;
  std::condition_variable stop_cv;

  bool stopping() const { return server.stopping(); }

  bool admit() {
    std::lock_guard lock(mu);
    return !close_on_accept;
  }

  // A stopping gate is not held up by a long delay.
  void pause(std::chrono::milliseconds d) {
    std::unique_lock lock(mu);
    stop_cv.wait_for(lock, d, [&] { return stopping(); });
  }

  void serve(int fd) {
    beast::error_code ec;
    // The socket owns a duplicate; the server closes the descriptor itself.
    tcp::socket sock(ioc);
    UniqueFd copy(::dup(fd));
    sock.assign(tcp::v4(), copy.get(), ec);
    if (ec) return;
    copy.release();
    // A reply goes out as two TLS records (head, then body): with Nagle's algorithm the second
    // waits for the client's delayed acknowledgement of the first, up to 40 ms.
    sock.set_option(tcp::no_delay(true), ec);
    if (ec) return;
    asio::ssl::stream<tcp::socket> stream(std::move(sock), ctx);
    stream.handshake(asio::ssl::stream_base::server, ec);
    if (ec) return;
    if (SSL_session_reused(stream.native_handle()) == 1) {
      std::lock_guard lock(mu);
      ++resumed;
    }
    beast::flat_buffer buf;
    while (!stopping()) {
      http::request_parser<http::string_body> parser;
      parser.body_limit(16u << 20);
      http::read(stream, buf, parser, ec);
      if (ec) return;
      auto& req = parser.get();
      Served s = handle(req);
      pause(s.delay);
      if (stopping()) return;
      http::response<http::string_body> res{s.status, 11};
      for (auto& [name, value] : s.headers) res.set(name, value);
      res.body() = std::move(s.body);
      res.prepare_payload();
      res.keep_alive(req.keep_alive());
      http::write(stream, res, ec);
      if (ec) return;
      {
        std::lock_guard lock(mu);
        ++responses;
      }
      if (!res.keep_alive()) {
        stream.shutdown(ec);
        return;
      }
    }
  }

  Served handle(const http::request<http::string_body>& req) {
    GateSeen seen_now;
    seen_now.http_method = std::string(req.method_string());
    seen_now.target = std::string(req.target());
    seen_now.content_type = std::string(req[http::field::content_type]);
    auto record = [&](std::string error) {
      seen_now.error = std::move(error);
      std::lock_guard lock(mu);
      seen.push_back(seen_now);
    };
    auto refuse = [&](std::string error) {
      record(std::move(error));
      return Served{http::status::bad_request, {}, {}};
    };

    auto msg1 = decode_base64(req.body());
    if (!msg1) return refuse("request body not base64: " + msg1.error().display());
    auto opened = noise::read_msg1(keys, *msg1);
    if (!opened) return refuse("msg1: " + opened.error().debug());
    std::string_view payload = opened->payload.text();
    if (payload.empty() || static_cast<std::uint8_t>(payload[0]) != 0x10) return refuse("request payload header");
    seen_now.request_json = std::string(payload.substr(1));
    auto j = nlohmann::json::parse(seen_now.request_json, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return refuse("request not JSON");
    if (j.contains("action") && j["action"].is_string()) seen_now.action = j["action"].get<std::string>();
    if (j.contains("cred") && j["cred"].is_string()) seen_now.cred = j["cred"].get<std::string>();
    seen_now.token = open_wire_token(seen_now.cred);

    std::string query;
    if (seen_now.action == "search.query" && j.contains("content") && j["content"].is_object() &&
        j["content"].contains("q") && j["content"]["q"].is_string()) {
      query = j["content"]["q"].get<std::string>();
    }
    GateAnswer a;
    {
      std::lock_guard lock(mu);
      auto by_query = search_answers.find(query);
      auto it = answers.find(seen_now.action);
      if (seen_now.action == "search.query" && by_query != search_answers.end()) {
        a = by_query->second;
      } else {
        a = it != answers.end() ? it->second : default_answer;
      }
    }
    record({});

    Served s{static_cast<http::status>(a.status), a.headers, {}, a.delay};
    // Outside 2xx the client reads no body; a 204 carries none.
    if (a.status < 200 || a.status > 299 || a.status == 204) return s;

    std::string reply =
        a.raw_payload ? *a.raw_payload : std::string(1, static_cast<char>(a.header_byte)) + a.reply_json;
    auto msg2 = noise::write_msg2(std::move(opened->state), as_bytes(reply));
    if (!msg2) return Served{http::status::internal_server_error, {}, {}};
    switch (a.fault) {
      case GateFault::ShortMsg2:
        msg2->resize(80);
        break;
      case GateFault::ChangedTag:
        msg2->back() ^= 0x01;
        break;
      case GateFault::OffCurveRe:
        std::fill(msg2->begin() + 1, msg2->begin() + 65, std::uint8_t{0x01});
        break;
      default:
        break;
    }
    s.body = encode_base64(*msg2);
    switch (a.fault) {
      case GateFault::LineBreakInBase64:
        s.body.insert(s.body.size() / 2 & ~std::size_t{3}, "\r\n");
        break;
      case GateFault::TrailingNewline:
        s.body += '\n';
        break;
      case GateFault::NonUtf8Body:
        s.body = "\xff\xfe\xfd";
        break;
      default:
        break;
    }
    if (s.body.size() < a.pad_body_to) s.body.append(a.pad_body_to - s.body.size(), ' ');
    return s;
  }
};

TestGate::TestGate() : impl_(std::make_unique<Impl>()) {
  auto keys = noise::generate_responder_keys();
  if (!keys) throw std::runtime_error("test gate: responder keys");
  impl_->keys = std::move(*keys);
  // A first socket makes the context's reactor descriptors before any connection.
  tcp::socket first(impl_->ioc);
  impl_->server.start({.admit = [impl = impl_.get()] { return impl->admit(); },
                       .serve = [impl = impl_.get()](int fd, std::size_t) { impl->serve(fd); },
                       .on_stop =
                           [impl = impl_.get()] {
                             { std::lock_guard lock(impl->mu); }
                             impl->stop_cv.notify_all();
                           }});
}

TestGate::~TestGate() { impl_->server.stop(); }

std::uint16_t TestGate::port() const { return impl_->server.port(); }
std::string TestGate::url() const { return fmt::format("https://127.0.0.1:{}/gate", impl_->server.port()); }
const NodePublicKey& TestGate::node_pub() const { return impl_->keys.pub; }

void TestGate::set_answer(std::string method, GateAnswer answer) {
  std::lock_guard lock(impl_->mu);
  impl_->answers[std::move(method)] = std::move(answer);
}
void TestGate::set_default_answer(GateAnswer answer) {
  std::lock_guard lock(impl_->mu);
  impl_->default_answer = std::move(answer);
}
void TestGate::set_search_answer(std::string query, GateAnswer answer) {
  std::lock_guard lock(impl_->mu);
  impl_->search_answers[std::move(query)] = std::move(answer);
}
void TestGate::set_close_on_accept(bool on) {
  std::lock_guard lock(impl_->mu);
  impl_->close_on_accept = on;
}
std::vector<GateSeen> TestGate::seen() const {
  std::lock_guard lock(impl_->mu);
  return impl_->seen;
}
std::size_t TestGate::request_count() const {
  std::lock_guard lock(impl_->mu);
  return impl_->seen.size();
}
std::size_t TestGate::connection_count() const { return impl_->server.connections(); }
std::size_t TestGate::resumed_connections() const {
  std::lock_guard lock(impl_->mu);
  return impl_->resumed;
}
std::size_t TestGate::responses_sent() const {
  std::lock_guard lock(impl_->mu);
  return impl_->responses;
}

}  // namespace qb::test

// A stand-in vault gate for tests: an HTTPS server on 127.0.0.1 that plays the Noise responder,
// opens the wire token, records every request and answers scripted replies per method, with knobs
// for the faults a real gate or network may show.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crypto/node_key.h"
#include "support/https_test_server.h"
#include "vault/gate_agent.h"

namespace qb::test {

// What the gate does to an answer that it has otherwise built correctly.
enum class GateFault {
  None,
  LineBreakInBase64,  // a "\r\n" in the middle of the base64 body
  TrailingNewline,    // a "\n" after the base64 body
  NonUtf8Body,        // a body of bytes that are not UTF-8
  ShortMsg2,          // an 80-byte msg2
  ChangedTag,         // the last byte of msg2 flipped
  OffCurveRe,         // an uncompressed point that is not on the curve in place of re
};

struct GateAnswer {
  int status = 200;                                          // outside 2xx: sent with this status and no body
  std::vector<std::pair<std::string, std::string>> headers;  // extra response headers
  std::string reply_json = R"({"ok":true,"result":null})";   // after the header byte
  std::uint8_t header_byte = 0x10;
  std::optional<std::string> raw_payload;  // the whole reply payload, header byte included
  GateFault fault = GateFault::None;
  std::chrono::milliseconds delay{0};  // before the response head
  std::size_t pad_body_to = 0;         // white space after the base64 up to this many bytes
};

// {"ok":true,"result":<result>}
GateAnswer answer_result(std::string_view result_json);
// {"ok":false,"error":{"code":<code>,"message":<message>}}
GateAnswer answer_error(std::string_view code, std::string_view message);

// A wire token opened by the gate's own reading of it.
struct OpenedToken {
  std::uint64_t vault_id = 0;
  std::array<std::uint8_t, 8> l1{};
  std::array<std::uint8_t, 16> agent_id{};
};
// The token's text form, CRC and seal checked; the error names what failed.
struct TokenCheck {
  std::optional<OpenedToken> token;
  std::string error;
};
TokenCheck open_wire_token(std::string_view text);

struct GateSeen {
  std::string http_method;   // "POST"
  std::string target;        // "/gate"
  std::string content_type;  // the Content-Type header's value
  std::string request_json;  // the request payload after its header byte, as sent
  std::string action;
  std::string cred;
  TokenCheck token;
  std::string error;  // non-empty when the request could not be opened
};

// The CA every test gate's certificate comes from, one per process.
const TestCert& test_gate_ca();
// A gate agent that trusts that CA alone and connects directly, one per process: what the tests
// that call a gate in this process hand to gate_rpc, the gate call and the gate client.
const GateAgent& test_gate_agent();
// For tests that start the program, which trusts what the environment names: writes the CA to a
// file and points SSL_CERT_FILE at it (SSL_CERT_DIR and the proxy variables are cleared), once per
// process, for the children to inherit.
void trust_test_gate_ca();

class TestGate {
 public:
  // Listens on an ephemeral loopback port with fresh responder keys.
  TestGate();
  ~TestGate();
  TestGate(const TestGate&) = delete;
  TestGate& operator=(const TestGate&) = delete;

  std::uint16_t port() const;
  // "https://127.0.0.1:{port}/gate"
  std::string url() const;
  const NodePublicKey& node_pub() const;

  // The answer for requests whose "action" is this method, else the default one.
  void set_answer(std::string method, GateAnswer answer);
  void set_default_answer(GateAnswer answer);
  // The answer for "search.query" requests whose query text ("q") is exactly this one; before the
  // method's answer.
  void set_search_answer(std::string query, GateAnswer answer);
  // While set, every connection is closed as soon as it is accepted, before TLS.
  void set_close_on_accept(bool on);

  std::vector<GateSeen> seen() const;
  std::size_t request_count() const;
  std::size_t connection_count() const;
  // Connections whose TLS handshake resumed an earlier session.
  std::size_t resumed_connections() const;
  std::size_t responses_sent() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qb::test

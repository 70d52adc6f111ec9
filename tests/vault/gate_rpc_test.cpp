#include "vault/gate_rpc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "core/text.h"
#include "support/test_gate.h"
#include "vault/gate_call.h"

namespace qb {
namespace {

using nlohmann::json;
using test::GateAnswer;
using test::GateFault;
using test::TestGate;

std::string token() {
  static const std::string t = [] {
    const std::uint8_t l1[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::uint8_t agent[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    auto r = mint_wire_token(l1, agent, 42);
    return r ? *r : std::string();
  }();
  return t;
}

class GateRpc : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(token().size(), kWireTokenLen); }
  ProxyResult<json> call(const TestGate& gate, const json& params = json{{"exact", true}, {"q", "title"}},
                         std::string_view method = "search.query") {
    return gate_rpc(method, token(), params, gate.url(), gate.node_pub().bytes, test::test_gate_agent());
  }
  static std::string text(const ProxyResult<json>& r) { return r ? r->dump() : r.error().display(); }
};

std::string c2047(std::string_view detail) { return fmt::format("QB-5050: QB-2047: {}", detail); }

TEST_F(GateRpc, ReturnsTheResultAndSendsTheExactRequest) {
  TestGate gate;
  gate.set_answer("search.query", test::answer_result(R"({"entries":[1,"two"]})"));
  auto r = call(gate, json{{"q", "title"}, {"exact", true}});
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(*r, json::parse(R"({"entries":[1,"two"]})"));

  const auto seen = gate.seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].http_method, "POST");
  EXPECT_EQ(seen[0].target, "/gate");
  EXPECT_EQ(seen[0].content_type, "text/plain");
  EXPECT_EQ(seen[0].request_json,
            fmt::format(R"({{"action":"search.query","cred":"{}","content":{{"exact":true,"q":"title"}}}})", token()));
  ASSERT_TRUE(seen[0].token.token) << seen[0].token.error;
  EXPECT_EQ(seen[0].token.token->vault_id, 42u);
}

TEST_F(GateRpc, NullParamsLeaveOutContent) {
  TestGate gate;
  auto r = call(gate, json(nullptr), "system.ping");
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_TRUE(r->is_null());
  ASSERT_EQ(gate.request_count(), 1u);
  EXPECT_EQ(gate.seen()[0].request_json, fmt::format(R"({{"action":"system.ping","cred":"{}"}})", token()));
}

TEST_F(GateRpc, LocalRefusalsSendNothing) {
  TestGate gate;
  const std::string bad_request = c2047("encode request: " + catalogue::QB_0004.debug());
  json deep = json::array();
  for (int i = 0; i < 200; ++i) deep = json::array({deep});
  struct Case {
    std::string name;
    std::string method;
    std::string cred;
    json params;
    std::vector<std::uint8_t> key;
    std::string want;  // the whole text, or its start when it ends in "..."
  };
  const std::vector<std::uint8_t> key(gate.node_pub().bytes.begin(), gate.node_pub().bytes.end());
  std::vector<std::uint8_t> short_key(key.begin(), key.end() - 1);
  std::vector<std::uint8_t> off_curve = key;
  std::fill(off_curve.begin() + 1, off_curve.begin() + 65, std::uint8_t{0x01});
  const std::vector<Case> cases = {
      {"method letter case", "Search.query", token(), json(nullptr), key, bad_request},
      {"method with a blank", "search.query ", token(), json(nullptr), key, bad_request},
      {"empty credential", "search.query", "", json(nullptr), key, bad_request},
      {"credential without qbt_", "search.query", "qbx_abc", json(nullptr), key, bad_request},
      {"credential not UTF-8", "search.query", "qbt_\xff", json(nullptr), key,
       c2047("encode request: " + catalogue::QB_0005.debug())},
      {"params too deep", "search.query", token(), deep, key, bad_request},
      {"params not UTF-8", "search.query", token(), json{{"q", "\xff"}}, key, c2047("encode args: ...")},
      {"short node key", "search.query", token(), json(nullptr), short_key,
       c2047("the responder key is 1248 bytes, a node public key is 1249")},
      {"node key off the curve", "search.query", token(), json(nullptr), off_curve,
       c2047("handshake msg1: " + catalogue::QB_0027.debug())},
  };
  for (const auto& c : cases) {
    auto r = gate_rpc(c.method, c.cred, c.params, gate.url(), c.key, test::test_gate_agent());
    ASSERT_FALSE(r) << c.name;
    const std::string got = r.error().display();
    if (c.want.ends_with("...")) {
      EXPECT_TRUE(got.starts_with(c.want.substr(0, c.want.size() - 3))) << c.name << ": " << got;
    } else {
      EXPECT_EQ(got, c.want) << c.name;
    }
  }
  EXPECT_EQ(gate.connection_count(), 0u);

  // Exactly "qbt_" passes the credential check.
  auto r = gate_rpc("system.ping", "qbt_", json(nullptr), gate.url(), key, test::test_gate_agent());
  EXPECT_TRUE(r) << r.error().display();
  EXPECT_EQ(gate.request_count(), 1u);
}

TEST_F(GateRpc, RequestSizeBound) {
  TestGate gate;
  // {"action":"search.query","cred":"...","content":{"q":"xx..."}} after the header byte.
  const std::size_t fixed =
      1 + fmt::format(R"({{"action":"search.query","cred":"{}","content":{{"q":""}}}})", token()).size();
  const std::size_t fill = MAX_GATE_REQUEST - fixed;

  auto ok = call(gate, json{{"q", std::string(fill, 'x')}});
  ASSERT_TRUE(ok) << ok.error().display();
  ASSERT_EQ(gate.request_count(), 1u);
  EXPECT_EQ(gate.seen()[0].request_json.size() + 1, MAX_GATE_REQUEST);

  auto over = call(gate, json{{"q", std::string(fill + 1, 'x')}});
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().display(), "QB-5050: QB-2110: request is 6290207 bytes, the gate takes at most 6290206");
  EXPECT_EQ(gate.request_count(), 1u);
}

TEST_F(GateRpc, FailuresByPhase) {
  auto with = [](auto f) {
    GateAnswer a;
    f(a);
    return a;
  };
  const std::string not_utf8 = check_utf8("\xff\xfe\xfd").error().display();
  struct Case {
    std::string name;
    GateAnswer answer;
    std::string want;  // exact, or a prefix when it ends in "..."
  };
  const std::vector<Case> cases = {
      {"503", with([](auto& a) { a.status = 503; }), "QB-5050: gate refused handshake (HTTP 503)"},
      {"404", with([](auto& a) { a.status = 404; }), "QB-5050: gate refused handshake (HTTP 404)"},
      {"300", with([](auto& a) { a.status = 300; }), "QB-5050: gate refused handshake (HTTP 300)"},
      {"302 not followed", with([](auto& a) {
         a.status = 302;
         a.headers = {{"Location", "https://127.0.0.1:1/elsewhere"}};
       }),
       "QB-5050: gate refused handshake (HTTP 302)"},
      {"204 is accepted, its empty msg2 is not", with([](auto& a) { a.status = 204; }),
       c2047("open msg2: " + catalogue::QB_0010.debug())},
      {"body over the cap", with([](auto& a) { a.pad_body_to = GATE_REPLY_CAP + 1; }),
       "QB-5050: gate reply over its 1048576-byte cap or unreadable: ..."},
      {"body not UTF-8", with([](auto& a) { a.fault = GateFault::NonUtf8Body; }),
       "QB-5050: reply not UTF-8: " + not_utf8},
      {"line break in the base64", with([](auto& a) { a.fault = GateFault::LineBreakInBase64; }),
       c2047("msg2 not base64: ...")},
      {"short msg2", with([](auto& a) { a.fault = GateFault::ShortMsg2; }),
       c2047("open msg2: " + catalogue::QB_0010.debug())},
      {"changed tag", with([](auto& a) { a.fault = GateFault::ChangedTag; }),
       c2047("open msg2: " + catalogue::QB_0003.debug())},
      {"re off the curve", with([](auto& a) { a.fault = GateFault::OffCurveRe; }),
       c2047("open msg2: " + catalogue::QB_0027.debug())},
      {"header 0x11", with([](auto& a) { a.header_byte = 0x11; }),
       c2047("decode reply: " + catalogue::QB_0004.debug())},
      {"header 0x00", with([](auto& a) { a.header_byte = 0x00; }),
       c2047("decode reply: " + catalogue::QB_0004.debug())},
      {"header 0x90", with([](auto& a) { a.header_byte = 0x90; }),
       c2047("decode reply: " + catalogue::QB_0004.debug())},
      {"empty payload", with([](auto& a) { a.raw_payload = ""; }),
       c2047("decode reply: " + catalogue::QB_0010.debug())},
      {"reply not a Reply", with([](auto& a) { a.reply_json = R"({"ok":true,"extra":1})"; }),
       c2047("decode reply: " + catalogue::QB_0004.debug())},
      {"ok false without error", with([](auto& a) { a.reply_json = R"({"ok":false,"result":7})"; }),
       "QB-5050: QB-2047: gate error UNKNOWN: no detail"},
      {"ok false with error", test::answer_error("DENIED", "agent is locked (HTTP 503 upstream)"),
       "QB-5050: QB-2047: gate error DENIED: agent is locked (HTTP 503 upstream)"},
  };
  for (const auto& c : cases) {
    TestGate gate;
    gate.set_default_answer(c.answer);
    auto r = call(gate);
    ASSERT_FALSE(r) << c.name << ": " << r->dump();
    const std::string got = r.error().display();
    if (c.want.ends_with("...")) {
      EXPECT_TRUE(got.starts_with(c.want.substr(0, c.want.size() - 3))) << c.name << ": " << got;
    } else {
      EXPECT_EQ(got, c.want) << c.name;
    }
    EXPECT_EQ(gate.request_count(), 1u) << c.name << ": a failed call is never retried";
  }
}

TEST_F(GateRpc, UnreachableGateFailsBeforeTheHead) {
  TestGate keys_only;
  const std::string closed = fmt::format("https://127.0.0.1:{}/gate", test::closed_loopback_port());
  auto r = gate_rpc("system.ping", token(), json(nullptr), closed, keys_only.node_pub().bytes, test::test_gate_agent());
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().display().starts_with("QB-5050: POST /gate: ")) << r.error().display();

  TestGate closing;
  closing.set_close_on_accept(true);
  r = call(closing);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().display().starts_with("QB-5050: POST /gate: ")) << r.error().display();
  EXPECT_GE(closing.connection_count(), 1u);
}

// The kind, not the text, tells the gate call to try the replica; it is set where the error is made.
TEST_F(GateRpc, FailureKinds) {
  auto status = [](int s) {
    GateAnswer a;
    a.status = s;
    return a;
  };
  GateAnswer over_cap;
  over_cap.pad_body_to = GATE_REPLY_CAP + 1;
  GateAnswer bad_tag;
  bad_tag.fault = GateFault::ChangedTag;
  struct Case {
    std::string name;
    GateAnswer answer;
    ProxyErrorKind want;
  };
  const std::vector<Case> cases = {
      {"404", status(404), ProxyErrorKind::GateHttpStatus},
      {"503", status(503), ProxyErrorKind::GateHttpStatus},
      {"over the cap", over_cap, ProxyErrorKind::Other},
      {"changed tag", bad_tag, ProxyErrorKind::Other},
      {"gate error", test::answer_error("DENIED", "no"), ProxyErrorKind::Other},
      {"gate message names HTTP 504", test::answer_error("BUSY", "backend HTTP 504"), ProxyErrorKind::GateNamedOutage},
      {"gate code names a failed send", test::answer_error("POST /gate", "x"), ProxyErrorKind::GateNamedOutage},
      {"gate message names a refusal", test::answer_error("E", "peer refused handshake"),
       ProxyErrorKind::GateNamedOutage},
      // Split by the ": " between code and message, the words name nothing.
      {"marker split across code and message", test::answer_error("HTTP", "503"), ProxyErrorKind::Other},
      {"lower case", test::answer_error("E", "http 503"), ProxyErrorKind::Other},
  };
  for (const auto& c : cases) {
    TestGate gate;
    gate.set_default_answer(c.answer);
    auto r = call(gate);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind, c.want) << c.name << ": " << r.error().display();
  }

  TestGate keys_only;
  const std::string closed = fmt::format("https://127.0.0.1:{}/gate", test::closed_loopback_port());
  auto unreachable =
      gate_rpc("system.ping", token(), json(nullptr), closed, keys_only.node_pub().bytes, test::test_gate_agent());
  ASSERT_FALSE(unreachable);
  EXPECT_EQ(unreachable.error().kind, ProxyErrorKind::GateUnreachable);

  // A local refusal is made before anything is sent and never names an outage.
  TestGate gate;
  auto refused = call(gate, json(nullptr), "no.such.method");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, ProxyErrorKind::Other);
}

TEST_F(GateRpc, AcceptedReplies) {
  auto with = [](auto f) {
    GateAnswer a;
    f(a);
    return a;
  };
  struct Case {
    std::string name;
    GateAnswer answer;
    json want;
  };
  const std::vector<Case> cases = {
      {"body of exactly the cap", with([](auto& a) { a.pad_body_to = GATE_REPLY_CAP; }), json(nullptr)},
      {"trailing line feed", with([](auto& a) {
         a.fault = GateFault::TrailingNewline;
         a.reply_json = R"({"ok":true,"result":"r"})";
       }),
       json("r")},
      {"ok with result and error",
       with([](auto& a) { a.reply_json = R"({"error":{"code":"X","message":"y"},"result":[1],"ok":true})"; }),
       json::array({1})},
      {"one-element array", with([](auto& a) { a.reply_json = "[true]"; }), json(nullptr)},
      {"a 201 with a body", with([](auto& a) {
         a.status = 201;
         a.reply_json = R"({"ok":true,"result":2})";
       }),
       json(2)},
  };
  for (const auto& c : cases) {
    TestGate gate;
    gate.set_default_answer(c.answer);
    auto r = call(gate);
    ASSERT_TRUE(r) << c.name << ": " << r.error().display();
    EXPECT_EQ(*r, c.want) << c.name;
  }
}

// Calls at once beyond the one idle connection open new ones; those resume the TLS session of the
// first call instead of a full handshake, and every call still gets its answer.
TEST_F(GateRpc, ConnectionsOpenedUnderLoadResumeTheAgentsSession) {
  TestGate gate;
  GateAnswer slow = test::answer_result("7");
  slow.delay = std::chrono::milliseconds(400);  // keeps the calls below in flight together
  gate.set_answer("search.query", slow);
  const GateAgent agent(GateAgentSettings{{test::test_gate_ca().der}, {}});
  auto rpc = [&] {
    return gate_rpc("search.query", token(), json{{"q", "t"}}, gate.url(), gate.node_pub().bytes, agent);
  };
  auto first = rpc();
  ASSERT_TRUE(first) << first.error().display();

  std::vector<ProxyResult<json>> results(5);
  std::vector<std::thread> threads;
  for (auto& r : results) threads.emplace_back([&] { r = rpc(); });
  for (auto& t : threads) t.join();
  for (const auto& r : results) EXPECT_EQ(text(r), "7");
  // The first connection cannot resume; a handle that resumes on its own would have nothing to
  // resume from. A session ticket may be in flight while another handshake starts, so not all of
  // them are asked to.
  EXPECT_GE(gate.connection_count(), 2u);
  EXPECT_GE(gate.resumed_connections(), 1u);
  EXPECT_LT(gate.resumed_connections(), gate.connection_count());
}

TEST(GateRpcReply, ReadingRules) {
  std::string deep_ok;  // "result" nested to the reader's limit
  std::string deep_bad;
  {
    auto nest = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
    deep_ok = R"({"ok":true,"result":)" + nest(126) + "}";
    deep_bad = R"({"ok":true,"result":)" + nest(127) + "}";
  }
  struct Case {
    std::string text;
    bool readable;
    bool ok = false;
    std::optional<json> result = std::nullopt;
    std::optional<std::pair<std::string, std::string>> error = std::nullopt;
  };
  using E = std::pair<std::string, std::string>;
  const std::vector<Case> cases = {
      {R"({"ok":true})", true, true},
      {R"({"ok":true,"result":null,"error":null})", true, true},
      {R"( {"result":{"a":1,"a":2},"ok":false} )", true, false, json{{"a", 2}}},
      {R"({"ok":false,"error":["C","m"]})", true, false, std::nullopt, E{"C", "m"}},
      {R"({"ok":false,"error":{"message":"m","code":"C"}})", true, false, std::nullopt, E{"C", "m"}},
      {"[true]", true, true},
      {R"([false,5,{"code":"C","message":"m"}])", true, false, json(5), E{"C", "m"}},
      {R"([true,null,null])", true, true},
      {deep_ok, true, true, json::parse(std::string(126, '[') + std::string(126, ']'))},
      {"", false},
      {"[]", false},
      {"[true,1,null,4]", false},
      {"true", false},
      {R"({"result":1})", false},
      {R"({"ok":"yes"})", false},
      {R"({"ok":true,"ok":true})", false},
      {R"({"ok":true,"result":1,"result":1})", false},
      {R"({"ok":true,"result":null,"result":1})", false},
      {R"({"ok":true,"extra":1})", false},
      {R"({"ok":false,"error":{"code":"C"}})", false},
      {R"({"ok":false,"error":{"code":"C","message":"m","x":1}})", false},
      {R"({"ok":false,"error":{"code":"C","code":"D","message":"m"}})", false},
      {R"({"ok":false,"error":{"code":1,"message":"m"}})", false},
      {R"({"ok":false,"error":["C"]})", false},
      {R"({"ok":false,"error":["C","m","x"]})", false},
      {R"({"ok":false,"error":"C"})", false},
      {R"([false,null,{"code":"C","code":"C","message":"m"}])", false},
      {R"({"ok":true} x)", false},
      {R"({"ok":true}{})", false},
      {deep_bad, false},
  };
  for (const auto& c : cases) {
    auto r = read_reply(c.text);
    ASSERT_EQ(r.has_value(), c.readable) << c.text;
    if (!r) continue;
    EXPECT_EQ(r->ok, c.ok) << c.text;
    EXPECT_EQ(r->result, c.result) << c.text;
    ASSERT_EQ(r->error.has_value(), c.error.has_value()) << c.text;
    if (r->error) {
      EXPECT_EQ(r->error->code, c.error->first) << c.text;
      EXPECT_EQ(r->error->message, c.error->second) << c.text;
    }
  }
}

TEST(GateRpcRequest, FieldOrderAndMethods) {
  EXPECT_EQ(write_gate_request("ext.match", "qbt_x", json{{"url", "https://a/b"}}),
            R"({"action":"ext.match","cred":"qbt_x","content":{"url":"https://a/b"}})");
  EXPECT_EQ(write_gate_request("system.ping", std::nullopt, std::nullopt), R"({"action":"system.ping"})");
  EXPECT_EQ(RPC_METHODS.front(), "system.ping");
  EXPECT_EQ(RPC_METHODS[12], "search.query");
  EXPECT_EQ(RPC_METHODS[17], "ext.match");
  EXPECT_EQ(RPC_METHODS.back(), "wl3.audit");
  EXPECT_TRUE(is_rpc_method("ops.maintenance.register"));
  EXPECT_FALSE(is_rpc_method("ops.maintenance"));
  EXPECT_FALSE(is_rpc_method(""));
}

}  // namespace
}  // namespace qb

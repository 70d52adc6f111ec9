#include "vault/gate_call.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <fmt/format.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "core/runtime_async.h"
#include "crypto/codecs.h"
#include "support/stderr_capture.h"
#include "support/test_gate.h"
#include "vault/gate_rpc.h"

namespace qb {
namespace {

namespace asio = boost::asio;
using nlohmann::json;
using test::GateAnswer;
using test::TestGate;

constexpr std::uint8_t kL1[8] = {0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8};
constexpr std::uint8_t kAgent[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr std::uint64_t kVault = 0x0102030405060708;

using test::StderrCapture;

constexpr std::string_view kNotice = "gate: primary unreachable, trying replica\n";

std::string closed_url() { return fmt::format("https://127.0.0.1:{}/gate", test::closed_loopback_port()); }

GateIdentity identity() {
  GateIdentity id;
  id.l1 = SecretArray<8>(std::span<const std::uint8_t, 8>(kL1));
  id.agent_id = SecretArray<16>(std::span<const std::uint8_t, 16>(kAgent));
  id.vault_id = kVault;
  return id;
}

GateCall make_call(std::string url, const NodePublicKey& pub, const TestGate* replica,
                   std::string method = "search.query") {
  GateCall c;
  c.method = std::move(method);
  c.gate_url = std::move(url);
  c.gate_pub = pub;
  if (replica) c.replica = GateReplica{replica->url(), replica->node_pub()};
  c.params = json{{"exact", true}, {"q", "t"}};
  const GateIdentity id = identity();
  c.l1 = id.l1;
  c.agent_id = id.agent_id;
  c.vault_id = id.vault_id;
  return c;
}

bool is_b64url(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

TEST(WireToken, Layout) {
  for (std::uint64_t vault : {std::uint64_t{0}, kVault, ~std::uint64_t{0}}) {
    auto a = mint_wire_token(kL1, kAgent, vault);
    auto b = mint_wire_token(kL1, kAgent, vault);
    ASSERT_TRUE(a && b);
    for (const std::string& t : {*a, *b}) {
      ASSERT_EQ(t.size(), 93u);
      EXPECT_TRUE(t.starts_with("qbt_"));
      EXPECT_EQ(t.find('.'), 86u);
      for (std::size_t i = 4; i < t.size(); ++i) {
        if (i != 86) {
          EXPECT_TRUE(is_b64url(t[i])) << t << " at " << i;
        }
      }
      // The check: the CRC-32 of the first 86 characters, 4 bytes big-endian, in base64url.
      const std::uint32_t crc = crc32_iso_hdlc(std::span(reinterpret_cast<const std::uint8_t*>(t.data()), 86));
      const std::uint8_t be[4] = {static_cast<std::uint8_t>(crc >> 24), static_cast<std::uint8_t>(crc >> 16),
                                  static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
      EXPECT_EQ(t.substr(87), encode_base64url_nopad(be));
      // The gate's own reading gives the identity back.
      auto opened = test::open_wire_token(t);
      ASSERT_TRUE(opened.token) << opened.error;
      EXPECT_EQ(opened.token->vault_id, vault);
      EXPECT_TRUE(std::equal(opened.token->l1.begin(), opened.token->l1.end(), kL1));
      EXPECT_TRUE(std::equal(opened.token->agent_id.begin(), opened.token->agent_id.end(), kAgent));
    }
    EXPECT_EQ(a->substr(0, 16), b->substr(0, 16));
    EXPECT_NE(a->substr(16, 70), b->substr(16, 70));
  }
  // Other vaults differ within the first 16 characters.
  auto other = mint_wire_token(kL1, kAgent, kVault + 1);
  auto mine = mint_wire_token(kL1, kAgent, kVault);
  ASSERT_TRUE(other && mine);
  EXPECT_NE(other->substr(0, 16), mine->substr(0, 16));
}

TEST(WireToken, CrcIsZlibs) {
  const std::string_view check = "123456789";
  EXPECT_EQ(crc32_iso_hdlc(std::span(reinterpret_cast<const std::uint8_t*>(check.data()), check.size())), 0xCBF43926u);
  EXPECT_EQ(crc32_iso_hdlc({}), 0u);
}

TEST(WireToken, ChangedCharacterIsRefusedByTheGate) {
  auto t = mint_wire_token(kL1, kAgent, kVault);
  ASSERT_TRUE(t);
  std::string changed = *t;
  changed[40] = changed[40] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(test::open_wire_token(changed).token);
}

TEST(GateCallFailover, ReplicaMarkers) {
  for (std::string_view t : {"QB-5050: POST /gate: x", "QB-5050: gate refused handshake (HTTP 404)",
                             "QB-5050: QB-2047: gate error E: upstream HTTP 502", "a HTTP 504", "HTTP 503"}) {
    EXPECT_TRUE(should_try_replica(t)) << t;
  }
  for (std::string_view t :
       {"QB-5050: gate reply over its 1048576-byte cap or unreadable: x", "QB-5050: reply not UTF-8: x",
        "QB-5050: QB-2047: gate error UNKNOWN: no detail", "HTTP 500", "post /gate", "http 503"}) {
    EXPECT_FALSE(should_try_replica(t)) << t;
  }
}

TEST(GateCallFailover, DecidedByKind) {
  const struct {
    ProxyErrorKind kind;
    bool fails_over;
  } cases[] = {
      {ProxyErrorKind::GateUnreachable, true},
      {ProxyErrorKind::GateHttpStatus, true},
      {ProxyErrorKind::GateNamedOutage, true},
      {ProxyErrorKind::Other, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(should_try_replica(c.kind), c.fails_over) << static_cast<int>(c.kind);
  }
  // The kind travels with the error it was made with, not with its text.
  const ProxyError quiet(codes::QB_5050, "POST /gate: but made as another failure");
  EXPECT_FALSE(should_try_replica(quiet.kind));
}

class GateCallTest : public ::testing::Test {
 protected:
  static ProxyResult<json> call_blocking(GateCall call) {
    return gate_call_blocking(std::move(call), &test::test_gate_agent());
  }
};

TEST_F(GateCallTest, ClosedPrimaryGoesToTheReplicaOnce) {
  TestGate replica;
  replica.set_answer("search.query", test::answer_result(R"("from replica")"));
  TestGate keys;  // a key for the closed primary
  StderrCapture err;
  auto r = call_blocking(make_call(closed_url(), keys.node_pub(), &replica));
  const std::string printed = err.text();
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(*r, json("from replica"));
  EXPECT_EQ(printed, kNotice);
  ASSERT_EQ(replica.request_count(), 1u);
  ASSERT_TRUE(replica.seen()[0].token.token) << replica.seen()[0].token.error;
}

TEST_F(GateCallTest, ReplicaGetsTheIdenticalToken) {
  TestGate primary, replica;
  GateAnswer refused;
  refused.status = 503;
  primary.set_default_answer(refused);
  StderrCapture err;
  auto r = call_blocking(make_call(primary.url(), primary.node_pub(), &replica));
  EXPECT_EQ(err.text(), kNotice);
  ASSERT_TRUE(r) << r.error().display();
  ASSERT_EQ(primary.request_count(), 1u);
  ASSERT_EQ(replica.request_count(), 1u);
  EXPECT_EQ(primary.seen()[0].cred, replica.seen()[0].cred);
  EXPECT_EQ(primary.seen()[0].request_json, replica.seen()[0].request_json);
  ASSERT_TRUE(replica.seen()[0].token.token);
  EXPECT_EQ(replica.seen()[0].token.token->vault_id, kVault);
}

TEST_F(GateCallTest, OutcomesByPrimaryFailure) {
  struct Case {
    std::string name;
    GateAnswer primary;
    bool with_replica;
    GateAnswer replica;
    bool fails_over;
    std::string want;  // the caller's error text, or "" for the replica's success
  };
  auto status = [](int s) {
    GateAnswer a;
    a.status = s;
    return a;
  };
  GateAnswer over_cap;
  over_cap.pad_body_to = GATE_REPLY_CAP + 1;
  GateAnswer bad_tag;
  bad_tag.fault = test::GateFault::ChangedTag;
  const std::vector<Case> cases = {
      {"404 goes to the replica", status(404), true, GateAnswer{}, true, ""},
      {"both fail: the replica's error", status(502), true, status(404), true,
       "QB-5050: gate refused handshake (HTTP 404)"},
      {"no replica: the primary's error", status(503), false, GateAnswer{}, false,
       "QB-5050: gate refused handshake (HTTP 503)"},
      {"over the cap stays", over_cap, true, GateAnswer{}, false,
       "QB-5050: gate reply over its 1048576-byte cap or unreadable: ..."},
      {"decoding stays", bad_tag, true, GateAnswer{}, false,
       "QB-5050: QB-2047: open msg2: " + catalogue::QB_0003.debug()},
      {"gate error stays", test::answer_error("DENIED", "no"), true, GateAnswer{}, false,
       "QB-5050: QB-2047: gate error DENIED: no"},
      {"gate error naming HTTP 503 goes", test::answer_error("BUSY", "backend HTTP 503"), true, GateAnswer{}, true, ""},
  };
  for (const auto& c : cases) {
    TestGate primary, replica;
    primary.set_default_answer(c.primary);
    replica.set_default_answer(c.replica);
    StderrCapture err;
    auto r = call_blocking(make_call(primary.url(), primary.node_pub(), c.with_replica ? &replica : nullptr));
    const std::string printed = err.text();
    EXPECT_EQ(printed, c.fails_over ? std::string(kNotice) : std::string()) << c.name;
    EXPECT_EQ(primary.request_count(), 1u) << c.name;
    EXPECT_EQ(replica.request_count(), c.fails_over ? 1u : 0u) << c.name;
    if (c.want.empty()) {
      EXPECT_TRUE(r) << c.name << ": " << r.error().display();
    } else if (c.want.ends_with("...")) {
      ASSERT_FALSE(r) << c.name;
      EXPECT_TRUE(r.error().display().starts_with(c.want.substr(0, c.want.size() - 3)))
          << c.name << ": " << r.error().display();
    } else {
      ASSERT_FALSE(r) << c.name;
      EXPECT_EQ(r.error().display(), c.want) << c.name;
    }
  }
}

TEST_F(GateCallTest, ClosedPrimaryWithoutReplicaPrintsNothing) {
  TestGate keys;
  StderrCapture err;
  auto r = call_blocking(make_call(closed_url(), keys.node_pub(), nullptr));
  EXPECT_EQ(err.text(), "");
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().display().starts_with("QB-5050: POST /gate: ")) << r.error().display();
}

TEST_F(GateCallTest, BothUnreachableGivesTheReplicasError) {
  TestGate keys;
  GateCall call = make_call(closed_url(), keys.node_pub(), nullptr);
  const std::uint16_t replica_port = test::closed_loopback_port();
  call.replica = GateReplica{fmt::format("https://127.0.0.1:{}/gate", replica_port), keys.node_pub()};
  StderrCapture err;
  auto r = call_blocking(std::move(call));
  EXPECT_EQ(err.text(), kNotice);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().display().starts_with("QB-5050: POST /gate: ")) << r.error().display();
  // curl names the port it failed to reach.
  EXPECT_NE(r.error().display().find(std::to_string(replica_port)), std::string::npos) << r.error().display();
}

// Parameters by value: the coroutine frame owns them.
asio::awaitable<ProxyResult<json>> call_through(BlockingPool& pool, GateEndpoints ep) {
  auto task =
      gate_call(pool, ep, identity(), "ext.match", json{{"url", "https://example.test/x"}}, &test::test_gate_agent());
  co_return co_await std::move(task);
}

TEST_F(GateCallTest, AsyncCallCopiesTheClientData) {
  TestGate gate;
  gate.set_answer("ext.match", test::answer_result(R"([{"id":"e1"}])"));
  Runtime rt(1);
  GateEndpoints ep{gate.url(), gate.node_pub(), std::nullopt};
  auto r = block_on(rt, call_through(rt.blocking(), ep));
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(*r, json::parse(R"([{"id":"e1"}])"));
  ASSERT_EQ(gate.request_count(), 1u);
  EXPECT_EQ(gate.seen()[0].request_json,
            fmt::format(R"({{"action":"ext.match","cred":"{}","content":{{"url":"https://example.test/x"}}}})",
                        gate.seen()[0].cred));
}

asio::awaitable<void> abandoned_call(BlockingPool& pool, GateEndpoints ep) {
  auto task = gate_call(pool, ep, identity(), "search.query", json{{"q", "t"}}, &test::test_gate_agent());
  (void)co_await std::move(task);
}

asio::awaitable<int> leave_the_call_behind(Runtime& rt, const TestGate& gate) {
  asio::co_spawn(rt.main_context(), abandoned_call(rt.blocking(), GateEndpoints{gate.url(), gate.node_pub(), {}}),
                 asio::detached);
  // Return once the gate holds the request, so that the awaiting coroutine is dropped mid-wait.
  auto wait_for_request = [&gate] {
    while (gate.request_count() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return 0;
  };
  co_await spawn_blocking(rt.blocking(), std::move(wait_for_request));
  co_return 0;
}

TEST_F(GateCallTest, AbandonedAwaitStillLetsTheJobFinish) {
  TestGate gate;
  GateAnswer slow;
  slow.delay = std::chrono::milliseconds(200);
  gate.set_default_answer(slow);
  {
    Runtime rt(1);
    EXPECT_EQ(block_on(rt, leave_the_call_behind(rt, gate)), 0);
  }  // the runtime waits for the running job
  EXPECT_EQ(gate.request_count(), 1u);
  // The gate counts a response once its write returns, which may trail the client's read.
  for (int i = 0; i < 500 && gate.responses_sent() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(gate.responses_sent(), 1u);
}

}  // namespace
}  // namespace qb

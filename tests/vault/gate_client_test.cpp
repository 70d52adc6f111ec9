// The vault client of an enrolment, through the test vault gate on loopback.
#include "vault/gate_client.h"

#include <gtest/gtest.h>

#include "core/runtime_async.h"
#include "crypto/codecs.h"
#include "support/test_gate.h"

namespace qb {
namespace {

namespace asio = boost::asio;

std::string node_hex(const NodePublicKey& k) { return encode_hex(k.bytes); }

constexpr std::string_view kVaultId = "0100000000000abc";
constexpr std::string_view kAgentId = "00112233445566778899aabbccddeeff";
constexpr std::string_view kL2 = "000102030405060708090a0b0c0d0e0f";

class GateClientTest : public ::testing::Test {
 protected:
  ProxyResult<std::shared_ptr<GateClient>> build(std::string vault_url, std::string gate_pub,
                                                 std::string replica_url = {}, std::string replica_pub = {}) {
    GateClientSettings s{vault_url, gate_pub, replica_url, replica_pub, kVaultId, kAgentId, kL2};
    return build_gate_client(s, rt_.blocking(), &test::test_gate_agent());
  }

  Runtime rt_{1};
  test::TestGate gate_;
};

asio::awaitable<ProxyResult<SearchResponse>> do_search(GateClient& c, std::string q) {
  auto task = c.search(std::move(q));
  co_return co_await std::move(task);
}
asio::awaitable<ProxyResult<std::vector<Entry>>> do_match(GateClient& c, std::string url) {
  auto task = c.match_url(std::move(url));
  co_return co_await std::move(task);
}

TEST_F(GateClientTest, GateUrlDropsTrailingSlashes) {
  for (const char* u : {"https://v.example", "https://v.example/", "https://v.example///"}) {
    EXPECT_EQ(gate_url_from(u), "https://v.example/gate");
  }
  auto c = build("https://v.example//", node_hex(gate_.node_pub()), "https://r.example", "  ");
  ASSERT_TRUE(c) << c.error().display();
  EXPECT_EQ((*c)->endpoints().gate_url, "https://v.example/gate");
  EXPECT_FALSE((*c)->endpoints().replica.has_value());  // a blank replica key means no replica
  auto r = build("https://v.example", node_hex(gate_.node_pub()), "", node_hex(gate_.node_pub()));
  EXPECT_FALSE((*r)->endpoints().replica.has_value());
}

TEST_F(GateClientTest, OldOrBadNodeKeysEndStartUp) {
  auto blank = build("https://v.example", " \n");
  ASSERT_FALSE(blank);
  EXPECT_EQ(blank.error().display(),
            "QB-5002: QB-2004: this config was enrolled before the enrolment blob carried the POP key: make a new "
            "client blob in the vault and enrol again");
  auto retired = build("https://v.example", node_hex(gate_.node_pub()), "https://r.example", std::string(64, 'a'));
  ASSERT_FALSE(retired);
  EXPECT_EQ(retired.error().code, "QB-5002");
}

TEST_F(GateClientTest, SearchSendsExactQueryAndDecodesTheReply) {
  auto c = build(gate_.url().substr(0, gate_.url().size() - 5), node_hex(gate_.node_pub()));
  ASSERT_TRUE(c);
  gate_.set_answer("search.query", test::answer_result(R"([{"entry_id":"e1","title":"api"}])"));
  auto r = block_on(rt_, do_search(**c, " api "));
  ASSERT_TRUE(r) << r.error().display();
  ASSERT_TRUE(std::holds_alternative<SearchResponse::List>(r->shape));
  EXPECT_EQ(std::get<SearchResponse::List>(r->shape).entries.at(0).entry_id, "e1");
  const auto seen = gate_.seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].action, "search.query");
  EXPECT_NE(seen[0].request_json.find(R"("content":{"exact":true,"q":" api "})"), std::string::npos)
      << seen[0].request_json;
  ASSERT_TRUE(seen[0].token.token.has_value()) << seen[0].token.error;
  EXPECT_EQ(seen[0].token.token->vault_id, 0x0100000000000abcu);

  gate_.set_answer("search.query", test::answer_result("{}"));
  auto bad = block_on(rt_, do_search(**c, "api"));
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().display(),
            "QB-5031: search shape: data did not match any variant of untagged enum SearchResponse");
}

TEST_F(GateClientTest, MatchUrlDecodesAListOfEntries) {
  auto c = build(gate_.url().substr(0, gate_.url().size() - 5), node_hex(gate_.node_pub()));
  ASSERT_TRUE(c);
  gate_.set_answer("ext.match", test::answer_result("[]"));
  auto empty = block_on(rt_, do_match(**c, "https://api.example/v1"));
  ASSERT_TRUE(empty) << empty.error().display();
  EXPECT_TRUE(empty->empty());
  EXPECT_NE(gate_.seen().back().request_json.find(R"("content":{"url":"https://api.example/v1"})"), std::string::npos);

  gate_.set_answer("ext.match", test::answer_result("null"));
  auto none = block_on(rt_, do_match(**c, "https://api.example/v1"));
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().display(), "QB-5050: match shape: invalid type: null, expected a sequence");

  gate_.set_answer("ext.match", test::answer_error("DENIED", "not for you"));
  auto denied = block_on(rt_, do_match(**c, "https://api.example/v1"));
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error().display(), "QB-5050: QB-2047: gate error DENIED: not for you");
}

}  // namespace
}  // namespace qb

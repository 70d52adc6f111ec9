#include "vault/records.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vault/gate_rpc.h"

namespace qb {
namespace {

using json = nlohmann::json;

// A JSON text and either the record it decodes to or the exact refusal text.
template <class T>
struct Case {
  std::string_view input;
  std::variant<T, std::string> want;
};

template <class T>
void run_cases(const std::vector<Case<T>>& cases, DecodeResult<T> (*decode)(const json&)) {
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.input));
    const json value = json::parse(c.input);
    const auto got = decode(value);
    if (const auto* text = std::get_if<std::string>(&c.want)) {
      ASSERT_FALSE(got) << "decoded, expected refusal " << *text;
      EXPECT_EQ(got.error().text, *text);
    } else {
      ASSERT_TRUE(got) << got.error().text;
      EXPECT_TRUE(*got == std::get<T>(c.want));
    }
  }
}

std::string err(std::string_view text) { return std::string(text); }

TEST(RecordsTest, Field) {
  run_cases<Field>(
      {
          {R"({"label":"password"})", Field{.label = "password"}},
          {R"({"label":"a","value":"v","kind":"secret","tier":2})",
           Field{.label = "a", .value = "v", .kind = "secret", .tier = 2}},
          {R"({"label":"a","kind":null})", Field{.label = "a"}},
          {R"({"label":"a","extra":{"deep":[1,{"x":null}]},"tier":0})", Field{.label = "a", .tier = 0}},
          {R"({"label":"a","tier":255})", Field{.label = "a", .tier = 255}},
          {R"({"label":"a","tier":256})", err("invalid value: integer, expected u8")},
          {R"({"label":"a","tier":-1})", err("invalid value: integer, expected u8")},
          {R"({"label":"a","tier":"2"})", err("invalid type: string, expected u8")},
          {R"({"label":"a","tier":2.0})", err("invalid type: floating point, expected u8")},
          {R"({"label":"a","tier":null})", err("invalid type: null, expected u8")},
          {R"({"label":"a","tier":true})", err("invalid type: boolean, expected u8")},
          {R"({"label":"a","value":null})", err("invalid type: null, expected a string")},
          {R"({"label":5})", err("invalid type: integer, expected a string")},
          {R"({"value":"x"})", err("missing field `label`")},
          {R"({"Label":"a"})", err("missing field `label`")},
          {R"(["a"])", Field{.label = "a"}},
          {R"(["a","v",null,2])", Field{.label = "a", .value = "v", .tier = 2}},
          {R"([])", err("invalid length 0, expected struct Field with 4 elements")},
          {R"(["a","v",null,1,5])", err("invalid length 5, expected fewer elements in array")},
          {R"([null])", err("invalid type: null, expected a string")},
          {R"("x")", err("invalid type: string, expected struct Field")},
          {R"(7)", err("invalid type: integer, expected struct Field")},
          {R"(null)", err("invalid type: null, expected struct Field")},
      },
      decode_field);
}

// A refusal names the wrong value's type and nothing of the value: a vault that puts a credential
// where a record belongs must not see it in the agent's error body or the log.
TEST(RecordsTest, RefusalsNeverQuoteTheValue) {
  const std::string leak = "leaky-match-0008";
  struct LeakCase {
    std::string input;
    std::string_view want;
  };
  const std::vector<LeakCase> cases = {
      {R"([{"entry_id":"e","data":{"fields":[")" + leak + R"("]}}])", "invalid type: string, expected struct Field"},
      {R"([{"entry_id":"e","data":{"fields":[{"label":"pw","value":80080008}]}}])",
       "invalid type: integer, expected a string"},
      {R"([{"entry_id":"e","data":{"fields":[{"label":"pw","value":-80080008}]}}])",
       "invalid type: integer, expected a string"},
      {R"([{"entry_id":"e","data":{"fields":[{"label":"pw","value":8008.0008}]}}])",
       "invalid type: floating point, expected a string"},
      {R"([{"entry_id":"e","data":{"fields":[{"label":"pw","value":true}]}}])",
       "invalid type: boolean, expected a string"},
      {R"([{"entry_id":"e","data":{"fields":[{"label":"pw","tier":80080008}]}}])",
       "invalid value: integer, expected u8"},
      {R"([{"entry_id":"e","data":{"fields":[{"label":"pw","tier":-80080008}]}}])",
       "invalid value: integer, expected u8"},
      {R"([{"entry_id":"e","data":{"fields":[{"label":"pw","tier":")" + leak + R"("}]}}])",
       "invalid type: string, expected u8"},
      {R"([{"entry_id":"e","data":{"urls":")" + leak + R"("}}])", "invalid type: string, expected a sequence"},
      {R"([{"entry_id":"e","data":")" + leak + R"("}])", "invalid type: string, expected struct EntryData"},
      {R"([")" + leak + R"("])", "invalid type: string, expected struct Entry"},
      {R"(")" + leak + R"(")", "invalid type: string, expected a sequence"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const auto got = decode_entry_list(json::parse(c.input));
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().text, c.want);
    for (std::string_view part : {"leaky", "0008", "8008"}) EXPECT_EQ(got.error().text.find(part), std::string::npos);
  }
}

// The reply reader takes "-0" for a float, as the vault's decoder does, so it is no integer.
TEST(RecordsTest, MinusZeroFromAReplyIsNoInteger) {
  struct MinusCase {
    std::string_view result;
    std::optional<std::string_view> refusal;
  };
  const MinusCase cases[] = {
      {R"({"label":"a","tier":-0})", "invalid type: floating point, expected u8"},
      {R"({"label":"a","tier":0})", std::nullopt},
      {R"(["a","v",null,-0])", "invalid type: floating point, expected u8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.result));
    const auto reply = read_reply(R"({"ok":true,"result":)" + std::string(c.result) + "}");
    ASSERT_TRUE(reply && reply->result);
    const auto got = decode_field(*reply->result);
    if (c.refusal) {
      ASSERT_FALSE(got);
      EXPECT_EQ(got.error().text, *c.refusal);
    } else {
      ASSERT_TRUE(got) << got.error().text;
      EXPECT_EQ(got->tier, 0);
    }
  }
  const auto count = read_reply(R"({"ok":true,"result":{"count":-0}})");
  ASSERT_TRUE(count && count->result);
  const auto search = decode_search_response(*count->result);
  ASSERT_FALSE(search);
  EXPECT_EQ(search.error().text, "data did not match any variant of untagged enum SearchResponse");
}

TEST(RecordsTest, EntryData) {
  run_cases<EntryData>(
      {
          {R"({})", EntryData{}},
          {R"({"title":null,"type":"login","notes":null,"unknown":[]})", EntryData{.type = "login"}},
          {R"({"fields":[{"label":"user","value":"u"},["pw","p",null,2]],"urls":["https://a"]})",
           EntryData{.fields = {Field{.label = "user", .value = "u"}, Field{.label = "pw", .value = "p", .tier = 2}},
                     .urls = {"https://a"}}},
          {R"({"fields":null})", err("invalid type: null, expected a sequence")},
          {R"({"urls":null})", err("invalid type: null, expected a sequence")},
          {R"({"urls":"https://a"})", err("invalid type: string, expected a sequence")},
          {R"({"urls":["a",1]})", err("invalid type: integer, expected a string")},
          {R"({"fields":[{"label":"a"},{"value":"v"}]})", err("missing field `label`")},
          {R"({"fields":{}})", err("invalid type: map, expected a sequence")},
          {R"([null,"t",[],["u"],"n"])", EntryData{.type = "t", .urls = {"u"}, .notes = "n"}},
          {R"([null,null,[],[],null,1])", err("invalid length 6, expected fewer elements in array")},
          {R"(true)", err("invalid type: boolean, expected struct EntryData")},
      },
      decode_entry_data);
}

TEST(RecordsTest, Entry) {
  const EntryData one_field{.fields = {Field{.label = "password", .value = "x"}}};
  run_cases<Entry>(
      {
          {R"({"entry_id":"e1"})", Entry{.entry_id = "e1"}},
          {R"({"entry_id":"e1","vault_data":{"fields":[{"label":"password","value":"x"}]}})",
           Entry{.entry_id = "e1", .data = one_field}},
          {R"({"entry_id":"e1","data":{"fields":[{"label":"password","value":"x"}]}})",
           Entry{.entry_id = "e1", .data = one_field}},
          {R"({"entry_id":"e1","data":{},"vault_data":{}})", err("duplicate field `data`")},
          // A null fills the field as much as a value does.
          {R"({"entry_id":"e1","data":null,"vault_data":{}})", err("duplicate field `data`")},
          {R"({"entry_id":"e1","data":null,"title":null})", Entry{.entry_id = "e1"}},
          {R"({"entry_id":"e1","type":"login","title":"GitHub","tags":["x"],"rev":3})",
           Entry{.entry_id = "e1", .type = "login", .title = "GitHub"}},
          {R"({"title":"t","data":{}})", err("missing field `entry_id`")},
          {R"({"entry_id":null})", err("invalid type: null, expected a string")},
          {R"({"entry_id":"e1","data":"x"})", err("invalid type: string, expected struct EntryData")},
          {R"({"entry_id":"e1","data":{"fields":[{"label":"a","tier":256}]}})",
           err("invalid value: integer, expected u8")},
          {R"({"entry_id":"e1","title":["t"]})", err("invalid type: sequence, expected a string")},
          {R"(["e1"])", Entry{.entry_id = "e1"}},
          {R"(["e1","login","GitHub",[null,null,[["password","x"]]]])",
           Entry{.entry_id = "e1", .type = "login", .title = "GitHub", .data = one_field}},
          {R"([])", err("invalid length 0, expected struct Entry with 4 elements")},
          {R"(["e1",null,null,null,"x"])", err("invalid length 5, expected fewer elements in array")},
          {R"(null)", err("invalid type: null, expected struct Entry")},
          {R"("e1")", err("invalid type: string, expected struct Entry")},
      },
      decode_entry);
}

TEST(RecordsTest, Quota) {
  run_cases<Quota>(
      {
          {R"({})", Quota{}},
          {R"({"minute_used":1,"minute_limit":60,"hour_used":4294967295,"hour_limit":0,"day":9})",
           Quota{1, 60, 4294967295u, 0}},
          {R"({"minute_used":4294967296})", err("invalid value: integer, expected u32")},
          {R"({"minute_used":-1})", err("invalid value: integer, expected u32")},
          {R"({"hour_limit":null})", err("invalid type: null, expected u32")},
          {R"([1,2,3,4])", Quota{1, 2, 3, 4}},
          {R"([1])", Quota{1, 0, 0, 0}},
          {R"([1,2,3,4,5])", err("invalid length 5, expected fewer elements in array")},
          {R"("q")", err("invalid type: string, expected struct Quota")},
      },
      decode_quota);
}

TEST(RecordsTest, MatchInfo) {
  run_cases<MatchInfo>(
      {
          {R"({})", MatchInfo{}},
          {R"({"title":"GitHub","type":"login","score":0.5})", MatchInfo{"GitHub", "login"}},
          {R"({"title":null})", err("invalid type: null, expected a string")},
          {R"(["t","k"])", MatchInfo{"t", "k"}},
          {R"(["t","k","x"])", err("invalid length 3, expected fewer elements in array")},
          {R"(1)", err("invalid type: integer, expected struct MatchInfo")},
      },
      decode_match_info);
}

TEST(RecordsTest, EntryList) {
  run_cases<std::vector<Entry>>(
      {
          {R"([])", std::vector<Entry>{}},
          {R"([{"entry_id":"a"},["b"]])", std::vector<Entry>{Entry{.entry_id = "a"}, Entry{.entry_id = "b"}}},
          {R"(null)", err("invalid type: null, expected a sequence")},
          {R"({})", err("invalid type: map, expected a sequence")},
          {R"([["e1",null,null,null,"x"]])", err("invalid length 5, expected fewer elements in array")},
          {R"([{"entry_id":"a"},{"title":"b"}])", err("missing field `entry_id`")},
      },
      decode_entry_list);
}

TEST(RecordsTest, SearchResponseShapes) {
  using S = SearchResponse;
  const std::string untagged = "data did not match any variant of untagged enum SearchResponse";
  run_cases<S>(
      {
          {R"([])", S{S::List{}}},
          {R"([{"entry_id":"a"},["b"]])", S{S::List{{Entry{.entry_id = "a"}, Entry{.entry_id = "b"}}}}},
          {R"({"entries":[]})", S{S::Wrapped{}}},
          {R"({"entries":[],"quota":null})", S{S::Wrapped{}}},
          {R"({"entries":[{"entry_id":"a"}],"quota":{"minute_used":3}})",
           S{S::Wrapped{{Entry{.entry_id = "a"}}, Quota{3, 0, 0, 0}}}},
          {R"({"count":2,"titles":["a","b"]})", S{S::Count{.count = 2, .titles = {"a", "b"}}}},
          // Wrapped is tried first and ignores "count".
          {R"({"count":1,"entries":[]})", S{S::Wrapped{}}},
          // A failed Wrapped leaves nothing behind for Count.
          {R"({"count":1,"entries":null})", S{S::Count{.count = 1}}},
          {R"({"count":1,"matches":[{"title":"t","type":"login"}],"message":"m","quota":[1,2,3,4]})",
           S{S::Count{.count = 1, .matches = {MatchInfo{"t", "login"}}, .message = "m", .quota = Quota{1, 2, 3, 4}}}},
          {R"({"count":0,"message":null,"quota":null})", S{S::Count{}}},
          {R"({})", untagged},
          {R"(null)", untagged},
          {R"("x")", untagged},
          {R"(3)", untagged},
          // Arrays are only ever a List.
          {R"([{}])", untagged},
          {R"([[]])", untagged},
          {R"({"entries":[{}]})", untagged},
          {R"({"count":-1})", untagged},
          {R"({"count":1,"titles":null})", untagged},
          {R"({"entries":[],"quota":{"minute_used":-1}})", untagged},
      },
      decode_search_response);
}

}  // namespace
}  // namespace qb

#include "core/json_strict.h"

#include <gtest/gtest.h>

namespace qb {
namespace {

constexpr StringRecordShape::Member kMembers[] = {{"a", true, false}, {"b", false, true}, {"c", false, false}};
constexpr StringRecordShape kLenient{"Rec", kMembers, false};

std::string error_of(std::string_view json, const StringRecordShape& spec = kLenient) {
  auto r = parse_string_record(json, spec);
  EXPECT_FALSE(r) << json;
  return r ? std::string() : r.error().display();
}

TEST(JsonStrict, LenientRecordSkipsUnknownMembersWithTheirValues) {
  auto r = parse_string_record(R"({"x":{"a":[1,{"b":null}],"k":"v"},"a":"1","y":[[]],"b":null,"z":2.5})", kLenient);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_TRUE((*r)[0].present);
  EXPECT_EQ((*r)[0].text, "1");
  EXPECT_FALSE((*r)[1].present);
  EXPECT_FALSE((*r)[2].present);

  // A known member twice is still refused, null counting as given.
  EXPECT_EQ(error_of(R"({"b":null,"a":"1","b":"2"})"), "duplicate field `b` at line 1 column 21");
  // Null only where the member allows it.
  EXPECT_EQ(error_of(R"({"a":"1","c":null})"), "invalid type: null, expected a string at line 1 column 17");
  // An unknown member still has to be well-formed JSON.
  EXPECT_EQ(error_of(R"({"x":[1,,2],"a":"1"})"), "expected value at line 1 column 9");
}

TEST(JsonStrict, UnknownFieldListsExpectedNames) {
  constexpr StringRecordShape::Member one[] = {{"a", true, false}};
  constexpr StringRecordShape::Member two[] = {{"a", true, false}, {"b", true, false}};
  EXPECT_EQ(error_of(R"({"q":1})", StringRecordShape{"R", one, true}),
            "unknown field `q`, expected `a` at line 1 column 4");
  EXPECT_EQ(error_of(R"({"q":1})", StringRecordShape{"R", two, true}),
            "unknown field `q`, expected `a` or `b` at line 1 column 4");
}

TEST(JsonStrict, SyntaxErrorsNamedAsSerdeJsonNamesThem) {
  const std::pair<const char*, const char*> cases[] = {
      {"{\"a\":\"1\"", "EOF while parsing an object at line 1 column 8"},
      {"[\"1\"", "EOF while parsing a list at line 1 column 4"},
      {"[\"1\" 2]", "expected `,` or `]` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":\"1\",}", "trailing comma at line 1 column 10"},
      {"{\"a\":\"x\ny\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"{\"a\":\"\\ud800\"}", "unexpected end of hex escape at line 1 column 13"},
      {"{\"a\":\"\\udc00\"}", "lone leading surrogate in hex escape at line 1 column 12"},
      {"{\"a\":\"\xff\"}", "invalid unicode code point at line 1 column 8"},
      {"{\"a\":-}", "invalid number at line 1 column 7"},
      {"{\"a\":1.}", "invalid number at line 1 column 8"},
      {"{\"a\":\"1\"} /", "trailing characters at line 1 column 11"},
      {"{\"a\":\"1\"}/*c*/", "trailing characters at line 1 column 10"},
      {"{\"a\":\"1\"\n,\n}", "trailing comma at line 3 column 1"},
  };
  for (const auto& [json, error] : cases) EXPECT_EQ(error_of(json), error) << json;
}

// serde_json reads "-0" as the float -0.0, never as an integer.
TEST(JsonStrict, MinusZeroIsAFloat) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"a":-0})", "invalid type: floating point `-0.0`, expected a string at line 1 column 7"},
      {R"({"a":-0.0})", "invalid type: floating point `-0.0`, expected a string at line 1 column 9"},
      {R"({"a":0})", "invalid type: integer `0`, expected a string at line 1 column 6"},
      {R"({"a":-1})", "invalid type: integer `-1`, expected a string at line 1 column 7"},
      {R"({"a":-0e0})", "invalid type: floating point `-0.0`, expected a string at line 1 column 9"},
  };
  for (const auto& [json, error] : cases) EXPECT_EQ(error_of(json), error) << json;
}

TEST(JsonStrict, ErrorWithoutPositionIsTheMessageAlone) {
  EXPECT_EQ((JsonError{"missing field `x`", 0, 0}).display(), "missing field `x`");
  EXPECT_EQ(json_unexpected_float(2.0), "floating point `2.0`");
  EXPECT_EQ(json_unexpected_str("a\"b"), "string \"a\\\"b\"");
}

}  // namespace
}  // namespace qb

#include "crypto/codecs.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hex_util.h"

namespace qb {
namespace {

using test::bytes_of;
using test::hex;

TEST(CodecsEnrolmentToken, Table) {
  struct Case {
    std::string text;
    std::optional<std::string> hex;  // nullopt: refused with QB-0011
  };
  const Case cases[] = {
      {" YWJj\n", "616263"},
      {"YQ==", "61"},
      {"YQ", "61"},
      {"YQ=====", "61"},  // however many trailing "="
      {"YWJj=", "616263"},
      {"\u3000YWJj\u2028", "616263"},  // Unicode white space
      {"-_-_", "fbffbf"},
      {"", ""},
      {"  \t\n", ""},
      {"YR", std::nullopt},  // unused bits not zero
      {"YWK", std::nullopt},
      {"YQ=A", std::nullopt},
      {"=YQ", std::nullopt},
      {"Y", std::nullopt},
      {"YWJjY", std::nullopt},
      {"a+bc", std::nullopt},
      {"a/bc", std::nullopt},
      {"YW Jj", std::nullopt},
      {"YW\nJj", std::nullopt},
      {"YWJj\xc3\xa9", std::nullopt},
      {"\xffYWJj", std::nullopt},
      {"YWJj\xe2\x80", std::nullopt},  // a cut UTF-8 sequence is not white space
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = decode_enrolment_token(c.text);
    if (c.hex) {
      ASSERT_TRUE(r);
      EXPECT_EQ(hex(r->span()), *c.hex);
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().code, "QB-0011");
    }
  }
}

TEST(CodecsBase64, StrictStandardDecoding) {
  struct Case {
    std::string text;
    std::string result;  // hex, or the error's display text
    bool ok;
  };
  const Case cases[] = {
      {"", "", true},
      {"YQ==", "61", true},
      {"YWI=", "6162", true},
      {"YWJj", "616263", true},
      {"+/+/", "fbffbf", true},
      {"YQ", "Invalid padding", false},
      {"YQ=", "Invalid padding", false},
      {"YQ===", "Invalid padding", false},
      {"YWJj=", "Invalid padding", false},
      {"====", "Invalid padding", false},
      {"YR==", "Invalid last symbol 82, offset 1.", false},
      {"YWJ=", "Invalid last symbol 74, offset 2.", false},
      {"Y===", "Invalid input length 1.", false},
      {"YWJjY", "Invalid input length 5.", false},
      {"YW Jj", "Invalid symbol 32, offset 2.", false},
      {"YWJj\n", "Invalid symbol 10, offset 4.", false},
      {" YWJj", "Invalid symbol 32, offset 0.", false},
      {"-_-_", "Invalid symbol 45, offset 0.", false},
      {"YQ==YQ==", "Invalid symbol 61, offset 2.", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = decode_base64(c.text);
    ASSERT_EQ(bool(r), c.ok);
    EXPECT_EQ(r ? hex(*r) : r.error().display(), c.result);
  }
}

TEST(CodecsBase64, EncodersMatchRfc4648AndRoundTrip) {
  const std::pair<std::string, std::string> rfc[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [text, b64] : rfc) {
    EXPECT_EQ(encode_base64(text), b64);
    std::string nopad = b64.substr(0, b64.find('='));
    EXPECT_EQ(encode_base64url_nopad(bytes_of(text)), nopad);
  }
  EXPECT_EQ(encode_base64(std::vector<std::uint8_t>{0xfb, 0xff, 0xbf}), "+/+/");
  EXPECT_EQ(encode_base64url_nopad(std::vector<std::uint8_t>{0xfb, 0xff, 0xbf}), "-_-_");

  std::vector<std::uint8_t> data;
  for (int len = 0; len < 70; ++len) {
    SCOPED_TRACE(len);
    auto std_decoded = decode_base64(encode_base64(data));
    ASSERT_TRUE(std_decoded);
    EXPECT_EQ(*std_decoded, data);
    auto url_decoded = decode_enrolment_token(encode_base64url_nopad(data));
    ASSERT_TRUE(url_decoded);
    EXPECT_EQ(hex(url_decoded->span()), hex(data));
    data.push_back(static_cast<std::uint8_t>(len * 37 + 250));
  }
}

TEST(CodecsHex16, Table) {
  const std::string upper = "00112233445566778899AABBCCDDEEFF";
  struct Case {
    std::string text;
    bool ok;
  };
  const Case cases[] = {
      {upper, true},
      {"00112233445566778899aabbccddeeff", true},
      {"00112233445566778899aAbBcCdDeEfF", true},
      {upper.substr(1), false},
      {upper + "0", false},
      {std::string(" ").append(upper, 1), false},
      {upper.substr(1) + " ", false},
      {upper.substr(1) + "\n", false},
      {"00112233445566778899AABBCCDDEEFG", false},
      {"0x112233445566778899AABBCCDDEEFF", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = decode_hex16(c.text);
    ASSERT_EQ(bool(r), c.ok);
    if (c.ok) {
      EXPECT_EQ(hex(r->span()), "00112233445566778899aabbccddeeff");
    } else {
      EXPECT_EQ(r.error().code, "QB-0012");
    }
  }
}

TEST(CodecsHexDigit, Table) {
  for (char c = '0'; c <= '9'; ++c) EXPECT_EQ(*hex_digit_value(c), c - '0');
  for (char c = 'a'; c <= 'f'; ++c) EXPECT_EQ(*hex_digit_value(c), c - 'a' + 10);
  for (char c = 'A'; c <= 'F'; ++c) EXPECT_EQ(*hex_digit_value(c), c - 'A' + 10);
  for (char c : {'g', 'G', '/', ':', '@', '`', ' ', '\0', '\xff'}) {
    auto r = hex_digit_value(c);
    ASSERT_FALSE(r) << int(c);
    EXPECT_EQ(r.error().code, "QB-0012");
  }
}

TEST(CodecsHexField, Table) {
  struct Case {
    std::string text;
    std::string display;  // empty: accepted
  };
  const Case cases[] = {
      {"00112233445566778899AABBCCDDeeff", ""},
      {std::string(30, 'a'), "QB-2004: l2 expected 16 bytes, got 15"},
      {std::string(34, 'a'), "QB-2004: l2 expected 16 bytes, got 17"},
      {"", "QB-2004: l2 expected 16 bytes, got 0"},
      {std::string(31, 'a'), "QB-2004: l2 is not valid hex"},
      {std::string(31, 'a') + "g", "QB-2004: l2 is not valid hex"},
      {" " + std::string(31, 'a'), "QB-2004: l2 is not valid hex"},
      {std::string(32, 'a') + "\n", "QB-2004: l2 is not valid hex"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = decode_hex_field(c.text, "l2");
    if (c.display.empty()) {
      ASSERT_TRUE(r);
      EXPECT_EQ(hex(r->span()), "00112233445566778899aabbccddeeff");
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().display(), c.display);
      EXPECT_EQ(r.error().err.code, "QB-2004");
    }
  }
}

TEST(CodecsHex, EncodesLowercase) {
  EXPECT_EQ(encode_hex(std::vector<std::uint8_t>{0x00, 0xab, 0xff}), "00abff");
  EXPECT_EQ(encode_hex({}), "");
}

}  // namespace
}  // namespace qb

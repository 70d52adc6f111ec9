#include "crypto/node_key.h"

#include <gtest/gtest.h>

#include <string>

namespace qb {
namespace {

// 2498 lowercase digits; byte i of the key is i mod 256.
std::string key_hex() {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < kNodePublicKeyLen; ++i) {
    out.push_back(digits[(i & 0xff) >> 4]);
    out.push_back(digits[i & 15]);
  }
  return out;
}

constexpr std::string_view kRetired =
    "vault_gate_pub: a retired X25519 key (64 hex); this build needs a P-256 + ML-KEM key: make a new client blob in "
    "the vault and enrol again";
constexpr std::string_view kNotChannel =
    "vault_gate_pub: not a Quorbelt channel key (lowercase hex of the right length): make a new client blob in the "
    "vault and enrol again";

TEST(NodeKeyParse, Table) {
  const std::string good = key_hex();
  std::string one_capital = good;
  one_capital[100] = 'A';
  struct Case {
    const char* what;
    std::string text;
    std::string_view detail;  // empty: accepted
  };
  const Case cases[] = {
      {"valid", good, ""},
      {"blanks and a newline around", "  " + good + " \n", ""},
      {"Unicode white space around", "\u00a0" + good + "\u2003", ""},
      {"64 letters z", std::string(64, 'z'), kRetired},
      {"64 valid digits", good.substr(0, 64), kRetired},
      {"64 digits with blanks", std::string(" ").append(good, 0, 64) + "\n", kRetired},
      {"one capital", one_capital, kNotChannel},
      {"2500 digits", good + "00", kNotChannel},
      {"2496 digits", good.substr(0, 2496), kNotChannel},
      {"odd length", good.substr(0, 2497), kNotChannel},
      {"inner blank", good.substr(0, 1000) + " " + good.substr(1001), kNotChannel},
      {"empty", "", kNotChannel},
      {"only white space", " \t\n", kNotChannel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = parse_node_key_hex(c.text, "vault_gate_pub");
    if (c.detail.empty()) {
      ASSERT_TRUE(r);
      for (std::size_t i = 0; i < kNodePublicKeyLen; ++i) ASSERT_EQ(r->bytes[i], i & 0xff) << i;
      EXPECT_EQ(r->p256()[0], 0);
      EXPECT_EQ(r->p256()[64], 64);
      EXPECT_EQ(r->mlkem()[0], 65);
      EXPECT_EQ(r->mlkem().size(), 1184u);
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().err.code, "QB-2004");
      EXPECT_EQ(r.error().detail, c.detail);
    }
  }
}

TEST(NodeKeyIsChannelKeyHex, Table) {
  const std::string good = key_hex();
  std::string upper = good;
  upper[0] = 'A';
  const std::pair<std::string, bool> cases[] = {
      {good, true},
      {good + "\n", false},
      {std::string(" ").append(good, 1), false},
      {upper, false},
      {good.substr(0, 2496), false},
      {good + "00", false},
      {std::string(64, 'a'), false},
      {"", false},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(is_channel_key_hex(text), want) << text.size();
}

TEST(NodeKeyChannelKeyError, Texts) {
  EXPECT_EQ(display(ChannelKeyError::RetiredX25519),
            "a retired X25519 key (64 hex); this build needs a P-256 + ML-KEM key");
  EXPECT_EQ(display(ChannelKeyError::NotChannelKey), "not a Quorbelt channel key (lowercase hex of the right length)");
  EXPECT_EQ(static_cast<int>(ChannelKeyError::RetiredX25519), 0);
  EXPECT_EQ(static_cast<int>(ChannelKeyError::NotChannelKey), 1);
}

}  // namespace
}  // namespace qb

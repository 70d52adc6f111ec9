#include "crypto/ids.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace qb {
namespace {

TEST(IdsParseHexId, Table) {
  struct Case {
    std::string text;
    std::variant<std::uint64_t, IdError> want;
  };
  const Case cases[] = {
      {"", IdError::WrongLength},
      {"010000000000001", IdError::WrongLength},
      {"01000000000000001", IdError::WrongLength},
      {"0x000000000001", IdError::WrongLength},  // length first
      {"0x00000000000001", IdError::HexPrefix},
      {"0X00000000000001", IdError::HexPrefix},
      {"0xZZZZZZZZZZZZZZ", IdError::HexPrefix},
      {"1x00000000000001", IdError::InvalidChar},
      {"x000000000000001", IdError::InvalidChar},
      {"01A0000000000 01", IdError::Uppercase},  // the first offending byte decides
      {"01 0000000000A01", IdError::Whitespace},
      {"+100000000000001", IdError::Sign},
      {"0100000-00000001", IdError::Sign},
      {"\t100000000000001", IdError::Whitespace},
      {"010000000000000\n", IdError::Whitespace},
      {"01000000\f0000001", IdError::Whitespace},
      {"01000000\r0000001", IdError::Whitespace},
      {"01000000\v0000001", IdError::InvalidChar},
      {"0100000g00000001", IdError::InvalidChar},
      {"01000000000000\xc3\xa9", IdError::InvalidChar},
      {"0100000000000000", IdError::RandomPartZero},
      {"0000000000000000", IdError::Zero},
      {"8000000000000001", IdError::TopBitSet},
      {"ff00000000000000", IdError::TopBitSet},
      {"00ffffffffffffff", IdError::IssuerZero},
      {"0100000000000001", std::uint64_t{0x0100000000000001}},
      {"7fffffffffffffff", std::uint64_t{0x7fffffffffffffff}},
      {"2a0123456789abcd", std::uint64_t{0x2a0123456789abcd}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = parse_hex_id(c.text);
    if (auto* id = std::get_if<std::uint64_t>(&c.want)) {
      ASSERT_TRUE(r) << display(r.error());
      EXPECT_EQ(*r, *id);
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(display(r.error()), display(std::get<IdError>(c.want)));
    }
  }
  auto one_one = parse_hex_id("0100000000000001");
  ASSERT_TRUE(one_one);
  EXPECT_EQ(id_issuer(*one_one), 1);
  EXPECT_EQ(id_random_part(*one_one), 1u);
}

TEST(IdsIdError, DisplaysItsName) {
  const std::pair<IdError, std::string_view> names[] = {
      {IdError::WrongLength, "wrong_length"},
      {IdError::HexPrefix, "hex_prefix"},
      {IdError::Uppercase, "uppercase"},
      {IdError::Sign, "sign"},
      {IdError::Whitespace, "whitespace"},
      {IdError::InvalidChar, "invalid_char"},
      {IdError::Zero, "zero"},
      {IdError::TopBitSet, "top_bit_set"},
      {IdError::IssuerZero, "issuer_zero"},
      {IdError::RandomPartZero, "random_part_zero"},
      {IdError::IssuerOutOfRange, "issuer_out_of_range"},
      {IdError::IssuerNotMintable, "issuer_not_mintable"},
  };
  // In value order: the one-byte values are part of the type.
  for (std::size_t i = 0; i < std::size(names); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(names[i].first), i);
    EXPECT_EQ(display(names[i].first), names[i].second);
  }
}

TEST(IdsHex16, RendersSixteenLowercaseDigits) {
  EXPECT_EQ(Hex16(0x0100000000000001).view(), "0100000000000001");
  EXPECT_EQ(Hex16(0x2a0123456789abcd).str(), "2a0123456789abcd");
  EXPECT_EQ(Hex16(0).view(), "0000000000000000");
  EXPECT_EQ(Hex16(~std::uint64_t{0}).view(), "ffffffffffffffff");
  for (std::uint64_t id :
       {std::uint64_t{0x0100000000000001}, std::uint64_t{0x7f00ff00ff00ff01}, std::uint64_t{0x0a000000000000ff}}) {
    auto back = parse_hex_id(Hex16(id));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, id);
  }
}

}  // namespace
}  // namespace qb

#include "crypto/ids.h"

namespace qb {

std::string_view display(IdError e) {
  switch (e) {
    case IdError::WrongLength:
      return "wrong_length";
    case IdError::HexPrefix:
      return "hex_prefix";
    case IdError::Uppercase:
      return "uppercase";
    case IdError::Sign:
      return "sign";
    case IdError::Whitespace:
      return "whitespace";
    case IdError::InvalidChar:
      return "invalid_char";
    case IdError::Zero:
      return "zero";
    case IdError::TopBitSet:
      return "top_bit_set";
    case IdError::IssuerZero:
      return "issuer_zero";
    case IdError::RandomPartZero:
      return "random_part_zero";
    case IdError::IssuerOutOfRange:
      return "issuer_out_of_range";
    case IdError::IssuerNotMintable:
      return "issuer_not_mintable";
  }
  return "invalid_char";
}

namespace {

int lower_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

IdError classify(char c) {
  switch (c) {
    case 'A':
    case 'B':
    case 'C':
    case 'D':
    case 'E':
    case 'F':
      return IdError::Uppercase;
    case '+':
    case '-':
      return IdError::Sign;
    // Not the vertical tab: it counts as an invalid character.
    case '\t':
    case '\n':
    case '\f':
    case '\r':
    case ' ':
      return IdError::Whitespace;
    default:
      return IdError::InvalidChar;
  }
}

}  // namespace

Result<std::uint64_t, IdError> parse_hex_id(std::string_view text) {
  if (text.size() != 16) return IdError::WrongLength;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return IdError::HexPrefix;
  std::uint64_t value = 0;
  for (char c : text) {
    int v = lower_hex_value(c);
    if (v < 0) return classify(c);
    value = (value << 4) | static_cast<std::uint64_t>(v);
  }
  if (value == 0) return IdError::Zero;
  if ((value >> 63) != 0) return IdError::TopBitSet;
  if (id_issuer(value) == 0) return IdError::IssuerZero;
  if (id_random_part(value) == 0) return IdError::RandomPartZero;
  return value;
}

Hex16::Hex16(std::uint64_t id) {
  static constexpr char digits[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i) {
    chars_[static_cast<std::size_t>(i)] = digits[id & 15];
    id >>= 4;
  }
}

}  // namespace qb

// 64-bit identifiers: bit 63 clear, a non-zero issuer in the top byte and a non-zero 56-bit random
// part; in text exactly 16 lowercase hexadecimal digits.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.h"

namespace qb {

// Why a text is not an identifier. Each reason displays as its name.
enum class IdError : std::uint8_t {
  WrongLength = 0,
  HexPrefix = 1,
  Uppercase = 2,
  Sign = 3,
  Whitespace = 4,
  InvalidChar = 5,
  Zero = 6,
  TopBitSet = 7,
  IssuerZero = 8,
  RandomPartZero = 9,
  // Part of the type; parse_hex_id never reports them.
  IssuerOutOfRange = 10,
  IssuerNotMintable = 11,
};

// "wrong_length", "hex_prefix", ..., "issuer_not_mintable".
std::string_view display(IdError e);

constexpr std::uint8_t id_issuer(std::uint64_t id) { return static_cast<std::uint8_t>(id >> 56); }
constexpr std::uint64_t id_random_part(std::uint64_t id) { return id & ((std::uint64_t{1} << 56) - 1); }

// The tests in order, the first failing one deciding: length, "0x"/"0X" prefix, the first byte
// outside 0-9a-f (classified), then the value's zero, top-bit, issuer and random-part checks.
Result<std::uint64_t, IdError> parse_hex_id(std::string_view text);

// The 16-character text of an identifier, most significant nibble first, leading zeros kept.
class Hex16 {
 public:
  explicit Hex16(std::uint64_t id);
  std::string_view view() const { return {chars_.data(), chars_.size()}; }
  std::string str() const { return std::string(view()); }
  operator std::string_view() const { return view(); }

 private:
  std::array<char, 16> chars_;
};

}  // namespace qb

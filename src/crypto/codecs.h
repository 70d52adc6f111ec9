// Base64 and hexadecimal codecs with exact strictness rules. They are written here rather than
// taken from OpenSSL, whose base64 decoder skips white space and tolerates bad padding and
// trailing bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/errors.h"
#include "crypto/secret.h"

namespace qb {

// Why a text is not canonical base64.
struct Base64Error {
  enum class Kind : std::uint8_t { InvalidByte, InvalidLength, InvalidLastSymbol, InvalidPadding };
  Kind kind;
  std::size_t offset = 0;  // InvalidByte, InvalidLastSymbol
  std::uint8_t byte = 0;   // InvalidByte, InvalidLastSymbol
  std::size_t length = 0;  // InvalidLength: the number of symbols

  // "Invalid symbol 43, offset 2.", "Invalid input length 5.", "Invalid last symbol 66, offset 3.",
  // "Invalid padding"
  std::string display() const;
  bool operator==(const Base64Error&) const = default;
};

// Standard alphabet (A-Z a-z 0-9 + /) with "=" padding, strictly: the length a multiple of 4, the
// padding present and correct, the unused bits of the last symbol zero, no white space anywhere.
Result<std::vector<std::uint8_t>, Base64Error> decode_base64(std::string_view text);
// Standard alphabet with "=" padding, no line breaks.
std::string encode_base64(std::span<const std::uint8_t> bytes);
inline std::string encode_base64(std::string_view text) { return encode_base64(as_bytes(text)); }
// URL-safe alphabet (A-Z a-z 0-9 - _) without padding.
std::string encode_base64url_nopad(std::span<const std::uint8_t> bytes);

// An enrolment text: trimmed of Unicode white space, every trailing "=" dropped, then URL-safe
// base64 without padding (a final group of one symbol or non-zero unused bits is refused).
// Any refusal is QB-0011.
CryptoResult<SecretBytes> decode_enrolment_token(std::string_view text);

// 0-9, a-f, A-F to its value; anything else is QB-0012.
CryptoResult<std::uint8_t> hex_digit_value(char c);
// Exactly 32 hexadecimal digits of either case, untrimmed, to 16 bytes; else QB-0012.
CryptoResult<SecretArray<16>> decode_hex16(std::string_view text);
// A 16-byte configuration field in hexadecimal (either case, untrimmed). Refusals are QB-2004 with
// "{field} is not valid hex" or "{field} expected 16 bytes, got {n}".
CliResult<SecretArray<16>> decode_hex_field(std::string_view text, std::string_view field);

// Lowercase hexadecimal.
std::string encode_hex(std::span<const std::uint8_t> bytes);

}  // namespace qb

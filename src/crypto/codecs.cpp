#include "crypto/codecs.h"

#include <array>
#include <cstdint>

#include <fmt/format.h>

#include "core/text.h"

namespace qb {

namespace {

enum class Alphabet { Standard, UrlSafe };
enum class Padding { Required, None };

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// The 6-bit value of every byte under an alphabet, or -1: a table, since a gate reply or request
// is thousands of symbols read twice.
using SymbolTable = std::array<std::int8_t, 256>;

constexpr SymbolTable symbol_table(const char* alphabet) {
  SymbolTable t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  return t;
}

constexpr SymbolTable kStandardValues = symbol_table(kStandard);
constexpr SymbolTable kUrlSafeValues = symbol_table(kUrlSafe);

int symbol_value(unsigned char c, Alphabet alphabet) {
  return (alphabet == Alphabet::Standard ? kStandardValues : kUrlSafeValues)[c];
}

Result<std::vector<std::uint8_t>, Base64Error> decode(std::string_view text, Alphabet alphabet, Padding padding) {
  using Kind = Base64Error::Kind;
  // Symbols run up to the first "="; only "=" may follow, and only where padding is expected.
  std::size_t symbols = text.size();
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '=') {
      symbols = i;
      for (std::size_t j = i; j < text.size(); ++j) {
        if (text[j] != '=') return Base64Error{Kind::InvalidByte, i, static_cast<std::uint8_t>('=')};
      }
      if (padding == Padding::None) return Base64Error{Kind::InvalidByte, i, static_cast<std::uint8_t>('=')};
      break;
    }
    if (symbol_value(c, alphabet) < 0) return Base64Error{Kind::InvalidByte, i, c};
  }
  const std::size_t rem = symbols % 4;
  if (rem == 1) return Base64Error{Kind::InvalidLength, 0, 0, symbols};
  if (padding == Padding::Required) {
    const std::size_t pads = text.size() - symbols;
    if (pads != (rem == 0 ? 0 : 4 - rem)) return Base64Error{Kind::InvalidPadding};
  }
  if (rem != 0) {
    // A final group of two symbols carries one byte (4 bits unused), of three two bytes (2 unused).
    const std::size_t last = symbols - 1;
    const int unused_mask = rem == 2 ? 0x0F : 0x03;
    auto c = static_cast<unsigned char>(text[last]);
    if ((symbol_value(c, alphabet) & unused_mask) != 0) return Base64Error{Kind::InvalidLastSymbol, last, c};
  }

  // Every symbol is valid by now: whole groups of four give three bytes each, then the tail.
  const SymbolTable& values = alphabet == Alphabet::Standard ? kStandardValues : kUrlSafeValues;
  auto value = [&](std::size_t i) { return static_cast<std::uint32_t>(values[static_cast<unsigned char>(text[i])]); };
  std::vector<std::uint8_t> out(symbols / 4 * 3 + (rem == 0 ? 0 : rem - 1));
  std::size_t at = 0;
  std::size_t i = 0;
  for (; i + 4 <= symbols; i += 4) {
    const std::uint32_t v = (value(i) << 18) | (value(i + 1) << 12) | (value(i + 2) << 6) | value(i + 3);
    out[at++] = static_cast<std::uint8_t>(v >> 16);
    out[at++] = static_cast<std::uint8_t>(v >> 8);
    out[at++] = static_cast<std::uint8_t>(v);
  }
  if (rem >= 2) {
    const std::uint32_t v = (value(i) << 18) | (value(i + 1) << 12) | (rem == 3 ? value(i + 2) << 6 : 0);
    out[at++] = static_cast<std::uint8_t>(v >> 16);
    if (rem == 3) out[at++] = static_cast<std::uint8_t>(v >> 8);
  }
  return out;
}

std::string encode(std::span<const std::uint8_t> bytes, const char* alphabet, Padding padding) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
    out.push_back(alphabet[(v >> 6) & 63]);
    out.push_back(alphabet[v & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
    if (padding == Padding::Required) out.append("==");
  } else if (rest == 2) {
    std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
    out.push_back(alphabet[(v >> 6) & 63]);
    if (padding == Padding::Required) out.push_back('=');
  }
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string Base64Error::display() const {
  switch (kind) {
    case Kind::InvalidByte:
      return fmt::format("Invalid symbol {}, offset {}.", byte, offset);
    case Kind::InvalidLength:
      return fmt::format("Invalid input length {}.", length);
    case Kind::InvalidLastSymbol:
      return fmt::format("Invalid last symbol {}, offset {}.", byte, offset);
    case Kind::InvalidPadding:
      break;
  }
  return "Invalid padding";
}

Result<std::vector<std::uint8_t>, Base64Error> decode_base64(std::string_view text) {
  return decode(text, Alphabet::Standard, Padding::Required);
}

std::string encode_base64(std::span<const std::uint8_t> bytes) { return encode(bytes, kStandard, Padding::Required); }

std::string encode_base64url_nopad(std::span<const std::uint8_t> bytes) {
  return encode(bytes, kUrlSafe, Padding::None);
}

CryptoResult<SecretBytes> decode_enrolment_token(std::string_view text) {
  std::string_view rest = trim_ws(text);
  while (!rest.empty() && rest.back() == '=') rest.remove_suffix(1);
  auto decoded = decode(rest, Alphabet::UrlSafe, Padding::None);
  if (!decoded) return catalogue::QB_0011;
  SecretBytes out{std::span<const std::uint8_t>(*decoded)};
  secure_wipe(*decoded);
  return out;
}

CryptoResult<std::uint8_t> hex_digit_value(char c) {
  int v = hex_value(c);
  if (v < 0) return catalogue::QB_0012;
  return static_cast<std::uint8_t>(v);
}

CryptoResult<SecretArray<16>> decode_hex16(std::string_view text) {
  if (text.size() != 32) return catalogue::QB_0012;
  SecretArray<16> out;
  for (std::size_t i = 0; i < 16; ++i) {
    QB_TRY(auto hi, hex_digit_value(text[2 * i]));
    QB_TRY(auto lo, hex_digit_value(text[2 * i + 1]));
    out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  return out;
}

CliResult<SecretArray<16>> decode_hex_field(std::string_view text, std::string_view field) {
  bool valid = text.size() % 2 == 0;
  for (std::size_t i = 0; valid && i < text.size(); ++i) valid = hex_value(text[i]) >= 0;
  if (!valid) return CliError(catalogue::QB_2004, fmt::format("{} is not valid hex", field));
  if (text.size() / 2 != 16) {
    return CliError(catalogue::QB_2004, fmt::format("{} expected {} bytes, got {}", field, 16, text.size() / 2));
  }
  // Decoded straight into the wiping array: no other copy of the bytes exists.
  SecretArray<16> out;
  for (std::size_t i = 0; i < 16; ++i) {
    out[i] = static_cast<std::uint8_t>((hex_value(text[2 * i]) << 4) | hex_value(text[2 * i + 1]));
  }
  return out;
}

std::string encode_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

}  // namespace qb

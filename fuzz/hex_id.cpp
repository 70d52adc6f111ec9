// The hexadecimal decoders and the identifier parser: accepted texts render back to themselves,
// refusals name the first offending byte's class.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crypto/codecs.h"
#include "crypto/ids.h"
#include "fuzz_check.h"

namespace {

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

qb::IdError model_char_error(std::string_view t) {
  for (char ch : t) {
    unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) continue;
    if (c >= 'A' && c <= 'F') return qb::IdError::Uppercase;
    if (c == '+' || c == '-') return qb::IdError::Sign;
    if (c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ') return qb::IdError::Whitespace;
    return qb::IdError::InvalidChar;
  }
  return qb::IdError::Zero;  // no offending byte
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = qb::fuzz::as_text(data, size);

  bool all_hex = std::all_of(text.begin(), text.end(), is_hex);
  auto h16 = qb::decode_hex16(text);
  QB_FUZZ_CHECK(bool(h16) == (text.size() == 32 && all_hex));
  if (h16) {
    QB_FUZZ_CHECK(qb::encode_hex(std::span<const std::uint8_t>(h16->data(), 16)) == qb::fuzz::lower_ascii(text));
  } else {
    QB_FUZZ_CHECK(h16.error().code == "QB-0012");
  }
  auto field = qb::decode_hex_field(text, "l2");
  if (h16) {
    QB_FUZZ_CHECK(field && std::equal(field->data(), field->data() + 16, h16->data()));
  } else {
    QB_FUZZ_CHECK(!field);
  }

  auto id = qb::parse_hex_id(text);
  if (id) {
    QB_FUZZ_CHECK(qb::Hex16(*id).view() == text);
    QB_FUZZ_CHECK((*id >> 63) == 0 && qb::id_issuer(*id) != 0 && qb::id_random_part(*id) != 0);
    return 0;
  }
  qb::IdError e = id.error();
  QB_FUZZ_CHECK(!qb::display(e).empty());
  if (text.size() != 16) {
    QB_FUZZ_CHECK(e == qb::IdError::WrongLength);
  } else if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    QB_FUZZ_CHECK(e == qb::IdError::HexPrefix);
  } else if (qb::IdError c = model_char_error(text); c != qb::IdError::Zero) {
    QB_FUZZ_CHECK(e == c);
  } else {
    // Sixteen lowercase digits: only the value checks can refuse them.
    QB_FUZZ_CHECK(e == qb::IdError::Zero || e == qb::IdError::TopBitSet || e == qb::IdError::IssuerZero ||
                  e == qb::IdError::RandomPartZero);
  }
  return 0;
}

// The strict base64 decoder and the enrolment-text decoder: whatever decodes re-encodes to its
// canonical text, and every byte string survives the round trip.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/text.h"
#include "crypto/codecs.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = qb::fuzz::as_text(data, size);
  std::span<const std::uint8_t> bytes(data, size);

  auto std_decoded = qb::decode_base64(text);
  if (std_decoded) {
    // Strict means canonical: one text per byte string.
    QB_FUZZ_CHECK(qb::encode_base64(*std_decoded) == text);
  } else {
    const qb::Base64Error& e = std_decoded.error();
    if (e.kind == qb::Base64Error::Kind::InvalidByte || e.kind == qb::Base64Error::Kind::InvalidLastSymbol) {
      QB_FUZZ_CHECK(e.offset < text.size());
      QB_FUZZ_CHECK(static_cast<std::uint8_t>(text[e.offset]) == e.byte);
    }
    QB_FUZZ_CHECK(!e.display().empty());
  }
  auto round = qb::decode_base64(qb::encode_base64(bytes));
  QB_FUZZ_CHECK(round && std::equal(round->begin(), round->end(), bytes.begin(), bytes.end()));

  auto token = qb::decode_enrolment_token(text);
  std::string_view core = qb::trim_ws(text);
  while (!core.empty() && core.back() == '=') core.remove_suffix(1);
  if (token) {
    QB_FUZZ_CHECK(qb::encode_base64url_nopad(token->span()) == core);
  } else {
    QB_FUZZ_CHECK(token.error().code == "QB-0011");
  }
  std::string url = qb::encode_base64url_nopad(bytes);
  for (const char* wrap : {"", "=", "==="}) {
    auto back = qb::decode_enrolment_token(" \t" + url + wrap + "\n");
    QB_FUZZ_CHECK(back && std::equal(back->begin(), back->end(), bytes.begin(), bytes.end()));
  }
  return 0;
}

// The IP-literal parsers against the C library's inet_pton, which the callers used before, and the
// port parsers against a direct reading of their rule.
#include <arpa/inet.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "proxy/http/ip_literal.h"

namespace {

bool same_as_platform(int family, const std::string& text, const std::optional<qb::IpAddress>& got) {
  std::array<std::uint8_t, 16> want{};
  const bool ok = ::inet_pton(family, text.c_str(), want.data()) == 1;
  if (ok != got.has_value()) return false;
  if (!ok) return true;
  const auto bytes = got->bytes();
  return bytes.size() == (family == AF_INET ? 4u : 16u) && std::equal(bytes.begin(), bytes.end(), want.begin());
}

std::optional<std::uint32_t> model_digits(std::string_view t, std::uint32_t max) {
  if (t.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > max) return std::nullopt;
  }
  return static_cast<std::uint32_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = qb::fuzz::as_text(data, size);

  const auto v4 = qb::parse_ipv4_literal(text);
  const auto v6 = qb::parse_ipv6_literal(text);
  if (text.find('\0') == std::string_view::npos) {
    const std::string c(text);
    QB_FUZZ_CHECK(same_as_platform(AF_INET, c, v4));
    QB_FUZZ_CHECK(same_as_platform(AF_INET6, c, v6));
  } else {
    QB_FUZZ_CHECK(!v4 && !v6);
  }
  QB_FUZZ_CHECK(!(v4 && v6));
  QB_FUZZ_CHECK(qb::parse_ip_literal(text) == (v4 ? v4 : v6));

  const auto zoned = qb::parse_ipv6_with_zone(text);
  const std::size_t pct = text.find('%');
  QB_FUZZ_CHECK(zoned.has_value() == qb::parse_ipv6_literal(text.substr(0, pct)).has_value());
  if (zoned) {
    QB_FUZZ_CHECK(zoned->zone.has_value() == (pct != std::string_view::npos));
    if (zoned->zone) QB_FUZZ_CHECK(*zoned->zone == text.substr(pct + 1));
  }

  const auto digits = qb::parse_port_digits(text);
  QB_FUZZ_CHECK(digits == model_digits(text, 65535));
  const std::string_view unsigned_text = !text.empty() && text[0] == '+' ? text.substr(1) : text;
  QB_FUZZ_CHECK(qb::parse_port(text) == model_digits(unsigned_text, 65535));
  QB_FUZZ_CHECK(qb::parse_decimal_u32(text) == model_digits(text, 0xFFFFFFFFu));
  return 0;
}

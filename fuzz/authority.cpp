// split_authority and parse_port against a direct reading of their rules, and the round trip
// through connect_authority.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "proxy/http/authority.h"
#include "proxy/http/http_types.h"

namespace {

std::optional<std::uint16_t> model_port(std::string_view t) {
  if (!t.empty() && t[0] == '+') t.remove_prefix(1);
  if (t.empty()) return std::nullopt;
  std::uint32_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
    if (v > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(v);
}

qb::Authority model_split(std::string_view t) {
  auto port_of = [](std::string_view p) { return model_port(p).value_or(443); };
  if (!t.empty() && t[0] == '[') {
    std::size_t close = t.find(']', 1);
    if (close != t.npos) {
      std::string_view rest = t.substr(close + 1);
      std::uint16_t port = !rest.empty() && rest[0] == ':' ? port_of(rest.substr(1)) : 443;
      return {std::string(t.substr(1, close - 1)), port};
    }
  }
  std::size_t colons = 0;
  for (char c : t) colons += c == ':';
  if (colons == 1) {
    std::size_t c = t.find(':');
    return {std::string(t.substr(0, c)), port_of(t.substr(c + 1))};
  }
  return {std::string(t), 443};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = qb::fuzz::as_text(data, size);

  auto port = qb::parse_port(text);
  QB_FUZZ_CHECK(port == model_port(text));
  if (port) {
    QB_FUZZ_CHECK(qb::parse_port(std::to_string(*port)) == port);
  }

  qb::Authority a = qb::split_authority(text);
  qb::Authority m = model_split(text);
  QB_FUZZ_CHECK(a.host == m.host);
  QB_FUZZ_CHECK(a.port == m.port);

  // What connect_authority writes splits back to the same host and port, unless the host holds
  // a bracket that the writer does not escape.
  if (a.host.find_first_of("[]") == std::string::npos && !a.host.empty()) {
    qb::Authority back = qb::split_authority(qb::connect_authority(a.host, a.port));
    QB_FUZZ_CHECK(back.host == a.host);
    QB_FUZZ_CHECK(back.port == a.port);
  }
  return 0;
}

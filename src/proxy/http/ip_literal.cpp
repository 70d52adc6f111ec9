#include "proxy/http/ip_literal.h"

#include <algorithm>
#include <cstring>

namespace qb {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_v4_into(std::string_view s, std::uint8_t* out) {
  std::size_t part = 0;
  std::size_t i = 0;
  while (true) {
    std::size_t digits = 0;
    unsigned value = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(s[i] - '0');
      ++digits;
      ++i;
    }
    if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && s[i - digits] == '0')) return false;
    out[part++] = static_cast<std::uint8_t>(value);
    if (part == 4) break;
    if (i >= s.size() || s[i] != '.') return false;
    ++i;
  }
  return i == s.size();
}

template <typename N>
std::optional<N> parse_decimal(std::string_view text, std::uint64_t max) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max) return std::nullopt;
  }
  return static_cast<N>(value);
}

}  // namespace

IpAddress IpAddress::v4(const std::array<std::uint8_t, kV4Size>& bytes) {
  std::array<std::uint8_t, kV6Size> all{};
  std::copy(bytes.begin(), bytes.end(), all.begin());
  return IpAddress(Family::V4, all);
}

IpAddress IpAddress::v6(const std::array<std::uint8_t, kV6Size>& bytes) { return IpAddress(Family::V6, bytes); }

std::span<const std::uint8_t> IpAddress::bytes() const {
  return std::span<const std::uint8_t>(bytes_.data(), is_v4() ? kV4Size : kV6Size);
}

std::array<std::uint8_t, IpAddress::kV4Size> IpAddress::v4_bytes() const {
  return {bytes_[0], bytes_[1], bytes_[2], bytes_[3]};
}

std::optional<IpAddress> parse_ipv4_literal(std::string_view text) {
  std::array<std::uint8_t, IpAddress::kV4Size> bytes{};
  if (!parse_v4_into(text, bytes.data())) return std::nullopt;
  return IpAddress::v4(bytes);
}

// Groups are written left to right; the groups after a "::" are moved to the end once the
// whole text is read.
std::optional<IpAddress> parse_ipv6_literal(std::string_view s) {
  std::array<std::uint8_t, IpAddress::kV6Size> out{};
  std::size_t filled = 0;
  std::optional<std::size_t> gap;  // where "::" stands
  std::size_t i = 0;
  if (s.empty()) return std::nullopt;
  if (s[0] == ':') {
    if (s.size() < 2 || s[1] != ':') return std::nullopt;
    i = 1;
  }
  std::size_t token = i;
  std::size_t digits = 0;
  unsigned group = 0;
  bool tail_v4 = false;
  while (i < s.size()) {
    const char c = s[i++];
    if (const int h = hex_value(c); h >= 0) {
      if (digits == 4) return std::nullopt;
      group = (group << 4) | static_cast<unsigned>(h);
      ++digits;
      continue;
    }
    if (c == ':') {
      token = i;
      if (digits == 0) {
        if (gap) return std::nullopt;
        gap = filled;
        continue;
      }
      if (i == s.size()) return std::nullopt;  // a lone trailing ':'
      if (filled + 2 > out.size()) return std::nullopt;
      out[filled++] = static_cast<std::uint8_t>(group >> 8);
      out[filled++] = static_cast<std::uint8_t>(group & 0xFF);
      digits = 0;
      group = 0;
      continue;
    }
    if (c == '.' && filled + 4 <= out.size() && parse_v4_into(s.substr(token), out.data() + filled)) {
      filled += 4;
      tail_v4 = true;
      break;
    }
    return std::nullopt;
  }
  if (!tail_v4 && digits > 0) {
    if (filled + 2 > out.size()) return std::nullopt;
    out[filled++] = static_cast<std::uint8_t>(group >> 8);
    out[filled++] = static_cast<std::uint8_t>(group & 0xFF);
  }
  if (gap) {
    if (filled == out.size()) return std::nullopt;  // "::" must stand for at least one group
    const std::size_t moved = filled - *gap;
    std::copy_backward(out.begin() + static_cast<std::ptrdiff_t>(*gap),
                       out.begin() + static_cast<std::ptrdiff_t>(filled), out.end());
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(*gap), out.end() - static_cast<std::ptrdiff_t>(moved),
              std::uint8_t{0});
    filled = out.size();
  }
  if (filled != out.size()) return std::nullopt;
  return IpAddress::v6(out);
}

std::optional<IpAddress> parse_ip_literal(std::string_view text) {
  if (auto v4 = parse_ipv4_literal(text)) return v4;
  return parse_ipv6_literal(text);
}

std::optional<ZonedIpv6> parse_ipv6_with_zone(std::string_view text) {
  const std::size_t pct = text.find('%');
  auto address = parse_ipv6_literal(text.substr(0, pct));
  if (!address) return std::nullopt;
  ZonedIpv6 out{*address, std::nullopt};
  if (pct != std::string_view::npos) out.zone = text.substr(pct + 1);
  return out;
}

std::optional<std::uint16_t> parse_port_digits(std::string_view text) {
  return parse_decimal<std::uint16_t>(text, 65535);
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return parse_port_digits(text);
}

std::optional<std::uint32_t> parse_decimal_u32(std::string_view text) {
  return parse_decimal<std::uint32_t>(text, 0xFFFF'FFFFull);
}

}  // namespace qb

// IP-address literals and port numbers as they appear in hosts, authorities and listen
// addresses: the one parser of each, with no socket library behind it, so that every check of
// "is this an address" agrees.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace qb {

// An IPv4 or IPv6 address as its bytes in network order (4 or 16 of them).
class IpAddress {
 public:
  enum class Family : std::uint8_t { V4, V6 };
  static constexpr std::size_t kV4Size = 4;
  static constexpr std::size_t kV6Size = 16;

  static IpAddress v4(const std::array<std::uint8_t, kV4Size>& bytes);
  static IpAddress v6(const std::array<std::uint8_t, kV6Size>& bytes);

  Family family() const { return family_; }
  bool is_v4() const { return family_ == Family::V4; }
  bool is_v6() const { return family_ == Family::V6; }
  // 4 bytes for IPv4, 16 for IPv6.
  std::span<const std::uint8_t> bytes() const;
  // The IPv4 bytes (call only when is_v4()).
  std::array<std::uint8_t, kV4Size> v4_bytes() const;
  // The IPv6 bytes (call only when is_v6()).
  const std::array<std::uint8_t, kV6Size>& v6_bytes() const { return bytes_; }

  friend bool operator==(const IpAddress&, const IpAddress&) = default;

 private:
  IpAddress(Family family, const std::array<std::uint8_t, kV6Size>& bytes) : family_(family), bytes_(bytes) {}
  Family family_ = Family::V4;
  std::array<std::uint8_t, kV6Size> bytes_{};  // IPv4 in the first four
};

// Dotted decimal: exactly four parts of 0-255, no leading zeros, nothing around them.
std::optional<IpAddress> parse_ipv4_literal(std::string_view text);
// The IPv6 text form (hex groups of at most four digits, one "::" at most, an optional dotted
// IPv4 tail), without brackets or zone.
std::optional<IpAddress> parse_ipv6_literal(std::string_view text);
// Either form.
std::optional<IpAddress> parse_ip_literal(std::string_view text);

// An IPv6 literal and what follows its first '%', if there is one (unchecked, maybe empty).
struct ZonedIpv6 {
  IpAddress address;
  std::optional<std::string_view> zone;
};
std::optional<ZonedIpv6> parse_ipv6_with_zone(std::string_view text);

// Decimal digits only (any number of leading zeros), at most 65535.
std::optional<std::uint16_t> parse_port_digits(std::string_view text);
// As parse_port_digits, after one optional leading '+'.
std::optional<std::uint16_t> parse_port(std::string_view text);
// Decimal digits only, at most 2^32-1 (interface indexes).
std::optional<std::uint32_t> parse_decimal_u32(std::string_view text);

}  // namespace qb

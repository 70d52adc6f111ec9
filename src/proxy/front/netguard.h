// Network guard: the fixed table of blocked address ranges, the test of one address against it,
// and the filter that the upstream resolver applies to every answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "core/result.h"

namespace qb {

// One blocked network: family, network address (the first 4 bytes for IPv4) and prefix length.
struct BlockedNet {
  bool v6 = false;
  std::array<std::uint8_t, 16> addr{};
  std::uint8_t prefix = 0;
  std::string_view text;  // the CIDR text it was parsed from
};

inline constexpr std::size_t BLOCKED_NET_COUNT = 28;

// Builds the table once per process (thread-safe) and returns it; later calls only read it.
const std::array<BlockedNet, BLOCKED_NET_COUNT>& blocked_nets_init();

// True when the address lies inside an entry of its own family. No IPv4-mapped handling.
bool in_blocked_table(const boost::asio::ip::address_v4& ip);
bool in_blocked_table(const boost::asio::ip::address_v6& ip);
bool in_blocked_table(const boost::asio::ip::address& ip);

// The guard's verdict. An IPv4-mapped IPv6 address is judged by its IPv4 address alone; other
// IPv6 addresses are also judged by an IPv4 address embedded in the 6to4, NAT64 or
// IPv4-compatible forms. Pure; allocates nothing.
bool is_blocked_ip(const boost::asio::ip::address_v4& ip);
bool is_blocked_ip(const boost::asio::ip::address_v6& ip);
bool is_blocked_ip(const boost::asio::ip::address& ip);

// Starting at cursor, the next address the guard does not block; cursor moves past it.
std::optional<boost::asio::ip::address> next_allowed_addr(std::span<const boost::asio::ip::address> addrs,
                                                          std::size_t& cursor);

// A failed resolution: the look-up's own error, or permission-denied for a guarded answer.
struct ResolveError {
  std::error_code code;
  std::string message;

  const std::string& display() const { return message; }
};

// Resolved addresses carry no port: the connector sets it.
using ResolveResult = Result<std::vector<boost::asio::ip::address>, ResolveError>;

// The system's getaddrinfo for a host name, in the order it answers (blocking).
ResolveResult system_lookup(const std::string& host);

// Applies the guard to a look-up's outcome: errors pass unchanged; with allow_private every
// address is kept; otherwise blocked addresses are dropped, and an answer left empty fails.
ResolveResult guard_lookup_result(std::string_view host, ResolveResult looked_up, bool allow_private);

// The error category of getaddrinfo's EAI_* codes.
const std::error_category& gai_category();

}  // namespace qb

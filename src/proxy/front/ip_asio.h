// The parsed address literals as Asio's address types, for the code that connects, binds or
// guards with them.
#pragma once

#include <net/if.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/ip/address.hpp>

#include "proxy/http/ip_literal.h"

namespace qb {

inline boost::asio::ip::address_v4 to_asio_v4(const IpAddress& a) { return boost::asio::ip::address_v4(a.v4_bytes()); }

inline boost::asio::ip::address_v6 to_asio_v6(const IpAddress& a, unsigned long scope_id = 0) {
  return boost::asio::ip::address_v6(a.v6_bytes(), scope_id);
}

inline boost::asio::ip::address to_asio(const IpAddress& a) {
  if (a.is_v4()) return boost::asio::ip::address(to_asio_v4(a));
  return boost::asio::ip::address(to_asio_v6(a));
}

// A host that is an address literal, as the upstream connector reads a CONNECT target: IPv4,
// or IPv6 with anything after a '%' as its zone. The zone names an interface for link-local
// (unicast or multicast) addresses when such an interface exists; otherwise its leading number
// is the scope (0 when it has none).
inline std::optional<boost::asio::ip::address> connectable_address_literal(std::string_view host) {
  if (auto v4 = parse_ipv4_literal(host)) return boost::asio::ip::address(to_asio_v4(*v4));
  auto v6 = parse_ipv6_with_zone(host);
  if (!v6) return std::nullopt;
  unsigned long scope = 0;
  if (v6->zone) {
    const std::string zone(*v6->zone);
    const auto& b = v6->address.v6_bytes();
    const bool link_local = b[0] == 0xfe && (b[1] & 0xc0) == 0x80;
    const bool multicast_link_local = b[0] == 0xff && (b[1] & 0x0f) == 0x02;
    if (link_local || multicast_link_local) scope = ::if_nametoindex(zone.c_str());
    if (scope == 0) scope = static_cast<unsigned long>(std::atoi(zone.c_str()));
  }
  return boost::asio::ip::address(to_asio_v6(v6->address, scope));
}

}  // namespace qb

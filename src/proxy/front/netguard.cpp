#include "proxy/front/netguard.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include <fmt/format.h>

#include "core/errors.h"
#include "core/runtime_async.h"
#include "core/text.h"
#include "proxy/front/netguard_async.h"
#include "proxy/http/ip_literal.h"

namespace qb {
namespace {

namespace ip = boost::asio::ip;

constexpr std::array<std::string_view, BLOCKED_NET_COUNT> kBlockedTexts = {
    "169.254.169.254/32",  // cloud instance metadata
    "fd00:ec2::254/128",   // cloud instance metadata, IPv6
    "127.0.0.0/8",
    "::1/128",
    "10.0.0.0/8",
    "172.16.0.0/12",
    "192.168.0.0/16",
    "169.254.0.0/16",
    "fe80::/10",
    "100.64.0.0/10",  // carrier-grade NAT
    "fc00::/7",
    "0.0.0.0/8",
    "::/128",
    "255.255.255.255/32",  // inside 240.0.0.0/4 too; kept all the same
    "224.0.0.0/4",
    "ff00::/8",
    "240.0.0.0/4",
    "192.0.2.0/24",
    "198.51.100.0/24",
    "203.0.113.0/24",
    "2001:db8::/32",
    "192.0.0.0/24",
    "198.18.0.0/15",
    "2002::/16",       // 6to4
    "64:ff9b::/96",    // NAT64 well-known
    "64:ff9b:1::/48",  // NAT64 local use
    "2001::/32",       // Teredo
    "::/96",           // IPv4-compatible
};

std::optional<BlockedNet> parse_cidr(std::string_view text) {
  auto slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  auto prefix_text = text.substr(slash + 1);
  unsigned prefix = 0;
  auto [end, ec] = std::from_chars(prefix_text.data(), prefix_text.data() + prefix_text.size(), prefix);
  if (ec != std::errc() || end != prefix_text.data() + prefix_text.size()) return std::nullopt;

  BlockedNet net;
  net.text = text;
  const auto address = parse_ip_literal(text.substr(0, slash));
  if (!address) return std::nullopt;
  net.v6 = address->is_v6();
  if (prefix > (net.v6 ? 128u : 32u)) return std::nullopt;
  std::copy(address->bytes().begin(), address->bytes().end(), net.addr.begin());
  net.prefix = static_cast<std::uint8_t>(prefix);
  return net;
}

std::array<BlockedNet, BLOCKED_NET_COUNT> build_table() {
  std::array<BlockedNet, BLOCKED_NET_COUNT> table;
  for (std::size_t i = 0; i < kBlockedTexts.size(); ++i) {
    auto net = parse_cidr(kBlockedTexts[i]);
    if (!net) {
      // The texts are fixed; reaching this means the build itself is broken.
      std::fputs("static CIDR is valid\n", stderr);
      std::abort();
    }
    table[i] = *net;
  }
  return table;
}

// first <= ip <= last, both bounds derived from the entry's address and prefix, compared as
// unsigned big-endian numbers.
bool net_contains(const BlockedNet& net, const std::uint8_t* ip, std::size_t len) {
  std::array<std::uint8_t, 16> first{};
  std::array<std::uint8_t, 16> last{};
  for (std::size_t i = 0; i < len; ++i) {
    unsigned bits_here = net.prefix >= (i + 1) * 8 ? 8u : (net.prefix > i * 8 ? net.prefix - i * 8 : 0u);
    auto mask = static_cast<std::uint8_t>(0xff00u >> bits_here);
    first[i] = static_cast<std::uint8_t>(net.addr[i] & mask);
    last[i] = static_cast<std::uint8_t>(net.addr[i] | ~mask);
  }
  return !std::lexicographical_compare(ip, ip + len, first.data(), first.data() + len) &&
         !std::lexicographical_compare(last.data(), last.data() + len, ip, ip + len);
}

bool table_has(bool v6, const std::uint8_t* ip, std::size_t len) {
  for (const auto& net : blocked_nets_init()) {
    if (net.v6 != v6) continue;
    if (net_contains(net, ip, len)) return true;
  }
  return false;
}

bool starts_with(const ip::address_v6::bytes_type& b, std::initializer_list<std::uint8_t> head) {
  return std::equal(head.begin(), head.end(), b.begin());
}

bool all_zero(const ip::address_v6::bytes_type& b, std::size_t from, std::size_t to) {
  return std::all_of(b.begin() + from, b.begin() + to, [](std::uint8_t x) { return x == 0; });
}

ip::address_v4 v4_at(const ip::address_v6::bytes_type& b, std::size_t at) {
  return ip::address_v4(ip::address_v4::bytes_type{b[at], b[at + 1], b[at + 2], b[at + 3]});
}

// The IPv4 address carried by a 6to4, NAT64 or IPv4-compatible address, the first form that fits.
std::optional<ip::address_v4> embedded_v4(const ip::address_v6::bytes_type& b) {
  if (starts_with(b, {0x20, 0x02})) return v4_at(b, 2);
  if (starts_with(b, {0x00, 0x64, 0xff, 0x9b}) && all_zero(b, 4, 12)) return v4_at(b, 12);
  if (starts_with(b, {0x00, 0x64, 0xff, 0x9b, 0x00, 0x01}) && all_zero(b, 6, 12)) return v4_at(b, 12);
  if (all_zero(b, 0, 12)) return v4_at(b, 12);
  return std::nullopt;
}

class GaiCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "getaddrinfo"; }
  std::string message(int ev) const override { return ::gai_strerror(ev); }
};

ResolveResult lookup_error(std::error_code code, std::string message) { return ResolveError{code, std::move(message)}; }

boost::asio::awaitable<ResolveResult> guarded_resolve(BlockingPool& pool, bool allow_private,
                                                      std::shared_ptr<const GuardedResolver::Lookup> lookup,
                                                      std::string host) {
  // A named job, not a temporary in the co_await: g++ 12 destroys such temporaries twice.
  auto job = [lookup, host] { return (*lookup)(host); };
  ResolveResult found = co_await spawn_blocking(pool, std::move(job));
  co_return guard_lookup_result(host, std::move(found), allow_private);
}

}  // namespace

const std::array<BlockedNet, BLOCKED_NET_COUNT>& blocked_nets_init() {
  static const std::array<BlockedNet, BLOCKED_NET_COUNT> BLOCKED_NETS = build_table();
  return BLOCKED_NETS;
}

bool in_blocked_table(const ip::address_v4& ip) {
  auto b = ip.to_bytes();
  return table_has(false, b.data(), b.size());
}

bool in_blocked_table(const ip::address_v6& ip) {
  auto b = ip.to_bytes();
  return table_has(true, b.data(), b.size());
}

bool in_blocked_table(const ip::address& ip) {
  return ip.is_v4() ? in_blocked_table(ip.to_v4()) : in_blocked_table(ip.to_v6());
}

bool is_blocked_ip(const ip::address_v4& ip) { return in_blocked_table(ip); }

bool is_blocked_ip(const ip::address_v6& ip) {
  auto b = ip.to_bytes();
  if (all_zero(b, 0, 10) && b[10] == 0xff && b[11] == 0xff) return in_blocked_table(v4_at(b, 12));
  if (auto v4 = embedded_v4(b); v4 && in_blocked_table(*v4)) return true;
  return in_blocked_table(ip);
}

bool is_blocked_ip(const ip::address& ip) { return ip.is_v4() ? is_blocked_ip(ip.to_v4()) : is_blocked_ip(ip.to_v6()); }

std::optional<ip::address> next_allowed_addr(std::span<const ip::address> addrs, std::size_t& cursor) {
  while (cursor < addrs.size()) {
    const auto& a = addrs[cursor++];
    if (!is_blocked_ip(a)) return a;
  }
  return std::nullopt;
}

const std::error_category& gai_category() {
  static const GaiCategory category;
  return category;
}

ResolveResult system_lookup(const std::string& host) {
  if (host.find('\0') != std::string::npos) {
    return lookup_error(std::make_error_code(std::errc::invalid_argument),
                        "host name contained an unexpected NUL byte");
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;  // one answer per address, not one per socket type
  addrinfo* raw = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) {
      int e = errno;
      return lookup_error(std::error_code(e, std::system_category()), os_error_text(e));
    }
    return lookup_error(std::error_code(rc, gai_category()),
                        fmt::format("failed to lookup address information: {}", ::gai_strerror(rc)));
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(raw, &::freeaddrinfo);

  std::vector<ip::address> out;
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in sin;
      std::memcpy(&sin, ai->ai_addr, sizeof sin);
      out.emplace_back(ip::address_v4(ntohl(sin.sin_addr.s_addr)));
    } else if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
      sockaddr_in6 sin6;
      std::memcpy(&sin6, ai->ai_addr, sizeof sin6);
      ip::address_v6::bytes_type bytes;
      std::memcpy(bytes.data(), &sin6.sin6_addr, bytes.size());
      out.emplace_back(ip::address_v6(bytes, sin6.sin6_scope_id));
    }
  }
  return out;
}

ResolveResult guard_lookup_result(std::string_view host, ResolveResult looked_up, bool allow_private) {
  if (!looked_up || allow_private) return looked_up;
  std::vector<ip::address> kept;
  std::size_t cursor = 0;
  while (auto a = next_allowed_addr(*looked_up, cursor)) kept.push_back(*a);
  if (kept.empty()) {
    return lookup_error(
        std::make_error_code(std::errc::permission_denied),
        fmt::format("{}: {} resolves only to blocked (private/link-local/IMDS) addresses", codes::QB_5070, host));
  }
  return kept;
}

GuardedResolver::GuardedResolver(BlockingPool& pool, bool allow_private, Lookup lookup)
    : pool_(&pool),
      allow_private_(allow_private),
      lookup_(std::make_shared<const Lookup>(lookup ? std::move(lookup) : Lookup(system_lookup))) {}

// Not a coroutine itself: the state is copied into the resolution, so the resolver may go away
// while a resolution is pending.
boost::asio::awaitable<ResolveResult> GuardedResolver::resolve(std::string host) const {
  return guarded_resolve(*pool_, allow_private_, lookup_, std::move(host));
}

}  // namespace qb

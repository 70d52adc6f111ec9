// The blocking steps of "serve" before the listener: the proxy token, the private-network
// opt-in, the listen address and its bind policy, and the banner.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "core/errors.h"

namespace qb {

inline constexpr const char* kProxyAuthFileName = "proxy-auth";
inline constexpr const char* kAllowPrivateFileName = "proxy-allow-private";
inline constexpr const char* kProxyUser = "quorbelt";

// Reads "proxy-auth" (trimmed) or creates it with 64 new lowercase hexadecimal characters.
ProxyResult<std::string> load_or_create_proxy_token(const std::filesystem::path& dir);

// True only for an owner-only regular file, owned by the directory's owner, in a directory
// that group and others cannot write. May print one warning; never fails.
bool read_private_network_opt_in(const std::filesystem::path& dir);

bool is_loopback_host(std::string_view host);

// Refuses a non-loopback host without the opt-in (QB-5010); warns when the opt-in allows one.
ProxyResult<void> check_bind_policy(std::string_view host, bool allow_private);

struct ListenAddress {
  std::string host;
  std::string port;
  std::string text;  // "{host}:{port}"
};
// From QUORBELT_PROXY_LISTEN and QUORBELT_PROXY_PORT, used exactly as given when set.
ListenAddress listen_address_from_env();

// A socket-address literal: an IPv4 address and a port, or an IPv6 address in brackets (with an
// optional decimal zone, "[fe80::1%2]") and a port, joined by a colon. The port is decimal digits.
std::optional<boost::asio::ip::tcp::endpoint> socket_address_literal(std::string_view text);

// A listen address that is not a literal, split at its last colon: the host through the system
// resolver (blocking), the port as a decimal number that may carry one leading "+". At least one
// endpoint, or QB-5010 with the words that follow "bind {text}: ".
ProxyResult<std::vector<boost::asio::ip::tcp::endpoint>> resolve_listen_address(const std::string& text);

// The banner lines after the first one (each written whole); the token itself is never printed.
std::vector<std::string> banner_lines(std::string_view listen_text, const std::filesystem::path& token_path);

}  // namespace qb

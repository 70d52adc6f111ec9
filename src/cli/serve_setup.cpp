#include "cli/serve_setup.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>
#include <boost/asio/ip/address.hpp>

#include "core/output.h"
#include "core/text.h"
#include "crypto/codecs.h"
#include "crypto/primitives.h"
#include "crypto/secret.h"
#include "proxy/front/ip_asio.h"
#include "proxy/http/ip_literal.h"
#include "proxy/intercept/owner_files.h"

namespace qb {

ProxyResult<std::string> load_or_create_proxy_token(const std::filesystem::path& dir) {
  const std::filesystem::path path = dir / kProxyAuthFileName;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    QB_TRY(std::string raw, read_secret_file(path));
    if (auto ok = check_utf8(raw); !ok) {
      secure_wipe(raw);
      return proxy_error_new(codes::QB_5009, fmt::format("{} not UTF-8: {}", path_text(path), ok.error().display()));
    }
    std::string token(trim_ws(raw));
    secure_wipe(raw);
    if (token.empty()) {
      return proxy_error_new(codes::QB_5009, fmt::format("{} is empty; delete it to regenerate", path_text(path)));
    }
    return token;
  }

  SecretArray<32> random;
  if (auto ok = random_bytes(std::span<std::uint8_t>(random.data(), 32)); !ok) {
    return proxy_error_new(codes::QB_5003, fmt::format("csprng: {}", catalogue::QB_0018.debug()));
  }
  std::string token = encode_hex(random.span());
  if (auto written = write_private_file(path, token); !written) {
    secure_wipe(token);
    return written.error();
  }
  return token;
}

bool read_private_network_opt_in(const std::filesystem::path& dir) {
  const std::filesystem::path file = dir / kAllowPrivateFileName;
  struct stat fst {};
  if (::lstat(file.c_str(), &fst) != 0 || !S_ISREG(fst.st_mode)) return false;
  if ((fst.st_mode & 077) != 0) {
    write_stderr(fmt::format(
        "WARNING: {} is group/other-accessible (mode {:o}); ignoring the private-network opt-in. chmod 600 it to "
        "enable.\n",
        path_text(file), fst.st_mode & 0777));
    return false;
  }
  struct stat dst {};
  if (::stat(dir.c_str(), &dst) != 0) return false;
  if ((dst.st_mode & 022) != 0) {
    write_stderr(fmt::format(
        "WARNING: {} is group/other-writable (mode {:o}); ignoring the private-network opt-in, because anyone who "
        "can write that directory can create the opt-in file. chmod go-w it to enable.\n",
        path_text(dir), dst.st_mode & 0777));
    return false;
  }
  if (fst.st_uid != dst.st_uid) {
    write_stderr(fmt::format(
        "WARNING: {} is owned by uid {} but its directory by uid {}; ignoring the private-network opt-in.\n",
        path_text(file), fst.st_uid, dst.st_uid));
    return false;
  }
  return true;
}

bool is_loopback_host(std::string_view host) {
  if (host == "127.0.0.1" || host == "::1" || host == "localhost") return true;
  if (host.find('%') != std::string_view::npos) return false;  // no zones
  const auto addr = parse_ip_literal(host);
  if (!addr) return false;
  if (addr->is_v4()) return addr->bytes()[0] == 127;
  return addr->v6_bytes() ==
         std::array<std::uint8_t, IpAddress::kV6Size>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
}

ProxyResult<void> check_bind_policy(std::string_view host, bool allow_private) {
  const bool loopback = is_loopback_host(host);
  if (!allow_private && !loopback) {
    return proxy_error_new(
        codes::QB_5010,
        fmt::format("refusing to bind {}: not loopback and the proxy has no transport TLS, so its Basic-auth token "
                    "would cross the network in cleartext. Bind 127.0.0.1 or ::1, or create an owner-only {} file "
                    "next to the binary only if {} is a trusted private network (VPN/Tailscale).",
                    host, kAllowPrivateFileName, host));
  }
  if (!loopback) {
    write_stderr(fmt::format(
        "WARNING: binding {} (not loopback) with the {} opt-in present. This proxy injects live credentials and "
        "authenticates with a plaintext Basic token (no transport TLS); only expose it on a trusted private "
        "network.\n",
        host, kAllowPrivateFileName));
  }
  return {};
}

namespace {
// A set variable that holds valid text is used exactly as given; anything else is the default.
std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || !is_utf8(v)) return fallback;
  return v;
}
}  // namespace

ListenAddress listen_address_from_env() {
  ListenAddress a;
  a.host = env_or("QUORBELT_PROXY_LISTEN", "127.0.0.1");
  a.port = env_or("QUORBELT_PROXY_PORT", "1983");
  a.text = fmt::format("{}:{}", a.host, a.port);
  return a;
}

std::optional<boost::asio::ip::tcp::endpoint> socket_address_literal(std::string_view text) {
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find("]:");
    if (close == std::string_view::npos) return std::nullopt;
    const auto literal = parse_ipv6_with_zone(text.substr(1, close - 1));
    const auto port = parse_port_digits(text.substr(close + 2));
    if (!literal || !port) return std::nullopt;
    std::uint32_t scope = 0;
    if (literal->zone) {
      const auto zone = parse_decimal_u32(*literal->zone);
      if (!zone) return std::nullopt;  // a zone by interface name is for the resolver
      scope = *zone;
    }
    return boost::asio::ip::tcp::endpoint(to_asio_v6(literal->address, scope), *port);
  }
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto literal = parse_ipv4_literal(text.substr(0, colon));
  const auto port = parse_port_digits(text.substr(colon + 1));
  if (!literal || !port) return std::nullopt;
  return boost::asio::ip::tcp::endpoint(to_asio_v4(*literal), *port);
}

ProxyResult<std::vector<boost::asio::ip::tcp::endpoint>> resolve_listen_address(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) return ProxyError(codes::QB_5010, "invalid socket address");
  const std::string host = text.substr(0, colon);
  const auto port = parse_port(std::string_view(text).substr(colon + 1));
  if (!port) return ProxyError(codes::QB_5010, "invalid port value");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0)
    return ProxyError(codes::QB_5010, fmt::format("failed to lookup address information: {}", ::gai_strerror(rc)));
  std::vector<boost::asio::ip::tcp::endpoint> out;
  for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
    boost::asio::ip::tcp::endpoint ep;
    if (ai->ai_addrlen > ep.capacity()) continue;
    std::memcpy(ep.data(), ai->ai_addr, ai->ai_addrlen);
    ep.resize(ai->ai_addrlen);
    ep.port(*port);
    out.push_back(ep);
  }
  ::freeaddrinfo(res);
  if (out.empty()) return ProxyError(codes::QB_5010, "could not resolve to any address");
  return out;
}

std::vector<std::string> banner_lines(std::string_view listen_text, const std::filesystem::path& token_path) {
  const std::string path = token_path.string();
  return {
      fmt::format("Point your agent at:  HTTPS_PROXY=http://{}:<token>@{}\n", kProxyUser, listen_text),
      fmt::format("  Token redacted above; it is stored 0600 at {}.\n", path),
      fmt::format("  e.g.  export HTTPS_PROXY=\"http://quorbelt:$(cat {})@{}\"\n", path, listen_text),
  };
}

}  // namespace qb

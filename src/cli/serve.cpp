// The "serve" command: start-up in order, the listener, the banner, then the accept loop until
// Ctrl-C.
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>

#include <charconv>
#include <cstring>
#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <fmt/format.h>

#include "cli/commands.h"
#include "cli/config.h"
#include "cli/dispatch.h"
#include "cli/install_dir.h"
#include "cli/serve_setup.h"
#include "core/output.h"
#include "core/runtime_async.h"
#include "core/text.h"
#include "crypto/secret.h"
#include "proxy/accept_loop.h"
#include "proxy/ca.h"
#include "proxy/connect_front.h"
#include "proxy/proxy_assembly.h"
#include "proxy/proxy_state.h"
#include "vault/gate_client.h"
#include "vault/platform_roots.h"

namespace qb {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

struct Endpoints {
  std::vector<tcp::endpoint> list;
  std::string error;  // set when there are none
};

std::optional<std::uint16_t> port_number(std::string_view text) {
  std::uint16_t port = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return port;
}

// An IPv4 address and a port, or an IPv6 address in brackets and a port.
std::optional<tcp::endpoint> socket_address_literal(std::string_view text) {
  boost::system::error_code ec;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find("]:");
    if (close == std::string_view::npos) return std::nullopt;
    auto addr = asio::ip::make_address_v6(std::string(text.substr(1, close - 1)), ec);
    auto port = port_number(text.substr(close + 2));
    if (ec || !port || addr.scope_id() != 0) return std::nullopt;
    return tcp::endpoint(addr, *port);
  }
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto addr = asio::ip::make_address_v4(std::string(text.substr(0, colon)), ec);
  auto port = port_number(text.substr(colon + 1));
  if (ec || !port) return std::nullopt;
  return tcp::endpoint(addr, *port);
}

// The system resolver, for a listen address that is not a literal: split at the last colon.
Endpoints resolve_listen_address(const std::string& text) {
  Endpoints out;
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) {
    out.error = "invalid socket address";
    return out;
  }
  const std::string host = text.substr(0, colon);
  const auto port = port_number(std::string_view(text).substr(colon + 1));
  if (!port) {
    out.error = "invalid port value";
    return out;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0) {
    out.error = fmt::format("failed to lookup address information: {}", ::gai_strerror(rc));
    return out;
  }
  for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
    tcp::endpoint ep;
    if (ai->ai_addrlen > ep.capacity()) continue;
    std::memcpy(ep.data(), ai->ai_addr, ai->ai_addrlen);
    ep.resize(ai->ai_addrlen);
    ep.port(*port);
    out.list.push_back(ep);
  }
  ::freeaddrinfo(res);
  if (out.list.empty()) out.error = "could not resolve to any address";
  return out;
}

Result<tcp::acceptor, std::string> listen_on(asio::any_io_executor ex, const std::vector<tcp::endpoint>& endpoints) {
  std::string last_error = "could not resolve to any address";
  for (const auto& ep : endpoints) {
    tcp::acceptor acceptor(ex);
    boost::system::error_code ec;
    acceptor.open(ep.protocol(), ec);
    if (!ec) ::fcntl(acceptor.native_handle(), F_SETFD, FD_CLOEXEC);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(ep, ec);
    if (!ec) acceptor.listen(128, ec);
    if (!ec) return acceptor;
    last_error = os_error_text(ec.value());
  }
  return last_error;
}

asio::awaitable<ProxyResult<tcp::acceptor>> bind_listener(Runtime& rt, const std::string& text) {
  Endpoints eps;
  if (auto literal = socket_address_literal(text)) {
    eps.list.push_back(*literal);
  } else {
    auto lookup = [text] { return resolve_listen_address(text); };
    eps = co_await spawn_blocking(rt.blocking(), std::move(lookup));
  }
  if (eps.list.empty()) co_return proxy_error_new(codes::QB_5010, fmt::format("bind {}: {}", text, eps.error));
  auto ex = co_await asio::this_coro::executor;
  auto acceptor = listen_on(ex, eps.list);
  if (!acceptor) co_return proxy_error_new(codes::QB_5010, fmt::format("bind {}: {}", text, acceptor.error()));
  co_return std::move(*acceptor);
}

}  // namespace

boost::asio::awaitable<ProxyResult<void>> run_serve(Runtime& rt) {
  auto dir = binary_dir();
  if (!dir) co_return dir.error();
  if (auto ok = check_install_dir(*dir); !ok) co_return ok.error();

  auto cfg_path = config_path();
  if (!cfg_path) co_return cfg_path.error();
  auto config = open_config(*cfg_path);
  if (!config) co_return config.error();

  auto ca = load_or_create_ca(*dir);
  if (!ca) co_return ca.error();

  auto token = load_or_create_proxy_token(*dir);
  if (!token) co_return token.error();
  std::string expected_auth = proxy_auth_value(*token);
  secure_wipe(*token);

  const Config& c = *config;
  auto vault = build_gate_client(
      {c.vault_url, c.vault_gate_pub, c.replica_url, c.replica_gate_pub, c.vault_id, c.agent_id, c.l2},
      rt.blocking());
  if (!vault) co_return vault.error();

  const std::vector<DerCert> roots = platform_roots();
  const bool allow_private = read_private_network_opt_in(*dir);

  const ListenAddress listen = listen_address_from_env();
  if (auto ok = check_bind_policy(listen.host, allow_private); !ok) co_return ok.error();
  auto bound = bind_listener(rt, listen.text);
  auto listener = co_await std::move(bound);
  if (!listener) co_return listener.error();

  write_stdout(fmt::format("{} {} listening on {}\n", kProgramName, kVersion, listen.text));
  auto dir_again = binary_dir();
  if (!dir_again) co_return dir_again.error();
  for (const auto& line : banner_lines(listen.text, *dir_again / kProxyAuthFileName)) write_stdout(line);

  ProxyParts parts;
  parts.expected_proxy_auth = std::move(expected_auth);
  parts.allow_private = allow_private;
  parts.ca = *ca;
  parts.vault = *vault;
  parts.upstream_roots = roots;
  auto state = build_proxy_state(rt, std::move(parts));
  if (!state) co_return state.error();

  auto shutdown = wait_for_ctrl_c();
  auto loop = run_accept_loop(std::move(*listener), std::move(*state), *shutdown, rt.worker_context());
  co_await std::move(loop);
  co_return ProxyResult<void>{};
}

}  // namespace qb

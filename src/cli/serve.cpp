// The "serve" command: start-up in order, the listener, the banner, then the accept loop until
// Ctrl-C.
#include <fcntl.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

#include <fmt/format.h>
#include <boost/asio/ip/tcp.hpp>

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
  ListenEndpoints eps;
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
      {c.vault_url, c.vault_gate_pub, c.replica_url, c.replica_gate_pub, c.vault_id, c.agent_id, c.l2}, rt.blocking());
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
  auto loop = run_accept_loop(std::move(*listener), std::move(*state), *shutdown, rt.workers());
  co_await std::move(loop);
  co_return ProxyResult<void>{};
}

}  // namespace qb

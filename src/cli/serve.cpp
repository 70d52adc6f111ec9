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
#include "proxy/front/accept_loop.h"
#include "proxy/front/connect_front.h"
#include "proxy/intercept/ca.h"
#include "proxy/proxy_assembly.h"
#include "proxy/proxy_state.h"
#include "tls/platform_roots.h"
#include "vault/gate_client.h"

namespace qb {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// The first of the endpoints that binds and listens; otherwise QB-5010 with the last failure.
ProxyResult<tcp::acceptor> listen_on(asio::any_io_executor ex, std::string_view text,
                                     const std::vector<tcp::endpoint>& endpoints) {
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
  return proxy_error_new(codes::QB_5010, fmt::format("bind {}: {}", text, last_error));
}

asio::awaitable<ProxyResult<tcp::acceptor>> bind_listener(Runtime& rt, const std::string& text) {
  std::vector<tcp::endpoint> eps;
  if (auto literal = socket_address_literal(text)) {
    eps.push_back(*literal);
  } else {
    auto lookup = [text] { return resolve_listen_address(text); };
    ProxyResult<std::vector<tcp::endpoint>> found = co_await spawn_blocking(rt.blocking(), std::move(lookup));
    if (!found) co_return proxy_error_new(found.error().code, fmt::format("bind {}: {}", text, found.error().detail));
    eps = std::move(*found);
  }
  auto ex = co_await asio::this_coro::executor;
  co_return listen_on(ex, text, eps);
}

}  // namespace

boost::asio::awaitable<ProxyResult<void>> run_serve(Runtime& rt) {
  QB_CO_TRY(auto dir, binary_dir());
  QB_CO_TRY_VOID(check_install_dir(dir));

  QB_CO_TRY(auto cfg_path, config_path());
  QB_CO_TRY(auto config, open_config(cfg_path));

  QB_CO_TRY(auto ca, load_or_create_ca(dir));

  QB_CO_TRY(auto&& token, load_or_create_proxy_token(dir));
  std::string expected_auth = proxy_auth_value(token);
  secure_wipe(token);

  const Config& c = config;
  QB_CO_TRY(auto vault, build_gate_client({c.vault_url, c.vault_gate_pub, c.replica_url, c.replica_gate_pub, c.vault_id,
                                           c.agent_id, c.l2},
                                          rt.blocking()));

  const std::vector<DerCert> roots = platform_roots();
  const bool allow_private = read_private_network_opt_in(dir);

  const ListenAddress listen = listen_address_from_env();
  QB_CO_TRY_VOID(check_bind_policy(listen.host, allow_private));
  auto bound = bind_listener(rt, listen.text);
  QB_CO_TRY(auto listener, co_await std::move(bound));

  write_stdout(fmt::format("{} {} listening on {}\n", kProgramName, kVersion, listen.text));
  QB_CO_TRY(auto dir_again, binary_dir());
  for (const auto& line : banner_lines(listen.text, dir_again / kProxyAuthFileName)) write_stdout(line);

  ProxyParts parts;
  parts.expected_proxy_auth = std::move(expected_auth);
  parts.allow_private = allow_private;
  parts.ca = ca;
  parts.vault = vault;
  parts.upstream_roots = roots;
  QB_CO_TRY(auto state, build_proxy_state(rt, std::move(parts)));

  auto shutdown = wait_for_ctrl_c();
  auto loop = run_accept_loop(std::move(listener), std::move(state), *shutdown, rt.workers());
  co_await std::move(loop);
  co_return ProxyResult<void>{};
}

}  // namespace qb

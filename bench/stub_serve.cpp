// "serve" as the benchmarks need it to measure the proxy's own cost: the same proxy state and
// tunnel wiring, with a vault client that answers at once instead of the gate.
//   stub_serve DIR HOST:PORT
// DIR holds the CA and "proxy-auth" of an initialised install (both loaded as serve loads them).
// The stub knows one entry per searched title, field "token" = "s3cret-value", bound to
// https://127.0.0.1; no URL matches anything. Private destinations are allowed (loopback
// upstreams). Serves until Ctrl-C.
#include <charconv>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <boost/asio/ip/tcp.hpp>

#include "cli/serve_setup.h"
#include "core/output.h"
#include "core/runtime_async.h"
#include "crypto/secret.h"
#include "proxy/front/accept_loop.h"
#include "proxy/front/connect_front.h"
#include "proxy/intercept/ca.h"
#include "proxy/proxy_assembly.h"
#include "proxy/proxy_state.h"
#include "tls/platform_roots.h"
#include "vault/vault_client.h"

namespace qb {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

class StubVault final : public VaultClient {
 public:
  asio::awaitable<ProxyResult<SearchResponse>> search(std::string query) override {
    Entry e;
    e.entry_id = "e1";
    e.title = query;
    EntryData d;
    d.title = query;
    d.fields.push_back(Field{"token", "s3cret-value", std::nullopt, 1});
    d.urls.push_back("https://127.0.0.1");
    e.data = std::move(d);
    SearchResponse r;
    r.shape = SearchResponse::List{{std::move(e)}};
    co_return r;
  }
  asio::awaitable<ProxyResult<std::vector<Entry>>> match_url(std::string) override { co_return std::vector<Entry>{}; }
  asio::awaitable<ProxyResult<SecretString>> decrypt(std::string, std::string ciphertext) override {
    co_return SecretString(std::move(ciphertext));
  }
};

asio::awaitable<ProxyResult<void>> run_stub_serve(Runtime& rt, std::string dir, std::string host, std::uint16_t port) {
  auto ca = load_or_create_ca(dir);
  if (!ca) co_return ca.error();
  auto token = load_or_create_proxy_token(dir);
  if (!token) co_return token.error();
  std::string expected_auth = proxy_auth_value(*token);
  secure_wipe(*token);

  auto ex = co_await asio::this_coro::executor;
  tcp::acceptor listener(ex);
  boost::system::error_code ec;
  const tcp::endpoint ep(asio::ip::make_address(host, ec), port);
  if (!ec) listener.open(ep.protocol(), ec);
  if (!ec) listener.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) listener.bind(ep, ec);
  if (!ec) listener.listen(128, ec);
  if (ec) co_return proxy_error_new(codes::QB_5010, fmt::format("bind {}:{}: {}", host, port, ec.message()));
  write_stdout(fmt::format("stub_serve listening on {}:{}\n", host, port));

  ProxyParts parts;
  parts.expected_proxy_auth = std::move(expected_auth);
  parts.allow_private = true;
  parts.ca = *ca;
  parts.vault = std::make_shared<StubVault>();
  parts.upstream_roots = platform_roots();
  auto state = build_proxy_state(rt, std::move(parts));
  if (!state) co_return state.error();

  auto shutdown = wait_for_ctrl_c();
  auto loop = run_accept_loop(std::move(listener), std::move(*state), *shutdown, rt.workers());
  co_await std::move(loop);
  co_return ProxyResult<void>{};
}

asio::awaitable<int> stub_main(Runtime& rt, std::string dir, std::string host, std::uint16_t port) {
  auto task = run_stub_serve(rt, std::move(dir), std::move(host), port);
  auto r = co_await std::move(task);
  if (!r) {
    write_stderr(r.error().display() + "\n");
    co_return 1;
  }
  co_return 0;
}

}  // namespace
}  // namespace qb

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  if (argc != 3) {
    qb::write_stderr("usage: stub_serve DIR HOST:PORT\n");
    return 2;
  }
  const std::string addr = argv[2];
  const auto colon = addr.rfind(':');
  std::uint16_t port = 0;
  if (colon == std::string::npos ||
      std::from_chars(addr.data() + colon + 1, addr.data() + addr.size(), port).ec != std::errc()) {
    qb::write_stderr("stub_serve: expected HOST:PORT\n");
    return 2;
  }
  auto workers = qb::worker_threads_from_env();
  if (!workers) {
    qb::write_stderr(workers.error().display() + "\n");
    return 1;
  }
  int status = 1;
  {
    auto rt = qb::Runtime::build(*workers);
    if (!rt) {
      qb::write_stderr(rt.error().display() + "\n");
      return 1;
    }
    status = qb::block_on(**rt, qb::stub_main(**rt, argv[1], addr.substr(0, colon), port));
  }
  return status;
}

#include "proxy/proxy_assembly.h"

#include <boost/asio/ip/tcp.hpp>

#include "core/async_semaphore.h"
#include "proxy/front/connect_front.h"
#include "proxy/inject/request_service.h"
#include "proxy/intercept/tunnel.h"
#include "proxy/upstream/upstream.h"

namespace qb {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// After the 200: intercept the tunnel and serve it.
class InterceptingTunnel final : public TunnelHandler {
 public:
  explicit InterceptingTunnel(TunnelContext ctx) : ctx_(std::move(ctx)) {}
  asio::awaitable<ProxyResult<void>> serve(tcp::socket client, ConnectRequest request,
                                           std::shared_ptr<const ProxyState>) override {
    auto task =
        serve_tunnel(ctx_, std::move(client), std::move(request.leftover), std::move(request.host), request.port);
    co_return co_await std::move(task);
  }

 private:
  TunnelContext ctx_;
};

}  // namespace

ProxyResult<std::shared_ptr<ProxyState>> build_proxy_state(Runtime& rt, ProxyParts parts) {
  const ProxyLimits& limits = parts.limits;
  const UpstreamOptions upstream_options{limits.upstream};
  QB_TRY(auto upstream,
         build_upstream_client(rt.blocking(), parts.allow_private, parts.upstream_roots, upstream_options));
  QB_TRY(auto tls, build_tunnel_tls());

  auto state = std::make_shared<ProxyState>();
  state->expected_proxy_auth = std::move(parts.expected_proxy_auth);
  state->allow_private = parts.allow_private;
  state->ca = std::move(parts.ca);
  state->tunnel_slots = std::make_shared<AsyncSemaphore>(TUNNEL_SLOT_COUNT);
  state->connection_permits = std::make_shared<AsyncSemaphore>(CONNECTION_PERMIT_COUNT);
  state->vault = std::move(parts.vault);
  state->upstream = upstream;
  state->limits = limits;

  TunnelContext tunnel;
  tunnel.ca = state->ca;
  tunnel.blocking = &rt.blocking();
  tunnel.tls = tls;
  tunnel.upstream = state->upstream;
  tunnel.service = std::make_shared<VaultRequestService>(state->vault);
  tunnel.limits = limits.tunnel;
  state->tunnel = std::make_shared<InterceptingTunnel>(std::move(tunnel));
  return state;
}

}  // namespace qb

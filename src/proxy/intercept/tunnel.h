// The intercepted tunnel: a leaf for the CONNECT host, a TLS 1.3 server on the client's stream,
// and HTTP/1.1 served inside it, each request handed to the request service.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include <boost/asio/awaitable.hpp>

#include "core/errors.h"
#include "core/runtime.h"
#include "proxy/http/http_types.h"
#include "proxy/inject/request_service.h"
#include "proxy/intercept/ca.h"
#include "proxy/limits.h"
#include "proxy/upstream/upstream.h"

namespace boost::asio::ip {
class tcp;
}
namespace boost::asio {
template <typename Protocol, typename Executor>
class basic_stream_socket;
class any_io_executor;
}  // namespace boost::asio

namespace qb {

using TcpSocket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, boost::asio::any_io_executor>;

// Forwards every request unchanged to "https://{connect_authority}{path and query}".
class PassThroughService final : public RequestService {
 public:
  boost::asio::awaitable<ServiceDecision> decide(IncomingRequest& req, const std::string& connect_authority) override;
};

// The shared TLS server settings of every tunnel: TLS 1.3 only, no client authentication,
// ALPN "http/1.1" (a client offering other protocols only is refused), no session resumption.
class TunnelTls {
 public:
  struct Impl;
  explicit TunnelTls(std::unique_ptr<Impl> impl);
  ~TunnelTls();
  const Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};
ProxyResult<std::shared_ptr<TunnelTls>> build_tunnel_tls();

// Everything a tunnel reads; shared by all tunnels and outliving them.
struct TunnelContext {
  std::shared_ptr<CaState> ca;
  BlockingPool* blocking = nullptr;
  std::shared_ptr<TunnelTls> tls;
  std::shared_ptr<UpstreamClient> upstream;
  std::shared_ptr<RequestService> service;
  TunnelLimits limits;
};

// Runs the tunnel after the 200 reply until it ends, on the caller's context, which must be the
// socket's and run by one thread: leftover holds the bytes the client sent after the CONNECT head. The socket is closed
// on every way out. Errors carry QB-5071 (or the leaf minting's own code) and are for the caller to print.
boost::asio::awaitable<ProxyResult<void>> serve_tunnel(TunnelContext& ctx, TcpSocket socket, std::string leftover,
                                                       std::string connect_host, std::uint16_t connect_port);

}  // namespace qb

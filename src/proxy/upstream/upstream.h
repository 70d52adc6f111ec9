// The pooled HTTPS client that carries intercepted requests to their real servers, the body
// wrapper that bounds every streamed body in time, and the plain-text error responses.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "core/errors.h"
#include "core/runtime.h"
#include "proxy/front/netguard.h"
#include "proxy/http/http_types.h"
#include "proxy/limits.h"
#include "tls/platform_roots.h"

namespace qb {

// The idle limit runs only while a read waits for bytes; the absolute limit counts from the
// wrapping. Either one failing aborts the inner body and fails the read with QB-5072 or QB-5073.
std::unique_ptr<BodyReader> deadline_body_new(std::unique_ptr<BodyReader> inner, BodyTimeouts timeouts = {});

// The limits (in proxy/limits.h) and the seams of the client.
struct UpstreamOptions : UpstreamLimits {
  // Name look-up behind the guard; empty: the system resolver.
  std::function<ResolveResult(const std::string& host)> lookup;
};

// Counters for tests and diagnostics.
struct UpstreamStats {
  std::size_t connections_opened = 0;
  std::size_t connections_reused = 0;
  std::size_t idle_connections = 0;
};

// TLS 1.3 only, verifying the server against the given roots and the CONNECT host (SNI for names,
// an IP match for literals), no ALPN, HTTP/1.1. Idle connections are pooled per execution context
// and authority (host in lower case), and closed when idle too long, when the server closes them,
// or to keep all pools together within pool_max_idle.
// forward() must run on a context that one thread runs: the exchange it starts runs beside the
// response there, and the pool it draws from and returns to is that context's, without a lock.
// The pools belong to their contexts, not to the client: a context's shutdown closes its idle
// connections, and the client's end has each context close its own.
class UpstreamClient {
 public:
  struct Impl;
  explicit UpstreamClient(std::shared_ptr<Impl> impl);
  ~UpstreamClient();

  // Forwards the request to connect_host:connect_port (as the CONNECT front confirmed them; the
  // URL only supplies the path and query). Never fails: failures become 502/504 responses.
  boost::asio::awaitable<ProxyResponse> forward(ForwardRequest req, std::string connect_host,
                                                std::uint16_t connect_port);

  UpstreamStats stats() const;
  const UpstreamOptions& options() const;

 private:
  std::shared_ptr<Impl> impl_;
};

// The pool must outlive the client. Fails only when the TLS context cannot be built.
ProxyResult<std::shared_ptr<UpstreamClient>> build_upstream_client(BlockingPool& pool, bool allow_private,
                                                                   const std::vector<DerCert>& roots,
                                                                   UpstreamOptions options = {});

}  // namespace qb

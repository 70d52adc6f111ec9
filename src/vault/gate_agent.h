// The process-wide blocking HTTPS client of the gate RPC, on libcurl with its own trust store.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "tls/platform_roots.h"

namespace qb {

// The proxy of the gate calls, chosen from the environment once.
struct GateProxySettings {
  std::string proxy;     // proxy URL; empty: connect directly
  std::string no_proxy;  // hosts reached directly, in curl's NOPROXY form
};

using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// The first usable of ALL_PROXY, all_proxy, HTTPS_PROXY, https_proxy, HTTP_PROXY, http_proxy (an empty
// value is skipped), and NO_PROXY or else no_proxy. Without a lookup, the process environment.
GateProxySettings gate_proxy_from_env(const EnvLookup& lookup = {});

struct GateAgentSettings {
  std::vector<DerCert> roots;  // the only trusted roots
  GateProxySettings proxy;
  std::chrono::milliseconds call_timeout{15'000};  // a whole call, whatever stage it is in
  std::chrono::milliseconds connect_timeout{10'000};
  std::chrono::seconds idle_timeout{15};  // an idle connection is closed after this
  std::size_t max_idle = 10;              // idle connections kept, in all
  std::size_t max_idle_per_host = 3;
  std::size_t max_head_bytes = 65'536;  // response head
  long buffer_bytes = 131'072;          // receive and send buffers
};

// What a call got back: any status, 2xx or not. The body of a non-2xx response is not read.
struct GateResponse {
  long status = 0;
  std::string body;
};

// Where a call failed: before the final response head was complete (connect, TLS, proxy, sending, a
// time-out or a broken head), or after a 2xx head while reading the body (over the cap, cut off, time-out).
enum class GatePhase { BeforeHead, Body };

struct GateAgentError {
  GatePhase phase;
  std::string text;  // the client's description of the failure
};

[[noreturn]] void throw_exception_from_error(const GateAgentError& e, const boost::source_location& loc);

class GateAgent {
 public:
  explicit GateAgent(GateAgentSettings settings);
  ~GateAgent();
  GateAgent(const GateAgent&) = delete;
  GateAgent& operator=(const GateAgent&) = delete;

  // One blocking POST. No redirect is followed; a Content-Type header is sent when given. A body longer
  // than body_cap bytes fails in the Body phase. Safe to call from many threads at once.
  Result<GateResponse, GateAgentError> post(std::string_view url, std::optional<std::string_view> content_type,
                                            std::string_view body, std::size_t body_cap) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// GATE_AGENT: built on first use from gate_roots() and the environment's proxy, then shared for the
// life of the process.
const GateAgent& gate_agent();

}  // namespace qb

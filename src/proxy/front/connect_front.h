// The CONNECT front: one accepted connection from its first byte to "200 Connection Established"
// (head, proxy authentication, tunnel slot, guard on literal targets), then the tunnel hand-over.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "core/async_semaphore.h"
#include "core/errors.h"
#include "proxy/http/authority.h"
#include "proxy/proxy_state.h"

namespace qb {

inline constexpr std::chrono::seconds PREAMBLE_DEADLINE{10};
inline constexpr std::chrono::seconds SLOT_WAIT_DEADLINE{10};
inline constexpr std::size_t PREAMBLE_INITIAL_CAPACITY = 256;
inline constexpr std::size_t PREAMBLE_READ_SIZE = 512;
inline constexpr std::size_t MAX_PREAMBLE_BYTES = 8192;

inline constexpr std::string_view REPLY_200 = "HTTP/1.1 200 Connection Established\r\n\r\n";
inline constexpr std::string_view REPLY_407 =
    "HTTP/1.1 407 Proxy Authentication Required\r\n"
    "Proxy-Authenticate: Basic realm=\"quorbelt\"\r\n"
    "Connection: close\r\n"
    "Content-Length: 0\r\n\r\n";
inline constexpr std::string_view REPLY_403 =
    "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
inline constexpr std::string_view REPLY_503 =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

struct ConnectRequest {
  std::string host;  // an IPv6 literal without its brackets
  std::uint16_t port = 443;
  std::optional<std::string> proxy_authorization;  // the last such header, trimmed
  std::string leftover;                            // bytes read after the head
};

// One past the first CR LF CR LF in buf, if there is one.
std::optional<std::size_t> find_head_end(std::string_view buf);

// Parses a complete head (ending in CR LF CR LF); leftover stays empty. Errors are QB-5071.
ProxyResult<ConnectRequest> parse_connect_head(std::string_view head);

// "Basic " and the base64 of "quorbelt:{token}": the Proxy-Authorization value clients send.
std::string proxy_auth_value(std::string_view token);

// Whether the presented value is the expected one; the whole value is compared, in constant time
// for equal lengths. No expected value lets everything through.
bool proxy_auth_accepted(const std::optional<std::string>& presented, const std::optional<std::string>& expected);

enum class TargetVerdict {
  Allowed,
  Malformed,       // could not be a host name or IP literal
  BlockedLiteral,  // a blocked IP literal, or holds '%' (only without the private-network opt-in)
};

// The guard on a CONNECT host before the tunnel opens. Host names are not resolved here.
TargetVerdict check_connect_target(std::string_view host, bool allow_private);

// Runs a confirmed tunnel; the connection keeps its tunnel slot until serve returns.
class TunnelHandler {
 public:
  virtual ~TunnelHandler() = default;
  // request holds the host, the port and the bytes read after the head (no credential).
  virtual boost::asio::awaitable<ProxyResult<void>> serve(boost::asio::ip::tcp::socket client, ConnectRequest request,
                                                          std::shared_ptr<const ProxyState> state) = 0;
};

// Reads and parses the head within the deadline.
boost::asio::awaitable<ProxyResult<ConnectRequest>> read_connect_preamble(boost::asio::ip::tcp::socket& stream,
                                                                          std::chrono::milliseconds deadline);

// One connection: a refusal that was answered (407, 503, 403) is a success. The stream is closed
// and every permit released on return.
boost::asio::awaitable<ProxyResult<void>> handle_connection(boost::asio::ip::tcp::socket stream,
                                                            std::shared_ptr<const ProxyState> state,
                                                            SemaphorePermit connection_permit);

// handle_connection, printing its error (sanitised) as one line on standard error.
boost::asio::awaitable<void> connection_task(boost::asio::ip::tcp::socket stream,
                                             std::shared_ptr<const ProxyState> state,
                                             SemaphorePermit connection_permit);

}  // namespace qb

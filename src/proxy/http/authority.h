// Authorities (a CONNECT target, a Host header, the authority of an absolute target) and the URLs
// a request target names under the tunnel's authority. No I/O: the fuzz targets call these directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/http/http_types.h"
#include "proxy/http/ip_literal.h"  // parse_port

namespace qb {

struct Authority {
  std::string host;
  std::uint16_t port = 443;
};

// An authority text to host and port; the port is 443 when absent or not a valid port. The host
// is not checked. Also used on Host headers inside the tunnel.
Authority split_authority(std::string_view text);

// The URLs the service derives once per request.
struct RequestUrls {
  std::string upstream_url;  // "https://{}{}" with the path and query ("/" when none)
  std::string lookup_url;    // the same with the path only
  std::string log_url;       // lookup_url sanitised
};
RequestUrls request_urls(const RequestTarget& target, const std::string& connect_authority);

}  // namespace qb

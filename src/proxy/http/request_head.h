// The parts of a decrypted request that injection reads and rewrites, as plain values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/http/http_types.h"

namespace qb {

// Header fields as the tunnel hands them over.
using HeadField = HeaderField;

struct RequestHead {
  std::string method;
  // The authority of an absolute- or authority-form target without its user information
  // ("host:port", IPv6 in brackets); none otherwise.
  std::optional<std::string> target_authority;
  // Path and query of an origin- or absolute-form target, fragment dropped; empty when the
  // target has none (authority or asterisk form, or an absolute URI without a path).
  std::string path_and_query;
  // In the order received; a name may repeat.
  std::vector<HeadField> headers;
};

}  // namespace qb

// URL-match injection: a request without references gets the credential of the one vault entry
// that matches its URL, as an Authorization (Bearer or Basic) or x-api-key header.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "core/errors.h"
#include "proxy/http/request_head.h"

namespace qb {

class VaultClient;

inline constexpr std::string_view BEARER_FIELD_LABELS[] = {"key",    "apikey", "api_key",     "token",
                                                           "secret", "bearer", "access_token"};
inline constexpr std::string_view API_KEY_FIELD_LABELS[] = {"x-api-key", "api-key"};

// Replaces every value of the name with the text (in place of the first one, else appended).
// QB-5053 when the text is not a valid header value; the headers are then unchanged.
ProxyResult<void> set_header_value(std::vector<HeadField>& headers, std::string_view name, std::string_view text);

// Asks the vault for the entries matching lookup_url. None: nothing changes. One, bound to the
// URL's host and of a known shape: its header is set. Anything else is the error. The headers
// change only when everything succeeded.
boost::asio::awaitable<ProxyResult<void>> inject_by_url_match(VaultClient& vault, std::string lookup_url,
                                                              std::vector<HeadField>& headers);

}  // namespace qb

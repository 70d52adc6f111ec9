// One request's road before forwarding: the Host check against the CONNECT target, the scan for
// vault references, their replacement in header values (or URL-match injection when there are
// none), and the refusal of anything left unresolved.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "core/errors.h"
#include "proxy/http/request_head.h"

namespace qb {

class VaultClient;

struct InjectOutcome {
  // True: forward the request with the (possibly rewritten) headers to upstream_url.
  bool forward = false;
  // When refused: the status (502) and the text of the plain-text error response.
  unsigned status = 0;
  std::string error_text;
  // The request's one standard-error line ("\n" included), empty when it has none. The caller
  // writes it; a forwarded request has none here.
  std::string log_line;
};

// The Host check alone: none when the request may go on, else the refusal. A request with more
// than one Host header, or one whose Host value is empty or not visible text, is refused too, so
// that a second Host can never steer an injected credential past the check.
std::optional<InjectOutcome> check_request_host(const RequestHead& head, std::string_view connect_authority);

// Header substitution for the reference road, then the leftover check. upstream_host is the
// CONNECT host as split_authority gives it.
boost::asio::awaitable<ProxyResult<void>> inject_references(VaultClient& vault, std::string upstream_host,
                                                            RequestHead& head);

// True when any raw header value, or the path and query, holds "quorbelt://" (any ASCII case).
bool request_has_vault_ref(const RequestHead& head);

// The whole decision for one request, before forwarding. lookup_url is "https://", the
// connect_authority and the path without the query ("/" when empty); log_url is its sanitised
// form. head is rewritten in place and must outlive the task; vault calls are made one at a
// time, in order.
boost::asio::awaitable<InjectOutcome> prepare_request(VaultClient& vault, std::string connect_authority,
                                                      std::string lookup_url, std::string log_url, RequestHead& head);

}  // namespace qb

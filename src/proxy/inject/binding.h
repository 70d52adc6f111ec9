// Destination binding and field values: an entry's credential goes only to a host its URLs
// name, and a field becomes injectable text according to its tier.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "core/errors.h"
#include "vault/records.h"

namespace qb {

class VaultClient;

// The lower-case host of a URL text (scheme, user information, port, path, query, fragment and
// IPv6 brackets dropped); none when there is no host.
std::optional<std::string> url_host(std::string_view url);

// True when one of the entry's URLs names the host: exactly, or as a "*.suffix" / ".suffix"
// pattern covering the domain and every name under it. One trailing dot on either side and ASCII
// case are ignored; an empty host or suffix matches nothing.
bool entry_matches_host(const Entry& entry, std::string_view host);

// Tier 1: the value as stored; tier 2: decrypted by the vault client; tier 3 and unknown tiers:
// QB-5035. Name the task before awaiting it (g++ 12).
boost::asio::awaitable<ProxyResult<SecretString>> resolve_field_value(VaultClient& vault, Field field);

}  // namespace qb

// Vault references in header values: "quorbelt://[user@]Title/field", replaced by the field's
// secret value after the entry is found by exact title and checked against the destination.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "core/errors.h"
#include "crypto/secret.h"

namespace qb {

class VaultClient;

inline constexpr std::size_t MAX_REFS_PER_TEXT = 16;
inline constexpr std::string_view REF_TERMINATORS = " \t\r\n,;";
inline constexpr std::string_view REF_SCHEME = "quorbelt://";

// The first index at which "quorbelt://" starts, ASCII case folded (A-Z only).
std::optional<std::size_t> find_vault_ref(std::string_view text);
inline bool has_vault_ref(std::string_view text) { return find_vault_ref(text).has_value(); }

struct VaultRef {
  std::string title;
  std::string field;
  std::size_t end = 0;  // just past the reference's body, relative to the parsed text
};

// Parses the reference the text starts with (the scheme included); none when it is malformed:
// no '/' in the body, or an empty title or field.
std::optional<VaultRef> parse_vault_ref(std::string_view text);

// The secret value of one reference: exact-title search, one entry, bound to upstream_host,
// the first field whose label equals the asked one ignoring ASCII case, then its tier.
boost::asio::awaitable<ProxyResult<SecretString>> resolve_vault_ref(VaultClient& vault, std::string upstream_host,
                                                                    VaultRef ref);

// The text with up to MAX_REFS_PER_TEXT references replaced, left to right. A malformed
// reference ends the processing: it and the rest stay as they are, and so do references past
// the limit (the leftover check refuses them later).
boost::asio::awaitable<ProxyResult<SecretString>> substitute_text(VaultClient& vault, std::string upstream_host,
                                                                  std::string text);

}  // namespace qb

#include "crypto/node_key.h"

#include <fmt/format.h>

#include "core/text.h"

namespace qb {

namespace {

int lower_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool all_lower_hex(std::string_view text) {
  for (char c : text) {
    if (lower_hex_value(c) < 0) return false;
  }
  return true;
}

Result<NodePublicKey, ChannelKeyError> decode_channel_key(std::string_view text) {
  text = trim_ws(text);
  if (text.size() == 64) return ChannelKeyError::RetiredX25519;
  if (text.size() % 2 != 0 || !all_lower_hex(text)) return ChannelKeyError::NotChannelKey;
  if (text.size() / 2 != kNodePublicKeyLen) return ChannelKeyError::NotChannelKey;
  NodePublicKey key;
  for (std::size_t i = 0; i < kNodePublicKeyLen; ++i) {
    key.bytes[i] = static_cast<std::uint8_t>((lower_hex_value(text[2 * i]) << 4) | lower_hex_value(text[2 * i + 1]));
  }
  return key;
}

}  // namespace

std::string_view display(ChannelKeyError e) {
  if (e == ChannelKeyError::RetiredX25519) {
    return "a retired X25519 key (64 hex); this build needs a P-256 + ML-KEM key";
  }
  return "not a Quorbelt channel key (lowercase hex of the right length)";
}

bool is_channel_key_hex(std::string_view text) { return text.size() == kNodePublicKeyHexLen && all_lower_hex(text); }

CliResult<NodePublicKey> parse_node_key_hex(std::string_view text, std::string_view field) {
  auto key = decode_channel_key(text);
  if (!key) {
    return CliError(catalogue::QB_2004, fmt::format("{}: {}: make a new client blob in the vault and enrol again",
                                                    field, display(key.error())));
  }
  return *key;
}

}  // namespace qb

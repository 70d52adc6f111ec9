// Node public keys of the gate: a P-256 point followed by an ML-KEM-768 key, in lowercase
// hexadecimal in the configuration and the enrolment blob.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/errors.h"

namespace qb {

inline constexpr std::size_t kNodeP256Len = 65;
inline constexpr std::size_t kNodeMlKemLen = 1184;
inline constexpr std::size_t kNodePublicKeyLen = kNodeP256Len + kNodeMlKemLen;  // 1249
inline constexpr std::size_t kNodePublicKeyHexLen = 2 * kNodePublicKeyLen;      // 2498

struct NodePublicKey {
  std::array<std::uint8_t, kNodePublicKeyLen> bytes{};

  // The uncompressed P-256 point.
  std::span<const std::uint8_t, kNodeP256Len> p256() const {
    return std::span<const std::uint8_t>(bytes).first<kNodeP256Len>();
  }
  // The raw ML-KEM-768 encapsulation key.
  std::span<const std::uint8_t, kNodeMlKemLen> mlkem() const {
    return std::span<const std::uint8_t>(bytes).last<kNodeMlKemLen>();
  }
};

enum class ChannelKeyError : std::uint8_t { RetiredX25519 = 0, NotChannelKey = 1 };

// "a retired X25519 key (64 hex); this build needs a P-256 + ML-KEM key" or
// "not a Quorbelt channel key (lowercase hex of the right length)"
std::string_view display(ChannelKeyError e);

// Exactly 2498 bytes of 0-9 and a-f: no trimming, no capitals.
bool is_channel_key_hex(std::string_view text);

// Trimmed of Unicode white space, then lowercase hexadecimal of exactly 1249 bytes; a 64-digit
// text is a retired X25519 key. A refusal is QB-2004 with
// "{field}: {reason}: make a new client blob in the vault and enrol again".
CliResult<NodePublicKey> parse_node_key_hex(std::string_view text, std::string_view field);

}  // namespace qb

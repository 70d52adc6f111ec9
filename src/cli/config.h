// The enrolled configuration and its encrypted file "quorbelt.conf":
// "QRB1" || HMAC-SHA256[0..16] over the rest || nonce(12) || AES-128-GCM ciphertext || tag(16).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "core/json_strict.h"
#include "crypto/secret.h"

namespace qb {

inline constexpr std::size_t kConfigHeaderLen = 48;  // magic, MAC, nonce, tag

// The members in their JSON order. agent_id and l2 are key material, so every member is wiped
// when a Config goes away (moves are copies, each wiped in turn).
struct Config {
  std::string vault_url;
  std::string vault_gate_pub;
  std::string replica_url;
  std::string replica_gate_pub;
  std::string vault_id;
  std::string agent_id;
  std::string l2;
  std::string device_id;

  ~Config();
};

// Compact JSON in member order, leaving out replica_url and replica_gate_pub when empty.
// QB-2002 "encoding config JSON: ..." when a member is not valid UTF-8.
CliResult<SecretBytes> encode_config_json(const Config& cfg);
// Strict: unknown or repeated members, non-text values and trailing text are refused; the array of
// the eight texts in member order is accepted too.
Result<Config, JsonError> parse_config_json(std::string_view json);

// The file's bytes to the JSON text: QB-0008 short, QB-0009 magic, QB-0003 MAC, then the AEAD's row.
CryptoResult<SecretBytes> unseal_config(std::span<const std::uint8_t> file);
CliResult<std::vector<std::uint8_t>> seal_config(const Config& cfg);

// Reads, verifies and checks the configuration at path. Path, link and mode problems are QB-5001 or
// QB-5009; the rest (QB-2003, QB-2004) arrive as QB-5002 with the CliError's display text.
ProxyResult<Config> open_config(const std::filesystem::path& path);
// Seals cfg and puts it in place through ".{name}.tmp" and a rename; QB-2002 on any failure.
CliResult<void> write_config_atomic(const std::filesystem::path& path, const Config& cfg);

}  // namespace qb

// Enrolment blobs and keys for tests and demos: the JSON a vault would put in a blob, sealed with
// AES-256-GCM under a 32-byte key, both as base64url text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb::test {

// The blob's members; an absent optional is left out of the JSON.
struct BlobFields {
  std::optional<std::string> agent_id;
  std::optional<std::string> l2;
  std::optional<std::string> vault_id;
  std::optional<std::string> pop;
  std::optional<std::string> pop_pub;
  bool pop_pub_null = false;  // write "pop_pub": null
  std::optional<std::string> replica_host;
  std::optional<std::string> replica_pub;
};

// A well-formed blob for the given POP host: fixed ids, a node key from node_key_hex(1).
BlobFields sample_fields(std::string_view pop_host);

// 2498 lowercase hex digits shaped like a node key (0x04 first, then bytes derived from seed).
// It passes the format checks; it is not a real gate key.
std::string node_key_hex(std::uint8_t seed);

// The JSON object text, members in the blob's order.
std::string blob_json(const BlobFields& f);

struct Enrolment {
  std::string blob;  // base64url, no padding
  std::string key;   // base64url of the key, no padding
};

// Seals json under key (any length accepted here, so tests can make bad keys' blobs).
Enrolment seal_enrolment(std::string_view json, const std::vector<std::uint8_t>& key);
// Seals json under a fresh random 32-byte key.
Enrolment seal_enrolment(std::string_view json);

std::vector<std::uint8_t> random_bytes_vec(std::size_t n);
std::string base64url(const std::vector<std::uint8_t>& bytes);

}  // namespace qb::test

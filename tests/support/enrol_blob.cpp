#include "support/enrol_blob.h"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/bytes.h"
#include "crypto/codecs.h"
#include "crypto/node_key.h"
#include "crypto/primitives.h"

namespace qb::test {

BlobFields sample_fields(std::string_view pop_host) {
  BlobFields f;
  f.agent_id = "00112233445566778899aabbccddeeff";
  f.l2 = "ffeeddccbbaa99887766554433221100";
  f.vault_id = "0100000000000abc";
  f.pop = std::string(pop_host);
  f.pop_pub = node_key_hex(1);
  return f;
}

std::string node_key_hex(std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(kNodePublicKeyLen);
  bytes[0] = 0x04;
  for (std::size_t i = 1; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + seed * 7);
  return encode_hex(bytes);
}

std::string blob_json(const BlobFields& f) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  auto put = [&](const char* name, const std::optional<std::string>& v) {
    if (v) j[name] = *v;
  };
  put("agent_id", f.agent_id);
  put("l2", f.l2);
  put("vault_id", f.vault_id);
  put("pop", f.pop);
  if (f.pop_pub_null) {
    j["pop_pub"] = nullptr;
  } else {
    put("pop_pub", f.pop_pub);
  }
  put("replica_host", f.replica_host);
  put("replica_pub", f.replica_pub);
  return j.dump();
}

std::vector<std::uint8_t> random_bytes_vec(std::size_t n) {
  std::vector<std::uint8_t> out(n);
  if (!random_bytes(out)) throw std::runtime_error("random bytes failed");
  return out;
}

std::string base64url(const std::vector<std::uint8_t>& bytes) { return encode_base64url_nopad(bytes); }

Enrolment seal_enrolment(std::string_view json, const std::vector<std::uint8_t>& key) {
  // AES-GCM wants 16 or 32 bytes; other lengths seal under a random 32-byte key, which a wrong-length
  // key is refused before it could matter.
  std::vector<std::uint8_t> seal_key = key.size() == 16 || key.size() == 32 ? key : random_bytes_vec(32);
  const std::vector<std::uint8_t> nonce = random_bytes_vec(kAeadNonceLen);
  auto sealed = aead_seal(seal_key, AeadNonce(nonce.data(), kAeadNonceLen), {}, as_bytes(json));
  if (!sealed) throw std::runtime_error("sealing the blob failed");
  std::vector<std::uint8_t> box = nonce;
  box.insert(box.end(), sealed->begin(), sealed->end());
  return {base64url(box), base64url(key)};
}

Enrolment seal_enrolment(std::string_view json) { return seal_enrolment(json, random_bytes_vec(32)); }

}  // namespace qb::test

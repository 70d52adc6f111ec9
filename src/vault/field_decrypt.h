// Opening a tier-2 field value: standard base64 of nonce || ciphertext || tag, sealed with
// AES-256-GCM under a key derived from the agent's l2 material and the field's label.
#pragma once

#include <string>

#include <boost/asio/awaitable.hpp>

#include "core/errors.h"
#include "crypto/secret.h"

namespace qb {

class BlockingPool;

// The blocking job; it owns copies of its inputs (the l2 copy is wiped with the job).
struct FieldDecryptJob {
  std::string label;
  std::string ciphertext;
  SecretArray<16> l2;
};

// The plaintext, or QB-5036 "decrypt {label}: {catalogue error in debug form}" (QB-0002 bad
// base64, QB-0010 shorter than 28 bytes, QB-0003 tag mismatch, QB-0006 not UTF-8).
ProxyResult<SecretString> run_field_decrypt(FieldDecryptJob job);

// Runs the job on the blocking pool. A job that fails to complete gives QB-5036 "decrypt task: {}".
// Under g++ 12, name the job before passing it (see spawn_blocking).
boost::asio::awaitable<ProxyResult<SecretString>> spawn_field_decrypt(BlockingPool& pool, FieldDecryptJob job);

}  // namespace qb

// ML-KEM-768 (FIPS 203) over OpenSSL's SHA-3 and SHAKE: key generation, encapsulation,
// decapsulation with implicit rejection, and the input checks of the standard.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/errors.h"
#include "crypto/secret.h"

namespace qb::mlkem768 {

inline constexpr std::size_t kPublicKeyBytes = 1184;   // encapsulation key: ByteEncode12(t) || rho
inline constexpr std::size_t kSecretKeyBytes = 2400;   // dk_pke || ek || H(ek) || z
inline constexpr std::size_t kCiphertextBytes = 1088;  // c1 (du = 10) || c2 (dv = 4)
inline constexpr std::size_t kSharedSecretBytes = 32;
inline constexpr std::size_t kSeedBytes = 32;  // d, z and m

using EncapsulationKey = std::array<std::uint8_t, kPublicKeyBytes>;
using DecapsulationKey = SecretArray<kSecretKeyBytes>;
using Ciphertext = std::array<std::uint8_t, kCiphertextBytes>;
using SharedSecret = SecretArray<kSharedSecretBytes>;

struct KeyPair {
  EncapsulationKey ek;
  DecapsulationKey dk;
};

struct Encapsulation {
  Ciphertext ciphertext;
  SharedSecret shared_secret;
};

// Deterministic key generation from the seeds d and z.
KeyPair keygen_internal(std::span<const std::uint8_t, kSeedBytes> d, std::span<const std::uint8_t, kSeedBytes> z);
// Key generation with fresh random seeds; QB-0018 when the generator fails.
CryptoResult<KeyPair> keygen();

// The encapsulation-key check: exactly 1184 bytes, every 12-bit coefficient below q. Gives the same
// bytes typed to their length; QB-0027 otherwise.
CryptoResult<std::span<const std::uint8_t, kPublicKeyBytes>> check_encapsulation_key(std::span<const std::uint8_t> ek);
// The decapsulation-key check: exactly 2400 bytes and the embedded H(ek) matches. Gives the same
// bytes typed to their length; QB-0027 otherwise.
CryptoResult<std::span<const std::uint8_t, kSecretKeyBytes>> check_decapsulation_key(std::span<const std::uint8_t> dk);

// Encapsulation to a raw key: QB-0027 when the key fails its check, QB-0018 when no randomness.
CryptoResult<Encapsulation> encapsulate(std::span<const std::uint8_t> ek);
// Encapsulation with the caller's randomness m (known-answer tests); QB-0027 for a refused key.
CryptoResult<Encapsulation> encaps_internal(std::span<const std::uint8_t> ek,
                                            std::span<const std::uint8_t, kSeedBytes> m);

// Decapsulation. A ciphertext that does not re-encrypt gives the implicit-rejection secret
// J(z || c), never an error; QB-0027 only when dk fails its check.
CryptoResult<SharedSecret> decapsulate(std::span<const std::uint8_t> dk,
                                       std::span<const std::uint8_t, kCiphertextBytes> c);

}  // namespace qb::mlkem768

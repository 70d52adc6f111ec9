// One-shot cryptographic operations over OpenSSL: SHA-256, AES-GCM, HKDF/HMAC-SHA256, P-256,
// secure random bytes and the two keys of the configuration file. Every fallible operation returns
// a catalogue row; nothing keeps state between calls but the P-256 group and keys, built once and
// then only read, and all are safe from any thread. In FIPS mode every P-256 operation goes through
// the library's provider interfaces, so it runs inside the FIPS module; otherwise the faster
// low-level curve arithmetic serves the gate call. Both give the same results and rows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "crypto/openssl_ptr.h"
#include "crypto/secret.h"

namespace qb {

using ByteView = std::span<const std::uint8_t>;

inline constexpr std::size_t kDigestLen = 32;
inline constexpr std::size_t kAeadNonceLen = 12;
inline constexpr std::size_t kAeadTagLen = 16;
inline constexpr std::size_t kP256ScalarLen = 32;
inline constexpr std::size_t kP256PublicLen = 65;
inline constexpr std::size_t kHkdfMaxLen = 255 * 32;

using Digest = std::array<std::uint8_t, kDigestLen>;
using HmacTag = std::array<std::uint8_t, 32>;
using AeadNonce = std::span<const std::uint8_t, kAeadNonceLen>;
using P256Scalar = SecretArray<kP256ScalarLen>;
using P256ScalarView = std::span<const std::uint8_t, kP256ScalarLen>;
using P256Public = std::array<std::uint8_t, kP256PublicLen>;
using SharedSecret = SecretArray<32>;

Digest sha256(ByteView data);
// SHA-256 of both inputs (of any lengths), compared in constant time.
bool digest_eq(ByteView a, ByteView b);

// An AES-GCM key set up in the library: AES-128-GCM for 16 bytes, AES-256-GCM for 32 bytes.
// Lives inside one call; move-only.
class AeadKey {
 public:
  AeadKey(UniquePtr<EVP_CIPHER_CTX> ctx, std::size_t key_len) : ctx_(std::move(ctx)), key_len_(key_len) {}
  std::size_t key_len() const { return key_len_; }
  EVP_CIPHER_CTX* ctx() const { return ctx_.get(); }

 private:
  UniquePtr<EVP_CIPHER_CTX> ctx_;
  std::size_t key_len_;
};

// QB-0001 when the key is not 16 or 32 bytes; QB-0005 when the library refuses it.
CryptoResult<AeadKey> aead_key(ByteView key);
// Ciphertext followed by the 16-byte tag. Errors of aead_key; QB-0005 when the plaintext is
// beyond GCM's limit or the library fails.
CryptoResult<std::vector<std::uint8_t>> aead_seal(ByteView key, AeadNonce nonce, ByteView aad, ByteView plaintext);
// Errors of aead_key; QB-0003 when the input is shorter than the tag, beyond GCM's limit, or the
// tag does not verify.
CryptoResult<SecretBytes> aead_open(ByteView key, AeadNonce nonce, ByteView aad, ByteView sealed);
// nonce || ciphertext || tag with a random nonce and empty associated data. The key length is
// checked (QB-0001) before a nonce is drawn (QB-0018).
CryptoResult<std::vector<std::uint8_t>> aead_encrypt(ByteView key, ByteView plaintext);
// QB-0010 for input shorter than 28 bytes, before the key is looked at; then errors of aead_open.
CryptoResult<SecretBytes> aead_decrypt(ByteView key, ByteView sealed);

// RFC 5869 HKDF-SHA256; an absent salt is the empty salt. Any info length. A length above 8160
// bytes is a caller's bug and ends the process.
SecretBytes hkdf_sha256(ByteView ikm, std::optional<std::span<const std::uint8_t, 32>> salt, ByteView info,
                        std::size_t length);
namespace detail {
// The same with a salt of any length (RFC 5869 test cases use others); empty means absent.
SecretBytes hkdf_sha256_any_salt(ByteView salt, ByteView ikm, ByteView info, std::size_t length);
}  // namespace detail

// RFC 2104 HMAC-SHA256 over a key of any length.
HmacTag hmac_sha256(ByteView key, ByteView data);

// A library key that copies share: the key is only ever read once made, which the library allows
// from any thread. A private scalar inside is wiped when the last copy goes.
class SharedPkey {
 public:
  SharedPkey() = default;
  explicit SharedPkey(UniquePtr<EVP_PKEY> pkey) : pkey_(std::move(pkey)) {}
  SharedPkey(const SharedPkey& other);
  SharedPkey& operator=(const SharedPkey& other);
  SharedPkey(SharedPkey&&) noexcept = default;
  SharedPkey& operator=(SharedPkey&&) noexcept = default;
  ~SharedPkey() = default;

  explicit operator bool() const noexcept { return pkey_ != nullptr; }
  EVP_PKEY* get() const noexcept { return pkey_.get(); }
  void reset() noexcept { pkey_.reset(); }

 private:
  UniquePtr<EVP_PKEY> pkey_;
};

// A P-256 private key in the library, ready for agreements.
class P256Key : public SharedPkey {
 public:
  using SharedPkey::SharedPkey;
};

// A peer's P-256 public key in the library, checked: an uncompressed point on the curve.
class P256PeerKey : public SharedPkey {
 public:
  using SharedPkey::SharedPkey;
};

// A private scalar with its ready key and its public point.
struct P256KeyPair {
  P256Scalar scalar;
  P256Key key;
  P256Public pub{};
};

// QB-0018 when key generation fails; QB-0005 when the scalar cannot be exported.
CryptoResult<P256Scalar> p256_generate();
// A fresh key kept ready: errors of p256_generate, and QB-0005 when the point cannot be exported.
CryptoResult<P256KeyPair> p256_generate_pair();
// QB-0027 for a scalar outside 1..n-1.
CryptoResult<P256Key> p256_key_from_scalar(P256ScalarView scalar);
// The key and its point from a given scalar: errors of p256_key_from_scalar.
CryptoResult<P256KeyPair> p256_pair_from_scalar(P256ScalarView scalar);
// The uncompressed point (0x04 || X || Y). QB-0027 for a refused scalar; QB-0005 when the point
// cannot be exported in 65 bytes.
CryptoResult<P256Public> p256_public_from_scalar(P256ScalarView scalar);
// The peer must be exactly 65 bytes in uncompressed form and on the curve: QB-0027 otherwise.
CryptoResult<P256PeerKey> p256_peer_key(ByteView peer_public);
// ECDH on ready keys: QB-0027 for a missing key or a failed agreement; QB-0005 when the secret is
// not 32 bytes.
CryptoResult<SharedSecret> p256_agree(const P256Key& own, const P256PeerKey& peer);
// ECDH: the X coordinate of scalar x peer. QB-0027 for a refused scalar, peer key or failed
// agreement; QB-0005 when the secret is not 32 bytes.
CryptoResult<SharedSecret> p256_agree(P256ScalarView own_scalar, ByteView peer_public);

// A peer's P-256 point in the library, checked as p256_peer_key checks it, for agreements by
// scalar: outside FIPS mode no library key is made on either side. Only read once made; copies
// share it.
class P256PeerPoint {
 public:
  P256PeerPoint() = default;
  explicit P256PeerPoint(std::shared_ptr<const EC_POINT> point) : point_(std::move(point)) {}
  // In FIPS mode the point is read and checked by the library's provider and kept as its key.
  explicit P256PeerPoint(P256PeerKey key) : key_(std::move(key)) {}
  explicit operator bool() const noexcept { return point_ != nullptr || key_; }
  // Null when the point is held as a key.
  const EC_POINT* get() const noexcept { return point_.get(); }
  const P256PeerKey& key() const noexcept { return key_; }

 private:
  std::shared_ptr<const EC_POINT> point_;
  P256PeerKey key_;
};

// A fresh scalar and its point, kept without a library key, for a key whose only use is agreements
// by scalar (the gate call's two keys).
struct P256ScalarPair {
  P256Scalar scalar;
  P256Public pub{};
};

// QB-0018 when the library draws no scalar or cannot multiply; QB-0005 when the scalar or the
// point cannot be exported.
CryptoResult<P256ScalarPair> p256_generate_scalar_pair();
// The same checks and rows as p256_peer_key.
CryptoResult<P256PeerPoint> p256_peer_point(ByteView peer_public);
// ECDH: the X coordinate of scalar x peer. QB-0027 for a refused scalar, a missing point or a
// failed agreement; QB-0005 when the secret is not 32 bytes.
CryptoResult<SharedSecret> p256_agree(P256ScalarView own_scalar, const P256PeerPoint& peer);

// A checked peer point with a table of its multiples, for a peer met on every call (the gate's
// static key): an agreement with it is a fixed-base multiplication, several times cheaper than a
// plain one. Building the table costs about as much as 400 agreements. Only read once built, so
// copies may be used from any thread at once.
class P256FixedPeer {
 public:
  P256FixedPeer() = default;
  P256FixedPeer(std::shared_ptr<const EC_GROUP> group, P256PeerPoint peer)
      : group_(std::move(group)), peer_(std::move(peer)) {}
  explicit operator bool() const noexcept { return static_cast<bool>(peer_); }
  // Null in FIPS mode, where every agreement is the provider's own and no table is built.
  const EC_GROUP* group() const noexcept { return group_.get(); }
  const P256PeerPoint& peer() const noexcept { return peer_; }

 private:
  // P-256 with the peer's point as its generator and the table precomputed.
  std::shared_ptr<const EC_GROUP> group_;
  P256PeerPoint peer_;
};

// The table for a checked peer point (in FIPS mode the checked point alone): QB-0005 when the
// library fails.
CryptoResult<P256FixedPeer> p256_fixed_peer(const P256PeerPoint& peer);
// The same agreement as p256_agree with that peer: QB-0027 for a refused scalar, a missing table
// or a failed agreement; QB-0005 when the secret is not 32 bytes.
CryptoResult<SharedSecret> p256_agree(P256ScalarView own_scalar, const P256FixedPeer& peer);

namespace detail {
// Runs every P-256 operation as FIPS mode runs it, through the library's provider interfaces
// (key generation, import, checks and derivation) instead of its low-level curve arithmetic: for
// tests of that path on a library without a FIPS module. Same results, checks and rows.
void force_p256_provider_path(bool on);
}  // namespace detail

// Fills the buffer from the library's generator; QB-0018 when it fails.
CryptoResult<void> random_bytes(std::span<std::uint8_t> out);

// The AES-128-GCM key and the HMAC-SHA256 key of the configuration file, derived from fixed
// constants at every use.
SecretArray<16> derive_config_key();
SecretArray<16> derive_config_mac_key();

}  // namespace qb

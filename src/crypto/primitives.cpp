#include "crypto/primitives.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include <fmt/format.h>

#include "core/output.h"

namespace qb {

namespace {

using catalogue::QB_0001;
using catalogue::QB_0003;
using catalogue::QB_0005;
using catalogue::QB_0018;
using catalogue::QB_0027;

// Only a broken library makes SHA-256 or HMAC fail; no caller could do anything with such a result.
[[noreturn]] void library_bug(std::string_view what) {
  write_stderr(fmt::format("internal error: {}\n", what));
  std::abort();
}

// The library takes int lengths; long inputs go through in pieces.
constexpr std::size_t kChunk = std::size_t{1} << 30;

// GCM's limit on one message: 2^39 - 256 bits.
constexpr std::uint64_t kGcmMaxPlaintext = (std::uint64_t{1} << 36) - 32;

// A non-null pointer for empty inputs, which some library calls refuse as null.
const std::uint8_t* nonnull(ByteView v) {
  static const std::uint8_t zero = 0;
  return v.empty() ? &zero : v.data();
}

EVP_MAC* hmac_algorithm() {
  static const EvpMacPtr mac{EVP_MAC_fetch(nullptr, "HMAC", nullptr)};
  if (!mac) library_bug("HMAC is not available");
  return mac.get();
}

class HmacSha256 {
 public:
  explicit HmacSha256(ByteView key) : ctx_(EVP_MAC_CTX_new(hmac_algorithm())) {
    static char digest_name[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
                           OSSL_PARAM_construct_end()};
    if (!ctx_ || EVP_MAC_init(ctx_.get(), nonnull(key), key.size(), params) != 1) library_bug("HMAC-SHA256 init");
  }

  void update(ByteView data) {
    for (std::size_t off = 0; off < data.size(); off += kChunk) {
      std::size_t n = std::min(kChunk, data.size() - off);
      if (EVP_MAC_update(ctx_.get(), data.data() + off, n) != 1) library_bug("HMAC-SHA256 update");
    }
  }

  void finish(std::span<std::uint8_t, 32> out) {
    std::size_t len = 0;
    if (EVP_MAC_final(ctx_.get(), out.data(), &len, out.size()) != 1 || len != out.size()) {
      library_bug("HMAC-SHA256 final");
    }
  }

 private:
  EvpMacCtxPtr ctx_;
};

bool chunked_cipher_update(EVP_CIPHER_CTX* ctx, std::uint8_t* out, ByteView in) {
  for (std::size_t off = 0; off < in.size(); off += kChunk) {
    int n = static_cast<int>(std::min(kChunk, in.size() - off));
    int outl = 0;
    if (EVP_CipherUpdate(ctx, out == nullptr ? nullptr : out + off, &outl, in.data() + off, n) != 1) return false;
    // Associated data produces no output; GCM is a stream mode, so text produces exactly its length.
    if (out != nullptr && outl != n) return false;
  }
  return true;
}

// The peer's point, or its own key's point, as a library key on P-256.
EvpPkeyPtr p256_from_params(OSSL_PARAM_BLD* bld, int selection) {
  OsslParamPtr params{OSSL_PARAM_BLD_to_param(bld)};
  if (!params) return nullptr;
  EvpPkeyCtxPtr ctx{EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr)};
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &raw, selection, params.get()) != 1) {
    return nullptr;
  }
  return EvpPkeyPtr{raw};
}

char p256_group_name[] = "prime256v1";

}  // namespace

Digest sha256(ByteView data) {
  Digest out{};
  EvpMdCtxPtr ctx{EVP_MD_CTX_new()};
  unsigned len = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) library_bug("SHA-256 init");
  for (std::size_t off = 0; off < data.size(); off += kChunk) {
    if (EVP_DigestUpdate(ctx.get(), data.data() + off, std::min(kChunk, data.size() - off)) != 1) {
      library_bug("SHA-256 update");
    }
  }
  if (EVP_DigestFinal_ex(ctx.get(), out.data(), &len) != 1 || len != out.size()) library_bug("SHA-256 final");
  return out;
}

bool digest_eq(ByteView a, ByteView b) {
  Digest da = sha256(a);
  Digest db = sha256(b);
  return CRYPTO_memcmp(da.data(), db.data(), da.size()) == 0;
}

CryptoResult<AeadKey> aead_key(ByteView key) {
  const EVP_CIPHER* cipher = nullptr;
  if (key.size() == 16) {
    cipher = EVP_aes_128_gcm();
  } else if (key.size() == 32) {
    cipher = EVP_aes_256_gcm();
  } else {
    return QB_0001;
  }
  EvpCipherCtxPtr ctx{EVP_CIPHER_CTX_new()};
  if (!ctx || cipher == nullptr || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), nullptr, 1) != 1) {
    return QB_0005;
  }
  return AeadKey{std::move(ctx), key.size()};
}

CryptoResult<std::vector<std::uint8_t>> aead_seal(ByteView key, AeadNonce nonce, ByteView aad, ByteView plaintext) {
  auto k = aead_key(key);
  if (!k) return k.error();
  if (static_cast<std::uint64_t>(plaintext.size()) > kGcmMaxPlaintext) return QB_0005;
  EVP_CIPHER_CTX* ctx = k->ctx();
  std::vector<std::uint8_t> out(plaintext.size() + kAeadTagLen);
  std::uint8_t tail[16];
  int outl = 0;
  if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data(), 1) != 1 ||
      !chunked_cipher_update(ctx, nullptr, aad) || !chunked_cipher_update(ctx, out.data(), plaintext) ||
      EVP_CipherFinal_ex(ctx, tail, &outl) != 1 || outl != 0 ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, kAeadTagLen, out.data() + plaintext.size()) != 1) {
    return QB_0005;
  }
  return out;
}

CryptoResult<SecretBytes> aead_open(ByteView key, AeadNonce nonce, ByteView aad, ByteView sealed) {
  auto k = aead_key(key);
  if (!k) return k.error();
  if (sealed.size() < kAeadTagLen) return QB_0003;
  std::size_t text_len = sealed.size() - kAeadTagLen;
  if (static_cast<std::uint64_t>(text_len) > kGcmMaxPlaintext) return QB_0003;
  EVP_CIPHER_CTX* ctx = k->ctx();
  std::uint8_t tag[kAeadTagLen];
  std::copy_n(sealed.data() + text_len, kAeadTagLen, tag);
  // Wiped by its destructor on every failure below.
  SecretBytes out(text_len);
  std::uint8_t tail[16];
  int outl = 0;
  if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data(), 0) != 1 ||
      !chunked_cipher_update(ctx, nullptr, aad) || !chunked_cipher_update(ctx, out.data(), sealed.first(text_len)) ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kAeadTagLen, tag) != 1 ||
      EVP_CipherFinal_ex(ctx, tail, &outl) != 1 || outl != 0) {
    return QB_0003;
  }
  return out;
}

CryptoResult<std::vector<std::uint8_t>> aead_encrypt(ByteView key, ByteView plaintext) {
  if (key.size() != 16 && key.size() != 32) return QB_0001;
  std::array<std::uint8_t, kAeadNonceLen> nonce{};
  if (auto r = random_bytes(nonce); !r) return r.error();
  auto sealed = aead_seal(key, nonce, {}, plaintext);
  if (!sealed) return sealed.error();
  std::vector<std::uint8_t> out;
  out.reserve(nonce.size() + sealed->size());
  out.insert(out.end(), nonce.begin(), nonce.end());
  out.insert(out.end(), sealed->begin(), sealed->end());
  return out;
}

CryptoResult<SecretBytes> aead_decrypt(ByteView key, ByteView sealed) {
  if (sealed.size() < kAeadNonceLen + kAeadTagLen) return catalogue::QB_0010;
  return aead_open(key, sealed.first<kAeadNonceLen>(), {}, sealed.subspan(kAeadNonceLen));
}

// Built on HMAC rather than the library's HKDF, whose OpenSSL 3.0 form caps the info length;
// infos here include vault labels of any length.
SecretBytes hkdf_sha256(ByteView ikm, std::optional<std::span<const std::uint8_t, 32>> salt, ByteView info,
                        std::size_t length) {
  return detail::hkdf_sha256_any_salt(salt ? ByteView(*salt) : ByteView(), ikm, info, length);
}

SecretBytes detail::hkdf_sha256_any_salt(ByteView salt, ByteView ikm, ByteView info, std::size_t length) {
  if (length > kHkdfMaxLen) {
    write_stderr("internal error: entered unreachable code: the caller bounds the HKDF length\n");
    std::abort();
  }
  // RFC 5869: an absent salt is HashLen zero bytes, which HMAC treats like the empty key.
  static constexpr std::array<std::uint8_t, 32> zero_salt{};
  if (salt.empty()) salt = zero_salt;
  SecretArray<32> prk;
  {
    HmacSha256 extract(salt);
    extract.update(ikm);
    extract.finish(prk.span());
  }
  SecretBytes out(length);
  SecretArray<32> block;
  std::size_t done = 0;
  for (unsigned i = 1; done < length; ++i) {
    HmacSha256 expand(prk);
    if (i > 1) expand.update(block);
    expand.update(info);
    const std::uint8_t counter = static_cast<std::uint8_t>(i);
    expand.update(ByteView(&counter, 1));
    expand.finish(block.span());
    std::size_t n = std::min<std::size_t>(block.size(), length - done);
    std::copy_n(block.data(), n, out.data() + done);
    done += n;
  }
  return out;
}

HmacTag hmac_sha256(ByteView key, ByteView data) {
  HmacTag tag{};
  HmacSha256 mac(key);
  mac.update(data);
  mac.finish(tag);
  return tag;
}

CryptoResult<P256Scalar> p256_generate() {
  EvpPkeyPtr pkey{EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")};
  if (!pkey) return QB_0018;
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1) return QB_0005;
  BignumPtr d{raw};
  P256Scalar scalar;
  if (BN_bn2binpad(d.get(), scalar.data(), static_cast<int>(scalar.size())) != static_cast<int>(scalar.size())) {
    return QB_0005;
  }
  return scalar;
}

CryptoResult<P256Key> p256_key_from_scalar(P256ScalarView scalar) {
  EcGroupPtr group{EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1)};
  BnCtxPtr bn_ctx{BN_CTX_secure_new()};
  BignumPtr d{BN_secure_new()};
  if (!group || !bn_ctx || !d) return QB_0005;
  BN_set_flags(d.get(), BN_FLG_CONSTTIME);
  if (BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), d.get()) == nullptr) return QB_0005;
  const BIGNUM* order = EC_GROUP_get0_order(group.get());
  if (order == nullptr || BN_is_zero(d.get()) || BN_cmp(d.get(), order) >= 0) return QB_0027;

  // The library's import does not compute the public point, so it is derived here and the pair
  // is then checked as a whole.
  EcPointPtr point{EC_POINT_new(group.get())};
  std::array<std::uint8_t, kP256PublicLen> pub{};
  if (!point || EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, bn_ctx.get()) != 1 ||
      EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, pub.data(), pub.size(),
                         bn_ctx.get()) != pub.size()) {
    return QB_0027;
  }

  OsslParamBldPtr bld{OSSL_PARAM_BLD_new()};
  if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, p256_group_name, 0) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size()) != 1) {
    return QB_0005;
  }
  // The scalar is in 1..n-1 and the point is its own multiple of the generator, so the pair is
  // valid by construction; a full library check would repeat two scalar multiplications.
  EvpPkeyPtr pkey = p256_from_params(bld.get(), EVP_PKEY_KEYPAIR);
  if (!pkey) return QB_0027;
  return P256Key{std::move(pkey)};
}

CryptoResult<P256Public> p256_public_from_scalar(P256ScalarView scalar) {
  auto key = p256_key_from_scalar(scalar);
  if (!key) return key.error();
  P256Public pub{};
  std::size_t len = 0;
  if (EVP_PKEY_get_octet_string_param(key->pkey.get(), OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size(), &len) != 1 ||
      len != pub.size() || pub[0] != 0x04) {
    return QB_0005;
  }
  return pub;
}

CryptoResult<SharedSecret> p256_agree(P256ScalarView own_scalar, ByteView peer_public) {
  auto own = p256_key_from_scalar(own_scalar);
  if (!own) return own.error();

  // OpenSSL also takes compressed (0x02, 0x03) and hybrid (0x06, 0x07) encodings; only the
  // uncompressed form is a P-256 public key here.
  if (peer_public.size() != kP256PublicLen || peer_public[0] != 0x04) return QB_0027;
  OsslParamBldPtr bld{OSSL_PARAM_BLD_new()};
  if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, p256_group_name, 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, peer_public.data(), peer_public.size()) !=
          1) {
    return QB_0005;
  }
  EvpPkeyPtr peer = p256_from_params(bld.get(), EVP_PKEY_PUBLIC_KEY);
  if (!peer) return QB_0027;
  // On the curve and not the point at infinity. P-256 has cofactor 1, so every such point has the
  // full order and the costly order check adds nothing.
  EvpPkeyCtxPtr check{EVP_PKEY_CTX_new_from_pkey(nullptr, peer.get(), nullptr)};
  if (!check || EVP_PKEY_public_check_quick(check.get()) != 1) return QB_0027;

  EvpPkeyCtxPtr ctx{EVP_PKEY_CTX_new_from_pkey(nullptr, own->pkey.get(), nullptr)};
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), /*validate_peer=*/0) != 1) {
    return QB_0027;
  }
  SharedSecret secret;
  std::size_t len = 0;
  if (EVP_PKEY_derive(ctx.get(), nullptr, &len) != 1) return QB_0027;
  if (len != secret.size()) return QB_0005;
  if (EVP_PKEY_derive(ctx.get(), secret.data(), &len) != 1) return QB_0027;
  if (len != secret.size()) return QB_0005;
  return secret;
}

CryptoResult<void> random_bytes(std::span<std::uint8_t> out) {
  for (std::size_t off = 0; off < out.size(); off += kChunk) {
    if (RAND_bytes(out.data() + off, static_cast<int>(std::min(kChunk, out.size() - off))) != 1) return QB_0018;
  }
  return {};
}

namespace {

// These three constants fix the keys of every configuration file ever written. Changing any byte
// makes every existing file unreadable, so they must never change.
constexpr std::array<std::uint8_t, 12> kConfigIkm = {'q', 'u', 'o', 'r', 'b', 'e', 'l', 't', '-', 'c', 'f', 'g'};
constexpr std::array<std::uint8_t, 3> kConfigKeyInfo = {'e', 'n', 'c'};
constexpr std::array<std::uint8_t, 4> kConfigMacInfo = {'h', 'm', 'a', 'c'};

SecretArray<16> derive_16(ByteView info) {
  SecretBytes okm = hkdf_sha256(kConfigIkm, std::nullopt, info, 16);
  return SecretArray<16>(std::span<const std::uint8_t, 16>(okm.data(), 16));
}

}  // namespace

SecretArray<16> derive_config_key() { return derive_16(kConfigKeyInfo); }

SecretArray<16> derive_config_mac_key() { return derive_16(kConfigMacInfo); }

}  // namespace qb

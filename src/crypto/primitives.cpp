#include "crypto/primitives.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <initializer_list>
#include <string_view>

#include <fmt/format.h>

#include "core/output.h"
#include "core/result.h"
#include "crypto/fips.h"

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

// Algorithms are fetched once: the library otherwise looks each one up by name at every use, which
// costs more than hashing the few bytes of a handshake step.
const EVP_MD* sha256_algorithm() {
  static const UniquePtr<EVP_MD> md{EVP_MD_fetch(nullptr, "SHA2-256", nullptr)};
  if (!md) library_bug("SHA-256 is not available");
  return md.get();
}

const EVP_CIPHER* aes_gcm_algorithm(std::size_t key_len) {
  static const UniquePtr<EVP_CIPHER> aes128{EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr)};
  static const UniquePtr<EVP_CIPHER> aes256{EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr)};
  return key_len == 16 ? aes128.get() : aes256.get();
}

void digest_update(EVP_MD_CTX* ctx, ByteView data, std::string_view failure) {
  for (std::size_t off = 0; off < data.size(); off += kChunk) {
    if (EVP_DigestUpdate(ctx, data.data() + off, std::min(kChunk, data.size() - off)) != 1) library_bug(failure);
  }
}

// HMAC-SHA256 (RFC 2104) with the key's two padded blocks hashed once: each message then costs two
// copies of a digest state and its own blocks, not a fresh MAC set-up. HKDF's expansion runs
// several messages under one key.
class HmacSha256 {
 public:
  explicit HmacSha256(ByteView key) {
    SecretArray<64> block;
    if (key.size() > block.size()) {
      Digest d = sha256(key);
      std::copy(d.begin(), d.end(), block.begin());
      secure_wipe(d.data(), d.size());
    } else if (!key.empty()) {
      std::copy(key.begin(), key.end(), block.begin());
    }
    inner_ = pad_state(block, 0x36);
    outer_ = pad_state(block, 0x5c);
  }

  void mac(std::initializer_list<ByteView> parts, std::span<std::uint8_t, 32> out) const {
    UniquePtr<EVP_MD_CTX> ctx{EVP_MD_CTX_new()};
    SecretArray<32> inner_hash;
    unsigned len = 0;
    if (!ctx || EVP_MD_CTX_copy_ex(ctx.get(), inner_.get()) != 1) library_bug("HMAC-SHA256 init");
    for (ByteView part : parts) digest_update(ctx.get(), part, "HMAC-SHA256 update");
    if (EVP_DigestFinal_ex(ctx.get(), inner_hash.data(), &len) != 1 || len != inner_hash.size() ||
        EVP_MD_CTX_copy_ex(ctx.get(), outer_.get()) != 1) {
      library_bug("HMAC-SHA256 final");
    }
    digest_update(ctx.get(), inner_hash.span(), "HMAC-SHA256 final");
    if (EVP_DigestFinal_ex(ctx.get(), out.data(), &len) != 1 || len != out.size()) library_bug("HMAC-SHA256 final");
  }

 private:
  // The digest state after the key block XOR pad; the library wipes a state when it frees it.
  static UniquePtr<EVP_MD_CTX> pad_state(const SecretArray<64>& block, std::uint8_t pad) {
    SecretArray<64> padded;
    for (std::size_t i = 0; i < block.size(); ++i) padded.data()[i] = block.data()[i] ^ pad;
    UniquePtr<EVP_MD_CTX> ctx{EVP_MD_CTX_new()};
    if (!ctx || EVP_DigestInit_ex2(ctx.get(), sha256_algorithm(), nullptr) != 1) library_bug("HMAC-SHA256 init");
    digest_update(ctx.get(), padded.span(), "HMAC-SHA256 init");
    return ctx;
  }

  UniquePtr<EVP_MD_CTX> inner_;
  UniquePtr<EVP_MD_CTX> outer_;
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

char p256_group_name[] = "prime256v1";

// The group is built once per process: building it is as costly as a scalar multiplication by the
// generator. After construction it is only read, which the library allows from any thread.
const EC_GROUP* p256_group() {
  static const UniquePtr<EC_GROUP> group{EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1)};
  return group.get();
}

// A library key holding only P-256's parameters. Generated keys and peer keys start from it, so the
// library copies the group instead of building it again from its name.
EVP_PKEY* p256_parameters() {
  static const UniquePtr<EVP_PKEY> params = [] {
    UniquePtr<OSSL_PARAM_BLD> bld{OSSL_PARAM_BLD_new()};
    if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, p256_group_name, 0) != 1) {
      return UniquePtr<EVP_PKEY>{};
    }
    UniquePtr<OSSL_PARAM> p{OSSL_PARAM_BLD_to_param(bld.get())};
    UniquePtr<EVP_PKEY_CTX> ctx{EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr)};
    EVP_PKEY* raw = nullptr;
    if (!p || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEY_PARAMETERS, p.get()) != 1) {
      return UniquePtr<EVP_PKEY>{};
    }
    return UniquePtr<EVP_PKEY>{raw};
  }();
  return params.get();
}

// The scalar as a number, or QB-0027 when it is outside 1..n-1 (QB-0005 when the library fails).
CryptoResult<UniquePtr<BIGNUM>> p256_scalar_number(P256ScalarView scalar) {
  const EC_GROUP* group = p256_group();
  UniquePtr<BIGNUM> d{BN_secure_new()};
  if (group == nullptr || !d) return QB_0005;
  BN_set_flags(d.get(), BN_FLG_CONSTTIME);
  if (BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), d.get()) == nullptr) return QB_0005;
  const BIGNUM* order = EC_GROUP_get0_order(group);
  if (order == nullptr || BN_is_zero(d.get()) || BN_cmp(d.get(), order) >= 0) return QB_0027;
  return d;
}

// scalar x G, uncompressed, for a scalar already checked: QB-0027 when the multiplication fails,
// QB-0005 when the point cannot be exported.
CryptoResult<P256Public> p256_point_of(const BIGNUM* d) {
  const EC_GROUP* group = p256_group();
  UniquePtr<BN_CTX> bn_ctx{BN_CTX_secure_new()};
  UniquePtr<EC_POINT> point{EC_POINT_new(group)};
  if (!bn_ctx || !point) return QB_0005;
  if (EC_POINT_mul(group, point.get(), d, nullptr, nullptr, bn_ctx.get()) != 1) return QB_0027;
  P256Public pub{};
  if (EC_POINT_point2oct(group, point.get(), POINT_CONVERSION_UNCOMPRESSED, pub.data(), pub.size(), bn_ctx.get()) !=
          pub.size() ||
      pub[0] != 0x04) {
    return QB_0005;
  }
  return pub;
}

// The uncompressed point of a library key; QB-0005 when it cannot be exported in 65 bytes.
CryptoResult<P256Public> p256_point_of(const EVP_PKEY* pkey) {
  P256Public pub{};
  std::size_t len = 0;
  if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size(), &len) != 1 ||
      len != pub.size() || pub[0] != 0x04) {
    return QB_0005;
  }
  return pub;
}

// The X coordinate of g_scalar x G + p_scalar x point, for the one product an agreement asks for:
// QB-0027 when it fails or is the point at infinity, QB-0005 when X does not fit in 32 bytes.
CryptoResult<SharedSecret> p256_product_x(const EC_GROUP* group, const BIGNUM* g_scalar, const EC_POINT* point,
                                          const BIGNUM* p_scalar) {
  UniquePtr<BN_CTX> bn_ctx{BN_CTX_secure_new()};
  UniquePtr<EC_POINT> product{group ? EC_POINT_new(group) : nullptr};
  UniquePtr<BIGNUM> x{BN_secure_new()};
  if (!bn_ctx || !product || !x || EC_POINT_mul(group, product.get(), g_scalar, point, p_scalar, bn_ctx.get()) != 1 ||
      EC_POINT_is_at_infinity(group, product.get()) == 1 ||
      EC_POINT_get_affine_coordinates(group, product.get(), x.get(), nullptr, bn_ctx.get()) != 1) {
    return QB_0027;
  }
  SharedSecret secret;
  if (BN_bn2binpad(x.get(), secret.data(), static_cast<int>(secret.size())) != static_cast<int>(secret.size())) {
    return QB_0005;
  }
  return secret;
}

std::atomic<bool> p256_provider_forced{false};

// Asked at every operation rather than kept in the objects: tests switch paths between calls.
bool p256_by_provider() { return fips_mode_enabled() || p256_provider_forced.load(std::memory_order_relaxed); }

// A library key of a checked scalar, with its point when one is given; the library's import does
// not compute the point, and an agreement does not need it. QB-0027 when the library refuses the
// key, QB-0005 when it fails.
CryptoResult<P256Key> p256_key_of(const BIGNUM* d, ByteView pub) {
  UniquePtr<OSSL_PARAM_BLD> bld{OSSL_PARAM_BLD_new()};
  if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, p256_group_name, 0) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d) != 1 ||
      (!pub.empty() &&
       OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size()) != 1)) {
    return QB_0005;
  }
  UniquePtr<OSSL_PARAM> params{OSSL_PARAM_BLD_to_param(bld.get())};
  if (!params) return QB_0005;
  UniquePtr<EVP_PKEY_CTX> ctx{EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr)};
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    return QB_0027;
  }
  return P256Key(UniquePtr<EVP_PKEY>{raw});
}

// P-256's generator as a peer key: an agreement with it is the X coordinate of the scalar's point.
const P256PeerKey* p256_generator_key() {
  static constexpr std::array<std::uint8_t, kP256PublicLen> kGenerator = {
      0x04, 0x6b, 0x17, 0xd1, 0xf2, 0xe1, 0x2c, 0x42, 0x47, 0xf8, 0xbc, 0xe6, 0xe5, 0x63, 0xa4, 0x40, 0xf2,
      0x77, 0x03, 0x7d, 0x81, 0x2d, 0xeb, 0x33, 0xa0, 0xf4, 0xa1, 0x39, 0x45, 0xd8, 0x98, 0xc2, 0x96, 0x4f,
      0xe3, 0x42, 0xe2, 0xfe, 0x1a, 0x7f, 0x9b, 0x8e, 0xe7, 0xeb, 0x4a, 0x7c, 0x0f, 0x9e, 0x16, 0x2b, 0xce,
      0x33, 0x57, 0x6b, 0x31, 0x5e, 0xce, 0xcb, 0xb6, 0x40, 0x68, 0x37, 0xbf, 0x51, 0xf5};
  static const P256PeerKey key = [] {
    auto k = p256_peer_key(kGenerator);
    return k ? *k : P256PeerKey();
  }();
  return key ? &key : nullptr;
}

// A scalar's key and point by the provider alone: the agreement with the generator gives X, and of
// the two points with that X the scalar's is the one whose pair passes the provider's pairwise
// check. QB-0027 when the scalar is refused or neither passes; QB-0005 when the library fails.
CryptoResult<P256KeyPair> p256_provider_pair(P256ScalarView scalar, const BIGNUM* d) {
  const P256PeerKey* generator = p256_generator_key();
  if (generator == nullptr) return QB_0005;
  QB_TRY(const P256Key bare, p256_key_of(d, {}));
  QB_TRY(const SharedSecret x, p256_agree(bare, *generator));
  std::array<std::uint8_t, 1 + kP256ScalarLen> compressed{};
  std::copy(x.data(), x.data() + x.size(), compressed.begin() + 1);
  for (const std::uint8_t prefix : {std::uint8_t{0x02}, std::uint8_t{0x03}}) {
    compressed[0] = prefix;
    QB_TRY(const P256Key candidate, p256_key_of(d, compressed));
    UniquePtr<EVP_PKEY_CTX> check{EVP_PKEY_CTX_new_from_pkey(nullptr, candidate.get(), nullptr)};
    if (!check) return QB_0005;
    if (EVP_PKEY_pairwise_check(check.get()) != 1) {
      ERR_clear_error();
      continue;
    }
    BIGNUM* x_raw = nullptr;
    BIGNUM* y_raw = nullptr;
    const bool read = EVP_PKEY_get_bn_param(candidate.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x_raw) == 1 &&
                      EVP_PKEY_get_bn_param(candidate.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y_raw) == 1;
    const UniquePtr<BIGNUM> px{x_raw};
    const UniquePtr<BIGNUM> py{y_raw};
    P256Public pub{};
    pub[0] = 0x04;
    if (!read || BN_bn2binpad(px.get(), pub.data() + 1, 32) != 32 ||
        BN_bn2binpad(py.get(), pub.data() + 33, 32) != 32) {
      return QB_0005;
    }
    // Imported again from the uncompressed point, so the key exports the point as every other key does.
    QB_TRY(P256Key key, p256_key_of(d, pub));
    return P256KeyPair{P256Scalar(scalar), std::move(key), pub};
  }
  return QB_0027;
}

// The peer as a provider key. A point read on the fast path (only when a test switched paths
// between calls) is read and checked again by the provider.
CryptoResult<P256PeerKey> p256_provider_peer(const P256PeerPoint& peer) {
  if (peer.key()) return peer.key();
  P256Public bytes{};
  UniquePtr<BN_CTX> bn_ctx{BN_CTX_new()};
  if (!bn_ctx || EC_POINT_point2oct(p256_group(), peer.get(), POINT_CONVERSION_UNCOMPRESSED, bytes.data(), bytes.size(),
                                    bn_ctx.get()) != bytes.size()) {
    return QB_0005;
  }
  return p256_peer_key(bytes);
}

}  // namespace

void detail::force_p256_provider_path(bool on) { p256_provider_forced.store(on, std::memory_order_relaxed); }

Digest sha256(ByteView data) {
  Digest out{};
  UniquePtr<EVP_MD_CTX> ctx{EVP_MD_CTX_new()};
  unsigned len = 0;
  if (!ctx || EVP_DigestInit_ex2(ctx.get(), sha256_algorithm(), nullptr) != 1) library_bug("SHA-256 init");
  digest_update(ctx.get(), data, "SHA-256 update");
  if (EVP_DigestFinal_ex(ctx.get(), out.data(), &len) != 1 || len != out.size()) library_bug("SHA-256 final");
  return out;
}

bool digest_eq(ByteView a, ByteView b) {
  Digest da = sha256(a);
  Digest db = sha256(b);
  return CRYPTO_memcmp(da.data(), db.data(), da.size()) == 0;
}

CryptoResult<AeadKey> aead_key(ByteView key) {
  if (key.size() != 16 && key.size() != 32) return QB_0001;
  const EVP_CIPHER* cipher = aes_gcm_algorithm(key.size());
  UniquePtr<EVP_CIPHER_CTX> ctx{EVP_CIPHER_CTX_new()};
  if (!ctx || cipher == nullptr || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), nullptr, 1) != 1) {
    return QB_0005;
  }
  return AeadKey{std::move(ctx), key.size()};
}

CryptoResult<std::vector<std::uint8_t>> aead_seal(ByteView key, AeadNonce nonce, ByteView aad, ByteView plaintext) {
  QB_TRY(auto k, aead_key(key));
  if (static_cast<std::uint64_t>(plaintext.size()) > kGcmMaxPlaintext) return QB_0005;
  EVP_CIPHER_CTX* ctx = k.ctx();
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
  QB_TRY(auto k, aead_key(key));
  if (sealed.size() < kAeadTagLen) return QB_0003;
  std::size_t text_len = sealed.size() - kAeadTagLen;
  if (static_cast<std::uint64_t>(text_len) > kGcmMaxPlaintext) return QB_0003;
  EVP_CIPHER_CTX* ctx = k.ctx();
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
  QB_TRY_VOID(random_bytes(nonce));
  QB_TRY(auto sealed, aead_seal(key, nonce, {}, plaintext));
  std::vector<std::uint8_t> out;
  out.reserve(nonce.size() + sealed.size());
  out.insert(out.end(), nonce.begin(), nonce.end());
  out.insert(out.end(), sealed.begin(), sealed.end());
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
  HmacSha256(salt).mac({ikm}, prk.span());
  const HmacSha256 expand(prk.span());
  SecretBytes out(length);
  SecretArray<32> block;
  std::size_t done = 0;
  for (unsigned i = 1; done < length; ++i) {
    const std::uint8_t counter = static_cast<std::uint8_t>(i);
    expand.mac({i > 1 ? ByteView(block.span()) : ByteView(), info, ByteView(&counter, 1)}, block.span());
    std::size_t n = std::min<std::size_t>(block.size(), length - done);
    std::copy_n(block.data(), n, out.data() + done);
    done += n;
  }
  return out;
}

HmacTag hmac_sha256(ByteView key, ByteView data) {
  HmacTag tag{};
  HmacSha256(key).mac({data}, tag);
  return tag;
}

SharedPkey::SharedPkey(const SharedPkey& other) : pkey_(other.pkey_.get()) {
  if (pkey_ && EVP_PKEY_up_ref(pkey_.get()) != 1) {
    // Never drop a reference this copy does not hold.
    static_cast<void>(pkey_.release());
  }
}

SharedPkey& SharedPkey::operator=(const SharedPkey& other) {
  if (this != &other) *this = SharedPkey(other);
  return *this;
}

CryptoResult<P256KeyPair> p256_generate_pair() {
  EVP_PKEY* params = p256_parameters();
  if (params == nullptr) return QB_0018;
  UniquePtr<EVP_PKEY_CTX> ctx{EVP_PKEY_CTX_new_from_pkey(nullptr, params, nullptr)};
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1) return QB_0018;
  P256KeyPair pair{{}, P256Key(UniquePtr<EVP_PKEY>{raw}), {}};

  BIGNUM* d_raw = nullptr;
  if (EVP_PKEY_get_bn_param(pair.key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d_raw) != 1) return QB_0005;
  UniquePtr<BIGNUM> d{d_raw};
  if (BN_bn2binpad(d.get(), pair.scalar.data(), static_cast<int>(pair.scalar.size())) !=
      static_cast<int>(pair.scalar.size())) {
    return QB_0005;
  }
  QB_TRY(auto pub, p256_point_of(pair.key.get()));
  pair.pub = pub;
  return pair;
}

CryptoResult<P256Scalar> p256_generate() {
  QB_TRY(auto pair, p256_generate_pair());
  return pair.scalar;
}

CryptoResult<P256KeyPair> p256_pair_from_scalar(P256ScalarView scalar) {
  QB_TRY(auto d, p256_scalar_number(scalar));
  if (p256_by_provider()) return p256_provider_pair(scalar, d.get());
  auto pub = p256_point_of(d.get());
  if (!pub) return QB_0027;
  // The scalar is in 1..n-1 and the point is its own multiple of the generator, so the pair is
  // valid by construction; a full library check would repeat two scalar multiplications.
  QB_TRY(P256Key key, p256_key_of(d.get(), *pub));
  return P256KeyPair{P256Scalar(scalar), std::move(key), *pub};
}

CryptoResult<P256Key> p256_key_from_scalar(P256ScalarView scalar) {
  QB_TRY(auto pair, p256_pair_from_scalar(scalar));
  return std::move(pair.key);
}

CryptoResult<P256Public> p256_public_from_scalar(P256ScalarView scalar) {
  QB_TRY(auto d, p256_scalar_number(scalar));
  if (p256_by_provider()) {
    QB_TRY(const P256KeyPair pair, p256_provider_pair(scalar, d.get()));
    return pair.pub;
  }
  return p256_point_of(d.get());
}

CryptoResult<P256PeerKey> p256_peer_key(ByteView peer_public) {
  // OpenSSL also takes compressed (0x02, 0x03) and hybrid (0x06, 0x07) encodings; only the
  // uncompressed form is a P-256 public key here.
  if (peer_public.size() != kP256PublicLen || peer_public[0] != 0x04) return QB_0027;
  EVP_PKEY* params = p256_parameters();
  if (params == nullptr) return QB_0005;
  UniquePtr<EVP_PKEY> peer{EVP_PKEY_dup(params)};
  if (!peer) return QB_0005;
  // Decoding refuses coordinates at or above p and points off the curve.
  if (EVP_PKEY_set_octet_string_param(peer.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, peer_public.data(),
                                      peer_public.size()) != 1) {
    return QB_0027;
  }
  // On the curve and not the point at infinity. P-256 has cofactor 1, so every such point has the
  // full order and the costly order check adds nothing.
  UniquePtr<EVP_PKEY_CTX> check{EVP_PKEY_CTX_new_from_pkey(nullptr, peer.get(), nullptr)};
  if (!check || EVP_PKEY_public_check_quick(check.get()) != 1) return QB_0027;
  return P256PeerKey(std::move(peer));
}

CryptoResult<SharedSecret> p256_agree(const P256Key& own, const P256PeerKey& peer) {
  if (!own || !peer) return QB_0027;
  UniquePtr<EVP_PKEY_CTX> ctx{EVP_PKEY_CTX_new_from_pkey(nullptr, own.get(), nullptr)};
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

CryptoResult<SharedSecret> p256_agree(P256ScalarView own_scalar, ByteView peer_public) {
  QB_TRY(auto own, p256_key_from_scalar(own_scalar));
  QB_TRY(auto peer, p256_peer_key(peer_public));
  return p256_agree(own, peer);
}

CryptoResult<P256ScalarPair> p256_generate_scalar_pair() {
  if (p256_by_provider()) {
    QB_TRY(const P256KeyPair pair, p256_generate_pair());
    return P256ScalarPair{pair.scalar, pair.pub};
  }
  const EC_GROUP* group = p256_group();
  if (group == nullptr) return QB_0018;
  UniquePtr<BN_CTX> bn_ctx{BN_CTX_secure_new()};
  UniquePtr<BIGNUM> d{BN_secure_new()};
  if (!bn_ctx || !d) return QB_0018;
  BN_set_flags(d.get(), BN_FLG_CONSTTIME);
  // Uniform in 1..n-1, as the library's own key generation draws it.
  do {
    if (BN_priv_rand_range_ex(d.get(), EC_GROUP_get0_order(group), 0, bn_ctx.get()) != 1) return QB_0018;
  } while (BN_is_zero(d.get()));
  P256ScalarPair pair;
  if (BN_bn2binpad(d.get(), pair.scalar.data(), static_cast<int>(pair.scalar.size())) !=
      static_cast<int>(pair.scalar.size())) {
    return QB_0005;
  }
  auto pub = p256_point_of(d.get());
  // A failed multiplication is a failed generation here, not a refused key.
  if (!pub) return pub.error().code == QB_0027.code ? QB_0018 : pub.error();
  pair.pub = *pub;
  return pair;
}

CryptoResult<P256PeerPoint> p256_peer_point(ByteView peer_public) {
  if (peer_public.size() != kP256PublicLen || peer_public[0] != 0x04) return QB_0027;
  if (p256_by_provider()) {
    QB_TRY(P256PeerKey key, p256_peer_key(peer_public));
    return P256PeerPoint(std::move(key));
  }
  const EC_GROUP* group = p256_group();
  UniquePtr<EC_POINT> point{group ? EC_POINT_new(group) : nullptr};
  UniquePtr<BN_CTX> bn_ctx{BN_CTX_new()};
  if (!point || !bn_ctx) return QB_0005;
  // Decoding refuses coordinates at or above p and points off the curve; the checks after it say
  // so themselves rather than trust that. Cofactor 1: every other point has the full order.
  if (EC_POINT_oct2point(group, point.get(), peer_public.data(), peer_public.size(), bn_ctx.get()) != 1 ||
      EC_POINT_is_at_infinity(group, point.get()) == 1 || EC_POINT_is_on_curve(group, point.get(), bn_ctx.get()) != 1) {
    ERR_clear_error();
    return QB_0027;
  }
  return P256PeerPoint(std::shared_ptr<const EC_POINT>(std::move(point)));
}

CryptoResult<SharedSecret> p256_agree(P256ScalarView own_scalar, const P256PeerPoint& peer) {
  if (!peer) return QB_0027;
  QB_TRY(const UniquePtr<BIGNUM> d, p256_scalar_number(own_scalar));
  if (p256_by_provider() || peer.get() == nullptr) {
    QB_TRY(const P256PeerKey peer_key, p256_provider_peer(peer));
    QB_TRY(const P256Key own, p256_key_of(d.get(), {}));
    return p256_agree(own, peer_key);
  }
  return p256_product_x(p256_group(), nullptr, peer.get(), d.get());
}

CryptoResult<P256FixedPeer> p256_fixed_peer(const P256PeerPoint& peer) {
  const EC_GROUP* base = p256_group();
  if (!peer || base == nullptr) return QB_0005;
  // The provider offers no table: the checked point stands in for it and agreements are plain.
  if (p256_by_provider() || peer.get() == nullptr) {
    auto key = p256_provider_peer(peer);
    if (!key) return QB_0005;
    return P256FixedPeer(nullptr, P256PeerPoint(std::move(*key)));
  }
  UniquePtr<BN_CTX> bn_ctx{BN_CTX_new()};
  UniquePtr<EC_GROUP> group{EC_GROUP_dup(base)};
  if (!bn_ctx || !group ||
      EC_GROUP_set_generator(group.get(), peer.get(), EC_GROUP_get0_order(base), EC_GROUP_get0_cofactor(base)) != 1) {
    return QB_0005;
  }
  // The library's only way to a fixed-base table for a point of our choosing; OpenSSL 3.0 marks it
  // deprecated with no replacement.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const bool tabled = EC_GROUP_precompute_mult(group.get(), bn_ctx.get()) == 1;
#pragma GCC diagnostic pop
  if (!tabled) return QB_0005;
  return P256FixedPeer(std::shared_ptr<const EC_GROUP>(std::move(group)), peer);
}

CryptoResult<SharedSecret> p256_agree(P256ScalarView own_scalar, const P256FixedPeer& peer) {
  if (!peer) return QB_0027;
  if (p256_by_provider() || peer.group() == nullptr) return p256_agree(own_scalar, peer.peer());
  QB_TRY(const UniquePtr<BIGNUM> d, p256_scalar_number(own_scalar));
  // scalar x generator, where the generator is the peer's point: the table makes it a fixed-base
  // multiplication, constant-time like the library's own ECDH.
  return p256_product_x(peer.group(), d.get(), nullptr, nullptr);
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

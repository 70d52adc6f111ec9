// ML-KEM-768 as FIPS 203 defines it. Arithmetic follows the usual signed 16-bit layout with
// Montgomery multiplication and Barrett reduction, so nothing divides by q and nothing branches on
// or indexes by a secret value. Branches below depend only on public data: key and ciphertext
// bytes, the matrix seed rho and loop counters.
#include "crypto/ml_kem768.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "core/output.h"
#include "crypto/ml_kem768_internal.h"
#include "crypto/openssl_ptr.h"

namespace qb::mlkem768 {

using detail::kN;
using detail::kQ;
using detail::Poly;

namespace {

constexpr int kK = 3;
constexpr int kDu = 10;
constexpr int kDv = 4;
constexpr std::size_t kPolyBytes = 384;                                 // ByteEncode12 of one polynomial
constexpr std::size_t kPkeSecretBytes = kK * kPolyBytes;                // 1152
constexpr std::size_t kC1Bytes = kK * (kN * kDu / 8);                   // 960
constexpr std::size_t kC2Bytes = kN * kDv / 8;                          // 128
constexpr std::size_t kNoiseBytes = 64 * 2;                             // PRF output for eta = 2
constexpr std::size_t kHashOffset = kPkeSecretBytes + kPublicKeyBytes;  // H(ek) inside dk
constexpr std::size_t kZOffset = kHashOffset + 32;

static_assert(kPublicKeyBytes == kPkeSecretBytes + 32);
static_assert(kSecretKeyBytes == kZOffset + 32);
static_assert(kCiphertextBytes == kC1Bytes + kC2Bytes);

using PolyVec = std::array<Poly, kK>;
using Matrix = std::array<PolyVec, kK>;
using Bytes = std::span<const std::uint8_t>;

// Wipes a local of any trivially copyable type when the scope ends.
template <class T>
class WipeOnExit {
 public:
  explicit WipeOnExit(T& v) noexcept : v_(v) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { OPENSSL_cleanse(&v_, sizeof(T)); }

 private:
  T& v_;
};

// ---- Hashing ----------------------------------------------------------------------------------

[[noreturn]] void hash_failure() {
  // Only a broken crypto library gets here; no caller could do anything with an error.
  write_stderr("internal error: the crypto library's SHA-3 failed\n");
  std::abort();
}

enum class Hash { Sha3_256, Sha3_512, Shake128, Shake256 };

struct Digests {
  UniquePtr<EVP_MD> sha3_256{EVP_MD_fetch(nullptr, "SHA3-256", nullptr)};
  UniquePtr<EVP_MD> sha3_512{EVP_MD_fetch(nullptr, "SHA3-512", nullptr)};
  UniquePtr<EVP_MD> shake128{EVP_MD_fetch(nullptr, "SHAKE128", nullptr)};
  UniquePtr<EVP_MD> shake256{EVP_MD_fetch(nullptr, "SHAKE256", nullptr)};
};

// Fetched once: an implicit fetch at every digest would dominate the cost of the KEM.
const EVP_MD* digest_of(Hash h) {
  static const Digests digests;
  switch (h) {
    case Hash::Sha3_256:
      return digests.sha3_256.get();
    case Hash::Sha3_512:
      return digests.sha3_512.get();
    case Hash::Shake128:
      return digests.shake128.get();
    case Hash::Shake256:
      return digests.shake256.get();
  }
  return nullptr;
}

// One digest over the concatenation of the inputs. For SHAKE the whole output is taken by one
// final call: OpenSSL 3.0 cannot squeeze a second time.
void hash(Hash h, std::initializer_list<Bytes> inputs, std::span<std::uint8_t> out) {
  const EVP_MD* md = digest_of(h);
  UniquePtr<EVP_MD_CTX> ctx{EVP_MD_CTX_new()};
  if (md == nullptr || !ctx || EVP_DigestInit_ex2(ctx.get(), md, nullptr) != 1) hash_failure();
  for (Bytes input : inputs) {
    if (EVP_DigestUpdate(ctx.get(), input.data(), input.size()) != 1) hash_failure();
  }
  if (h == Hash::Shake128 || h == Hash::Shake256) {
    if (EVP_DigestFinalXOF(ctx.get(), out.data(), out.size()) != 1) hash_failure();
    return;
  }
  unsigned int len = 0;
  if (static_cast<std::size_t>(EVP_MD_get_size(md)) != out.size() ||
      EVP_DigestFinal_ex(ctx.get(), out.data(), &len) != 1 || len != out.size()) {
    hash_failure();
  }
}

// ---- Constant-time helpers --------------------------------------------------------------------

// Hides a value from the optimiser so that mask arithmetic is not turned back into a branch.
inline std::uint8_t value_barrier(std::uint8_t x) {
  __asm__("" : "+r"(x));
  return x;
}

// 0xff when the two equally long byte strings are equal, else 0.
std::uint8_t equal_mask(Bytes a, Bytes b) {
  std::uint8_t diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<std::uint8_t>(a[i] ^ b[i]);
  const std::uint32_t is_zero = (static_cast<std::uint32_t>(diff) - 1u) >> 31;
  return value_barrier(static_cast<std::uint8_t>(0u - is_zero));
}

// ---- Arithmetic modulo q ----------------------------------------------------------------------

constexpr std::int16_t kQinv = -3327;    // q^-1 mod 2^16
constexpr std::int16_t kMont2 = 1353;    // 2^32 mod q
constexpr std::int16_t kInvNttF = 1441;  // 2^32 / 128 mod q

// a * 2^-16 mod q, in (-q, q), for |a| < 2^15 q.
constexpr std::int16_t montgomery_reduce(std::int32_t a) {
  const auto t = static_cast<std::int16_t>(static_cast<std::int16_t>(a) * kQinv);
  return static_cast<std::int16_t>((a - static_cast<std::int32_t>(t) * kQ) >> 16);
}

constexpr std::int16_t fqmul(std::int16_t a, std::int16_t b) {
  return montgomery_reduce(static_cast<std::int32_t>(a) * b);
}

// The representative of a mod q in [-(q-1)/2, (q-1)/2].
constexpr std::int16_t barrett_reduce(std::int16_t a) {
  constexpr std::int32_t v = ((1 << 26) + kQ / 2) / kQ;
  const std::int32_t t = ((v * a + (1 << 25)) >> 26) * kQ;
  return static_cast<std::int16_t>(a - t);
}

// Maps (-q, q) to [0, q).
constexpr std::int16_t to_unsigned(std::int16_t a) { return static_cast<std::int16_t>(a + ((a >> 15) & kQ)); }

// Maps [0, 2q) to [0, q).
constexpr std::int16_t subtract_q(std::int16_t a) { return to_unsigned(static_cast<std::int16_t>(a - kQ)); }

// Compress_d(x) = round(2^d x / q) mod 2^d for x in [0, q), without a division: n / q equals
// (n * ceil(2^36 / q)) >> 36 for every n below 2^23.
template <int D>
constexpr std::uint32_t compress(std::int16_t x) {
  constexpr std::uint64_t m = ((std::uint64_t{1} << 36) + kQ - 1) / kQ;
  const std::uint64_t n = (static_cast<std::uint64_t>(x) << D) + kQ / 2;
  return static_cast<std::uint32_t>((n * m) >> 36) & ((1u << D) - 1);
}

template <int D>
constexpr bool compress_matches_division() {
  for (std::int16_t x = 0; x < kQ; ++x) {
    const std::uint32_t exact = ((static_cast<std::uint32_t>(x) << D) + kQ / 2) / kQ % (1u << D);
    if (compress<D>(x) != exact) return false;
  }
  return true;
}
static_assert(compress_matches_division<1>() && compress_matches_division<kDu>() && compress_matches_division<kDv>());

// Powers of zeta = 17 in bit-reversed order, in Montgomery form, centred.
constexpr std::array<std::int16_t, 128> make_zetas() {
  std::array<std::int16_t, 128> z{};
  for (int i = 0; i < 128; ++i) {
    int rev = 0;
    for (int b = 0; b < 7; ++b) rev |= ((i >> b) & 1) << (6 - b);
    std::int32_t p = 1;
    for (int e = 0; e < rev; ++e) p = p * 17 % kQ;
    std::int32_t m = p * ((1 << 16) % kQ) % kQ;
    if (m > kQ / 2) m -= kQ;
    z[i] = static_cast<std::int16_t>(m);
  }
  return z;
}
constexpr std::array<std::int16_t, 128> kZetas = make_zetas();
static_assert(kZetas[0] == -1044 && kZetas[1] == -758);

void poly_reduce(Poly& a) {
  for (auto& c : a) c = barrett_reduce(c);
}

void poly_add(Poly& r, const Poly& b) {
  for (int i = 0; i < kN; ++i) r[i] = static_cast<std::int16_t>(r[i] + b[i]);
}

void poly_tomont(Poly& a) {
  for (auto& c : a) c = fqmul(c, kMont2);
}

// Forward NTT, output in bit-reversed order and reduced.
void ntt(Poly& r) {
  int k = 1;
  for (int len = 128; len >= 2; len >>= 1) {
    for (int start = 0; start < kN; start += 2 * len) {
      const std::int16_t zeta = kZetas[k++];
      for (int j = start; j < start + len; ++j) {
        const std::int16_t t = fqmul(zeta, r[j + len]);
        r[j + len] = static_cast<std::int16_t>(r[j] - t);
        r[j] = static_cast<std::int16_t>(r[j] + t);
      }
    }
  }
  poly_reduce(r);
}

// Inverse NTT; also multiplies by 2^16, cancelling the factor 2^-16 a base multiplication leaves.
void inv_ntt(Poly& r) {
  int k = 127;
  for (int len = 2; len <= 128; len <<= 1) {
    for (int start = 0; start < kN; start += 2 * len) {
      const std::int16_t zeta = kZetas[k--];
      for (int j = start; j < start + len; ++j) {
        const std::int16_t t = r[j];
        r[j] = barrett_reduce(static_cast<std::int16_t>(t + r[j + len]));
        r[j + len] = fqmul(zeta, static_cast<std::int16_t>(r[j + len] - t));
      }
    }
  }
  for (auto& c : r) c = fqmul(c, kInvNttF);
}

// Products of degree-one residues modulo X^2 - zeta; the result carries a factor 2^-16.
void base_mul(std::int16_t r[2], const std::int16_t a[2], const std::int16_t b[2], std::int16_t zeta) {
  r[0] = static_cast<std::int16_t>(fqmul(fqmul(a[1], b[1]), zeta) + fqmul(a[0], b[0]));
  r[1] = static_cast<std::int16_t>(fqmul(a[0], b[1]) + fqmul(a[1], b[0]));
}

void poly_base_mul(Poly& r, const Poly& a, const Poly& b) {
  for (int i = 0; i < kN / 4; ++i) {
    base_mul(&r[4 * i], &a[4 * i], &b[4 * i], kZetas[64 + i]);
    base_mul(&r[4 * i + 2], &a[4 * i + 2], &b[4 * i + 2], static_cast<std::int16_t>(-kZetas[64 + i]));
  }
}

// r = sum of a[i] * b[i] in the NTT domain, reduced.
void inner_product(Poly& r, const PolyVec& a, const PolyVec& b) {
  Poly t;
  WipeOnExit wipe_t(t);
  poly_base_mul(r, a[0], b[0]);
  for (int i = 1; i < kK; ++i) {
    poly_base_mul(t, a[i], b[i]);
    poly_add(r, t);
  }
  poly_reduce(r);
}

// ---- Encodings --------------------------------------------------------------------------------

// ByteEncode12 of a reduced polynomial.
void encode12(const Poly& a, std::uint8_t* out) {
  for (int i = 0; i < kN / 2; ++i) {
    const auto t0 = static_cast<std::uint16_t>(to_unsigned(a[2 * i]));
    const auto t1 = static_cast<std::uint16_t>(to_unsigned(a[2 * i + 1]));
    out[3 * i] = static_cast<std::uint8_t>(t0);
    out[3 * i + 1] = static_cast<std::uint8_t>((t0 >> 8) | (t1 << 4));
    out[3 * i + 2] = static_cast<std::uint8_t>(t1 >> 4);
  }
}

// ByteDecode12, each value taken modulo q (without a branch: it may be a secret).
void decode12(const std::uint8_t* in, Poly& a) {
  for (int i = 0; i < kN / 2; ++i) {
    const std::uint16_t b0 = in[3 * i], b1 = in[3 * i + 1], b2 = in[3 * i + 2];
    // A 12-bit value is below 2q, so one conditional subtraction is enough.
    a[2 * i] = subtract_q(static_cast<std::int16_t>(b0 | ((b1 & 0x0f) << 8)));
    a[2 * i + 1] = subtract_q(static_cast<std::int16_t>((b1 >> 4) | (b2 << 4)));
  }
}

// ByteEncode_d(Compress_d(a)), bits packed least significant first.
template <int D>
void compress_encode(const Poly& a, std::uint8_t* out) {
  std::uint32_t acc = 0;
  int bits = 0;
  std::size_t o = 0;
  for (int i = 0; i < kN; ++i) {
    acc |= compress<D>(to_unsigned(a[i])) << bits;
    bits += D;
    while (bits >= 8) {
      out[o++] = static_cast<std::uint8_t>(acc);
      acc >>= 8;
      bits -= 8;
    }
  }
}

// Decompress_d(ByteDecode_d(in)); only ever applied to a received ciphertext.
template <int D>
void decode_decompress(const std::uint8_t* in, Poly& a) {
  std::uint32_t acc = 0;
  int bits = 0;
  std::size_t o = 0;
  for (int i = 0; i < kN; ++i) {
    while (bits < D) {
      acc |= static_cast<std::uint32_t>(in[o++]) << bits;
      bits += 8;
    }
    const std::uint32_t y = acc & ((1u << D) - 1);
    acc >>= D;
    bits -= D;
    a[i] = static_cast<std::int16_t>((y * kQ + (1u << (D - 1))) >> D);
  }
}

// Decompress_1(ByteDecode_1(m)): each bit becomes 0 or round(q/2).
void from_message(const std::uint8_t* m, Poly& a) {
  for (int i = 0; i < kN; ++i) {
    const auto bit = static_cast<std::int16_t>((m[i / 8] >> (i % 8)) & 1);
    a[i] = static_cast<std::int16_t>(-bit & ((kQ + 1) / 2));
  }
}

void to_message(const Poly& a, std::uint8_t* m) {
  for (int i = 0; i < kN / 8; ++i) {
    std::uint32_t byte = 0;
    for (int j = 0; j < 8; ++j) byte |= compress<1>(to_unsigned(a[8 * i + j])) << j;
    m[i] = static_cast<std::uint8_t>(byte);
  }
}

// ---- Sampling ---------------------------------------------------------------------------------

// SamplePolyCBD_2 over 128 bytes.
void sample_cbd2(const std::uint8_t* buf, Poly& r) {
  for (int i = 0; i < kN / 8; ++i) {
    std::uint32_t t = 0;
    for (int b = 0; b < 4; ++b) t |= static_cast<std::uint32_t>(buf[4 * i + b]) << (8 * b);
    const std::uint32_t d = (t & 0x55555555u) + ((t >> 1) & 0x55555555u);
    for (int j = 0; j < 8; ++j) {
      const auto x = static_cast<std::int16_t>((d >> (4 * j)) & 3);
      const auto y = static_cast<std::int16_t>((d >> (4 * j + 2)) & 3);
      r[8 * i + j] = static_cast<std::int16_t>(x - y);
    }
  }
}

// SamplePolyCBD_2(PRF_2(seed, nonce)).
void sample_noise(Bytes seed, std::uint8_t nonce, Poly& r) {
  SecretArray<kNoiseBytes> buf;
  hash(Hash::Shake256, {seed, Bytes(&nonce, 1)}, buf.span());
  sample_cbd2(buf.data(), r);
}

// A-hat, or its transpose: entry (i, j) of A-hat is SampleNTT(rho || j || i).
void generate_matrix(Bytes rho, bool transposed, Matrix& a) {
  std::array<std::uint8_t, 34> seed{};
  std::memcpy(seed.data(), rho.data(), 32);
  for (int i = 0; i < kK; ++i) {
    for (int j = 0; j < kK; ++j) {
      seed[32] = static_cast<std::uint8_t>(transposed ? i : j);
      seed[33] = static_cast<std::uint8_t>(transposed ? j : i);
      detail::sample_ntt(a[i][j], seed);
    }
  }
}

// ---- K-PKE ------------------------------------------------------------------------------------

void pke_keygen(Bytes d, std::uint8_t* ek, std::uint8_t* dk_pke) {
  SecretArray<64> rho_sigma;
  const std::uint8_t k = kK;
  hash(Hash::Sha3_512, {d, Bytes(&k, 1)}, rho_sigma.span());
  const Bytes rho(rho_sigma.data(), 32);
  const Bytes sigma(rho_sigma.data() + 32, 32);

  Matrix a;
  generate_matrix(rho, false, a);
  PolyVec s, e, t;
  WipeOnExit wipe_s(s), wipe_e(e);
  std::uint8_t nonce = 0;
  for (auto& p : s) sample_noise(sigma, nonce++, p);
  for (auto& p : e) sample_noise(sigma, nonce++, p);
  for (auto& p : s) ntt(p);
  for (auto& p : e) ntt(p);
  for (int i = 0; i < kK; ++i) {
    inner_product(t[i], a[i], s);
    poly_tomont(t[i]);
    poly_add(t[i], e[i]);
    poly_reduce(t[i]);
  }
  for (int i = 0; i < kK; ++i) encode12(t[i], ek + kPolyBytes * i);
  std::memcpy(ek + kPkeSecretBytes, rho.data(), 32);
  for (int i = 0; i < kK; ++i) encode12(s[i], dk_pke + kPolyBytes * i);
}

// What encryption needs from an encapsulation key, all of it public: t-hat decoded, the transposed
// matrix sampled from rho, and H(ek).
struct ExpandedKey {
  EncapsulationKey ek{};
  PolyVec t{};
  Matrix at{};
  std::array<std::uint8_t, 32> h{};
};

// Every encapsulation of a client goes to the same node key, and every decapsulation of a node
// re-encrypts to its own; so each thread keeps the last key it expanded. ek has passed the modulus
// check, or comes from a checked decapsulation key.
const ExpandedKey& expanded(const std::uint8_t* ek) {
  thread_local ExpandedKey kept;
  thread_local bool filled = false;
  if (filled && std::memcmp(kept.ek.data(), ek, kPublicKeyBytes) == 0) return kept;
  filled = false;
  std::memcpy(kept.ek.data(), ek, kPublicKeyBytes);
  for (int i = 0; i < kK; ++i) decode12(ek + kPolyBytes * i, kept.t[i]);
  generate_matrix(Bytes(ek + kPkeSecretBytes, 32), true, kept.at);
  hash(Hash::Sha3_256, {Bytes(ek, kPublicKeyBytes)}, kept.h);
  filled = true;
  return kept;
}

void pke_encrypt(const ExpandedKey& key, Bytes m, Bytes r, std::uint8_t* c) {
  const PolyVec& t = key.t;
  const Matrix& at = key.at;

  PolyVec y, e1, u;
  Poly e2, mu, v;
  WipeOnExit wipe_y(y), wipe_e1(e1), wipe_u(u);
  WipeOnExit wipe_e2(e2), wipe_mu(mu), wipe_v(v);
  std::uint8_t nonce = 0;
  for (auto& p : y) sample_noise(r, nonce++, p);
  for (auto& p : e1) sample_noise(r, nonce++, p);
  sample_noise(r, nonce, e2);
  from_message(m.data(), mu);

  for (auto& p : y) ntt(p);
  for (int i = 0; i < kK; ++i) {
    inner_product(u[i], at[i], y);
    inv_ntt(u[i]);
    poly_add(u[i], e1[i]);
    poly_reduce(u[i]);
  }
  inner_product(v, t, y);
  inv_ntt(v);
  poly_add(v, e2);
  poly_add(v, mu);
  poly_reduce(v);

  for (int i = 0; i < kK; ++i) compress_encode<kDu>(u[i], c + (kN * kDu / 8) * i);
  compress_encode<kDv>(v, c + kC1Bytes);
}

void pke_decrypt(const std::uint8_t* dk_pke, const std::uint8_t* c, std::uint8_t* m) {
  PolyVec u, s;
  Poly v, w;
  WipeOnExit wipe_s(s);
  WipeOnExit wipe_w(w);
  for (int i = 0; i < kK; ++i) decode_decompress<kDu>(c + (kN * kDu / 8) * i, u[i]);
  decode_decompress<kDv>(c + kC1Bytes, v);
  for (int i = 0; i < kK; ++i) decode12(dk_pke + kPolyBytes * i, s[i]);
  for (auto& p : u) ntt(p);
  inner_product(w, s, u);
  inv_ntt(w);
  for (int i = 0; i < kN; ++i) w[i] = static_cast<std::int16_t>(v[i] - w[i]);
  poly_reduce(w);
  to_message(w, m);
}

bool coefficients_below_q(Bytes encoded) {
  for (std::size_t i = 0; i + 3 <= encoded.size(); i += 3) {
    const unsigned d1 = encoded[i] | ((encoded[i + 1] & 0x0fu) << 8);
    const unsigned d2 = (encoded[i + 1] >> 4) | (static_cast<unsigned>(encoded[i + 2]) << 4);
    if (d1 >= static_cast<unsigned>(kQ) || d2 >= static_cast<unsigned>(kQ)) return false;
  }
  return true;
}

// The input checks of FIPS 203: key lengths, the modulus check of ek and the hash check of dk.
bool encapsulation_key_ok(Bytes ek) {
  return ek.size() == kPublicKeyBytes && coefficients_below_q(ek.first(kPkeSecretBytes));
}

bool decapsulation_key_ok(Bytes dk) {
  if (dk.size() != kSecretKeyBytes) return false;
  std::array<std::uint8_t, 32> h{};
  hash(Hash::Sha3_256, {dk.subspan(kPkeSecretBytes, kPublicKeyBytes)}, h);
  return CRYPTO_memcmp(h.data(), dk.data() + kHashOffset, h.size()) == 0;
}

}  // namespace

namespace detail {

// OpenSSL 3.0 has no incremental squeeze (a second EVP_DigestFinalXOF gives wrong bytes), so the
// stream is taken in one call. Four blocks give 448 candidates where about 364 are accepted on
// average, so 256 nearly always fit; if they ever do not, the stream is recomputed at twice the
// length and parsed again from its start. SHAKE output is prefix-consistent, so this reads exactly
// the bytes an incremental squeeze would. The seed is public, hence the data-dependent loop.
void sample_ntt(Poly& out, std::span<const std::uint8_t, 34> seed, std::size_t first_bytes) {
  std::vector<std::uint8_t> stream;
  for (std::size_t len = first_bytes < 3 ? 3 : first_bytes;; len *= 2) {
    stream.resize(len);
    hash(Hash::Shake128, {seed}, stream);
    int j = 0;
    for (std::size_t pos = 0; pos + 3 <= len && j < kN; pos += 3) {
      const auto d1 = static_cast<std::int16_t>(stream[pos] | ((stream[pos + 1] & 0x0f) << 8));
      const auto d2 = static_cast<std::int16_t>((stream[pos + 1] >> 4) | (stream[pos + 2] << 4));
      if (d1 < kQ) out[j++] = d1;
      if (d2 < kQ && j < kN) out[j++] = d2;
    }
    if (j == kN) return;
  }
}

}  // namespace detail

KeyPair keygen_internal(std::span<const std::uint8_t, kSeedBytes> d, std::span<const std::uint8_t, kSeedBytes> z) {
  KeyPair kp;
  std::uint8_t* dk = kp.dk.data();
  pke_keygen(d, kp.ek.data(), dk);
  std::memcpy(dk + kPkeSecretBytes, kp.ek.data(), kPublicKeyBytes);
  hash(Hash::Sha3_256, {kp.ek}, std::span<std::uint8_t>(dk + kHashOffset, 32));
  std::memcpy(dk + kZOffset, z.data(), kSeedBytes);
  return kp;
}

CryptoResult<KeyPair> keygen() {
  SecretArray<kSeedBytes> d, z;
  if (RAND_bytes(d.data(), static_cast<int>(d.size())) != 1 || RAND_bytes(z.data(), static_cast<int>(z.size())) != 1) {
    return catalogue::QB_0018;
  }
  return keygen_internal(d.span(), z.span());
}

CryptoResult<std::span<const std::uint8_t, kPublicKeyBytes>> check_encapsulation_key(std::span<const std::uint8_t> ek) {
  if (!encapsulation_key_ok(ek)) return catalogue::QB_0027;
  return ek.first<kPublicKeyBytes>();
}

CryptoResult<std::span<const std::uint8_t, kSecretKeyBytes>> check_decapsulation_key(std::span<const std::uint8_t> dk) {
  if (!decapsulation_key_ok(dk)) return catalogue::QB_0027;
  return dk.first<kSecretKeyBytes>();
}

CryptoResult<Encapsulation> encaps_internal(std::span<const std::uint8_t> ek,
                                            std::span<const std::uint8_t, kSeedBytes> m) {
  if (!encapsulation_key_ok(ek)) return catalogue::QB_0027;
  const ExpandedKey& key = expanded(ek.data());
  SecretArray<64> k_r;
  hash(Hash::Sha3_512, {m, key.h}, k_r.span());

  Encapsulation out;
  pke_encrypt(key, m, Bytes(k_r.data() + 32, 32), out.ciphertext.data());
  std::memcpy(out.shared_secret.data(), k_r.data(), kSharedSecretBytes);
  return out;
}

CryptoResult<Encapsulation> encapsulate(std::span<const std::uint8_t> ek) {
  if (!encapsulation_key_ok(ek)) return catalogue::QB_0027;
  SecretArray<kSeedBytes> m;
  if (RAND_bytes(m.data(), static_cast<int>(m.size())) != 1) return catalogue::QB_0018;
  return encaps_internal(ek, m.span());
}

CryptoResult<SharedSecret> decapsulate(std::span<const std::uint8_t> dk,
                                       std::span<const std::uint8_t, kCiphertextBytes> c) {
  if (!decapsulation_key_ok(dk)) return catalogue::QB_0027;
  const std::uint8_t* dk_pke = dk.data();
  const std::uint8_t* ek_pke = dk.data() + kPkeSecretBytes;
  const Bytes h = dk.subspan(kHashOffset, 32);
  const Bytes z = dk.subspan(kZOffset, 32);

  SecretArray<kSeedBytes> m;
  pke_decrypt(dk_pke, c.data(), m.data());
  SecretArray<64> k_r;
  hash(Hash::Sha3_512, {m, h}, k_r.span());
  SharedSecret rejected;
  hash(Hash::Shake256, {z, c}, rejected.span());

  Ciphertext reencrypted;
  WipeOnExit wipe_reencrypted(reencrypted);
  pke_encrypt(expanded(ek_pke), m, Bytes(k_r.data() + 32, 32), reencrypted.data());

  // Implicit rejection: choose K' or J(z || c) by mask, so neither the choice nor the comparison
  // shows in timing.
  const std::uint8_t keep = equal_mask(c, reencrypted);
  SharedSecret out;
  for (std::size_t i = 0; i < kSharedSecretBytes; ++i) {
    out[i] = static_cast<std::uint8_t>((k_r[i] & keep) | (rejected[i] & static_cast<std::uint8_t>(~keep)));
  }
  return out;
}

}  // namespace qb::mlkem768

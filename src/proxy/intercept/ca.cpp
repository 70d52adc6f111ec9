#include "proxy/intercept/ca.h"

#include <sys/stat.h>
#include <unistd.h>

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <ctime>
#include <mutex>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "core/bytes.h"
#include "core/output.h"
#include "core/owner_file.h"
#include "core/text.h"
#include "crypto/openssl_ptr.h"
#include "crypto/secret.h"
#include "proxy/http/ip_literal.h"
#include "proxy/intercept/ca_pem.h"
#include "proxy/intercept/owner_files.h"

namespace qb {

struct CaState::Impl {
  UniquePtr<EVP_PKEY> key;
  // Supplies the issuer name of every leaf; its own encoding is never sent.
  UniquePtr<X509> issuer;
  // The certificate of cert_der, parsed once for every chain.
  UniquePtr<X509> cert;
  std::string cert_der;
  std::string cert_pem;
  // The keyIdentifier of every leaf's authorityKeyIdentifier.
  std::string authority_key_id;
};

namespace {

using std::chrono::system_clock;

constexpr std::string_view kOrgName = "Quorbelt Proxy CA";
constexpr std::string_view kCommonName = "Quorbelt Proxy MITM CA";
constexpr long kCaBackdate = 3600;
constexpr long kCaLifetime = 34'300'800;  // 397 days
constexpr long kLeafBackdate = 60;
constexpr long kLeafLifetime = 86'400;

// The oldest error on this thread's queue as text (the queue is emptied), or the fallback.
std::string openssl_error(std::string_view fallback) {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return std::string(fallback);
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

ProxyError fail(std::string_view code, std::string_view prefix, std::string_view what) {
  return proxy_error_new(code, fmt::format("{}: {}", prefix, what));
}

std::optional<std::string> sha256(std::string_view data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(md), len);
}

template <class T, class F>
std::optional<std::string> der_of(const T* obj, F i2d) {
  const int len = i2d(obj, nullptr);
  if (len <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(len), '\0');
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  if (i2d(obj, &p) != len) return std::nullopt;
  return out;
}

std::optional<std::string> spki_der(const EVP_PKEY* key) {
  return der_of(key, [](const EVP_PKEY* k, unsigned char** p) { return i2d_PUBKEY(k, p); });
}

// The first 20 bytes of SHA-256 over the DER SubjectPublicKeyInfo.
std::optional<std::string> key_identifier(const EVP_PKEY* key) {
  auto spki = spki_der(key);
  if (!spki) return std::nullopt;
  auto md = sha256(*spki);
  if (!md) return std::nullopt;
  md->resize(20);
  return md;
}

// The first 20 bytes of SHA-256 over the raw public key (the uncompressed point), top bit
// cleared; the INTEGER written minimally.
UniquePtr<ASN1_INTEGER> serial_from_key(const EVP_PKEY* key) {
  unsigned char* raw = nullptr;
  const std::size_t len = EVP_PKEY_get1_encoded_public_key(const_cast<EVP_PKEY*>(key), &raw);
  const OpensslBytesPtr owned(raw);
  if (len == 0) return nullptr;
  auto md = sha256(std::string_view(reinterpret_cast<const char*>(raw), len));
  if (!md) return nullptr;
  auto* bytes = reinterpret_cast<unsigned char*>(md->data());
  bytes[0] &= 0x7f;
  UniquePtr<BIGNUM> bn(BN_bin2bn(bytes, 20, nullptr));
  if (!bn) return nullptr;
  return UniquePtr<ASN1_INTEGER>(BN_to_ASN1_INTEGER(bn.get(), nullptr));
}

bool add_name_entry(X509_NAME* name, int nid, std::string_view value) {
  return X509_NAME_add_entry_by_NID(name, nid, V_ASN1_UTF8STRING, reinterpret_cast<const unsigned char*>(value.data()),
                                    static_cast<int>(value.size()), -1, 0) == 1;
}

template <class T>
bool add_ext(X509* x, int nid, T* value, bool critical) {
  return X509_add1_ext_i2d(x, nid, value, critical ? 1 : 0, X509V3_ADD_DEFAULT) == 1;
}

bool add_key_id_ext(X509* x, int nid, std::string_view id) {
  UniquePtr<ASN1_STRING> os(ASN1_OCTET_STRING_new());
  if (!os || ASN1_OCTET_STRING_set(os.get(), reinterpret_cast<const unsigned char*>(id.data()),
                                   static_cast<int>(id.size())) != 1) {
    return false;
  }
  if (nid == NID_subject_key_identifier) return add_ext(x, nid, os.get(), false);
  UniquePtr<AUTHORITY_KEYID> akid(AUTHORITY_KEYID_new());
  if (!akid) return false;
  akid->keyid = os.release();
  return add_ext(x, nid, akid.get(), false);
}

bool add_key_usage(X509* x, std::initializer_list<int> bits) {
  UniquePtr<ASN1_STRING> ku(ASN1_BIT_STRING_new());
  if (!ku) return false;
  for (int bit : bits) {
    if (ASN1_BIT_STRING_set_bit(ku.get(), bit, 1) != 1) return false;
  }
  return add_ext(x, NID_key_usage, ku.get(), true);
}

bool set_validity(X509* x, std::time_t now, long backdate, long lifetime) {
  return ASN1_TIME_set(X509_getm_notBefore(x), now - backdate) != nullptr &&
         ASN1_TIME_set(X509_getm_notAfter(x), now + lifetime) != nullptr;
}

const EVP_MD* signing_digest(EVP_PKEY* key) {
  // Ed25519 and Ed448 hash inside the signature; every other key signs SHA-256.
  if (EVP_PKEY_is_a(key, "ED25519") || EVP_PKEY_is_a(key, "ED448")) return nullptr;
  return EVP_sha256();
}

// Subject and validity of the CA certificate; everything else is fixed.
struct CaParams {
  UniquePtr<X509_NAME> name;
  std::time_t not_before_base = 0;
};

ProxyResult<CaParams> ca_params() {
  CaParams p;
  p.name.reset(X509_NAME_new());
  if (!p.name || !add_name_entry(p.name.get(), NID_organizationName, kOrgName) ||
      !add_name_entry(p.name.get(), NID_commonName, kCommonName)) {
    return fail(codes::QB_5007, "ca params", openssl_error("cannot build the CA name"));
  }
  p.not_before_base = std::time(nullptr);
  return p;
}

// The CA certificate of the parameters, self-signed with the key. A failure is the caller's
// step: its code, then "{step}: " and the library's text.
ProxyResult<UniquePtr<X509>> self_sign(const CaParams& params, EVP_PKEY* key, std::string_view code,
                                       std::string_view step) {
  const auto refuse = [&](std::string_view what) { return fail(code, step, openssl_error(what)); };
  UniquePtr<X509> x(X509_new());
  if (!x) return refuse("X509_new failed");
  auto serial = serial_from_key(key);
  if (!serial) return refuse("cannot derive the serial number from the public key");
  auto ski = key_identifier(key);
  if (!ski) return refuse("cannot encode the public key");
  UniquePtr<BASIC_CONSTRAINTS> bc(BASIC_CONSTRAINTS_new());
  if (!bc) return refuse("BASIC_CONSTRAINTS_new failed");
  bc->ca = 0xff;
  bc->pathlen = ASN1_INTEGER_new();
  if (bc->pathlen == nullptr || ASN1_INTEGER_set(bc->pathlen, 0) != 1) return refuse("cannot set pathlen");

  if (X509_set_version(x.get(), X509_VERSION_3) != 1 || X509_set_serialNumber(x.get(), serial.get()) != 1 ||
      X509_set_subject_name(x.get(), params.name.get()) != 1 || X509_set_issuer_name(x.get(), params.name.get()) != 1 ||
      !set_validity(x.get(), params.not_before_base, kCaBackdate, kCaLifetime) || X509_set_pubkey(x.get(), key) != 1 ||
      !add_ext(x.get(), NID_basic_constraints, bc.get(), true) ||
      !add_key_usage(x.get(), {5, 6}) ||  // keyCertSign, cRLSign
      !add_key_id_ext(x.get(), NID_subject_key_identifier, *ski)) {
    return refuse("cannot build the CA certificate");
  }
  if (X509_sign(x.get(), key, signing_digest(key)) <= 0) return refuse("X509_sign failed");
  return x;
}

std::optional<std::string> cert_der(const X509* x) {
  return der_of(x, [](const X509* c, unsigned char** p) { return i2d_X509(c, p); });
}

UniquePtr<X509> parse_cert_der(std::string_view der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  UniquePtr<X509> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (x && p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) return nullptr;
  return x;
}

// The subjectKeyIdentifier as the certificate carries it, else computed from its public key.
std::optional<std::string> authority_key_id_for(X509* ca) {
  int crit = 0;
  UniquePtr<ASN1_STRING> ski(
      static_cast<ASN1_OCTET_STRING*>(X509_get_ext_d2i(ca, NID_subject_key_identifier, &crit, nullptr)));
  if (ski)
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(ski.get())),
                       static_cast<std::size_t>(ASN1_STRING_length(ski.get())));
  ERR_clear_error();
  const EVP_PKEY* pub = X509_get0_pubkey(ca);
  if (pub == nullptr) return std::nullopt;
  return key_identifier(pub);
}

std::optional<system_clock::time_point> asn1_time_point(const ASN1_TIME* t) {
  std::tm tm{};
  if (ASN1_TIME_to_tm(t, &tm) != 1) return std::nullopt;
  const std::time_t secs = ::timegm(&tm);
  return system_clock::from_time_t(secs);
}

ProxyError os_error_text_of(std::string_view op, const std::filesystem::path& p, std::string_view text) {
  return proxy_error_new(codes::QB_5007, fmt::format("{} {}: {}", op, path_text(p), text));
}

ProxyError os_error(std::string_view op, const std::filesystem::path& p, int err) {
  return os_error_text_of(op, p, os_error_text(err));
}

// mkdir -p with mode 0700 for the missing parts; an existing directory stays as it is.
ProxyResult<void> create_dirs(const std::filesystem::path& dir) {
  std::filesystem::path cur;
  for (const auto& part : dir) {
    cur /= part;
    struct stat st {};
    if (::stat(cur.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return os_error("create", dir, ENOTDIR);
      continue;
    }
    if (errno != ENOENT) return os_error("create", dir, errno);
    if (::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST) return os_error("create", dir, errno);
  }
  return {};
}

// Refuses a symbolic link where a file is about to be moved, with the text write_private_file
// would give.
ProxyResult<void> refuse_symlink(const std::filesystem::path& p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return os_error("open", p, ELOOP);
  return {};
}

ProxyResult<void> sync_written(const std::filesystem::path& p) {
  auto r = sync_file(p);
  if (!r) return os_error_text_of(r.error().step == FileStep::Open ? "open" : "sync", p, r.error().text);
  return {};
}

// Both files go to temporary names first; the key moves into place before the certificate, and
// an old certificate is removed first, so a crash leaves either the old pair, the new pair, or
// a missing certificate (which makes the next start create a fresh pair).
ProxyResult<void> write_pair(const std::filesystem::path& dir, std::string_view cert_pem, std::string_view key_pem) {
  const auto cert_path = dir / kCaCertFileName;
  const auto key_path = dir / kCaKeyFileName;
  const auto cert_tmp = dir / (std::string(kCaCertFileName) + ".tmp");
  const auto key_tmp = dir / (std::string(kCaKeyFileName) + ".tmp");

  auto steps = [&]() -> ProxyResult<void> {
    QB_TRY_VOID(write_private_file(cert_tmp, cert_pem));
    QB_TRY_VOID(write_private_file(key_tmp, key_pem));
    QB_TRY_VOID(sync_written(cert_tmp));
    QB_TRY_VOID(sync_written(key_tmp));
    QB_TRY_VOID(refuse_symlink(cert_path));
    QB_TRY_VOID(refuse_symlink(key_path));
    if (::unlink(cert_path.c_str()) != 0 && errno != ENOENT) return os_error("remove", cert_path, errno);
    if (::rename(key_tmp.c_str(), key_path.c_str()) != 0) return os_error("rename", key_tmp, errno);
    QB_TRY_VOID(refuse_symlink(cert_path));
    if (::rename(cert_tmp.c_str(), cert_path.c_str()) != 0) return os_error("rename", cert_tmp, errno);
    return {};
  };
  auto r = steps();
  if (!r) {
    ::unlink(cert_tmp.c_str());
    ::unlink(key_tmp.c_str());
    return r;
  }
  // Make the renames durable; the files themselves were synced above.
  sync_directory(dir);
  return {};
}

std::shared_ptr<CaState> new_ca_state(UniquePtr<EVP_PKEY> key, UniquePtr<X509> issuer, UniquePtr<X509> cert,
                                      std::string der, std::string pem, std::string akid) {
  auto impl = std::make_unique<CaState::Impl>();
  impl->key = std::move(key);
  impl->issuer = std::move(issuer);
  impl->cert = std::move(cert);
  impl->cert_der = std::move(der);
  impl->cert_pem = std::move(pem);
  impl->authority_key_id = std::move(akid);
  return std::make_shared<CaState>(std::move(impl));
}

ProxyResult<std::shared_ptr<CaState>> create_ca(const std::filesystem::path& dir) {
  UniquePtr<EVP_PKEY> key(EVP_EC_gen("P-256"));
  if (!key) return fail(codes::QB_5007, "generate key", openssl_error("P-256 key generation failed"));
  QB_TRY(auto params, ca_params());
  QB_TRY(auto cert, self_sign(params, key.get(), codes::QB_5007, "self-sign"));
  auto der = cert_der(cert.get());
  if (!der) return fail(codes::QB_5007, "self-sign", openssl_error("cannot encode the certificate"));
  std::string pem(pem_encode("CERTIFICATE", as_bytes(*der)).text());

  UniquePtr<PKCS8_PRIV_KEY_INFO> p8(EVP_PKEY2PKCS8(key.get()));
  if (!p8) return fail(codes::QB_5007, "generate key", openssl_error("cannot encode the key as PKCS#8"));
  const int p8_len = i2d_PKCS8_PRIV_KEY_INFO(p8.get(), nullptr);
  if (p8_len <= 0) return fail(codes::QB_5007, "generate key", openssl_error("cannot encode the key as PKCS#8"));
  SecretBytes key_der(static_cast<std::size_t>(p8_len));
  unsigned char* out = key_der.data();
  if (i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &out) != p8_len) {
    return fail(codes::QB_5007, "generate key", openssl_error("cannot encode the key as PKCS#8"));
  }
  const SecretBytes key_pem = pem_encode("PRIVATE KEY", key_der.span());

  QB_TRY_VOID(create_dirs(dir));
  QB_TRY_VOID(write_pair(dir, pem, key_pem.text()));

  auto akid = key_identifier(key.get());
  if (!akid) return fail(codes::QB_5007, "self-sign", openssl_error("cannot encode the public key"));
  UniquePtr<X509> issuer(X509_dup(cert.get()));
  if (!issuer) return fail(codes::QB_5007, "self-sign", openssl_error("X509_dup failed"));
  return new_ca_state(std::move(key), std::move(issuer), std::move(cert), std::move(*der), std::move(pem),
                      std::move(*akid));
}

UniquePtr<EVP_PKEY> parse_private_key(std::span<const std::uint8_t> der) {
  const unsigned char* p = der.data();
  UniquePtr<PKCS8_PRIV_KEY_INFO> p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
  if (!p8 || p != der.data() + der.size()) return nullptr;
  return UniquePtr<EVP_PKEY>(EVP_PKCS82PKEY(p8.get()));
}

void warn_if_expired(X509* cert, const std::filesystem::path& cert_path, const std::filesystem::path& key_path) {
  const auto end = asn1_time_point(X509_get0_notAfter(cert));
  if (!end || *end > system_clock::now()) return;
  const std::time_t t = system_clock::to_time_t(*end);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  write_stderr(sanitize_for_log(fmt::format(
                   "WARNING: the local CA certificate {} expired on {:04}-{:02}-{:02} {:02}:{:02}:{:02} UTC; "
                   "agents will refuse every intercepted connection. Delete {} and {} to make a new CA.",
                   path_text(cert_path), tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                   path_text(cert_path), path_text(key_path))) +
               "\n");
}

ProxyResult<std::shared_ptr<CaState>> load_ca(const std::filesystem::path& cert_path,
                                              const std::filesystem::path& key_path) {
  QB_TRY(auto cert_text, read_secret_file(cert_path));
  if (auto ok = check_utf8(cert_text); !ok) return fail(codes::QB_5008, "ca cert not UTF-8", ok.error().display());
  QB_TRY(auto&& key_read, read_secret_file(key_path));
  const SecretBytes key_text(as_bytes(key_read));
  secure_wipe(key_read);
  if (auto ok = check_utf8(key_text.text()); !ok) {
    return fail(codes::QB_5008, "ca key not UTF-8", ok.error().display());
  }

  // The first section is the key whatever its label says.
  UniquePtr<EVP_PKEY> key;
  {
    QB_TRY(auto section, pem_first_section(key_text.text(), "parse ca key"));
    if (!section) return fail(codes::QB_5008, "parse ca key", "no PEM section found");
    key = parse_private_key(section->der.span());
    if (!key) return fail(codes::QB_5008, "parse ca key", openssl_error("not a PKCS#8 private key"));
  }

  std::string der;
  {
    QB_TRY(auto section, pem_first_section(cert_text, "parse ca cert", "CERTIFICATE"));
    if (section) der.assign(section->der.text());
    if (der.empty()) return proxy_error_new(codes::QB_5008, "no certificate in ca-cert.pem");
  }
  UniquePtr<X509> cert = parse_cert_der(der);
  if (!cert) return fail(codes::QB_5008, "parse ca cert", openssl_error("not a DER certificate"));

  QB_TRY(auto params, ca_params());
  QB_TRY(auto issuer, self_sign(params, key.get(), codes::QB_5008, "rebuild issuer"));

  // A certificate made for another key would make every leaf fail at the agent with no hint.
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    ERR_clear_error();
    return proxy_error_new(codes::QB_5008,
                           fmt::format("{} does not belong to the key in {}; delete both files and start again to "
                                       "create a new CA",
                                       path_text(cert_path), path_text(key_path)));
  }
  auto akid = authority_key_id_for(cert.get());
  if (!akid) return fail(codes::QB_5008, "parse ca cert", openssl_error("cannot read the public key"));
  warn_if_expired(cert.get(), cert_path, key_path);
  return new_ca_state(std::move(key), std::move(issuer), std::move(cert), std::move(der), std::move(cert_text),
                      std::move(*akid));
}

// Subject alternative name: an iPAddress for an IP literal, else a dNSName that must be ASCII.
ProxyResult<UniquePtr<GENERAL_NAMES>> leaf_san(std::string_view host) {
  const auto refuse = [](std::string_view what) { return fail(codes::QB_5007, "leaf params", what); };
  UniquePtr<GENERAL_NAME> gn(GENERAL_NAME_new());
  if (!gn) return refuse(openssl_error("GENERAL_NAME_new failed"));
  if (const auto ip = parse_ip_literal(host)) {
    const auto bytes = ip->bytes();
    UniquePtr<ASN1_STRING> os(ASN1_OCTET_STRING_new());
    if (!os || ASN1_OCTET_STRING_set(os.get(), bytes.data(), static_cast<int>(bytes.size())) != 1) {
      return refuse(openssl_error("cannot encode the address"));
    }
    GENERAL_NAME_set0_value(gn.get(), GEN_IPADD, os.release());
  } else {
    for (unsigned char c : host) {
      if (c >= 0x80) return refuse(fmt::format("dNSName {} is not ASCII", debug_quote(host)));
    }
    UniquePtr<ASN1_STRING> ia5(ASN1_IA5STRING_new());
    if (!ia5 || ASN1_STRING_set(ia5.get(), host.data(), static_cast<int>(host.size())) != 1) {
      return refuse(openssl_error("cannot encode the name"));
    }
    GENERAL_NAME_set0_value(gn.get(), GEN_DNS, ia5.release());
  }
  UniquePtr<GENERAL_NAMES> names(GENERAL_NAMES_new());
  if (!names || sk_GENERAL_NAME_push(names.get(), gn.get()) <= 0) {
    return refuse(openssl_error("cannot build the names"));
  }
  gn.release();
  return names;
}

ProxyResult<SharedCertifiedKey> mint(const CaState::Impl& ca, std::string_view host, system_clock::time_point wall) {
  UniquePtr<EVP_PKEY> key(EVP_EC_gen("P-256"));
  if (!key) return fail(codes::QB_5007, "leaf key", openssl_error("P-256 key generation failed"));
  QB_TRY(auto san, leaf_san(host));

  const auto sign_error = [](std::string_view what) { return fail(codes::QB_5007, "sign leaf", openssl_error(what)); };
  UniquePtr<X509> x(X509_new());
  UniquePtr<X509_NAME> subject(X509_NAME_new());
  auto serial = serial_from_key(key.get());
  UniquePtr<EXTENDED_KEY_USAGE> eku(sk_ASN1_OBJECT_new_null());
  if (!x || !subject || !serial || !eku) return sign_error("cannot build the leaf");
  ASN1_OBJECT* server_auth = OBJ_nid2obj(NID_server_auth);
  if (server_auth == nullptr || sk_ASN1_OBJECT_push(eku.get(), server_auth) <= 0) {
    return sign_error("cannot build the extended key usage");
  }
  const std::time_t now = system_clock::to_time_t(wall);
  if (X509_set_version(x.get(), X509_VERSION_3) != 1 || X509_set_serialNumber(x.get(), serial.get()) != 1 ||
      X509_set_issuer_name(x.get(), X509_get_subject_name(ca.issuer.get())) != 1 ||
      !add_name_entry(subject.get(), NID_commonName, host) || X509_set_subject_name(x.get(), subject.get()) != 1 ||
      !set_validity(x.get(), now, kLeafBackdate, kLeafLifetime) || X509_set_pubkey(x.get(), key.get()) != 1 ||
      !add_ext(x.get(), NID_subject_alt_name, san.get(), false) || !add_key_usage(x.get(), {0}) ||  // digitalSignature
      !add_ext(x.get(), NID_ext_key_usage, eku.get(), false) ||
      // Strict verifiers (Python 3.13 and later by default) refuse a leaf without one.
      !add_key_id_ext(x.get(), NID_authority_key_identifier, ca.authority_key_id)) {
    return sign_error("cannot build the leaf");
  }
  if (X509_sign(x.get(), ca.key.get(), signing_digest(ca.key.get())) <= 0) return sign_error("X509_sign failed");

  // The chain carries exactly the bytes signed; the parsed form is built from them.
  auto der = cert_der(x.get());
  if (!der) return sign_error("cannot encode the leaf");
  UniquePtr<X509> leaf = parse_cert_der(*der);
  if (!leaf) return sign_error("cannot parse the leaf");
  if (X509_up_ref(ca.cert.get()) != 1) return sign_error("X509_up_ref failed");
  UniquePtr<X509> ca_ref(ca.cert.get());
  const auto not_after = system_clock::from_time_t(now + kLeafLifetime);
  return SharedCertifiedKey(std::make_shared<const CertifiedKey>(std::move(*der), ca.cert_der, std::move(leaf),
                                                                 std::move(ca_ref), std::move(key), not_after));
}

}  // namespace

CertifiedKey::CertifiedKey(std::string leaf_der, std::string ca_der, UniquePtr<X509> leaf, UniquePtr<X509> ca,
                           UniquePtr<EVP_PKEY> key, std::chrono::system_clock::time_point not_after)
    : leaf_(std::move(leaf)), ca_(std::move(ca)), key_(std::move(key)), not_after_(not_after) {
  chain_der_.reserve(2);
  chain_der_.push_back(std::move(leaf_der));
  chain_der_.push_back(std::move(ca_der));
}

CertifiedKey::~CertifiedKey() = default;

SharedCertifiedKey LeafCache::find(std::string_view host, std::chrono::steady_clock::time_point now,
                                   std::chrono::system_clock::time_point wall_now) const {
  std::shared_lock lock(mu_);
  auto it = map_.find(host);
  if (it == map_.end()) return nullptr;
  const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - it->second.stored).count();
  if (age >= kMaxAgeSeconds || wall_now >= it->second.key->not_after()) return nullptr;
  return it->second.key;
}

void LeafCache::insert(const std::string& host, SharedCertifiedKey key, std::chrono::steady_clock::time_point now) {
  std::unique_lock lock(mu_);
  auto it = map_.find(host);
  if (it == map_.end()) {
    if (map_.size() >= kCapacity && !queue_.empty()) {
      map_.erase(queue_.front());
      queue_.pop_front();
    }
    queue_.push_back(host);
    map_.emplace(host, Entry{std::move(key), now});
    return;
  }
  // A replaced entry keeps its host's place in the queue.
  it->second = Entry{std::move(key), now};
}

std::size_t LeafCache::size() const {
  std::shared_lock lock(mu_);
  return map_.size();
}

bool LeafCache::contains(std::string_view host) const {
  std::shared_lock lock(mu_);
  return map_.find(host) != map_.end();
}

CaState::CaState(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CaState::~CaState() = default;

const std::string& CaState::cert_pem() const { return impl_->cert_pem; }
const std::string& CaState::cert_der() const { return impl_->cert_der; }

bool path_exists(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

ProxyResult<std::shared_ptr<CaState>> load_or_create_ca(const std::filesystem::path& dir) {
  const auto cert_path = dir / kCaCertFileName;
  const auto key_path = dir / kCaKeyFileName;
  if (path_exists(cert_path) && path_exists(key_path)) return load_ca(cert_path, key_path);
  return create_ca(dir);
}

ProxyResult<SharedCertifiedKey> mint_leaf_blocking(CaState& ca, std::string_view host) {
  const auto& clocks = ca.clocks();
  if (auto hit = ca.leaf_cache().find(host, clocks.monotonic(), clocks.wall())) return hit;
  QB_TRY(auto leaf, mint(ca.impl(), host, clocks.wall()));
  ca.leaf_cache().insert(std::string(host), leaf, clocks.monotonic());
  return leaf;
}

}  // namespace qb

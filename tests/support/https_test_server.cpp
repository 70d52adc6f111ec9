#include "support/https_test_server.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "core/owner_file.h"
#include "crypto/openssl_ptr.h"
#include "support/tls_test_server.h"

namespace qb::test {

namespace {

[[noreturn]] void fail(std::string_view what) {
  throw std::runtime_error(fmt::format("test PKI: {} failed ({})", what, ERR_error_string(ERR_get_error(), nullptr)));
}

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(len));
}

void add_ext(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  UniquePtr<X509_EXTENSION> ext(X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value));
  if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) fail("extension");
}

TestCert finish(X509* cert, EVP_PKEY* key) {
  TestCert out;
  UniquePtr<BIO> cb(BIO_new(BIO_s_mem()));
  UniquePtr<BIO> kb(BIO_new(BIO_s_mem()));
  if (!cb || !kb || PEM_write_bio_X509(cb.get(), cert) != 1 ||
      PEM_write_bio_PrivateKey(kb.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    fail("PEM writing");
  }
  out.cert_pem = bio_text(cb.get());
  out.key_pem = bio_text(kb.get());
  int len = i2d_X509(cert, nullptr);
  if (len <= 0) fail("DER writing");
  out.der.resize(static_cast<std::size_t>(len));
  unsigned char* p = out.der.data();
  i2d_X509(cert, &p);
  return out;
}

UniquePtr<X509> new_cert(EVP_PKEY* key, std::string_view cn, std::string_view org) {
  UniquePtr<X509> cert(X509_new());
  if (!cert || X509_set_version(cert.get(), 2) != 1) fail("certificate");
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) fail("serial");
  serial[0] &= 0x7f;
  UniquePtr<BIGNUM> bn(BN_bin2bn(serial, sizeof serial, nullptr));
  if (!bn || !BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get()))) fail("serial");
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(cert.get());
  std::string cn_s(cn), org_s(org);
  if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(org_s.c_str()), -1,
                                 -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn_s.c_str()), -1,
                                 -1, 0) != 1) {
    fail("subject");
  }
  if (X509_set_pubkey(cert.get(), key) != 1) fail("public key");
  return cert;
}

UniquePtr<EVP_PKEY> read_key(const std::string& pem) {
  UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  UniquePtr<EVP_PKEY> key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) fail("key reading");
  return key;
}

UniquePtr<X509> read_cert(const std::string& pem) {
  UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  UniquePtr<X509> cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) fail("certificate reading");
  return cert;
}

bool ssl_write_all(SSL* ssl, std::string_view data) {
  while (!data.empty()) {
    std::size_t written = 0;
    if (SSL_write_ex(ssl, data.data(), data.size(), &written) != 1) return false;
    data.remove_prefix(written);
  }
  return true;
}

std::size_t content_length(std::string_view head) {
  std::string lower(head);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  auto pos = lower.find("\r\ncontent-length:");
  if (pos == std::string::npos) return 0;
  return std::strtoull(lower.c_str() + pos + 17, nullptr, 10);
}

}  // namespace

TestCert make_test_ca(std::string_view common_name, std::string_view organisation) {
  UniquePtr<EVP_PKEY> key(EVP_EC_gen("P-256"));
  if (!key) fail("key generation");
  UniquePtr<X509> cert = new_cert(key.get(), common_name, organisation);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  add_ext(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  add_ext(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  add_ext(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) fail("signing");
  return finish(cert.get(), key.get());
}

TestCert make_test_leaf(const TestCert& ca, std::string_view common_name, const std::string& subject_alt_names) {
  return make_test_leaf(ca, TestLeafSpec{.common_name = std::string(common_name), .alt_names = subject_alt_names});
}

TestCert make_test_leaf(const TestCert& ca, const TestLeafSpec& spec) {
  UniquePtr<EVP_PKEY> ca_key = read_key(ca.key_pem);
  UniquePtr<X509> ca_cert = read_cert(ca.cert_pem);
  UniquePtr<EVP_PKEY> key(spec.rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
  if (!key) fail("key generation");
  UniquePtr<X509> cert = new_cert(key.get(), spec.common_name, "quorbelt tests");
  X509_set_issuer_name(cert.get(), X509_get_subject_name(ca_cert.get()));
  add_ext(cert.get(), ca_cert.get(), NID_basic_constraints, "critical,CA:FALSE");
  // RSA key exchange encrypts to the certificate's key.
  add_ext(cert.get(), ca_cert.get(), NID_key_usage,
          spec.rsa ? "critical,digitalSignature,keyEncipherment" : "critical,digitalSignature");
  add_ext(cert.get(), ca_cert.get(), NID_ext_key_usage, "serverAuth");
  if (!spec.alt_names.empty()) add_ext(cert.get(), ca_cert.get(), NID_subject_alt_name, spec.alt_names.c_str());
  add_ext(cert.get(), ca_cert.get(), NID_authority_key_identifier, "keyid:always");
  if (X509_sign(cert.get(), ca_key.get(), EVP_sha256()) <= 0) fail("signing");
  return finish(cert.get(), key.get());
}

std::string http_response(int status, std::string_view reason, std::string_view body,
                          const std::vector<std::string>& extra_headers) {
  std::string out = fmt::format("HTTP/1.1 {} {}\r\nContent-Length: {}\r\n", status, reason, body.size());
  for (const auto& h : extra_headers) out += h + "\r\n";
  out += "\r\n";
  out += body;
  return out;
}

std::uint16_t closed_loopback_port() {
  const UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  if (!fd.valid()) throw std::runtime_error("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("bind");
  }
  return ntohs(addr.sin_port);
}

void use_test_cert(SSL_CTX* ctx, const TestCert& cert) {
  UniquePtr<EVP_PKEY> key = read_key(cert.key_pem);
  UniquePtr<X509> x509 = read_cert(cert.cert_pem);
  if (SSL_CTX_use_certificate(ctx, x509.get()) != 1 || SSL_CTX_use_PrivateKey(ctx, key.get()) != 1) {
    fail("server certificate");
  }
}

struct HttpsTestServer::Impl {
  mutable std::mutex mu;
  HttpsTestReply reply;
  std::vector<std::string> requests;
  std::size_t failed_handshakes = 0;
  TlsTestServer server;  // last: stopped before the members its threads use go

  Impl(const TestCert& leaf, HttpsTestReply r) : reply(std::move(r)), server(leaf, {.hold_finished = true}) {}

  void serve(int fd) {
    UniquePtr<SSL> ssl(SSL_new(server.tls_context()));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_accept(ssl.get()) != 1) {
      std::lock_guard lock(mu);
      ++failed_handshakes;
      ERR_clear_error();
      return;
    }
    std::string buf;
    char chunk[16384];
    while (true) {
      // One request: the head, then Content-Length bytes of body.
      std::size_t head_end;
      while ((head_end = buf.find("\r\n\r\n")) == std::string::npos) {
        std::size_t got = 0;
        if (SSL_read_ex(ssl.get(), chunk, sizeof chunk, &got) != 1) return;
        buf.append(chunk, got);
      }
      std::size_t total = head_end + 4 + content_length(std::string_view(buf).substr(0, head_end + 2));
      while (buf.size() < total) {
        std::size_t got = 0;
        if (SSL_read_ex(ssl.get(), chunk, sizeof chunk, &got) != 1) return;
        buf.append(chunk, got);
      }
      HttpsTestReply r;
      {
        std::lock_guard lock(mu);
        requests.push_back(buf.substr(0, total));
        r = reply;
      }
      buf.erase(0, total);
      if (r.stall_after != std::string::npos) {
        ssl_write_all(ssl.get(), std::string_view(r.bytes).substr(0, r.stall_after));
        std::size_t got = 0;
        while (SSL_read_ex(ssl.get(), chunk, sizeof chunk, &got) == 1) {
        }
        return;
      }
      if (!ssl_write_all(ssl.get(), r.bytes)) return;
      if (r.bytes.find("\r\nConnection: close\r\n") != std::string::npos) {
        SSL_shutdown(ssl.get());
        return;
      }
    }
  }
};

HttpsTestServer::HttpsTestServer(const TestCert& leaf, HttpsTestReply reply, const HttpsTestTls& tls)
    : impl_(std::make_unique<Impl>(leaf, std::move(reply))) {
  SSL_CTX* ctx = impl_->server.tls_context();
  if (!tls.tls12_ciphers.empty()) {
    SSL_CTX_set_dh_auto(ctx, 1);
    if (SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(ctx, tls.tls12_ciphers.c_str()) != 1) {
      fail("server cipher suites");
    }
  }
  impl_->server.start({.serve = [impl = impl_.get()](int fd, std::size_t) { impl->serve(fd); }});
}

HttpsTestServer::~HttpsTestServer() { impl_->server.stop(); }

std::uint16_t HttpsTestServer::port() const { return impl_->server.port(); }

std::string HttpsTestServer::url(std::string_view path) const {
  return fmt::format("https://127.0.0.1:{}{}", impl_->server.port(), path);
}

void HttpsTestServer::set_reply(HttpsTestReply reply) {
  std::lock_guard lock(impl_->mu);
  impl_->reply = std::move(reply);
}

std::vector<std::string> HttpsTestServer::requests() const {
  std::lock_guard lock(impl_->mu);
  return impl_->requests;
}

std::size_t HttpsTestServer::connections() const { return impl_->server.connections(); }

std::size_t HttpsTestServer::failed_handshakes() const {
  std::lock_guard lock(impl_->mu);
  return impl_->failed_handshakes;
}

}  // namespace qb::test

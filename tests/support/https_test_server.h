// A tiny HTTPS server on 127.0.0.1 with certificates from a test CA, for client tests.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/types.h>

namespace qb::test {

// A certificate and its private key in PEM, with the certificate's DER.
struct TestCert {
  std::string cert_pem;
  std::string key_pem;
  std::vector<std::uint8_t> der;
};

// A self-signed P-256 CA certificate with the given subject common name and organisation.
TestCert make_test_ca(std::string_view common_name, std::string_view organisation = "quorbelt tests");
inline constexpr const char* kLoopbackNames = "IP:127.0.0.1,IP:::1,DNS:localhost";
// A server certificate issued by the CA, for the subjectAltNames given in OpenSSL's notation
// (empty: no subjectAltName extension, the common name alone).
TestCert make_test_leaf(const TestCert& ca, std::string_view common_name = "127.0.0.1",
                        const std::string& subject_alt_names = kLoopbackNames);

struct TestLeafSpec {
  std::string common_name = "127.0.0.1";
  std::string alt_names = kLoopbackNames;  // OpenSSL's form; empty: no subjectAltName
  bool rsa = false;                        // a 2048-bit RSA key instead of P-256
};
// A server certificate issued by the CA, as described.
TestCert make_test_leaf(const TestCert& ca, const TestLeafSpec& spec);

// Puts the certificate and its key into a server context; throws when OpenSSL refuses them.
void use_test_cert(SSL_CTX* ctx, const TestCert& cert);

// A complete HTTP/1.1 response with Content-Length and any extra header lines ("Name: value").
std::string http_response(int status, std::string_view reason, std::string_view body,
                          const std::vector<std::string>& extra_headers = {});

// A loopback port on which nothing listens (bound once, then closed).
std::uint16_t closed_loopback_port();

struct HttpsTestReply {
  std::string bytes;                            // written for each request, as they are
  std::size_t stall_after = std::string::npos;  // write only this many bytes, then wait for the client to leave
};

struct HttpsTestTls {
  // When set, the server speaks TLS 1.2 at most and offers only these suites (OpenSSL's cipher list form).
  std::string tls12_ciphers;
};

// Serves every request on its connections with the current reply; keeps connections open between requests
// unless the reply carries "Connection: close". A thread per open connection; stopped and joined on destruction.
class HttpsTestServer {
 public:
  HttpsTestServer(const TestCert& leaf, HttpsTestReply reply, const HttpsTestTls& tls = {});
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  std::uint16_t port() const;
  // "https://127.0.0.1:{port}{path}"
  std::string url(std::string_view path = "/gate") const;
  void set_reply(HttpsTestReply reply);

  // Each request as received: head and body.
  std::vector<std::string> requests() const;
  std::size_t connections() const;        // TCP connections accepted
  std::size_t failed_handshakes() const;  // TLS handshakes that did not complete

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qb::test

// Owning pointers for OpenSSL objects: every object the program creates is freed by exactly one
// UniquePtr<T>, on every path. Each type has its one deleter here; a type not listed does not
// compile, so no call site picks a free function of its own.
#pragma once

#include <memory>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace qb {

namespace detail {
template <class T>
struct Deleter;
}  // namespace detail

template <class T>
using UniquePtr = std::unique_ptr<T, detail::Deleter<T>>;

#define QB_MAKE_DELETER(type, free_fn)                      \
  namespace detail {                                        \
  template <>                                               \
  struct Deleter<type> {                                    \
    void operator()(type* p) const noexcept { free_fn(p); } \
  };                                                        \
  }

QB_MAKE_DELETER(EVP_PKEY, EVP_PKEY_free)
QB_MAKE_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free)
QB_MAKE_DELETER(EVP_CIPHER, EVP_CIPHER_free)
QB_MAKE_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free)
QB_MAKE_DELETER(EVP_MD, EVP_MD_free)
QB_MAKE_DELETER(EVP_MD_CTX, EVP_MD_CTX_free)
QB_MAKE_DELETER(EVP_MAC, EVP_MAC_free)
QB_MAKE_DELETER(EVP_MAC_CTX, EVP_MAC_CTX_free)
// Big numbers and points may hold private scalars: always cleared before they are freed.
QB_MAKE_DELETER(BIGNUM, BN_clear_free)
QB_MAKE_DELETER(BN_CTX, BN_CTX_free)
QB_MAKE_DELETER(EC_GROUP, EC_GROUP_free)
QB_MAKE_DELETER(EC_POINT, EC_POINT_clear_free)
QB_MAKE_DELETER(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free)
QB_MAKE_DELETER(OSSL_PARAM, OSSL_PARAM_free)
QB_MAKE_DELETER(BIO, BIO_free_all)
QB_MAKE_DELETER(BIO_METHOD, BIO_meth_free)
QB_MAKE_DELETER(X509, X509_free)
QB_MAKE_DELETER(X509_NAME, X509_NAME_free)
QB_MAKE_DELETER(X509_EXTENSION, X509_EXTENSION_free)
QB_MAKE_DELETER(X509_STORE, X509_STORE_free)
QB_MAKE_DELETER(X509_STORE_CTX, X509_STORE_CTX_free)
// One type behind ASN1_INTEGER, ASN1_TIME, ASN1_OCTET_STRING and the other string types; their
// free functions all come down to ASN1_STRING_free.
QB_MAKE_DELETER(ASN1_STRING, ASN1_STRING_free)
QB_MAKE_DELETER(BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free)
QB_MAKE_DELETER(EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free)
QB_MAKE_DELETER(GENERAL_NAMES, GENERAL_NAMES_free)
QB_MAKE_DELETER(GENERAL_NAME, GENERAL_NAME_free)
QB_MAKE_DELETER(AUTHORITY_KEYID, AUTHORITY_KEYID_free)
QB_MAKE_DELETER(PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free)
QB_MAKE_DELETER(SSL_CTX, SSL_CTX_free)
QB_MAKE_DELETER(SSL, SSL_free)

#undef QB_MAKE_DELETER

// Memory that OpenSSL allocated and hands to the caller (OPENSSL_malloc). Its own type, not
// UniquePtr<unsigned char>: the bytes are not an OpenSSL object.
struct OpensslFree {
  // OPENSSL_free is a macro; the deleter needs a function call.
  void operator()(void* p) const noexcept { OPENSSL_free(p); }
};
using OpensslBytesPtr = std::unique_ptr<unsigned char, OpensslFree>;

}  // namespace qb

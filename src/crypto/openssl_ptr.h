// Owning pointers for OpenSSL (libcrypto) objects: every object the program creates is freed by
// exactly one of these, on every path.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace qb {

template <auto Free>
struct OsslDeleter {
  template <class T>
  void operator()(T* p) const noexcept {
    Free(p);
  }
};

namespace detail {
// OPENSSL_free is a macro; the deleter needs a function.
inline void openssl_free(void* p) noexcept { OPENSSL_free(p); }
}  // namespace detail

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OsslDeleter<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslDeleter<EVP_PKEY_CTX_free>>;
using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, OsslDeleter<EVP_CIPHER_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OsslDeleter<EVP_CIPHER_CTX_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, OsslDeleter<EVP_MD_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OsslDeleter<EVP_MD_CTX_free>>;
using EvpMacPtr = std::unique_ptr<EVP_MAC, OsslDeleter<EVP_MAC_free>>;
using EvpMacCtxPtr = std::unique_ptr<EVP_MAC_CTX, OsslDeleter<EVP_MAC_CTX_free>>;
// Big numbers may hold private scalars: always cleared before they are freed.
using BignumPtr = std::unique_ptr<BIGNUM, OsslDeleter<BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, OsslDeleter<BN_CTX_free>>;
using EcGroupPtr = std::unique_ptr<EC_GROUP, OsslDeleter<EC_GROUP_free>>;
using EcPointPtr = std::unique_ptr<EC_POINT, OsslDeleter<EC_POINT_clear_free>>;
using OsslParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, OsslDeleter<OSSL_PARAM_BLD_free>>;
using OsslParamPtr = std::unique_ptr<OSSL_PARAM, OsslDeleter<OSSL_PARAM_free>>;
using BioPtr = std::unique_ptr<BIO, OsslDeleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, OsslDeleter<X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, OsslDeleter<X509_NAME_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, OsslDeleter<X509_EXTENSION_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OsslDeleter<X509_STORE_free>>;
using Asn1IntegerPtr = std::unique_ptr<ASN1_INTEGER, OsslDeleter<ASN1_INTEGER_free>>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, OsslDeleter<ASN1_TIME_free>>;
// Memory that OpenSSL allocated and hands to the caller (OPENSSL_malloc).
using OpensslBytesPtr = std::unique_ptr<unsigned char, OsslDeleter<detail::openssl_free>>;

}  // namespace qb

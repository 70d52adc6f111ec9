#include "crypto/fips.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace qb {

bool fips_mode_enabled() {
  static const bool on = [] {
    OPENSSL_init_crypto(0, nullptr);
    return EVP_default_properties_is_fips_enabled(nullptr) == 1;
  }();
  return on;
}

std::string_view crypto_library_version() { return OpenSSL_version(OPENSSL_VERSION_STRING); }

}  // namespace qb

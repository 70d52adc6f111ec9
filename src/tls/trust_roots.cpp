#include "tls/trust_roots.h"

#include <algorithm>
#include <set>

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace qb {

bool is_excluded_root(std::span<const std::uint8_t> der) {
  for (auto marker : EXCLUDED_ROOT_MARKERS) {
    auto it = std::search(der.begin(), der.end(), marker.begin(), marker.end(),
                          [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
    if (!marker.empty() && it != der.end()) return true;
  }
  return false;
}

const std::vector<DerCert>& builtin_roots() {
  static const std::vector<DerCert> roots = [] {
    std::vector<DerCert> out;
    for (auto pem : builtin_root_pems()) {
      for (auto& der : certs_from_pem(pem)) {
        if (!is_excluded_root(der)) out.push_back(std::move(der));
      }
    }
    return out;
  }();
  return roots;
}

std::vector<DerCert> merge_roots(const std::vector<DerCert>& platform, const std::vector<DerCert>& builtin) {
  std::vector<DerCert> out;
  std::set<DerCert, DerLess> seen;
  for (const auto& der : platform) {
    if (is_excluded_root(der)) continue;
    seen.insert(der);
    out.push_back(der);
  }
  for (const auto& der : builtin) {
    if (is_excluded_root(der) || seen.contains(der)) continue;
    seen.insert(der);
    out.push_back(der);
  }
  return out;
}

const std::vector<DerCert>& gate_roots() {
  static const std::vector<DerCert> roots = merge_roots(platform_roots(), builtin_roots());
  return roots;
}

UniquePtr<X509_STORE> trust_store_of(const std::vector<DerCert>& roots) {
  UniquePtr<X509_STORE> store(X509_STORE_new());
  if (!store) return store;
  for (const auto& der : roots) {
    const unsigned char* p = der.data();
    UniquePtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (cert) X509_STORE_add_cert(store.get(), cert.get());
  }
  ERR_clear_error();
  X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_TRUSTED_FIRST);
  return store;
}

}  // namespace qb

#include "tls/trust_roots.h"

#include <algorithm>
#include <set>

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

}  // namespace qb

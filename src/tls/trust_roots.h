// The gate agent's trusted roots: the platform's, then the compiled-in ones, minus marked ones.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "crypto/openssl_ptr.h"
#include "tls/platform_roots.h"

namespace qb {

// A root is left out when its DER holds any of these bytes anywhere.
inline constexpr std::string_view EXCLUDED_ROOT_MARKERS[] = {"emSign"};

bool is_excluded_root(std::span<const std::uint8_t> der);

// The compiled-in roots as PEM, in their fixed order (generated at build time).
std::span<const std::string_view> builtin_root_pems();

// BUILTIN_ROOTS: the compiled-in roots minus excluded ones, built once.
const std::vector<DerCert>& builtin_roots();

// The platform's roots minus excluded ones, in their order, then each builtin root whose DER is not
// already present.
std::vector<DerCert> merge_roots(const std::vector<DerCert>& platform, const std::vector<DerCert>& builtin);

// ROOTS: merge_roots(platform_roots(), builtin_roots()), built once on first use.
const std::vector<DerCert>& gate_roots();

// A verification store with every root that parses as a trust anchor, self-signed or not; a root the
// library cannot parse could never anchor a chain and is left out. Null when the store cannot be made.
UniquePtr<X509_STORE> trust_store_of(const std::vector<DerCert>& roots);

}  // namespace qb

// What the crypto library reports about itself.
#pragma once

#include <string_view>

namespace qb {

// The library's FIPS-mode query, asked once after its initialisation.
bool fips_mode_enabled();
// The library's bare version number, e.g. "3.0.19".
std::string_view crypto_library_version();

}  // namespace qb

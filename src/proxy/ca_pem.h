// PEM text of the CA files: written with 64-character lines and LF endings, read strictly
// enough to tell a malformed section from a missing one.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "crypto/secret.h"

namespace qb {

struct PemSection {
  std::string label;
  SecretBytes der;  // may be a private key
};

// "-----BEGIN {label}-----", base64 lines of 64 characters, "-----END {label}-----", each line
// ended by LF. Wiping, since the DER may be a private key.
SecretBytes pem_encode(std::string_view label, std::span<const std::uint8_t> der);

// Every section of the text in order; text outside sections is ignored. A section without its
// end line or with invalid base64 is an error, returned as text.
Result<std::vector<PemSection>, std::string> pem_parse(std::string_view text);

}  // namespace qb

// PEM text of the CA files: written with 64-character lines and LF endings, read strictly
// enough to tell a malformed section from a missing one.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "crypto/secret.h"

namespace qb {

struct PemSection {
  std::string label;
  SecretBytes der;  // may be a private key
};

// "-----BEGIN {label}-----", base64 lines of 64 characters, "-----END {label}-----", each line
// ended by LF. Wiping, since the DER may be a private key.
SecretBytes pem_encode(std::string_view label, std::span<const std::uint8_t> der);

// The first section labelled `label` (the first section of any label when it is empty), or none.
// Sections before it are skipped but must be well-formed: one without its end line or with
// invalid base64 is an error, QB-5008 with "{step}: " before what was wrong. Text outside sections
// is ignored, and text after the section found is not read, so a file may carry other material
// behind it.
ProxyResult<std::optional<PemSection>> pem_first_section(std::string_view text, std::string_view step,
                                                         std::string_view label = {});

}  // namespace qb

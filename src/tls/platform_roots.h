// The platform's trusted root certificates, as the gate agent's trust store starts from them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace qb {

// One certificate in DER.
using DerCert = std::vector<std::uint8_t>;

// The order of certificates in sorted lists and sets: the shorter first, equal sizes by their bytes.
// Sizes first, so the bytes are compared only over one known length.
bool der_less(const DerCert& a, const DerCert& b);
struct DerLess {
  bool operator()(const DerCert& a, const DerCert& b) const { return der_less(a, b); }
};

// The platform's trusted roots, in the platform's order. Nothing here fails: a store that cannot be
// read (a missing file, an unreadable directory, a broken PEM section) contributes no certificates.
//
// On Linux and other Unix systems: when SSL_CERT_FILE or SSL_CERT_DIR (a ':'-separated list) is set,
// the certificates of that file and of the directories' OpenSSL hash files (HHHHHHHH.D); when neither
// gives a certificate and nothing went wrong reading them, the system bundle and certificate directory.
// The result is sorted (shorter DER first, then by bytes; see der_less) without duplicates.
// On macOS: the trust settings of the user, admin and system domains.
std::vector<DerCert> platform_roots();

// The CERTIFICATE sections of a PEM text, in order. Reading stops at the first malformed section, and
// *complete (when given) tells whether the text was read to its end.
std::vector<DerCert> certs_from_pem(std::string_view pem, bool* complete = nullptr);

namespace platform_detail {

// Appends the certificates of a PEM file; false when the file could not be read to its end.
bool load_pem_file(const std::filesystem::path& file, std::vector<DerCert>& out);
// Appends the certificates of the hash-named files of a directory; false when something could not be read.
bool load_hash_dir(const std::filesystem::path& dir, std::vector<DerCert>& out);
// OpenSSL's c_rehash names: eight hex digits, '.', one decimal digit.
bool is_hash_file_name(std::string_view name);

}  // namespace platform_detail

}  // namespace qb

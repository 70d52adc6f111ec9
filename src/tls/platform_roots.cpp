#include "tls/platform_roots.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>

#include "core/owner_file.h"
#include "crypto/openssl_ptr.h"

namespace qb {

bool der_less(const DerCert& a, const DerCert& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return !a.empty() && std::memcmp(a.data(), b.data(), a.size()) < 0;
}

namespace {

std::vector<std::filesystem::path> split_dirs(std::string_view list) {
  std::vector<std::filesystem::path> dirs;
  while (true) {
    auto colon = list.find(':');
    auto part = list.substr(0, colon);
    if (!part.empty()) dirs.emplace_back(std::string(part));
    if (colon == std::string_view::npos) break;
    list.remove_prefix(colon + 1);
  }
  return dirs;
}

bool der_equal(const DerCert& a, const DerCert& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// Not the vectors' own < and ==: at -O3 g++ 12 warns (stringop-overread) on the memcmp inside
// their lexicographic comparison, a false positive that -Werror makes fatal.
void sort_unique(std::vector<DerCert>& certs) {
  std::sort(certs.begin(), certs.end(), der_less);
  certs.erase(std::unique(certs.begin(), certs.end(), der_equal), certs.end());
}

#if defined(__APPLE__)

// The Security framework keeps the trust decisions: SecTrustSettingsCopyCertificates for the user,
// admin and system domains, each certificate's SecTrustSettingsCopyTrustSettings to keep only those
// trusted as roots for TLS, and SecCertificateCopyData for the DER. That reading belongs here; until a
// macOS build links the framework, only the environment's files serve.
std::vector<DerCert> system_roots() { return {}; }

#else

// The usual bundle and hashed directory of the common distributions; the first one present serves.
constexpr std::string_view kBundleFiles[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "/etc/ssl/ca-bundle.pem",
    "/etc/ssl/cert.pem",
};
constexpr std::string_view kCertDirs[] = {"/etc/ssl/certs", "/etc/pki/tls/certs"};

std::vector<DerCert> system_roots() {
  std::vector<DerCert> out;
  std::error_code ec;
  for (auto f : kBundleFiles) {
    if (std::filesystem::exists(f, ec)) {
      platform_detail::load_pem_file(f, out);
      break;
    }
  }
  for (auto d : kCertDirs) {
    if (std::filesystem::is_directory(d, ec)) {
      platform_detail::load_hash_dir(d, out);
      break;
    }
  }
  sort_unique(out);
  return out;
}

#endif

}  // namespace

std::vector<DerCert> certs_from_pem(std::string_view pem, bool* complete) {
  std::vector<DerCert> out;
  if (complete) *complete = false;
  UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return out;
  while (true) {
    char* name_raw = nullptr;
    char* header_raw = nullptr;
    unsigned char* data_raw = nullptr;
    long len = 0;
    int ok = PEM_read_bio(bio.get(), &name_raw, &header_raw, &data_raw, &len);
    std::unique_ptr<char, OpensslFree> name(name_raw);
    std::unique_ptr<char, OpensslFree> header(header_raw);
    OpensslBytesPtr data(data_raw);
    if (!ok) {
      // No further section is the normal end; anything else is a section that does not decode.
      if (complete) *complete = ERR_GET_REASON(ERR_peek_last_error()) == PEM_R_NO_START_LINE;
      break;
    }
    if (std::string_view(name.get()) == "CERTIFICATE" && len > 0) out.emplace_back(data.get(), data.get() + len);
  }
  ERR_clear_error();
  return out;
}

namespace platform_detail {

bool load_pem_file(const std::filesystem::path& file, std::vector<DerCert>& out) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  std::string text;
  char chunk[16384];
  while (true) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;  // EISDIR included
    if (n == 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  fd.reset();
  bool complete = false;
  auto certs = certs_from_pem(text, &complete);
  out.insert(out.end(), std::make_move_iterator(certs.begin()), std::make_move_iterator(certs.end()));
  return complete;
}

bool is_hash_file_name(std::string_view name) {
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
  if (name.size() != 10 || name[8] != '.' || name[9] < '0' || name[9] > '9') return false;
  return std::all_of(name.begin(), name.begin() + 8, hex);
}

bool load_hash_dir(const std::filesystem::path& dir, std::vector<DerCert>& out) {
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) return false;
  bool all_read = true;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) return false;
    const auto& path = it->path();
    if (!is_hash_file_name(path.filename().native())) continue;
    // c_rehash makes symbolic links: follow them; a dangling one is skipped quietly.
    std::error_code st_ec;
    auto st = std::filesystem::status(path, st_ec);
    if (st_ec) {
      if (st.type() != std::filesystem::file_type::not_found) all_read = false;
      continue;
    }
    if (st.type() != std::filesystem::file_type::regular) continue;
    if (!load_pem_file(path, out)) all_read = false;
  }
  return all_read;
}

}  // namespace platform_detail

std::vector<DerCert> platform_roots() {
  // The environment's locations replace the system's, unless they yield nothing at all and reading
  // them went well (then the system store still serves).
  const char* file = std::getenv("SSL_CERT_FILE");
  const char* dirs = std::getenv("SSL_CERT_DIR");
  if (file || dirs) {
    std::vector<DerCert> out;
    bool all_read = true;
    if (file && !platform_detail::load_pem_file(file, out)) all_read = false;
    if (dirs) {
      auto list = split_dirs(dirs);
      if (list.empty()) all_read = false;  // set, but names no directory
      for (const auto& d : list) {
        if (!platform_detail::load_hash_dir(d, out)) all_read = false;
      }
    }
    if (!out.empty() || !all_read) {
      sort_unique(out);
      return out;
    }
  }
  return system_roots();
}

}  // namespace qb

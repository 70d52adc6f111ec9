// The local certificate authority next to the executable, the leaf certificates it mints for
// intercepted hosts, and the cache that lets later connections reuse a leaf.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/errors.h"
#include "crypto/openssl_ptr.h"

namespace qb {

inline constexpr const char* kCaCertFileName = "ca-cert.pem";
inline constexpr const char* kCaKeyFileName = "ca-key.pem";

// A leaf ready for a TLS server: chain [leaf, CA certificate as loaded] in DER and parsed, and the
// leaf's signing key. Immutable once built; shared by the cache and by every connection using it.
class CertifiedKey {
 public:
  CertifiedKey(std::string leaf_der, std::string ca_der, UniquePtr<X509> leaf, UniquePtr<X509> ca,
               UniquePtr<EVP_PKEY> key, std::chrono::system_clock::time_point not_after);
  ~CertifiedKey();
  CertifiedKey(const CertifiedKey&) = delete;
  CertifiedKey& operator=(const CertifiedKey&) = delete;

  // The leaf first, the CA certificate second.
  const std::vector<std::string>& chain_der() const { return chain_der_; }
  X509* leaf() const { return leaf_.get(); }
  X509* ca() const { return ca_.get(); }
  EVP_PKEY* key() const { return key_.get(); }
  // The leaf's notAfter.
  std::chrono::system_clock::time_point not_after() const { return not_after_; }

 private:
  std::vector<std::string> chain_der_;
  UniquePtr<X509> leaf_;
  UniquePtr<X509> ca_;
  UniquePtr<EVP_PKEY> key_;
  std::chrono::system_clock::time_point not_after_;
};

using SharedCertifiedKey = std::shared_ptr<const CertifiedKey>;

// Host text (byte for byte) to leaf, at most 1000 hosts, evicted in the order hosts first entered.
class LeafCache {
 public:
  static constexpr std::size_t kCapacity = 1000;
  static constexpr long long kMaxAgeSeconds = 82'800;

  // The cached leaf when its age in whole seconds is below the limit and its notAfter has not
  // passed by the wall clock (a monotonic clock may stop while the machine sleeps); else null.
  SharedCertifiedKey find(std::string_view host, std::chrono::steady_clock::time_point now,
                          std::chrono::system_clock::time_point wall_now) const;
  // Stores the leaf under the host, replacing any old entry; a new host may evict the oldest one.
  void insert(const std::string& host, SharedCertifiedKey key, std::chrono::steady_clock::time_point now);

  std::size_t size() const;
  bool contains(std::string_view host) const;

 private:
  struct Entry {
    SharedCertifiedKey key;
    std::chrono::steady_clock::time_point stored;
  };
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };

  mutable std::shared_mutex mu_;
  std::unordered_map<std::string, Entry, Hash, std::equal_to<>> map_;
  std::deque<std::string> queue_;
};

// The clocks the CA reads; tests replace them before the state is shared.
struct CaClocks {
  std::function<std::chrono::steady_clock::time_point()> monotonic = [] { return std::chrono::steady_clock::now(); };
  std::function<std::chrono::system_clock::time_point()> wall = [] { return std::chrono::system_clock::now(); };
};

// The CA shared by every connection for the life of the process.
class CaState {
 public:
  struct Impl;
  explicit CaState(std::unique_ptr<Impl> impl);
  ~CaState();
  CaState(const CaState&) = delete;
  CaState& operator=(const CaState&) = delete;

  // On the load road the whole text of "ca-cert.pem" as read; on the create road the PEM written.
  const std::string& cert_pem() const;
  // The first certificate of "ca-cert.pem" (or the new one): second element of every leaf chain.
  const std::string& cert_der() const;

  LeafCache& leaf_cache() { return cache_; }
  const CaClocks& clocks() const { return clocks_; }
  void set_clocks(CaClocks clocks) { clocks_ = std::move(clocks); }

  const Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
  LeafCache cache_;
  CaClocks clocks_;
};

// Loads "ca-cert.pem" and "ca-key.pem" from the directory, or creates a new pair when either is
// missing. Blocking. Writes one "WARNING: " line to standard error when the loaded CA has expired.
ProxyResult<std::shared_ptr<CaState>> load_or_create_ca(const std::filesystem::path& dir);

// The leaf for the host (an IPv6 literal without brackets): from the cache, or minted with a fresh
// P-256 key and stored. Blocking (key generation and signing); meant for the blocking pool.
ProxyResult<SharedCertifiedKey> mint_leaf_blocking(CaState& ca, std::string_view host);

// True when stat (following symbolic links) succeeds on the path.
bool path_exists(const std::filesystem::path& path);

}  // namespace qb

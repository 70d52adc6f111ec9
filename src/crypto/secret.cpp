#include "crypto/secret.h"

#include <openssl/crypto.h>

namespace qb {

void secure_wipe(void* p, std::size_t n) noexcept {
  if (p != nullptr && n != 0) OPENSSL_cleanse(p, n);
}

void secure_wipe(std::string& s) noexcept {
  // The whole capacity: a shorter string may still hold older, longer contents.
  secure_wipe(s.data(), s.capacity());
  s.clear();
}

void secure_wipe(std::vector<std::uint8_t>& v) noexcept {
  secure_wipe(v.data(), v.capacity());
  v.clear();
}

SecretBytes& SecretBytes::operator=(const SecretBytes& other) {
  if (this != &other) {
    clear();
    buf_.assign(other.buf_.begin(), other.buf_.end());
  }
  return *this;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    clear();
    buf_ = std::move(other.buf_);
  }
  return *this;
}

void SecretBytes::resize(std::size_t n) {
  if (n < buf_.size()) secure_wipe(buf_.data() + n, buf_.size() - n);
  buf_.resize(n);
}

void SecretBytes::clear() noexcept {
  secure_wipe(buf_.data(), buf_.capacity());
  buf_.clear();
}

void SecretBytes::append(std::span<const std::uint8_t> bytes) { buf_.insert(buf_.end(), bytes.begin(), bytes.end()); }

bool operator==(const SecretBytes& a, const SecretBytes& b) noexcept {
  if (a.size() != b.size()) return false;
  return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

SecretString& SecretString::operator=(const SecretString& other) {
  if (this != &other) {
    clear();
    s_.assign(other.s_);
  }
  return *this;
}

SecretString& SecretString::operator=(SecretString&& other) noexcept {
  if (this != &other) {
    clear();
    s_ = std::move(other.s_);
    other.clear();
  }
  return *this;
}

void SecretString::clear() noexcept {
  // A moved-from or short string keeps its text in the inline buffer, which no allocator sees.
  secure_wipe(s_.data(), s_.capacity());
  s_.clear();
}

bool operator==(const SecretString& a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace qb

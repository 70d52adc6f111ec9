// Buffers for secret bytes: their memory is wiped with OPENSSL_cleanse before it is released or
// given up, so keys and plaintexts do not linger in freed heap or stack memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

// OPENSSL_cleanse, callable without the OpenSSL headers.
void secure_wipe(void* p, std::size_t n) noexcept;
void secure_wipe(std::string& s) noexcept;
void secure_wipe(std::vector<std::uint8_t>& v) noexcept;

// An allocator that wipes every block before freeing it, so a reallocating container never leaves
// a stale copy behind.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    secure_wipe(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

// A growable byte buffer for secrets. Shrinking wipes the bytes given up; growing moves the bytes
// through the wiping allocator.
class SecretBytes {
 public:
  using value_type = std::uint8_t;
  using iterator = std::uint8_t*;
  using const_iterator = const std::uint8_t*;

  SecretBytes() = default;
  // n zero bytes.
  explicit SecretBytes(std::size_t n) : buf_(n) {}
  explicit SecretBytes(std::span<const std::uint8_t> bytes) : buf_(bytes.begin(), bytes.end()) {}
  SecretBytes(std::initializer_list<std::uint8_t> bytes) : buf_(bytes) {}
  SecretBytes(const SecretBytes&) = default;
  SecretBytes& operator=(const SecretBytes& other);
  SecretBytes(SecretBytes&& other) noexcept = default;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  ~SecretBytes() { clear(); }

  std::uint8_t* data() noexcept { return buf_.data(); }
  const std::uint8_t* data() const noexcept { return buf_.data(); }
  std::size_t size() const noexcept { return buf_.size(); }
  bool empty() const noexcept { return buf_.empty(); }
  std::uint8_t& operator[](std::size_t i) noexcept { return buf_[i]; }
  const std::uint8_t& operator[](std::size_t i) const noexcept { return buf_[i]; }
  iterator begin() noexcept { return buf_.data(); }
  iterator end() noexcept { return buf_.data() + buf_.size(); }
  const_iterator begin() const noexcept { return buf_.data(); }
  const_iterator end() const noexcept { return buf_.data() + buf_.size(); }

  std::span<std::uint8_t> span() noexcept { return {buf_.data(), buf_.size()}; }
  std::span<const std::uint8_t> span() const noexcept { return {buf_.data(), buf_.size()}; }
  // The bytes as text (for secrets that are text, such as tokens); no copy.
  std::string_view text() const noexcept { return {reinterpret_cast<const char*>(buf_.data()), buf_.size()}; }

  // New bytes are zero; bytes cut off are wiped.
  void resize(std::size_t n);
  void reserve(std::size_t n) { buf_.reserve(n); }
  void clear() noexcept;
  void append(std::span<const std::uint8_t> bytes);
  void push_back(std::uint8_t b) { buf_.push_back(b); }

  // Constant-time comparison when the lengths match (the length itself is not secret).
  friend bool operator==(const SecretBytes& a, const SecretBytes& b) noexcept;

 private:
  std::vector<std::uint8_t, WipingAllocator<std::uint8_t>> buf_;
};

// Text that is a secret (a credential, a token, a header that carries one): wiped when it is
// released, overwritten or moved from, and grown through the wiping allocator, so no copy is left
// in freed memory. Taking a std::string by move wipes the donor.
class SecretString {
 public:
  SecretString() = default;
  SecretString(std::string_view text) : s_(text) {}
  SecretString(const char* text) : s_(text) {}
  SecretString(const std::string& text) : s_(text) {}
  SecretString(std::string&& text) : s_(text) { secure_wipe(text); }
  SecretString(const SecretString&) = default;
  SecretString& operator=(const SecretString& other);
  SecretString(SecretString&& other) noexcept : s_(std::move(other.s_)) { other.clear(); }
  SecretString& operator=(SecretString&& other) noexcept;
  ~SecretString() { clear(); }

  std::string_view view() const noexcept { return {s_.data(), s_.size()}; }
  operator std::string_view() const noexcept { return view(); }
  const char* data() const noexcept { return s_.data(); }
  std::size_t size() const noexcept { return s_.size(); }
  bool empty() const noexcept { return s_.empty(); }

  void reserve(std::size_t n) { s_.reserve(n); }
  SecretString& append(std::string_view text) {
    s_.append(text);
    return *this;
  }
  // Wipes the whole buffer (a shorter text may still hold older, longer contents) and empties it.
  void clear() noexcept;

  // Constant-time comparison when the lengths match (the length itself is not secret).
  friend bool operator==(const SecretString& a, const SecretString& b) noexcept { return a == b.view(); }
  friend bool operator==(const SecretString& a, std::string_view b) noexcept;
  friend bool operator==(const SecretString& a, const std::string& b) noexcept { return a == std::string_view(b); }
  friend bool operator==(const SecretString& a, const char* b) noexcept { return a == std::string_view(b); }

 private:
  std::basic_string<char, std::char_traits<char>, WipingAllocator<char>> s_;
};

// A fixed-size secret, wiped when it goes out of scope. Copies are wiped too.
template <std::size_t N>
class SecretArray {
 public:
  static constexpr std::size_t kSize = N;

  SecretArray() noexcept : bytes_{} {}
  explicit SecretArray(std::span<const std::uint8_t, N> bytes) noexcept {
    for (std::size_t i = 0; i < N; ++i) bytes_[i] = bytes[i];
  }
  SecretArray(const SecretArray&) noexcept = default;
  SecretArray& operator=(const SecretArray&) noexcept = default;
  ~SecretArray() { wipe(); }

  std::uint8_t* data() noexcept { return bytes_.data(); }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  static constexpr std::size_t size() noexcept { return N; }
  std::uint8_t& operator[](std::size_t i) noexcept { return bytes_[i]; }
  const std::uint8_t& operator[](std::size_t i) const noexcept { return bytes_[i]; }
  std::uint8_t* begin() noexcept { return bytes_.data(); }
  std::uint8_t* end() noexcept { return bytes_.data() + N; }
  const std::uint8_t* begin() const noexcept { return bytes_.data(); }
  const std::uint8_t* end() const noexcept { return bytes_.data() + N; }

  std::span<std::uint8_t, N> span() noexcept { return std::span<std::uint8_t, N>(bytes_); }
  std::span<const std::uint8_t, N> span() const noexcept { return std::span<const std::uint8_t, N>(bytes_); }
  // A dynamic span converts through the range constructor; the fixed one needs this.
  operator std::span<const std::uint8_t, N>() const noexcept { return span(); }

  void wipe() noexcept { secure_wipe(bytes_.data(), N); }

  // Constant time.
  friend bool operator==(const SecretArray& a, const SecretArray& b) noexcept {
    unsigned diff = 0;
    for (std::size_t i = 0; i < N; ++i) diff |= static_cast<unsigned>(a.bytes_[i] ^ b.bytes_[i]);
    return diff == 0;
  }

 private:
  std::array<std::uint8_t, N> bytes_;
};

}  // namespace qb

// An in-memory VaultClient for tests: entries found by exact title, match replies by URL, and
// tier-2 values opened with a fixed l2 in the real field format. Every call is recorded, and each
// operation can be made to fail.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "crypto/secret.h"
#include "vault/records.h"
#include "vault/vault_client.h"

namespace qb::test {

// The l2 the fake uses unless given another: bytes 0x00..0x0f.
SecretArray<16> fake_l2();

// standard base64 of nonce || ciphertext || tag under HKDF-SHA256(l2, no salt,
// "quorbelt-field-" || label) and AES-256-GCM: a tier-2 value as the vault stores it.
std::string seal_field_value(const SecretArray<16>& l2, std::string_view label, std::string_view plaintext);

// Shorthands for building records.
Field make_field(std::string label, std::string value, std::uint8_t tier = 1);
Entry make_entry(std::string title, std::vector<std::string> urls, std::vector<Field> fields);

class FakeVault : public VaultClient {
 public:
  explicit FakeVault(SecretArray<16> l2 = fake_l2());

  // search(title) answers a List of every added entry whose title (the entry's own, else its
  // data's) equals the query exactly, unless a reply was set for that query.
  void add_entry(Entry entry);
  void set_search_reply(std::string query, ProxyResult<SearchResponse> reply);
  // match_url(url) answers the entries set for that exact URL, else the default (empty) list.
  void set_match_reply(std::string url, ProxyResult<std::vector<Entry>> reply);
  void set_default_match_reply(ProxyResult<std::vector<Entry>> reply);
  // While set, the operation fails with this error (after being recorded).
  void fail_search(std::optional<ProxyError> e);
  void fail_match(std::optional<ProxyError> e);
  void fail_decrypt(std::optional<ProxyError> e);

  // A tier-2 value for this fake's l2.
  std::string seal(std::string_view label, std::string_view plaintext) const;

  // "search:{query}", "match:{url}", "decrypt:{label}", in call order.
  std::vector<std::string> calls() const;
  std::size_t search_calls() const;
  std::size_t match_calls() const;
  std::size_t decrypt_calls() const;
  void clear_calls();

  boost::asio::awaitable<ProxyResult<SearchResponse>> search(std::string query) override;
  boost::asio::awaitable<ProxyResult<std::vector<Entry>>> match_url(std::string url) override;
  boost::asio::awaitable<ProxyResult<SecretString>> decrypt(std::string label, std::string ciphertext) override;

  // The synchronous bodies of the three operations.
  ProxyResult<SearchResponse> search_now(const std::string& query);
  ProxyResult<std::vector<Entry>> match_now(const std::string& url);
  ProxyResult<SecretString> decrypt_now(const std::string& label, const std::string& ciphertext);

 private:
  const SecretArray<16> l2_;
  mutable std::mutex mu_;
  std::vector<Entry> entries_;
  std::map<std::string, ProxyResult<SearchResponse>> search_replies_;
  std::map<std::string, ProxyResult<std::vector<Entry>>> match_replies_;
  ProxyResult<std::vector<Entry>> default_match_ = std::vector<Entry>{};
  std::optional<ProxyError> search_failure_;
  std::optional<ProxyError> match_failure_;
  std::optional<ProxyError> decrypt_failure_;
  std::vector<std::string> calls_;
  std::size_t search_calls_ = 0;
  std::size_t match_calls_ = 0;
  std::size_t decrypt_calls_ = 0;
};

}  // namespace qb::test

#include "support/fake_vault.h"

#include <utility>

#include <fmt/format.h>

#include "core/bytes.h"
#include "core/text.h"
#include "crypto/codecs.h"
#include "crypto/primitives.h"

namespace qb::test {
namespace {

constexpr std::string_view kInfoPrefix = "quorbelt-field-";

SecretBytes field_key(const SecretArray<16>& l2, std::string_view label) {
  std::vector<std::uint8_t> info(kInfoPrefix.begin(), kInfoPrefix.end());
  info.insert(info.end(), label.begin(), label.end());
  return hkdf_sha256(std::span<const std::uint8_t>(l2.data(), l2.size()), std::nullopt, info, 32);
}

ProxyError decrypt_error(std::string_view label, const QuorbeltError& err) {
  return ProxyError{codes::QB_5036, fmt::format("decrypt {}: {}", label, err.debug())};
}

}  // namespace

SecretArray<16> fake_l2() {
  SecretArray<16> l2;
  for (std::size_t i = 0; i < l2.size(); ++i) l2[i] = static_cast<std::uint8_t>(i);
  return l2;
}

std::string seal_field_value(const SecretArray<16>& l2, std::string_view label, std::string_view plaintext) {
  const SecretBytes key = field_key(l2, label);
  auto sealed = aead_encrypt(key.span(), as_bytes(plaintext));
  if (!sealed) return {};  // only without randomness; the test then fails on the value
  return encode_base64(*sealed);
}

Field make_field(std::string label, std::string value, std::uint8_t tier) {
  Field f;
  f.label = std::move(label);
  f.value = std::move(value);
  f.tier = tier;
  return f;
}

Entry make_entry(std::string title, std::vector<std::string> urls, std::vector<Field> fields) {
  Entry e;
  e.entry_id = "id-" + title;
  e.title = title;
  EntryData d;
  d.title = std::move(title);
  d.urls = std::move(urls);
  d.fields = std::move(fields);
  e.data = std::move(d);
  return e;
}

FakeVault::FakeVault(SecretArray<16> l2) : l2_(l2) {}

void FakeVault::add_entry(Entry entry) {
  std::lock_guard lock(mu_);
  entries_.push_back(std::move(entry));
}

void FakeVault::set_search_reply(std::string query, ProxyResult<SearchResponse> reply) {
  std::lock_guard lock(mu_);
  search_replies_.insert_or_assign(std::move(query), std::move(reply));
}

void FakeVault::set_match_reply(std::string url, ProxyResult<std::vector<Entry>> reply) {
  std::lock_guard lock(mu_);
  match_replies_.insert_or_assign(std::move(url), std::move(reply));
}

void FakeVault::set_default_match_reply(ProxyResult<std::vector<Entry>> reply) {
  std::lock_guard lock(mu_);
  default_match_ = std::move(reply);
}

void FakeVault::fail_search(std::optional<ProxyError> e) {
  std::lock_guard lock(mu_);
  search_failure_ = std::move(e);
}

void FakeVault::fail_match(std::optional<ProxyError> e) {
  std::lock_guard lock(mu_);
  match_failure_ = std::move(e);
}

void FakeVault::fail_decrypt(std::optional<ProxyError> e) {
  std::lock_guard lock(mu_);
  decrypt_failure_ = std::move(e);
}

std::string FakeVault::seal(std::string_view label, std::string_view plaintext) const {
  return seal_field_value(l2_, label, plaintext);
}

std::vector<std::string> FakeVault::calls() const {
  std::lock_guard lock(mu_);
  return calls_;
}

std::size_t FakeVault::search_calls() const {
  std::lock_guard lock(mu_);
  return search_calls_;
}

std::size_t FakeVault::match_calls() const {
  std::lock_guard lock(mu_);
  return match_calls_;
}

std::size_t FakeVault::decrypt_calls() const {
  std::lock_guard lock(mu_);
  return decrypt_calls_;
}

void FakeVault::clear_calls() {
  std::lock_guard lock(mu_);
  calls_.clear();
  search_calls_ = match_calls_ = decrypt_calls_ = 0;
}

ProxyResult<SearchResponse> FakeVault::search_now(const std::string& query) {
  std::lock_guard lock(mu_);
  ++search_calls_;
  calls_.push_back("search:" + query);
  if (search_failure_) return *search_failure_;
  if (auto it = search_replies_.find(query); it != search_replies_.end()) return it->second;
  SearchResponse::List list;
  for (const Entry& e : entries_) {
    const std::optional<std::string>& title = e.title ? e.title : (e.data ? e.data->title : e.title);
    if (title && *title == query) list.entries.push_back(e);
  }
  return SearchResponse{std::move(list)};
}

ProxyResult<std::vector<Entry>> FakeVault::match_now(const std::string& url) {
  std::lock_guard lock(mu_);
  ++match_calls_;
  calls_.push_back("match:" + url);
  if (match_failure_) return *match_failure_;
  if (auto it = match_replies_.find(url); it != match_replies_.end()) return it->second;
  return default_match_;
}

ProxyResult<SecretString> FakeVault::decrypt_now(const std::string& label, const std::string& ciphertext) {
  {
    std::lock_guard lock(mu_);
    ++decrypt_calls_;
    calls_.push_back("decrypt:" + label);
    if (decrypt_failure_) return *decrypt_failure_;
  }
  auto sealed = decode_base64(ciphertext);
  if (!sealed) return decrypt_error(label, catalogue::QB_0002);
  const SecretBytes key = field_key(l2_, label);
  auto plain = aead_decrypt(key.span(), *sealed);
  if (!plain) return decrypt_error(label, plain.error());
  if (!check_utf8(plain->text())) return decrypt_error(label, catalogue::QB_0006);
  return SecretString(plain->text());
}

boost::asio::awaitable<ProxyResult<SearchResponse>> FakeVault::search(std::string query) {
  co_return search_now(query);
}

boost::asio::awaitable<ProxyResult<std::vector<Entry>>> FakeVault::match_url(std::string url) {
  co_return match_now(url);
}

boost::asio::awaitable<ProxyResult<SecretString>> FakeVault::decrypt(std::string label, std::string ciphertext) {
  co_return decrypt_now(label, ciphertext);
}

}  // namespace qb::test

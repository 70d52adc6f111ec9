#include "proxy/inject/references.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "core/text.h"
#include "crypto/secret.h"
#include "proxy/inject/binding.h"
#include "vault/vault_client.h"

namespace qb {
namespace {

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

ProxyError not_found(std::string_view title) {
  return ProxyError{codes::QB_5032, fmt::format("'{}' not found", title)};
}

ProxyError ambiguous(std::string_view title, std::size_t n) {
  return ProxyError{codes::QB_5033, fmt::format("'{}' matched {} entries; use an exact title", title, n)};
}

// The single entry of a search reply, or the refusal for its shape.
ProxyResult<Entry> single_entry(SearchResponse reply, std::string_view title) {
  if (auto* count = std::get_if<SearchResponse::Count>(&reply.shape)) {
    if (count->count == 0) return not_found(title);
    if (count->count == 1) {
      return ProxyError{codes::QB_5038,
                        fmt::format("the vault returned a count-only reply for '{}' with no entry; cannot verify the "
                                    "destination binding or decrypt. Retry, and report this if it persists",
                                    title)};
    }
    return ambiguous(title, count->count);
  }
  std::vector<Entry>& entries = std::holds_alternative<SearchResponse::List>(reply.shape)
                                    ? std::get<SearchResponse::List>(reply.shape).entries
                                    : std::get<SearchResponse::Wrapped>(reply.shape).entries;
  if (entries.empty()) return not_found(title);
  if (entries.size() > 1) return ambiguous(title, entries.size());
  return std::move(entries.front());
}

}  // namespace

std::optional<std::size_t> find_vault_ref(std::string_view text) {
  const std::size_t n = REF_SCHEME.size();
  if (text.size() < n) return std::nullopt;
  const std::size_t last = text.size() - n;  // the last index a reference can start at
  constexpr std::size_t none = std::string_view::npos;
  // Candidates are the 'q' and 'Q' bytes, each kind found by memchr once past the previous one: a
  // scan at memory speed over values that may fill a whole head.
  auto next = [&](char c, std::size_t from) -> std::size_t {
    if (from > last) return none;
    const void* p = std::memchr(text.data() + from, c, last - from + 1);
    return p ? static_cast<std::size_t>(static_cast<const char*>(p) - text.data()) : none;
  };
  std::size_t lower = next('q', 0);
  std::size_t upper = next('Q', 0);
  while (true) {
    const std::size_t i = std::min(lower, upper);
    if (i == none) return std::nullopt;
    std::size_t k = 1;
    while (k < n && fold(text[i + k]) == REF_SCHEME[k]) ++k;
    if (k == n) return i;
    if (i == lower)
      lower = next('q', i + 1);
    else
      upper = next('Q', i + 1);
  }
}

std::optional<VaultRef> parse_vault_ref(std::string_view text) {
  const std::size_t start = REF_SCHEME.size();
  if (text.size() < start) return std::nullopt;
  const std::size_t end = std::min(text.find_first_of(REF_TERMINATORS, start), text.size());
  const std::string_view body = text.substr(start, end - start);
  const std::size_t slash = body.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view title = body.substr(0, slash);
  const std::string_view field = body.substr(slash + 1);
  // "user@Title" names Title; a leading '@' belongs to the title itself.
  if (const std::size_t at = title.rfind('@'); at != std::string_view::npos && at > 0) title = title.substr(at + 1);
  if (title.empty() || field.empty()) return std::nullopt;
  return VaultRef{std::string(title), std::string(field), end};
}

boost::asio::awaitable<ProxyResult<SecretString>> resolve_vault_ref(VaultClient& vault, std::string upstream_host,
                                                                    VaultRef ref) {
  auto search = vault.search(ref.title);
  QB_CO_TRY(auto reply, co_await std::move(search));

  QB_CO_TRY(auto entry, single_entry(std::move(reply), ref.title));
  if (!entry_matches_host(entry, upstream_host)) {
    co_return ProxyError{
        codes::QB_5037,
        fmt::format("credential '{}' is not bound to destination '{}'; refusing to inject", ref.title, upstream_host)};
  }

  const Field* found = nullptr;
  if (entry.data) {
    for (const Field& f : entry.data->fields) {
      if (iequals_ascii(f.label, ref.field)) {
        found = &f;
        break;
      }
    }
  }
  if (!found) co_return ProxyError{codes::QB_5034, fmt::format("field '{}' not found in entry", ref.field)};

  auto task = resolve_field_value(vault, *found);
  co_return co_await std::move(task);
}

boost::asio::awaitable<ProxyResult<SecretString>> substitute_text(VaultClient& vault, std::string upstream_host,
                                                                  std::string text) {
  SecretString out;
  std::string_view rest = text;
  for (std::size_t count = 0; count < MAX_REFS_PER_TEXT;) {
    ++count;
    const std::optional<std::size_t> pos = find_vault_ref(rest);
    if (!pos) break;
    out.append(rest.substr(0, *pos));
    rest.remove_prefix(*pos);

    std::optional<VaultRef> ref = parse_vault_ref(rest);
    if (!ref) {
      out.append(rest);
      co_return std::move(out);
    }
    const std::size_t end = ref->end;
    auto task = resolve_vault_ref(vault, upstream_host, std::move(*ref));
    QB_CO_TRY(auto value, co_await std::move(task));
    out.append(value);
    rest.remove_prefix(end);
  }
  out.append(rest);
  co_return std::move(out);
}

}  // namespace qb

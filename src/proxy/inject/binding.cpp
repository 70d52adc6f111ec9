#include "proxy/inject/binding.h"

#include <utility>

#include <fmt/format.h>

#include "core/text.h"
#include "vault/vault_client.h"

namespace qb {
namespace {

void drop_one_trailing_dot(std::string& s) {
  if (!s.empty() && s.back() == '.') s.pop_back();
}

bool host_matches_pattern(std::string p, std::string h) {
  drop_one_trailing_dot(p);
  drop_one_trailing_dot(h);
  // A lone "." on either side would otherwise make two empty names equal.
  if (p.empty() || h.empty()) return false;
  std::string_view suffix;
  if (p.starts_with("*.")) {
    suffix = std::string_view(p).substr(2);
  } else if (p.starts_with('.')) {
    suffix = std::string_view(p).substr(1);
  } else {
    return h == p;
  }
  if (suffix.empty()) return false;
  if (h == suffix) return true;
  return h.size() > suffix.size() && h.ends_with(suffix) && h[h.size() - suffix.size() - 1] == '.';
}

}  // namespace

std::optional<std::string> url_host(std::string_view url) {
  std::string_view s = trim_ws(url);
  if (auto pos = s.find("://"); pos != std::string_view::npos) s = s.substr(pos + 3);
  s = s.substr(0, s.find_first_of("/?#"));
  if (auto at = s.rfind('@'); at != std::string_view::npos) s = s.substr(at + 1);
  if (s.empty()) return std::nullopt;
  std::string_view host;
  if (s.front() == '[') {
    host = s.substr(1);
    host = host.substr(0, host.find(']'));
  } else {
    host = s.substr(0, s.find(':'));
  }
  if (host.empty()) return std::nullopt;
  return ascii_lower(host);
}

bool entry_matches_host(const Entry& entry, std::string_view host) {
  std::string_view trimmed = host;
  while (!trimmed.empty() && (trimmed.front() == '[' || trimmed.front() == ']')) trimmed.remove_prefix(1);
  while (!trimmed.empty() && (trimmed.back() == '[' || trimmed.back() == ']')) trimmed.remove_suffix(1);
  const std::string h = ascii_lower(trimmed);
  if (h.empty() || !entry.data) return false;
  for (const std::string& url : entry.data->urls) {
    std::optional<std::string> p = url_host(url);
    if (!p) continue;
    if (host_matches_pattern(std::move(*p), h)) return true;
  }
  return false;
}

boost::asio::awaitable<ProxyResult<SecretString>> resolve_field_value(VaultClient& vault, Field field) {
  switch (field.tier) {
    case 1:
      co_return std::move(field.value);
    case 2: {
      // The ciphertext is no secret; a plain copy goes to the vault client.
      auto task = vault.decrypt(std::move(field.label), std::string(field.value.view()));
      co_return co_await std::move(task);
    }
    case 3:
      co_return ProxyError{codes::QB_5035, fmt::format("field '{}' is tier-3 (hardware key only)", field.label)};
    default:
      co_return ProxyError{codes::QB_5035, fmt::format("field '{}' has unsupported tier {} \u2014 refuse to inject",
                                                       field.label, static_cast<unsigned>(field.tier))};
  }
}

}  // namespace qb

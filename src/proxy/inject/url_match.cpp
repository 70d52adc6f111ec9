#include "proxy/inject/url_match.h"

#include <map>
#include <optional>
#include <utility>

#include "core/text.h"
#include "crypto/codecs.h"
#include "crypto/secret.h"
#include "proxy/inject/binding.h"
#include "vault/vault_client.h"

namespace qb {
namespace {

enum class Shape { Bearer, ApiKey, Basic };

}  // namespace

ProxyResult<void> set_header_value(std::vector<HeadField>& headers, std::string_view name, std::string_view text) {
  if (!is_valid_header_value(text)) {
    return ProxyError{codes::QB_5053, "bad header value: failed to parse header value"};
  }
  // One pass: the first field of the name takes the value, later ones are wiped and dropped.
  bool placed = false;
  std::size_t out = 0;
  for (std::size_t i = 0; i < headers.size(); ++i) {
    HeadField& f = headers[i];
    if (iequals_ascii(f.name, name)) {
      // The old value may be a credential the agent sent; it goes wiped either way.
      f.secret = true;
      f.release();
      if (placed) continue;
      f.name = std::string(name);
      f.value.assign(text);  // no temporary copy of the credential
      placed = true;
    }
    if (out != i) headers[out] = std::move(f);
    ++out;
  }
  headers.resize(out);
  if (!placed) {
    HeadField field{std::string(name), {}, true};
    field.value.assign(text);
    headers.push_back(std::move(field));
  }
  return {};
}

boost::asio::awaitable<ProxyResult<void>> inject_by_url_match(VaultClient& vault, std::string lookup_url,
                                                              std::vector<HeadField>& headers) {
  auto match = vault.match_url(lookup_url);
  QB_CO_TRY(auto entries, co_await std::move(match));
  if (entries.empty()) co_return ProxyResult<void>{};
  if (entries.size() > 1) {
    co_return ProxyError{codes::QB_5051, "ambiguous match; use quorbelt:// to disambiguate"};
  }
  const Entry& entry = entries.front();

  const std::optional<std::string> host = url_host(lookup_url);
  if (!host) co_return ProxyError{codes::QB_5054, "upstream URL has no host to bind to"};
  if (!entry_matches_host(entry, *host)) {
    co_return ProxyError{codes::QB_5054,
                         "matched entry does not list the upstream host in its urls \u2014 refusing to inject"};
  }

  // A later field replaces an earlier one with the same lower-cased label.
  std::map<std::string, const Field*> by_label;
  if (entry.data) {
    for (const Field& f : entry.data->fields) by_label.insert_or_assign(ascii_lower(f.label), &f);
  }
  auto lookup = [&](std::string_view label) -> const Field* {
    auto it = by_label.find(std::string(label));
    return it == by_label.end() ? nullptr : it->second;
  };

  std::optional<Shape> shape;
  const Field* first = nullptr;
  const Field* second = nullptr;
  for (std::string_view label : BEARER_FIELD_LABELS) {
    if ((first = lookup(label))) {
      shape = Shape::Bearer;
      break;
    }
  }
  if (!shape) {
    for (std::string_view label : API_KEY_FIELD_LABELS) {
      if ((first = lookup(label))) {
        shape = Shape::ApiKey;
        break;
      }
    }
  }
  if (!shape) {
    first = lookup("username");
    second = lookup("password");
    if (first && second) shape = Shape::Basic;
  }
  if (!shape) co_return ProxyError{codes::QB_5052, "no recognised field shape for URL-match injection"};

  auto first_task = resolve_field_value(vault, *first);
  QB_CO_TRY(const SecretString a, co_await std::move(first_task));

  SecretString composed;
  std::string_view name = "authorization";
  switch (*shape) {
    case Shape::Bearer:
      composed.reserve(7 + a.size());
      composed.append("Bearer ").append(a);
      break;
    case Shape::ApiKey:
      name = "x-api-key";
      composed = a;
      break;
    case Shape::Basic: {
      auto second_task = resolve_field_value(vault, *second);
      QB_CO_TRY(const SecretString b, co_await std::move(second_task));
      SecretString pair;
      pair.reserve(a.size() + 1 + b.size());
      pair.append(a).append(":").append(b);
      const SecretString encoded = encode_base64(pair.view());
      composed.reserve(6 + encoded.size());
      composed.append("Basic ").append(encoded);
      break;
    }
  }
  co_return set_header_value(headers, name, composed);
}

}  // namespace qb

#include "proxy/inject/inject.h"

#include <map>
#include <utility>

#include <fmt/format.h>

#include "core/text.h"
#include "crypto/secret.h"
#include "proxy/http/authority.h"
#include "proxy/inject/references.h"
#include "proxy/inject/url_match.h"
#include "vault/vault_client.h"

namespace qb {
namespace {

InjectOutcome host_refusal(std::string_view request_host, std::string_view connect_authority) {
  InjectOutcome out;
  out.status = 502;
  out.error_text = fmt::format("{}: request Host does not match CONNECT target", codes::QB_5070);
  out.log_line = fmt::format("{}: request Host {} does not match CONNECT target {}\n", codes::QB_5070,
                             sanitize_for_log(request_host), sanitize_for_log(connect_authority));
  return out;
}

InjectOutcome injection_refusal(const ProxyError& e, std::string_view log_url) {
  InjectOutcome out;
  out.status = 502;
  out.error_text = sanitize_for_log(e.display());
  out.log_line = fmt::format("{}: injection failed for {}\n", out.error_text, log_url);
  return out;
}

ProxyError leftover_error() {
  return ProxyError{codes::QB_5030, "an unresolvable quorbelt:// reference remained; refusing to forward it upstream"};
}

// One header name as the request first spells it, and where its fields are.
struct NameGroup {
  std::string name;
  std::vector<std::size_t> fields;
};

// The distinct names in first-seen order, built in one pass (a set of names, not a scan of every
// earlier name for each field).
std::vector<NameGroup> group_by_name(const std::vector<HeadField>& headers) {
  std::vector<NameGroup> groups;
  std::map<std::string_view, std::size_t, HeaderNameLess> index;
  for (std::size_t i = 0; i < headers.size(); ++i) {
    auto [it, added] = index.try_emplace(headers[i].name, groups.size());
    if (added) groups.push_back(NameGroup{headers[i].name, {}});
    groups[it->second].fields.push_back(i);
  }
  return groups;
}

}  // namespace

std::optional<InjectOutcome> check_request_host(const RequestHead& head, std::string_view connect_authority) {
  const HeadField* host_header = nullptr;
  for (const HeadField& f : head.headers) {
    if (!iequals_ascii(f.name, "host")) continue;
    if (host_header) return host_refusal(split_authority(host_header->value).host, connect_authority);
    host_header = &f;
  }

  std::string request_host;
  if (host_header) {
    if (host_header->value.empty() || !is_visible_text(host_header->value)) {
      return host_refusal(host_header->value, connect_authority);
    }
    request_host = split_authority(host_header->value).host;
    if (request_host.empty()) return host_refusal(request_host, connect_authority);
  } else if (head.target_authority) {
    request_host = split_authority(*head.target_authority).host;
    if (request_host.empty()) return std::nullopt;
  } else {
    return std::nullopt;
  }

  if (!iequals_ascii(request_host, split_authority(connect_authority).host)) {
    return host_refusal(request_host, connect_authority);
  }
  return std::nullopt;
}

bool request_has_vault_ref(const RequestHead& head) {
  for (const HeadField& f : head.headers) {
    if (has_vault_ref(f.value)) return true;
  }
  return has_vault_ref(head.path_and_query);
}

boost::asio::awaitable<ProxyResult<void>> inject_references(VaultClient& vault, std::string upstream_host,
                                                            RequestHead& head) {
  std::vector<NameGroup> groups = group_by_name(head.headers);
  // The names rewritten, in order, each with its substituted values.
  std::vector<std::size_t> rewritten;
  std::vector<std::vector<SecretString>> replaced;

  for (std::size_t g = 0; g < groups.size(); ++g) {
    // Most names carry no reference at all: those are passed over without copying their values.
    bool raw_ref = false;
    for (std::size_t i : groups[g].fields) raw_ref = raw_ref || has_vault_ref(head.headers[i].value);
    if (!raw_ref) continue;
    std::vector<std::string> values;
    for (std::size_t i : groups[g].fields)
      if (is_visible_text(head.headers[i].value)) values.push_back(head.headers[i].value);
    bool any_ref = false;
    for (const std::string& v : values) any_ref = any_ref || has_vault_ref(v);
    if (!any_ref) continue;

    std::vector<SecretString> results;
    results.reserve(values.size());
    for (std::string& v : values) {
      auto task = substitute_text(vault, upstream_host, std::move(v));
      QB_CO_TRY(auto r, co_await std::move(task));
      results.push_back(std::move(r));
    }
    for (const SecretString& r : results) {
      if (!is_valid_header_value(r)) {
        co_return ProxyError{codes::QB_5036, "injected value not a valid header: failed to parse header value"};
      }
    }
    rewritten.push_back(g);
    replaced.push_back(std::move(results));
  }

  // Every value of a rewritten name goes (its non-text values too); the results follow the other
  // fields, name after name, as if each name had been removed and appended in turn.
  if (!rewritten.empty()) {
    std::vector<bool> drop(head.headers.size(), false);
    for (std::size_t g : rewritten)
      for (std::size_t i : groups[g].fields) drop[i] = true;
    std::vector<HeadField> kept;
    kept.reserve(head.headers.size());
    for (std::size_t i = 0; i < head.headers.size(); ++i)
      if (!drop[i]) kept.push_back(std::move(head.headers[i]));
    for (std::size_t k = 0; k < rewritten.size(); ++k) {
      for (const SecretString& r : replaced[k]) {
        HeadField field{groups[rewritten[k]].name, {}, true};
        field.value.assign(r.view());
        kept.push_back(std::move(field));
      }
    }
    head.headers = std::move(kept);
  }

  if (request_has_vault_ref(head)) co_return leftover_error();
  co_return ProxyResult<void>{};
}

boost::asio::awaitable<InjectOutcome> prepare_request(VaultClient& vault, std::string connect_authority,
                                                      std::string lookup_url, std::string log_url, RequestHead& head) {
  if (auto refused = check_request_host(head, connect_authority)) co_return std::move(*refused);

  ProxyResult<void> injected;
  if (request_has_vault_ref(head)) {
    auto task = inject_references(vault, split_authority(connect_authority).host, head);
    injected = co_await std::move(task);
  } else {
    auto task = inject_by_url_match(vault, std::move(lookup_url), head.headers);
    injected = co_await std::move(task);
  }
  if (!injected) co_return injection_refusal(injected.error(), log_url);

  InjectOutcome out;
  out.forward = true;
  co_return out;
}

}  // namespace qb

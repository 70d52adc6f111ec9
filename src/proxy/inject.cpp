#include "proxy/inject.h"

#include <utility>

#include <fmt/format.h>

#include "core/text.h"
#include "crypto/secret.h"
#include "proxy/connect_front.h"
#include "proxy/references.h"
#include "proxy/url_match.h"
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

// The values of one header name that are visible text, in order.
std::vector<std::string> text_values(const std::vector<HeadField>& headers, std::string_view name) {
  std::vector<std::string> out;
  for (const HeadField& f : headers) {
    if (iequals_ascii(f.name, name) && is_visible_text(f.value)) out.push_back(f.value);
  }
  return out;
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
  std::vector<std::string> names;
  for (const HeadField& f : head.headers) {
    bool seen = false;
    for (const std::string& n : names) seen = seen || iequals_ascii(n, f.name);
    if (!seen) names.push_back(f.name);
  }

  for (const std::string& name : names) {
    std::vector<std::string> values = text_values(head.headers, name);
    bool any_ref = false;
    for (const std::string& v : values) any_ref = any_ref || has_vault_ref(v);
    if (!any_ref) continue;

    std::vector<std::string> results;
    results.reserve(values.size());
    for (std::string& v : values) {
      auto task = substitute_text(vault, upstream_host, std::move(v));
      auto r = co_await std::move(task);
      if (!r) {
        for (std::string& done : results) secure_wipe(done);
        co_return r.error();
      }
      results.push_back(std::move(*r));
    }
    for (std::string& r : results) {
      if (!is_valid_header_value(r)) {
        for (std::string& done : results) secure_wipe(done);
        co_return ProxyError{codes::QB_5036, "injected value not a valid header: failed to parse header value"};
      }
    }

    std::erase_if(head.headers, [&](const HeadField& f) { return iequals_ascii(f.name, name); });
    for (std::string& r : results) head.headers.push_back(HeadField{name, std::move(r)});
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

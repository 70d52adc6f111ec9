// Header substitution and the leftover check over a whole request head: nothing unresolved goes
// on, and no value the substitution produces can split a head.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"
#include "fuzz_check.h"
#include "proxy/http/authority.h"
#include "proxy/http/http_types.h"
#include "proxy/http/request_head.h"
#include "proxy/inject/inject.h"
#include "proxy/inject/references.h"
#include "support/fake_vault.h"

namespace {

using qb::fuzz::lower_ascii;

qb::test::FakeVault& vault() {
  static qb::test::FakeVault* v = [] {
    auto* fv = new qb::test::FakeVault();
    fv->add_entry(qb::test::make_entry(
        "A", {"https://api.example.com"},
        {qb::test::make_field("key", "s3cret"), qb::test::make_field("half", "quorbelt:"),
         qb::test::make_field("crlf", "x\r\nEvil: 1"), qb::test::make_field("nul", std::string("a\0b", 3)),
         qb::test::make_field("del", "a\x7f"), qb::test::make_field("high", "caf\xc3\xa9"),
         qb::test::make_field("sealed", fv->seal("sealed", "op\nened"), 2)}));
    return fv;
  }();
  return *v;
}

bool naive_ref(std::string_view s) { return lower_ascii(s).find("quorbelt://") != std::string::npos; }

// Input lines: the path and query, then "name:value" headers (values may hold any byte but LF).
qb::RequestHead head_from(std::string_view text) {
  qb::RequestHead head;
  head.method = "GET";
  std::size_t eol = text.find('\n');
  head.path_and_query = std::string(text.substr(0, eol));
  while (eol != std::string_view::npos) {
    text.remove_prefix(eol + 1);
    eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (colon == 0) {  // ":authority" stands for an absolute-form target's authority
      head.target_authority = std::string(line.substr(1));
      continue;
    }
    head.headers.push_back({std::string(line.substr(0, colon)), std::string(line.substr(colon + 1))});
  }
  return head;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  qb::RequestHead head = head_from(qb::fuzz::as_text(data, size));

  // A request that passes the Host check names the CONNECT host, or no host at all.
  if (!qb::check_request_host(head, "api.example.com:8443")) {
    std::vector<std::string_view> hosts;
    for (const auto& h : head.headers) {
      if (qb::iequals_ascii(h.name, "host")) hosts.push_back(h.value);
    }
    QB_FUZZ_CHECK(hosts.size() <= 1);
    if (hosts.size() == 1) {
      QB_FUZZ_CHECK(qb::is_visible_text(hosts[0]));
      QB_FUZZ_CHECK(qb::iequals_ascii(qb::split_authority(hosts[0]).host, "api.example.com"));
    } else if (head.target_authority) {
      std::string h = qb::split_authority(*head.target_authority).host;
      QB_FUZZ_CHECK(h.empty() || qb::iequals_ascii(h, "api.example.com"));
    }
  }

  bool any = naive_ref(head.path_and_query);
  for (const auto& h : head.headers) any |= naive_ref(h.value);
  QB_FUZZ_CHECK(qb::request_has_vault_ref(head) == any);

  const qb::RequestHead before = head;
  std::multiset<std::string> old_values;
  for (const auto& h : before.headers) old_values.insert(h.value);

  auto r = qb::fuzz::run_task(qb::inject_references(vault(), "api.example.com", head));
  if (naive_ref(before.path_and_query)) QB_FUZZ_CHECK(!r);
  if (!r) {
    static const std::set<std::string_view> codes = {"QB-5030", "QB-5032", "QB-5033", "QB-5034",
                                                     "QB-5035", "QB-5036", "QB-5037", "QB-5038"};
    QB_FUZZ_CHECK(codes.count(r.error().code) == 1);
    return 0;
  }
  QB_FUZZ_CHECK(!qb::request_has_vault_ref(head));
  QB_FUZZ_CHECK(head.path_and_query == before.path_and_query);
  for (const auto& h : head.headers) {
    QB_FUZZ_CHECK(!naive_ref(h.value));
    auto it = old_values.find(h.value);
    if (it != old_values.end()) {
      old_values.erase(it);
      continue;
    }
    // A value the substitution wrote.
    QB_FUZZ_CHECK(!qb::fuzz::holds_crlf_nul(h.value));
    QB_FUZZ_CHECK(qb::is_valid_header_value(h.value));
  }
  // Names are never rewritten or invented.
  std::set<std::string> names_before, names_after;
  for (const auto& h : before.headers) names_before.insert(h.name);
  for (const auto& h : head.headers) names_after.insert(h.name);
  for (const auto& n : names_after) QB_FUZZ_CHECK(names_before.count(n) == 1);
  return 0;
}

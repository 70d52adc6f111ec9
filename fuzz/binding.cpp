// url_host and entry_matches_host: a direct reading of their rules, and the binding facts that
// follow from them (case, one trailing dot, wildcards never matching a bare neighbour).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/text.h"
#include "fuzz_check.h"
#include "proxy/inject/binding.h"
#include "support/fake_vault.h"

namespace {

using qb::fuzz::lower_ascii;

std::optional<std::string> model_url_host(std::string_view t) {
  t = qb::trim_ws(t);
  if (std::size_t p = t.find("://"); p != t.npos) t = t.substr(p + 3);
  t = t.substr(0, t.find_first_of("/?#"));
  if (std::size_t at = t.rfind('@'); at != t.npos) t = t.substr(at + 1);
  if (t.empty()) return std::nullopt;
  std::string_view host;
  if (t[0] == '[') {
    host = t.substr(1, t.find(']') == t.npos ? t.npos : t.find(']') - 1);
  } else {
    host = t.substr(0, t.find(':'));
  }
  if (host.empty()) return std::nullopt;
  return lower_ascii(host);
}

bool model_matches(const std::string& url, std::string_view host) {
  std::size_t b = host.find_first_not_of("[]");
  if (b == host.npos) return false;
  std::string h = lower_ascii(host.substr(b, host.find_last_not_of("[]") - b + 1));
  auto p = model_url_host(url);
  if (!p) return false;
  std::string ps = *p;
  if (ps.ends_with('.')) ps.pop_back();
  if (h.ends_with('.')) h.pop_back();
  if (h.empty()) return false;
  std::optional<std::string> suffix;
  if (ps.starts_with("*."))
    suffix = ps.substr(2);
  else if (ps.starts_with('.'))
    suffix = ps.substr(1);
  if (suffix) return !suffix->empty() && (h == *suffix || h.ends_with("." + *suffix));
  return h == ps;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The URL, then a NUL, then the host.
  std::string_view text = qb::fuzz::as_text(data, size);
  std::size_t nul = text.find('\0');
  std::string url(text.substr(0, nul));
  std::string host(nul == text.npos ? std::string_view() : text.substr(nul + 1));

  auto got = qb::url_host(url);
  QB_FUZZ_CHECK(got == model_url_host(url));
  if (got) {
    QB_FUZZ_CHECK(!got->empty());
    QB_FUZZ_CHECK(lower_ascii(*got) == *got);
  }

  qb::Entry entry = qb::test::make_entry("T", {url}, {});
  bool m = qb::entry_matches_host(entry, host);
  QB_FUZZ_CHECK(m == model_matches(url, host));
  // ASCII case of the host never matters.
  std::string upper = host;
  for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  QB_FUZZ_CHECK(qb::entry_matches_host(entry, upper) == m);
  // An entry without data, or with no URLs, is bound to nothing.
  qb::Entry bare;
  QB_FUZZ_CHECK(!qb::entry_matches_host(bare, host));
  QB_FUZZ_CHECK(!qb::entry_matches_host(qb::test::make_entry("T", {}, {}), host));
  // An exact pattern matches its own host; a host never matches with a different last label.
  if (got && got->find_first_of("[]") == std::string::npos && !got->starts_with('.') && !got->starts_with("*.") &&
      *got != ".") {
    QB_FUZZ_CHECK(qb::entry_matches_host(entry, *got));
    QB_FUZZ_CHECK(!qb::entry_matches_host(entry, *got + "x.evil"));
  }
  return 0;
}

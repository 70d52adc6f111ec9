// The request-target parser: what it accepts is made of URI characters only, loses nothing but
// the fragment, and parses back to itself.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "proxy/http/http_types.h"

namespace {

// No space, control, DEL, non-ASCII or angle bracket can survive the parser.
bool uri_chars_only(std::string_view s) {
  for (unsigned char c : s) {
    if (c <= 0x20 || c >= 0x7f || c == '<' || c == '>' || c == '#') return false;
  }
  return true;
}

std::string rebuild(const qb::RequestTarget& t) {
  switch (t.form) {
    case qb::TargetForm::Origin:
      return t.path_and_query;
    case qb::TargetForm::Absolute:
      return t.scheme + "://" + t.authority + t.path_and_query;
    case qb::TargetForm::Authority:
      return t.authority;
    case qb::TargetForm::Asterisk:
      return "*";
  }
  return {};
}

bool same(const qb::RequestTarget& a, const qb::RequestTarget& b) {
  return a.form == b.form && a.scheme == b.scheme && a.authority == b.authority && a.path_and_query == b.path_and_query;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = qb::fuzz::as_text(data, size);
  auto parsed = qb::parse_request_target(text);
  if (!parsed) return 0;
  const qb::RequestTarget& t = *parsed;
  std::string_view no_fragment = text.substr(0, text.find('#'));

  QB_FUZZ_CHECK(uri_chars_only(t.scheme));
  QB_FUZZ_CHECK(uri_chars_only(t.authority));
  QB_FUZZ_CHECK(uri_chars_only(t.path_and_query));
  QB_FUZZ_CHECK(qb::fuzz::lower_ascii(t.scheme) == t.scheme);

  std::string_view path = t.path();
  QB_FUZZ_CHECK(t.path_and_query.starts_with(path));
  QB_FUZZ_CHECK(path.find('?') == std::string_view::npos);
  QB_FUZZ_CHECK(path.size() == t.path_and_query.size() || t.path_and_query[path.size()] == '?');

  switch (t.form) {
    case qb::TargetForm::Origin:
      QB_FUZZ_CHECK(t.path_and_query == no_fragment);
      QB_FUZZ_CHECK(t.path_and_query.starts_with('/'));
      QB_FUZZ_CHECK(t.scheme.empty() && t.authority.empty());
      break;
    case qb::TargetForm::Absolute:
      QB_FUZZ_CHECK(!t.scheme.empty());
      QB_FUZZ_CHECK(t.authority.find_first_of("/?") == std::string::npos);
      QB_FUZZ_CHECK(t.path_and_query.empty() || t.path_and_query[0] == '/' || t.path_and_query[0] == '?');
      QB_FUZZ_CHECK(qb::fuzz::lower_ascii(rebuild(t)) == qb::fuzz::lower_ascii(no_fragment));
      QB_FUZZ_CHECK(rebuild(t).substr(t.scheme.size()) == no_fragment.substr(t.scheme.size()));
      break;
    case qb::TargetForm::Authority:
      QB_FUZZ_CHECK(t.authority == no_fragment);
      QB_FUZZ_CHECK(t.authority.find_first_of("/?@") == std::string::npos);
      QB_FUZZ_CHECK(t.path_and_query.empty());
      break;
    case qb::TargetForm::Asterisk:
      QB_FUZZ_CHECK(no_fragment == "*");
      QB_FUZZ_CHECK(t.path_and_query.empty());
      break;
  }

  // The forwarded URL is built from these parts: it must not split a head.
  QB_FUZZ_CHECK(!qb::fuzz::holds_crlf_nul("https://" + t.authority + t.path_and_query));

  auto again = qb::parse_request_target(rebuild(t));
  QB_FUZZ_CHECK(again);
  QB_FUZZ_CHECK(same(*again, t));
  return 0;
}

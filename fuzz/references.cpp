// The reference grammar: substitute_text on the in-memory vault against a plain model of its
// rules, and the leftover scan over what it returns.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"
#include "fuzz_check.h"
#include "proxy/inject/references.h"
#include "support/fake_vault.h"

namespace {

using qb::fuzz::lower_ascii;

constexpr std::string_view kHost = "api.example.com";

// Values chosen so that a substitution can build "quorbelt://" out of a value and the text after
// it, or out of two values side by side.
struct ModelField {
  std::string label;
  std::string value;  // the injected text
  std::uint8_t tier;
};
struct ModelEntry {
  std::vector<std::string> urls;
  std::vector<ModelField> fields;
};

const std::multimap<std::string, ModelEntry>& model_entries() {
  static const auto* m = new std::multimap<std::string, ModelEntry>{
      {"A",
       {{"https://api.example.com/v1"},
        {{"key", "s3cret", 1}, {"K2", "quorbelt:", 1}, {"path/x", "//A/key", 1}, {"sealed", "opened", 2}}}},
      {"B", {{"*.example.com"}, {{"key", "QUORBELT", 1}, {"hw", "x", 3}, {"odd", "y", 7}}}},
      {"Evil", {{"https://evil.example"}, {{"key", "evil-secret", 1}}}},
      {"Dup", {{"https://api.example.com"}, {{"key", "d1", 1}}}},
      {"Dup", {{"https://api.example.com"}, {{"key", "d2", 1}}}},
  };
  return *m;
}

qb::test::FakeVault& vault() {
  static qb::test::FakeVault* v = [] {
    auto* fv = new qb::test::FakeVault();
    for (const auto& [title, e] : model_entries()) {
      std::vector<qb::Field> fields;
      for (const auto& f : e.fields) {
        fields.push_back(qb::test::make_field(f.label, f.tier == 2 ? fv->seal(f.label, f.value) : f.value, f.tier));
      }
      fv->add_entry(qb::test::make_entry(title, e.urls, std::move(fields)));
    }
    return fv;
  }();
  return *v;
}

std::optional<std::size_t> model_find(std::string_view text) {
  std::size_t p = lower_ascii(text).find("quorbelt://");
  if (p == std::string::npos) return std::nullopt;
  return p;
}

struct ModelRef {
  std::string title, field;
  std::size_t end;
};

std::optional<ModelRef> model_parse(std::string_view rest) {
  std::size_t end = rest.find_first_of(std::string_view(" \t\r\n,;"), 11);
  if (end == rest.npos) end = rest.size();
  std::string_view body = rest.substr(11, end - 11);
  std::size_t slash = body.find('/');
  if (slash == body.npos) return std::nullopt;
  std::string_view title = body.substr(0, slash);
  std::string_view field = body.substr(slash + 1);
  std::size_t at = title.rfind('@');
  if (at != title.npos && at != 0) title = title.substr(at + 1);
  if (title.empty() || field.empty()) return std::nullopt;
  return ModelRef{std::string(title), std::string(field), end};
}

bool model_bound(const ModelEntry& e) {
  for (const auto& u : e.urls) {
    if (u.find("api.example.com") != std::string::npos) return true;
    if (u == "*.example.com") return true;
  }
  return false;
}

// Ok: the value; else the error code.
struct Outcome {
  bool ok;
  std::string text;  // value or code
};

Outcome model_resolve(const ModelRef& r) {
  auto [lo, hi] = model_entries().equal_range(r.title);
  std::size_t n = static_cast<std::size_t>(std::distance(lo, hi));
  if (n == 0) return {false, "QB-5032"};
  if (n > 1) return {false, "QB-5033"};
  const ModelEntry& e = lo->second;
  if (!model_bound(e)) return {false, "QB-5037"};
  for (const auto& f : e.fields) {
    if (qb::iequals_ascii(f.label, r.field)) {
      if (f.tier == 1 || f.tier == 2) return {true, f.value};
      return {false, "QB-5035"};
    }
  }
  return {false, "QB-5034"};
}

Outcome model_substitute(std::string_view text) {
  std::string out;
  std::string_view rest = text;
  for (std::size_t count = 0; count < qb::MAX_REFS_PER_TEXT; ++count) {
    auto pos = model_find(rest);
    if (!pos) break;
    out.append(rest.substr(0, *pos));
    rest.remove_prefix(*pos);
    auto ref = model_parse(rest);
    if (!ref) {
      out.append(rest);
      return {true, out};
    }
    Outcome v = model_resolve(*ref);
    if (!v.ok) return v;
    out.append(v.text);
    rest.remove_prefix(ref->end);
  }
  out.append(rest);
  return {true, out};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  std::string_view text = qb::fuzz::as_text(data, size);

  QB_FUZZ_CHECK(qb::find_vault_ref(text) == model_find(text));
  if (auto p = qb::find_vault_ref(text)) {
    auto ref = qb::parse_vault_ref(text.substr(*p));
    auto model = model_parse(text.substr(*p));
    QB_FUZZ_CHECK(ref.has_value() == model.has_value());
    if (ref) {
      QB_FUZZ_CHECK(ref->title == model->title && ref->field == model->field && ref->end == model->end);
    }
  }

  auto got = qb::fuzz::run_task(qb::substitute_text(vault(), std::string(kHost), std::string(text)));
  Outcome want = model_substitute(text);
  QB_FUZZ_CHECK(bool(got) == want.ok);
  if (!got) {
    QB_FUZZ_CHECK(got.error().code == want.text);
    return 0;
  }
  QB_FUZZ_CHECK(*got == want.text);
  // The leftover check sees every reference the result still holds, however it was formed.
  QB_FUZZ_CHECK(qb::has_vault_ref(*got) == model_find(*got).has_value());
  // A credential bound elsewhere never comes out.
  if (text.find("evil-secret") == std::string_view::npos) {
    QB_FUZZ_CHECK(got->view().find("evil-secret") == std::string_view::npos);
  }
  return 0;
}

#include "proxy/inject/inject.h"

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "core/text.h"
#include "crypto/codecs.h"
#include "proxy/inject/binding.h"
#include "proxy/inject/references.h"
#include "proxy/inject/request_service.h"
#include "proxy/inject/url_match.h"
#include "support/fake_vault.h"
#include "support/stderr_capture.h"

namespace qb {
namespace {

namespace asio = boost::asio;
using test::FakeVault;
using test::make_entry;
using test::make_field;

template <class T>
T run(asio::awaitable<T> task) {
  asio::io_context io;
  std::optional<T> out;
  std::exception_ptr failure;
  asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T v) {
    failure = e;
    if (!e) out.emplace(std::move(v));
  });
  io.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*out);
}

template <class T>
std::string error_text(const ProxyResult<T>& r) {
  return r ? std::string("<ok>") : r.error().display();
}

// ---------------------------------------------------------------- binding and tiers

TEST(Binding, UrlHost) {
  struct Case {
    const char* url;
    std::optional<std::string> host;
  };
  const Case cases[] = {
      {" https://User:pw@API.Example.COM:8443/p?q=1#frag ", "api.example.com"},
      {"[2001:DB8::1]:443", "2001:db8::1"},
      {"https://[::1", "::1"},
      {"[]", std::nullopt},
      {"https://:443/", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"example.com/path", "example.com"},
      {"https://a@b@Host.example/x", "host.example"},
      {"host?x=https://other.com/", "other.com"},  // the first "://" counts, wherever it is
      {"HOST#frag", "host"},
      {"https://user@/x", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(url_host(c.url), c.host) << c.url;
}

TEST(Binding, EntryMatchesHost) {
  struct Case {
    const char* pattern;
    const char* host;
    bool bound;
  };
  const Case cases[] = {
      {"*.example.com", "example.com", true},
      {"*.example.com", "a.example.com", true},
      {"*.example.com", "a.b.example.com", true},
      {"*.example.com", "badexample.com", false},
      {"*.example.com", "example.org", false},
      {".example.com", "example.com", true},
      {".example.com", "A.Example.Com", true},
      {".example.com", "badexample.com", false},
      {"*.", "example.com", false},
      {".", "example.com", false},
      {".", ".", false},
      {"*.", ".", false},
      {"example.com.", "example.com", true},
      {"example.com", "EXAMPLE.COM.", true},
      {"example.com..", "example.com", false},
      {"http://example.com", "example.com", true},
      {"https://api.example.com/v1", "example.com", false},
      {"https://example.com:8443/", "example.com", true},
      {"https://[2001:db8::1]:8443/", "[2001:DB8::1]", true},
      {"https://[2001:db8::1]:8443/", "2001:db8::1", true},
      {"*.example.com", "", false},
      {"*.example.com", "[]", false},
      {"https://:443/", "", false},
  };
  for (const Case& c : cases) {
    const Entry e = make_entry("T", {c.pattern}, {});
    EXPECT_EQ(entry_matches_host(e, c.host), c.bound) << c.pattern << " vs " << c.host;
  }
}

TEST(Binding, LaterUrlCanBindAndEntriesWithoutUrlsBindNothing) {
  EXPECT_TRUE(entry_matches_host(make_entry("T", {"", "[]", "other.com", "*.example.com"}, {}), "x.example.com"));
  EXPECT_FALSE(entry_matches_host(make_entry("T", {}, {}), "example.com"));
  Entry no_data;
  no_data.entry_id = "x";
  EXPECT_FALSE(entry_matches_host(no_data, "example.com"));
}

TEST(Binding, FieldTiers) {
  FakeVault vault;
  struct Case {
    Field field;
    std::optional<std::string> value;
    std::string error;
  };
  const Case cases[] = {
      {make_field("k", "plain"), "plain", ""},
      {make_field("k", vault.seal("k", "opened"), 2), "opened", ""},
      {make_field("k", "x", 3), std::nullopt, "QB-5035: field 'k' is tier-3 (hardware key only)"},
      {make_field("k", "x", 0), std::nullopt, "QB-5035: field 'k' has unsupported tier 0 \u2014 refuse to inject"},
      {make_field("k", "x", 255), std::nullopt, "QB-5035: field 'k' has unsupported tier 255 \u2014 refuse to inject"},
  };
  for (const Case& c : cases) {
    auto r = run(resolve_field_value(vault, c.field));
    if (c.value) {
      ASSERT_TRUE(r) << error_text(r);
      EXPECT_EQ(*r, *c.value);
    } else {
      EXPECT_EQ(error_text(r), c.error);
    }
  }
  // Only tier 2 reaches the vault.
  EXPECT_EQ(vault.calls(), std::vector<std::string>{"decrypt:k"});
}

TEST(Binding, TierTwoFailureKeepsTheVaultError) {
  FakeVault vault;
  auto r = run(resolve_field_value(vault, make_field("Key", vault.seal("key", "x"), 2)));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, codes::QB_5036);
  EXPECT_TRUE(r.error().detail.starts_with("decrypt Key: QuorbeltError { code: \"QB-0003\"")) << r.error().detail;
}

// ---------------------------------------------------------------- reference grammar

TEST(Reference, FindsTheSchemeIgnoringAsciiCase) {
  EXPECT_EQ(find_vault_ref("quorbelt://"), 0u);
  EXPECT_EQ(find_vault_ref("Bearer QuorBelt://A/k"), 7u);
  EXPECT_EQ(find_vault_ref("xxQUORBELT://"), 2u);
  EXPECT_EQ(find_vault_ref("quorbelt:/A/k"), std::nullopt);
  EXPECT_EQ(find_vault_ref("quorbelt:"), std::nullopt);
  EXPECT_EQ(find_vault_ref(""), std::nullopt);
  // Candidates of either case before the real one, and one at the last possible position.
  EXPECT_EQ(find_vault_ref("qQ qQuorbelt:/ Quorbelt://"), 15u);
  EXPECT_EQ(find_vault_ref("QqquorBELT://"), 2u);
  EXPECT_EQ(find_vault_ref("Q xquorbelt://"), 3u);
  EXPECT_EQ(find_vault_ref("qqqqqqqquorbelt:/"), std::nullopt);
}

// A vault with the entries the grammar cases name, all bound to api.example.com.
class ReferenceFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<std::string> urls{"https://api.example.com"};
    vault.add_entry(make_entry("Billing", urls, {make_field("api_key", "SECRET"), make_field("a/b", "AB")}));
    vault.add_entry(make_entry("@Billing", urls, {make_field("api_key", "AT")}));
    vault.add_entry(make_entry("A", urls, {make_field("k", "va")}));
    vault.add_entry(make_entry("B", urls, {make_field("k", "vb")}));
  }
  ProxyResult<SecretString> substitute(std::string text) {
    return run(substitute_text(vault, "api.example.com", std::move(text)));
  }
  std::string repeat_ref(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? " " : "") + std::string("quorbelt://A/k");
    return s;
  }
  FakeVault vault;
};

TEST_F(ReferenceFixture, Grammar) {
  struct Case {
    std::string in;
    std::string out;
    std::vector<std::string> searches;
  };
  std::string sixteen;
  for (int i = 0; i < 16; ++i) sixteen += "va ";
  const Case cases[] = {
      {"Bearer quorbelt://Billing/api_key", "Bearer SECRET", {"search:Billing"}},
      {"Bearer QUORBELT://Billing/api_key", "Bearer SECRET", {"search:Billing"}},
      {"quorbelt://ops@Billing/api_key", "SECRET", {"search:Billing"}},
      {"quorbelt://@Billing/api_key", "AT", {"search:@Billing"}},
      {"quorbelt://a@b@Billing/api_key", "SECRET", {"search:Billing"}},
      {"quorbelt://Billing/a/b", "AB", {"search:Billing"}},
      {"quorbelt://A/K", "va", {"search:A"}},
      {"x=quorbelt://A/k;y=quorbelt://B/k", "x=va;y=vb", {"search:A", "search:B"}},
      {"quorbelt://A/k tail", "va tail", {"search:A"}},
      {"quorbelt://A/k\ttail", "va\ttail", {"search:A"}},
      {"quorbelt://A/k\rtail", "va\rtail", {"search:A"}},
      {"quorbelt://A/k\ntail", "va\ntail", {"search:A"}},
      {"quorbelt://A/k,quorbelt://B/k", "va,vb", {"search:A", "search:B"}},
      {"quorbelt://A/k;", "va;", {"search:A"}},
      {"no reference", "no reference", {}},
      // Malformed: it and everything after it stay, later references included.
      {"quorbelt://Billing", "quorbelt://Billing", {}},
      {"quorbelt:///key", "quorbelt:///key", {}},
      {"quorbelt://Billing/", "quorbelt://Billing/", {}},
      {"quorbelt://ops@/key", "quorbelt://ops@/key", {}},
      {"quorbelt://", "quorbelt://", {}},
      {"quorbelt://A/k quorbelt://Billing quorbelt://B/k", "va quorbelt://Billing quorbelt://B/k", {"search:A"}},
      {repeat_ref(16), sixteen.substr(0, sixteen.size() - 1), std::vector<std::string>(16, "search:A")},
      {repeat_ref(17), sixteen + "quorbelt://A/k", std::vector<std::string>(16, "search:A")},
  };
  for (const Case& c : cases) {
    vault.clear_calls();
    auto r = substitute(c.in);
    ASSERT_TRUE(r) << c.in << ": " << error_text(r);
    EXPECT_EQ(*r, c.out) << c.in;
    EXPECT_EQ(vault.calls(), c.searches) << c.in;
  }
}

TEST_F(ReferenceFixture, ResolvedValuesAreNotScannedAgain) {
  vault.add_entry(make_entry("Loop", {"api.example.com"}, {make_field("k", "quorbelt://A/k")}));
  auto r = substitute("quorbelt://Loop/k");
  ASSERT_TRUE(r) << error_text(r);
  EXPECT_EQ(*r, "quorbelt://A/k");
  EXPECT_EQ(vault.search_calls(), 1u);
}

TEST_F(ReferenceFixture, Refusals) {
  SearchResponse::Count count3;
  count3.count = 3;
  SearchResponse::Count count1;
  count1.count = 1;
  vault.set_search_reply("C0", SearchResponse{SearchResponse::Count{}});
  vault.set_search_reply("C1", SearchResponse{count1});
  vault.set_search_reply("C3", SearchResponse{count3});
  vault.set_search_reply("W0", SearchResponse{SearchResponse::Wrapped{}});
  vault.add_entry(make_entry("Twice", {"api.example.com"}, {make_field("k", "1")}));
  vault.add_entry(make_entry("Twice", {"api.example.com"}, {make_field("k", "2")}));
  vault.add_entry(make_entry("Other", {"https://other.com/", "*.example.org"}, {make_field("k", "x")}));
  vault.add_entry(make_entry("Hw", {"api.example.com"}, {make_field("k", "x", 3)}));
  Entry bare;
  bare.entry_id = "bare";
  bare.title = "Bare";
  vault.add_entry(bare);

  struct Case {
    const char* in;
    const char* error;
  };
  const Case cases[] = {
      {"quorbelt://Nope/k", "QB-5032: 'Nope' not found"},
      {"quorbelt://C0/k", "QB-5032: 'C0' not found"},
      {"quorbelt://W0/k", "QB-5032: 'W0' not found"},
      {"quorbelt://C1/k",
       "QB-5038: the vault returned a count-only reply for 'C1' with no entry; cannot verify the destination binding "
       "or decrypt. Retry, and report this if it persists"},
      {"quorbelt://C3/k", "QB-5033: 'C3' matched 3 entries; use an exact title"},
      {"quorbelt://Twice/k", "QB-5033: 'Twice' matched 2 entries; use an exact title"},
      {"quorbelt://Other/k",
       "QB-5037: credential 'Other' is not bound to destination 'api.example.com'; refusing to inject"},
      {"quorbelt://Bare/k",
       "QB-5037: credential 'Bare' is not bound to destination 'api.example.com'; refusing to inject"},
      {"quorbelt://A/nope", "QB-5034: field 'nope' not found in entry"},
      {"quorbelt://Hw/k", "QB-5035: field 'k' is tier-3 (hardware key only)"},
      // The first failure ends the value: B is never looked up.
      {"quorbelt://Nope/k quorbelt://B/k", "QB-5032: 'Nope' not found"},
  };
  for (const Case& c : cases) {
    auto r = substitute(c.in);
    EXPECT_EQ(error_text(r), c.error) << c.in;
  }
  EXPECT_EQ(vault.calls().back(), "search:Nope");
}

TEST_F(ReferenceFixture, WrappedReplyAndFirstFieldIgnoringCase) {
  Entry e = make_entry("Dup", {"*.example.com"}, {make_field("API_KEY", "first"), make_field("api_key", "second")});
  SearchResponse::Wrapped w;
  w.entries.push_back(e);
  vault.set_search_reply("Dup", SearchResponse{w});
  auto r = substitute("quorbelt://Dup/Api_Key");
  ASSERT_TRUE(r) << error_text(r);
  EXPECT_EQ(*r, "first");
}

TEST_F(ReferenceFixture, VaultFailuresPassThrough) {
  vault.fail_search(ProxyError{codes::QB_5050, "gate down"});
  EXPECT_EQ(error_text(substitute("quorbelt://A/k")), "QB-5050: gate down");
  vault.fail_search(std::nullopt);
  vault.add_entry(make_entry("Enc", {"api.example.com"}, {make_field("k", vault.seal("k", "v"), 2)}));
  vault.fail_decrypt(ProxyError{codes::QB_5036, "decrypt k: boom"});
  EXPECT_EQ(error_text(substitute("quorbelt://Enc/k")), "QB-5036: decrypt k: boom");
}

// ---------------------------------------------------------------- URL-match injection

struct UrlMatchCase {
  const char* name;
  std::vector<Field> fields;
  const char* header;  // nullptr: refused
  std::string value;   // the header value, or the error's display text
};

class UrlMatchFixture : public ::testing::Test {
 protected:
  static constexpr const char* kUrl = "https://api.example.com/v1/x";
  ProxyResult<void> inject(std::vector<Field> fields, std::vector<HeadField>& headers) {
    vault.set_match_reply(kUrl, std::vector<Entry>{make_entry("M", {"api.example.com"}, std::move(fields))});
    return run(inject_by_url_match(vault, kUrl, headers));
  }
  FakeVault vault;
};

TEST_F(UrlMatchFixture, ShapeChoice) {
  const std::string basic = "Basic " + encode_base64(std::string_view("u:p"));
  const UrlMatchCase cases[] = {
      {"bearer order", {make_field("Token", "t"), make_field("API_KEY", "a")}, "authorization", "Bearer a"},
      {"bearer before api key", {make_field("x-api-key", "x"), make_field("secret", "s")}, "authorization", "Bearer s"},
      {"api key", {make_field("x-api-key", "x"), make_field("password", "p")}, "x-api-key", "x"},
      {"api-key",
       {make_field("API-Key", "y"), make_field("username", "u"), make_field("password", "p")},
       "x-api-key",
       "y"},
      {"basic", {make_field("username", "u"), make_field("Password", "p")}, "authorization", basic},
      {"later field wins", {make_field("token", "t1"), make_field("TOKEN", "t2")}, "authorization", "Bearer t2"},
      {"every bearer label", {make_field("access_token", "7"), make_field("bearer", "6")}, "authorization", "Bearer 6"},
      {"lone username",
       {make_field("username", "u")},
       nullptr,
       "QB-5052: no recognised field shape for URL-match injection"},
      {"no fields", {}, nullptr, "QB-5052: no recognised field shape for URL-match injection"},
      {"tier 3 bearer is not skipped",
       {make_field("key", "k", 3), make_field("x-api-key", "x")},
       nullptr,
       "QB-5035: field 'key' is tier-3 (hardware key only)"},
      {"line feed", {make_field("token", "a\nb")}, nullptr, "QB-5053: bad header value: failed to parse header value"},
      {"DEL", {make_field("x-api-key", "a\x7f")}, nullptr, "QB-5053: bad header value: failed to parse header value"},
      {"high bytes and tab pass", {make_field("x-api-key", "\xc3\xa9\tz")}, "x-api-key", "\xc3\xa9\tz"},
  };
  for (const UrlMatchCase& c : cases) {
    std::vector<HeadField> headers{{"Accept", "*/*"}};
    auto r = inject(c.fields, headers);
    if (c.header) {
      ASSERT_TRUE(r) << c.name << ": " << error_text(r);
      ASSERT_EQ(headers.size(), 2u) << c.name;
      EXPECT_EQ(headers[1].name, c.header) << c.name;
      EXPECT_EQ(headers[1].value, c.value) << c.name;
    } else {
      EXPECT_EQ(error_text(r), c.value) << c.name;
      EXPECT_EQ(headers.size(), 1u) << c.name;
    }
  }
}

TEST_F(UrlMatchFixture, TierTwoFieldsAreDecryptedUserNameFirst) {
  std::vector<HeadField> headers;
  auto r = inject({make_field("password", vault.seal("password", "pw"), 2),
                   make_field("username", vault.seal("username", "me"), 2)},
                  headers);
  ASSERT_TRUE(r) << error_text(r);
  ASSERT_EQ(headers.size(), 1u);
  EXPECT_EQ(headers[0].value, "Basic " + encode_base64(std::string_view("me:pw")));
  EXPECT_EQ(vault.calls(),
            (std::vector<std::string>{"match:" + std::string(kUrl), "decrypt:username", "decrypt:password"}));
}

TEST_F(UrlMatchFixture, ReplacesEveryValueTheAgentSent) {
  std::vector<HeadField> headers{{"Authorization", "Bearer mine"}, {"Accept", "*/*"}, {"AUTHORIZATION", "again"}};
  auto r = inject({make_field("token", "t")}, headers);
  ASSERT_TRUE(r) << error_text(r);
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers[0].name, "authorization");
  EXPECT_EQ(headers[0].value, "Bearer t");
  EXPECT_EQ(headers[1].name, "Accept");
}

TEST_F(UrlMatchFixture, InjectedFieldWipesItsValueWhenReleased) {
  std::vector<HeadField> headers{{"Authorization", "Bearer mine"}, {"Accept", "*/*"}};
  auto r = inject({make_field("token", "t")}, headers);
  ASSERT_TRUE(r) << error_text(r);
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_TRUE(headers[0].secret);
  EXPECT_FALSE(headers[1].secret);

  // A short value moves by copy out of the inline buffer; the field left behind is wiped.
  HeadField& source = headers[0];
  const char* left = source.value.data();
  const HeadField moved = std::move(source);
  EXPECT_EQ(moved.value, "Bearer t");
  EXPECT_TRUE(moved.secret);
  source.release();
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(left[i], 0) << i;
  // The flag is bookkeeping: equality is name and value.
  EXPECT_EQ(moved, (HeadField{"authorization", "Bearer t"}));
}

TEST_F(UrlMatchFixture, MatchCountsAndBinding) {
  std::vector<HeadField> headers{{"Authorization", "Bearer mine"}};
  const std::vector<HeadField> sent = headers;

  auto none = run(inject_by_url_match(vault, kUrl, headers));
  EXPECT_TRUE(none) << error_text(none);

  const Entry e = make_entry("M", {"api.example.com"}, {make_field("token", "t")});
  vault.set_match_reply(kUrl, std::vector<Entry>{e, e});
  EXPECT_EQ(error_text(run(inject_by_url_match(vault, kUrl, headers))),
            "QB-5051: ambiguous match; use quorbelt:// to disambiguate");

  vault.set_match_reply(kUrl, std::vector<Entry>{make_entry("M", {"*.example.org"}, {make_field("token", "t")})});
  EXPECT_EQ(error_text(run(inject_by_url_match(vault, kUrl, headers))),
            "QB-5054: matched entry does not list the upstream host in its urls \u2014 refusing to inject");

  vault.set_default_match_reply(std::vector<Entry>{e});
  EXPECT_EQ(error_text(run(inject_by_url_match(vault, "https:///x", headers))),
            "QB-5054: upstream URL has no host to bind to");

  vault.fail_match(ProxyError{codes::QB_5050, "match shape: x"});
  EXPECT_EQ(error_text(run(inject_by_url_match(vault, kUrl, headers))), "QB-5050: match shape: x");

  EXPECT_EQ(headers, sent);
}

// ---------------------------------------------------------------- the whole request

class InjectFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<std::string> urls{"https://api.example.com"};
    vault.add_entry(make_entry("Billing", urls, {make_field("api_key", "SECRET")}));
    vault.add_entry(make_entry("A", urls, {make_field("k", "va")}));
    vault.add_entry(make_entry("Enc", urls, {make_field("k", vault.seal("k", "opened"), 2)}));
    vault.add_entry(make_entry("Nl", urls, {make_field("k", "a\r\nX-Evil: 1")}));
  }
  InjectOutcome prepare(RequestHead& head, std::string authority = "api.example.com") {
    const std::string path(std::string_view(head.path_and_query).substr(0, head.path_and_query.find('?')));
    std::string lookup = "https://" + authority + (path.empty() ? "/" : path);
    std::string log = lookup;
    return run(prepare_request(vault, std::move(authority), std::move(lookup), std::move(log), head));
  }
  static RequestHead head(std::vector<HeadField> headers, std::string path = "/v1/x") {
    RequestHead h;
    h.method = "GET";
    h.path_and_query = std::move(path);
    h.headers = std::move(headers);
    return h;
  }
  FakeVault vault;
};

TEST_F(InjectFixture, HostCheck) {
  struct Case {
    const char* name;
    std::vector<HeadField> headers;
    std::optional<std::string> absolute;
    const char* authority;
    std::optional<std::string> refused_host;  // the host in the log line when refused
  };
  const Case cases[] = {
      {"case and port ignored", {{"Host", "API.example.com:8443"}}, std::nullopt, "api.example.com", std::nullopt},
      {"other name", {{"Host", "evil.com"}}, std::nullopt, "api.example.com", "evil.com"},
      {"prefix only", {{"host", "api.example"}}, std::nullopt, "api.example.com", "api.example"},
      {"no host at all", {}, std::nullopt, "api.example.com", std::nullopt},
      {"absolute target", {}, "EVIL.com:443", "api.example.com", "EVIL.com"},
      {"absolute target agrees", {}, "api.example.com", "api.example.com:8443", std::nullopt},
      {"ipv6", {{"Host", "[::1]:8443"}}, std::nullopt, "[::1]:8443", std::nullopt},
      {"ipv6 other", {{"Host", "[::2]"}}, std::nullopt, "[::1]:8443", "::2"},
      {"Host wins over the target", {{"Host", "api.example.com"}}, "evil.com", "api.example.com", std::nullopt},
      {"two Host headers",
       {{"Host", "api.example.com"}, {"Host", "evil.com"}},
       std::nullopt,
       "api.example.com",
       "api.example.com"},
      {"empty Host", {{"Host", ""}}, std::nullopt, "api.example.com", ""},
      {"Host without a host part", {{"Host", ":443"}}, std::nullopt, "api.example.com", ""},
      {"Host not visible text",
       {{"Host", "api.example.com\xc3\xa9"}},
       std::nullopt,
       "api.example.com",
       "api.example.com\xc3\xa9"},
  };
  for (const Case& c : cases) {
    RequestHead h = head(c.headers);
    h.target_authority = c.absolute;
    vault.clear_calls();
    const InjectOutcome out = prepare(h, c.authority);
    if (!c.refused_host) {
      EXPECT_TRUE(out.forward) << c.name << ": " << out.error_text;
      EXPECT_EQ(out.log_line, "") << c.name;
      continue;
    }
    EXPECT_FALSE(out.forward) << c.name;
    EXPECT_EQ(out.status, 502u) << c.name;
    EXPECT_EQ(out.error_text, "QB-5070: request Host does not match CONNECT target") << c.name;
    EXPECT_EQ(out.log_line, "QB-5070: request Host " + sanitize_for_log(*c.refused_host) +
                                " does not match CONNECT target " + c.authority + "\n")
        << c.name;
    EXPECT_TRUE(vault.calls().empty()) << c.name;
  }
}

// The service takes a target's host as the URI's host: user information is no part of it, and an
// authority-form target (a CONNECT inside the tunnel) is checked like an absolute one.
TEST(RequestServiceHost, TargetHostIsTheUrisHost) {
  struct Case {
    const char* method;
    const char* target;
    const char* upstream_url;  // nullptr: refused, with the host in the log line
    const char* logged_host = "";
  };
  const Case cases[] = {
      {"GET", "https://user@API.example.com:8443/x?q", "https://api.example.com/x?q"},
      {"GET", "https://a@b:pw@api.example.com/", "https://api.example.com/"},
      {"GET", "https://api.example.com@evil.com/x", nullptr, "evil.com"},
      {"GET", "https://user:pw@evil.com/x", nullptr, "evil.com"},
      {"CONNECT", "other.example:443", nullptr, "other.example"},
      {"CONNECT", "API.example.com:8443", "https://api.example.com/"},
      {"GET", "/x", "https://api.example.com/x"},  // no Host header and no authority: no check
  };
  auto vault = std::make_shared<FakeVault>();
  VaultRequestService service(vault);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    IncomingRequest req;
    req.method = c.method;
    req.target = c.target;
    auto parsed = parse_request_target(c.target);
    ASSERT_TRUE(parsed);
    req.parsed = *parsed;
    test::StderrCapture log;
    ServiceDecision d = run(service.decide(req, "api.example.com"));
    log.restore();
    const std::string logged = log.text();

    if (c.upstream_url) {
      auto* f = std::get_if<ForwardRequest>(&d);
      ASSERT_NE(f, nullptr) << std::get<ProxyResponse>(d).static_body;
      EXPECT_EQ(f->upstream_url, c.upstream_url);
      EXPECT_EQ(logged, "");
      continue;
    }
    auto* r = std::get_if<ProxyResponse>(&d);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->status, 502u);
    EXPECT_EQ(r->static_body, "QB-5070: request Host does not match CONNECT target\n");
    EXPECT_EQ(logged,
              fmt::format("QB-5070: request Host {} does not match CONNECT target api.example.com\n", c.logged_host));
  }
}

TEST_F(InjectFixture, HeaderReferenceIsReplacedAndNoUrlMatchIsMade) {
  RequestHead h = head({{"Host", "api.example.com"}, {"Authorization", "Bearer quorbelt://Billing/api_key"}});
  const InjectOutcome out = prepare(h);
  ASSERT_TRUE(out.forward) << out.error_text;
  EXPECT_EQ(out.log_line, "");
  EXPECT_EQ(h.headers, (std::vector<HeadField>{{"Host", "api.example.com"}, {"Authorization", "Bearer SECRET"}}));
  EXPECT_EQ(vault.calls(), std::vector<std::string>{"search:Billing"});
}

TEST_F(InjectFixture, MultiValueHeaderIsRewrittenInOrderWithoutItsNonTextValues) {
  RequestHead h = head({{"X-K", "one"},
                        {"Accept", "*/*"},
                        {"x-k", "quorbelt://A/k"},
                        {"X-K", "bin\xff quorbelt://A/k"},
                        {"X-K", "three"}});
  const InjectOutcome out = prepare(h);
  ASSERT_TRUE(out.forward) << out.error_text;
  EXPECT_EQ(h.headers, (std::vector<HeadField>{{"Accept", "*/*"}, {"X-K", "one"}, {"X-K", "va"}, {"X-K", "three"}}));
}

TEST_F(InjectFixture, RewrittenNamesFollowTheOthersInFirstSeenOrder) {
  RequestHead h = head({{"X-A", "quorbelt://A/k"},
                        {"Keep", "1"},
                        {"x-b", "quorbelt://A/k"},
                        {"x-a", "plain"},
                        {"Other", "2"},
                        {"X-B", "quorbelt://A/k"}});
  const InjectOutcome out = prepare(h);
  ASSERT_TRUE(out.forward) << out.error_text;
  EXPECT_EQ(h.headers,
            (std::vector<HeadField>{
                {"Keep", "1"}, {"Other", "2"}, {"X-A", "va"}, {"X-A", "plain"}, {"x-b", "va"}, {"x-b", "va"}}));
}

TEST_F(InjectFixture, CallOrderAcrossHeadersAndTiers) {
  RequestHead h = head({{"X-B", "quorbelt://Enc/k"}, {"X-A", "quorbelt://A/k, quorbelt://Billing/api_key"}});
  const InjectOutcome out = prepare(h);
  ASSERT_TRUE(out.forward) << out.error_text;
  EXPECT_EQ(vault.calls(), (std::vector<std::string>{"search:Enc", "decrypt:k", "search:A", "search:Billing"}));
  EXPECT_EQ(h.headers, (std::vector<HeadField>{{"X-B", "opened"}, {"X-A", "va, SECRET"}}));
}

TEST_F(InjectFixture, Refusals) {
  const std::string leftover =
      "QB-5030: an unresolvable quorbelt:// reference remained; refusing to forward it upstream";
  struct Case {
    const char* name;
    std::vector<HeadField> headers;
    std::string path;
    std::string error;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"query reference after header references",
       {{"Authorization", "Bearer quorbelt://Billing/api_key"}},
       "/v1/x?key=quorbelt://A/k",
       leftover,
       {"search:Billing"}},
      {"query reference alone", {}, "/v1/x?key=QUORBELT://A/k", leftover, {}},
      {"path reference", {}, "/quorbelt://A/k", leftover, {}},
      {"malformed reference", {{"X-K", "quorbelt://Billing"}}, "/", leftover, {}},
      {"seventeen references", {{"X-K", ""}}, "/", leftover, std::vector<std::string>(16, "search:A")},
      {"reference only in a non-text value", {{"X-K", "\x80quorbelt://A/k"}}, "/", leftover, {}},
      {"injected line break",
       {{"X-K", "quorbelt://Nl/k"}},
       "/",
       "QB-5036: injected value not a valid header: failed to parse header value",
       {"search:Nl"}},
      {"unknown title", {{"X-K", "quorbelt://Nope/k"}}, "/", "QB-5032: 'Nope' not found", {"search:Nope"}},
  };
  for (Case c : cases) {
    if (std::string_view(c.name) == "seventeen references") {
      for (int i = 0; i < 17; ++i) c.headers[0].value += "quorbelt://A/k ";
    }
    RequestHead h = head(c.headers, c.path);
    vault.clear_calls();
    const InjectOutcome out = prepare(h);
    EXPECT_FALSE(out.forward) << c.name;
    EXPECT_EQ(out.status, 502u) << c.name;
    EXPECT_EQ(out.error_text, c.error) << c.name;
    const std::string path(std::string_view(c.path).substr(0, c.path.find('?')));
    EXPECT_EQ(out.log_line, c.error + ": injection failed for https://api.example.com" + path + "\n") << c.name;
    EXPECT_EQ(vault.calls(), c.calls) << c.name;
  }
}

TEST_F(InjectFixture, NonTextValueIsDroppedWhenATextValueOfItsNameIsReplaced) {
  RequestHead h = head({{"X-K", "\x80quorbelt://A/k"}, {"X-K", "quorbelt://A/k"}});
  const InjectOutcome out = prepare(h);
  ASSERT_TRUE(out.forward) << out.error_text;
  EXPECT_EQ(h.headers, (std::vector<HeadField>{{"X-K", "va"}}));
}

TEST_F(InjectFixture, WithoutReferencesTheUrlWithoutQueryIsMatched) {
  RequestHead h = head({{"Accept", "*/*"}}, "/v1/x?page=2");
  InjectOutcome out = prepare(h);
  ASSERT_TRUE(out.forward) << out.error_text;
  EXPECT_EQ(h.headers, (std::vector<HeadField>{{"Accept", "*/*"}}));
  EXPECT_EQ(vault.calls(), std::vector<std::string>{"match:https://api.example.com/v1/x"});

  vault.set_match_reply("https://api.example.com:8443/",
                        std::vector<Entry>{make_entry("M", {"api.example.com"}, {make_field("x-api-key", "k")})});
  RequestHead root = head({}, "");
  out = prepare(root, "api.example.com:8443");
  ASSERT_TRUE(out.forward) << out.error_text;
  EXPECT_EQ(root.headers, (std::vector<HeadField>{{"x-api-key", "k"}}));
}

TEST_F(InjectFixture, UrlMatchRefusalIsLogged) {
  const Entry e = make_entry("M", {"api.example.com"}, {make_field("token", "t")});
  vault.set_default_match_reply(std::vector<Entry>{e, e});
  RequestHead h = head({});
  const InjectOutcome out = prepare(h);
  EXPECT_FALSE(out.forward);
  EXPECT_EQ(out.error_text, "QB-5051: ambiguous match; use quorbelt:// to disambiguate");
  EXPECT_EQ(out.log_line,
            "QB-5051: ambiguous match; use quorbelt:// to disambiguate: injection failed for "
            "https://api.example.com/v1/x\n");
}

}  // namespace
}  // namespace qb

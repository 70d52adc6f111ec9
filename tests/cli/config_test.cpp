#include "cli/config.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/text.h"
#include "crypto/primitives.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Config sample() {
  return Config{"https://pop.example",
                std::string(2498, 'a'),
                "",
                "",
                "0100000000000001",
                "00112233445566778899aabbccddeeff",
                "ffeeddccbbaa99887766554433221100",
                "0123456789abcdef0123456789abcdef"};
}

std::string as_text(const SecretBytes& b) { return std::string(b.text()); }

// A container around any JSON text, built independently of seal_config.
Bytes seal_text(std::string_view json) {
  const SecretArray<16> key = derive_config_key();
  auto sealed = aead_encrypt(key.span(), ByteView(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
  EXPECT_TRUE(sealed);
  const SecretArray<16> mac_key = derive_config_mac_key();
  const HmacTag tag = hmac_sha256(mac_key.span(), *sealed);
  const std::string_view magic = "QRB1";
  Bytes out(magic.begin(), magic.end());
  out.reserve(20 + sealed->size());
  out.insert(out.end(), tag.begin(), tag.begin() + 16);
  out.insert(out.end(), sealed->begin(), sealed->end());
  return out;
}

void put(const fs::path& p, const Bytes& bytes, unsigned mode = 0600) {
  test::write_file(p, std::string(bytes.begin(), bytes.end()), mode);
}

std::string json_of(const Config& c) {
  auto j = encode_config_json(c);
  EXPECT_TRUE(j);
  return j ? as_text(*j) : std::string();
}

TEST(ConfigJson, WritesCompactInMemberOrderLeavingOutEmptyReplica) {
  Config c = sample();
  c.vault_gate_pub = "ab";
  EXPECT_EQ(json_of(c), R"({"vault_url":"https://pop.example","vault_gate_pub":"ab","vault_id":"0100000000000001",)"
                        R"("agent_id":"00112233445566778899aabbccddeeff","l2":"ffeeddccbbaa99887766554433221100",)"
                        R"("device_id":"0123456789abcdef0123456789abcdef"})");
  c.replica_url = "https://r\"\\\n\x01/";
  c.replica_gate_pub = "cd";
  const std::string j = json_of(c);
  EXPECT_NE(j.find(R"("vault_gate_pub":"ab","replica_url":"https://r\"\\\n\u0001/","replica_gate_pub":"cd",)"),
            std::string::npos)
      << j;
  auto back = parse_config_json(j);
  ASSERT_TRUE(back) << back.error().display();
  EXPECT_EQ(back->replica_url, c.replica_url);
}

TEST(ConfigJson, RefusesToEncodeInvalidUtf8) {
  Config c = sample();
  c.l2 = "\xff";
  auto j = encode_config_json(c);
  ASSERT_FALSE(j);
  EXPECT_EQ(j.error().err.code, "QB-2002");
  EXPECT_TRUE(j.error().detail.starts_with("encoding config JSON: ")) << j.error().detail;
}

TEST(ConfigJson, OptionalMembersDefaultToEmptyAndArrayFormIsAccepted) {
  auto c = parse_config_json(R"({"device_id":"d","l2":"l","agent_id":"a","vault_id":"v","vault_url":"u"})");
  ASSERT_TRUE(c) << c.error().display();
  EXPECT_EQ(c->vault_url, "u");
  EXPECT_EQ(c->vault_gate_pub, "");
  EXPECT_EQ(c->replica_url, "");
  EXPECT_EQ(c->device_id, "d");

  auto a = parse_config_json(" [\"u\",\"g\",\"ru\",\"rg\",\"v\",\"a\",\"l\",\"d\"] \n");
  ASSERT_TRUE(a) << a.error().display();
  EXPECT_EQ(a->replica_gate_pub, "rg");
  EXPECT_EQ(a->l2, "l");

  auto escaped =
      parse_config_json(R"({"vault\u005furl":"\u0075","vault_id":"v","agent_id":"a","l2":"l","device_id":"d"})");
  ASSERT_TRUE(escaped) << escaped.error().display();
  EXPECT_EQ(escaped->vault_url, "u");
}

struct JsonCase {
  const char* json;
  const char* error;
};

TEST(ConfigJson, RefusalsInSerdeWording) {
  const std::string all =
      "`vault_url`, `vault_gate_pub`, `replica_url`, `replica_gate_pub`, `vault_id`, `agent_id`, `l2`, `device_id`";
  const std::string unknown = "unknown field `x`, expected one of " + all;
  const JsonCase cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"x", "expected value at line 1 column 1"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {R"("s")", R"(invalid type: string "s", expected struct Config at line 1 column 3)"},
      {"5", "invalid type: integer `5`, expected struct Config at line 1 column 1"},
      {"null", "invalid type: null, expected struct Config at line 1 column 4"},
      {"{}", "missing field `vault_url` at line 1 column 2"},
      {R"({"vault_url":"u"})", "missing field `vault_id` at line 1 column 17"},
      {R"({"vault_url":"u","vault_id":"v","agent_id":"a","l2":"l"})", "missing field `device_id` at line 1 column 56"},
      {R"({"vault_url":"a","vault_url":"b"})", "duplicate field `vault_url` at line 1 column 28"},
      {R"({"vault_url":5})", "invalid type: integer `5`, expected a string at line 1 column 14"},
      {R"({"vault_url":-1.5})", "invalid type: floating point `-1.5`, expected a string at line 1 column 17"},
      {R"({"vault_url":true})", "invalid type: boolean `true`, expected a string at line 1 column 17"},
      {R"({"vault_url":null})", "invalid type: null, expected a string at line 1 column 17"},
      {R"({"vault_url":["a"]})", "invalid type: sequence, expected a string at line 1 column 13"},
      {R"({"vault_url":{}})", "invalid type: map, expected a string at line 1 column 13"},
      {R"({"vault_url":"u",})", "trailing comma at line 1 column 18"},
      {R"({"vault_url" "u"})", "expected `:` at line 1 column 14"},
      {R"({"vault_url":"u" "x"})", "expected `,` or `}` at line 1 column 18"},
      {R"({"vault_url":"u)", "EOF while parsing a string at line 1 column 15"},
      {R"({"vault_url":"\q"})", "invalid escape at line 1 column 16"},
      {R"({"vault_url":tru})", "expected ident at line 1 column 17"},
      {R"({"vault_url":01})", "invalid number at line 1 column 15"},
      {R"(["u"])", "invalid length 4, expected struct Config with 8 elements at line 1 column 5"},
      {R"(["u",1])", "invalid type: integer `1`, expected a string at line 1 column 6"},
      {R"(["u","g","r","rg","v","a","l","d","extra"])", "trailing characters at line 1 column 35"},
      {R"(["u",])", "trailing comma at line 1 column 6"},
      {"[]x", "invalid length 0, expected struct Config with 8 elements at line 1 column 2"},
      {R"(["u","g","r","rg","v","a","l","d"] x)", "trailing characters at line 1 column 36"},
      {R"(["u","g","r","rg","v","a","l","d"]])", "trailing characters at line 1 column 35"},
  };
  for (const auto& c : cases) {
    auto r = parse_config_json(c.json);
    ASSERT_FALSE(r) << c.json;
    EXPECT_EQ(r.error().display(), c.error) << c.json;
  }

  // Unknown members, also on a later line, and refused before the rest of the text is looked at.
  for (const auto& [json, where] : std::vector<std::pair<std::string, std::string>>{
           {R"({"vault_url":"u","x":"1"})", " at line 1 column 20"},
           {"{\n  \"x\" : 1", " at line 2 column 6"},
           {R"({"x"})", " at line 1 column 5"},
       }) {
    auto r = parse_config_json(json);
    ASSERT_FALSE(r) << json;
    EXPECT_EQ(r.error().display(), unknown + where) << json;
  }
}

TEST(ConfigJson, NestingIsLimited) {
  const std::string deep = std::string(127, '[') + std::string(127, ']');
  auto r = parse_config_json(deep);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "invalid type: sequence, expected a string at line 1 column 1");
  const std::string deeper(200, '[');
  struct Ignore : JsonSax {
    bool on_null() override { return true; }
    bool on_bool(bool) override { return true; }
    bool on_signed(std::int64_t) override { return true; }
    bool on_unsigned(std::uint64_t) override { return true; }
    bool on_float(double) override { return true; }
    bool on_string(std::string&) override { return true; }
    bool on_start_object() override { return true; }
    bool on_key(std::string&) override { return true; }
    bool on_end_object() override { return true; }
    bool on_start_array() override { return true; }
    bool on_end_array() override { return true; }
  } ignore;
  auto d = parse_json_sax(deeper, ignore);
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error().display(), "recursion limit exceeded at line 1 column 128");
}

TEST(ConfigSeal, RoundTripAndFreshNonce) {
  auto a = seal_config(sample());
  auto b = seal_config(sample());
  ASSERT_TRUE(a);
  ASSERT_TRUE(b);
  EXPECT_NE(*a, *b);
  EXPECT_EQ(a->size(), kConfigHeaderLen + json_of(sample()).size());
  EXPECT_EQ(std::string(a->begin(), a->begin() + 4), "QRB1");
  for (const auto* f : {&*a, &*b}) {
    auto json = unseal_config(*f);
    ASSERT_TRUE(json);
    EXPECT_EQ(as_text(*json), json_of(sample()));
  }
}

TEST(ConfigSeal, UnsealRefusalsInOrder) {
  const Bytes good = *seal_config(sample());
  // Short wins over the magic.
  EXPECT_EQ(unseal_config(Bytes(47, 'x')).error().code, "QB-0008");
  EXPECT_EQ(unseal_config(Bytes(good.begin(), good.begin() + 47)).error().code, "QB-0008");
  for (std::size_t i = 0; i < 4; ++i) {
    Bytes bad = good;
    bad[i] ^= 0x01;
    EXPECT_EQ(unseal_config(bad).error().code, "QB-0009") << i;
  }
  // Every byte after the magic is covered by the MAC.
  for (std::size_t i = 4; i < good.size(); ++i) {
    Bytes bad = good;
    bad[i] ^= 0x80;
    EXPECT_EQ(unseal_config(bad).error().code, "QB-0003") << i;
  }
  // A correct MAC over a bad tag still fails, at the AEAD.
  Bytes forged = good;
  forged.at(forged.size() - 1) ^= 1;
  const SecretArray<16> mac_key = derive_config_mac_key();
  const HmacTag tag = hmac_sha256(mac_key.span(), ByteView(forged).subspan(20));
  std::copy(tag.begin(), tag.begin() + 16, forged.begin() + 4);
  EXPECT_EQ(unseal_config(forged).error().code, "QB-0003");

  auto empty = unseal_config(seal_text(""));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

class ConfigFile : public ::testing::Test {
 protected:
  test::TempDir dir;
  fs::path path = dir / "quorbelt.conf";
  std::string p = path_text(path);

  std::string open_error() {
    auto r = open_config(path);
    EXPECT_FALSE(r);
    return r ? std::string() : r.error().display();
  }
};

TEST_F(ConfigFile, WriteThenOpen) {
  ASSERT_TRUE(write_config_atomic(path, sample()));
  EXPECT_EQ(test::file_mode(path), 0600u);
  EXPECT_FALSE(fs::exists(dir / ".quorbelt.conf.tmp"));
  auto c = open_config(path);
  ASSERT_TRUE(c) << c.error().display();
  EXPECT_EQ(json_of(*c), json_of(sample()));
}

TEST_F(ConfigFile, PathAndModeChecks) {
  EXPECT_EQ(open_error(), "QB-5001: " + p + " not found. Run: quorbelt-proxy init");

  ASSERT_EQ(::symlink((dir / "missing").c_str(), path.c_str()), 0);
  EXPECT_EQ(open_error(), "QB-5009: " + p + " is a symlink \u2014 refuse to follow it (holds the agent key)");
  fs::remove(path);

  const Bytes good = *seal_config(sample());
  put(dir / "target", good);
  ASSERT_EQ(::symlink((dir / "target").c_str(), path.c_str()), 0);
  EXPECT_EQ(open_error(), "QB-5009: " + p + " is a symlink \u2014 refuse to follow it (holds the agent key)");
  fs::remove(path);

  for (unsigned mode : {0640u, 0644u, 0601u}) {
    put(path, good, mode);
    EXPECT_EQ(open_error(), fmt::format("QB-5009: {} is group/other-accessible (mode {:o}); it holds the agent key. "
                                        "Fix: chmod 600 {}",
                                        p, mode, p));
  }
  for (unsigned mode : {0600u, 0400u}) {
    put(path, good, mode);
    EXPECT_TRUE(open_config(path)) << std::oct << mode;
  }
}

TEST_F(ConfigFile, FifoIsRefusedWithoutBlocking) {
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(open_error(), "QB-5009: " + p + " is not a regular file \u2014 refuse");
}

TEST_F(ConfigFile, ContentChecksInOrder) {
  Config bad_id = sample();
  bad_id.vault_id = "01";
  Config upper_id = sample();
  upper_id.vault_id = "01000000000000AB";
  Config all_bad = sample();
  all_bad.agent_id = "zz";
  all_bad.l2 = "00";
  all_bad.device_id = "";
  Config agent_bad = sample();
  agent_bad.agent_id = "0011";
  agent_bad.device_id = "x";
  Config device_bad = sample();
  device_bad.device_id = std::string(34, '0');
  Config no_pop_key = sample();
  no_pop_key.vault_gate_pub = "";

  const std::string corrupt = "QB-5002: QB-2004: ";
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {Bytes(10, 0), corrupt + "config decrypt failed: QB-0008: Config file is corrupt or truncated."},
      {seal_text(""), corrupt + "config JSON parse: EOF while parsing a value at line 1 column 0"},
      {seal_text(R"({"vault_url":"u","extra":"1"})"),
       corrupt + "config JSON parse: unknown field `extra`, expected one of `vault_url`, `vault_gate_pub`, "
                 "`replica_url`, `replica_gate_pub`, `vault_id`, `agent_id`, `l2`, `device_id` at line 1 column 24"},
      {*seal_config(bad_id), corrupt + "vault_id is not a 16-hex vault id (wrong_length); a config from before the id "
                                       "change: enrol again"},
      {*seal_config(upper_id), corrupt + "vault_id is not a 16-hex vault id (uppercase); a config from before the id "
                                         "change: enrol again"},
      {*seal_config(all_bad), corrupt + "l2 expected 16 bytes, got 1"},
      {*seal_config(agent_bad), corrupt + "agent_id expected 16 bytes, got 2"},
      {*seal_config(device_bad), corrupt + "device_id expected 16 bytes, got 17"},
  };
  for (const auto& [bytes, error] : cases) {
    put(path, bytes);
    EXPECT_EQ(open_error(), error);
  }
  Bytes flipped = *seal_config(sample());
  flipped[30] ^= 1;
  put(path, flipped);
  EXPECT_EQ(open_error(), corrupt + "config decrypt failed: " + std::string(catalogue::QB_0003.display()));

  // The node key is not checked here.
  put(path, *seal_config(no_pop_key));
  EXPECT_TRUE(open_config(path));
}

TEST_F(ConfigFile, ModeIs0600WhateverTheUmask) {
  for (mode_t mask : {0000, 0022, 0077}) {
    const mode_t old = ::umask(mask);
    auto r = write_config_atomic(path, sample());
    ::umask(old);
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(test::file_mode(path), 0600u) << std::oct << mask;
    fs::remove(path);
  }
}

TEST_F(ConfigFile, StaleTemporaryFileIsReplacedOnce) {
  const fs::path tmp = dir / ".quorbelt.conf.tmp";
  test::write_file(tmp, "leftover of an interrupted write", 0644);
  ASSERT_TRUE(write_config_atomic(path, sample()));
  EXPECT_FALSE(fs::exists(tmp));
  EXPECT_TRUE(open_config(path));
}

TEST_F(ConfigFile, SymbolicLinkAtTheTemporaryPathIsNotFollowed) {
  const fs::path victim = dir / "victim";
  test::write_file(victim, "keep me", 0600);
  ASSERT_EQ(::symlink(victim.c_str(), (dir / ".quorbelt.conf.tmp").c_str()), 0);
  ASSERT_TRUE(write_config_atomic(path, sample()));
  EXPECT_EQ(test::read_file(victim), "keep me");
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_TRUE(open_config(path));
}

TEST_F(ConfigFile, WriteFailures) {
  // The rename onto a directory fails and leaves the temporary file for the next write to replace.
  fs::create_directory(path);
  auto r = write_config_atomic(path, sample());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().err.code, "QB-2002");
  EXPECT_TRUE(r.error().detail.starts_with("renaming temp config to " + p + ": ")) << r.error().detail;
  EXPECT_TRUE(fs::exists(dir / ".quorbelt.conf.tmp"));
  fs::remove(path);
  ASSERT_TRUE(write_config_atomic(path, sample()));
  EXPECT_TRUE(open_config(path));

  // Missing ancestors are created; a linked parent is refused.
  EXPECT_TRUE(write_config_atomic(dir / "a" / "b" / "quorbelt.conf", sample()));
  fs::create_directory_symlink(dir / "a", dir / "link");
  auto linked = write_config_atomic(dir / "link" / "quorbelt.conf", sample());
  ASSERT_FALSE(linked);
  EXPECT_EQ(linked.error().display(),
            "QB-2002: config parent " + path_text(dir / "link") + " is a symlink \u2014 refuse to write through it");

  auto root = write_config_atomic("/", sample());
  ASSERT_FALSE(root);
  EXPECT_EQ(root.error().display(), "QB-2002: config path has no parent");
}

}  // namespace
}  // namespace qb

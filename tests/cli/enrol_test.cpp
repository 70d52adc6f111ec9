#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "cli/config.h"
#include "cli/enrol.h"
#include "cli/prompt.h"
#include "crypto/node_key.h"
#include "support/enrol_blob.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using test::blob_json;
using test::BlobFields;
using test::sample_fields;
using test::seal_enrolment;

std::string blob_error(std::string_view detail) {
  return "QB-5005: bad enrollment blob: " + CliError(catalogue::QB_2001, std::string(detail)).debug();
}
const std::string kNotAuthentic = blob_error("enrollment blob did not authenticate \u2014 wrong key or corrupt blob");
const std::string kNoPopKey = blob_error(
    "this enrollment blob carries no POP key or a retired X25519 one \u2014 make a new client blob in the vault and "
    "connect again");
const std::string kNotBase64 = blob_error("enrollment blob or key is not base64url");
const std::string kKeyLength = blob_error("enrollment key must be 32 bytes (base64url of a 256-bit key)");
const std::string kOldVaultId = blob_error("enrollment blob carries an old-form vault id \u2014 mint a new blob");
const std::string kEmptyPop = blob_error("enrollment blob carried an empty pop/host");

std::string outcome(const test::Enrolment& e) {
  auto r = config_from_enrolment(e.blob, e.key);
  return r ? std::string("ok") : r.error().display();
}
std::string outcome_of(const BlobFields& f) { return outcome(seal_enrolment(blob_json(f))); }

TEST(EnrolBlob, AGoodBlobBuildsTheConfig) {
  BlobFields f = sample_fields(" pop.example.com// ");
  f.pop_pub = "  " + test::node_key_hex(1) + "\n";
  f.replica_host = " replica.example.com/ ";
  f.replica_pub = test::node_key_hex(2);
  f.agent_id = "00112233445566778899AABBCCDDEEFF";  // either case in the blob, lower case in the config
  const auto e = seal_enrolment(blob_json(f));
  auto cfg = config_from_enrolment(e.blob, e.key);
  ASSERT_TRUE(cfg) << cfg.error().display();
  EXPECT_EQ(cfg->vault_url, "https://pop.example.com");
  EXPECT_EQ(cfg->vault_gate_pub, test::node_key_hex(1));
  EXPECT_EQ(cfg->replica_url, "https://replica.example.com");
  EXPECT_EQ(cfg->replica_gate_pub, test::node_key_hex(2));
  EXPECT_EQ(cfg->vault_id, "0100000000000abc");
  EXPECT_EQ(cfg->agent_id, "00112233445566778899aabbccddeeff");
  EXPECT_EQ(cfg->l2, "ffeeddccbbaa99887766554433221100");
  ASSERT_EQ(cfg->device_id.size(), 32u);
  auto again = config_from_enrolment(e.blob, e.key);
  ASSERT_TRUE(again);
  EXPECT_NE(again->device_id, cfg->device_id);

  // What init writes is what serve opens.
  test::TempDir dir;
  ASSERT_TRUE(write_config_atomic(dir / "quorbelt.conf", *cfg));
  auto opened = open_config(dir / "quorbelt.conf");
  ASSERT_TRUE(opened) << opened.error().display();
  EXPECT_EQ(opened->device_id, cfg->device_id);
  EXPECT_TRUE(parse_node_key_hex(opened->vault_gate_pub, "vault_gate_pub"));
  EXPECT_TRUE(parse_node_key_hex(opened->replica_gate_pub, "replica_gate_pub"));
}

TEST(EnrolBlob, ReplicaMembersWithoutAHostAreDropped) {
  BlobFields f = sample_fields("pop.example.com");
  f.replica_host = " / ";
  f.replica_pub = test::node_key_hex(2);
  const auto e = seal_enrolment(blob_json(f));
  auto cfg = config_from_enrolment(e.blob, e.key);
  ASSERT_TRUE(cfg);
  EXPECT_EQ(cfg->replica_url, "");
  EXPECT_EQ(cfg->replica_gate_pub, "");
  EXPECT_EQ(cfg->vault_gate_pub, test::node_key_hex(1));
}

TEST(EnrolBlob, KeyRefusals) {
  const std::string json = blob_json(sample_fields("pop.example.com"));
  const auto good = seal_enrolment(json);
  struct Case {
    std::string key;
    std::string want;
  };
  const Case cases[] = {
      {"", "QB-5005: enrollment key is required"},
      {" \t\r\n", "QB-5005: enrollment key is required"},
      {test::base64url(test::random_bytes_vec(31)), kKeyLength},
      {test::base64url(test::random_bytes_vec(33)), kKeyLength},
      {good.key + "+", kNotBase64},
      {good.key.substr(0, 10) + "/" + good.key.substr(11), kNotBase64},
      {test::base64url(test::random_bytes_vec(32)), kNotAuthentic},  // wrong key of the right length
      {good.key + "=", "ok"},                                        // padding is tolerated
      {" " + good.key + "\r\n", "ok"},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome({good.blob, c.key}), c.want) << c.key;
}

TEST(EnrolBlob, BlobRefusals) {
  const auto good = seal_enrolment(blob_json(sample_fields("pop.example.com")));
  std::string flipped = good.blob;
  flipped[20] = flipped[20] == 'A' ? 'B' : 'A';
  struct Case {
    std::string blob;
    std::string want;
  };
  const Case cases[] = {
      {"", kNotAuthentic},  // an empty blob fails at the opening
      {good.blob + "*", kNotBase64},
      {flipped, kNotAuthentic},
      {good.blob.substr(0, 32), kNotAuthentic},  // shorter than nonce and tag
  };
  for (const auto& c : cases) EXPECT_EQ(outcome({c.blob, good.key}), c.want) << c.blob;
}

TEST(EnrolBlob, JsonReading) {
  const std::string pub = test::node_key_hex(1);
  const std::string ids = R"("agent_id":"00112233445566778899aabbccddeeff","l2":"ffeeddccbbaa99887766554433221100",)"
                          R"("vault_id":"0100000000000abc","pop":"pop.example.com")";
  struct Case {
    std::string json;
    std::string want;
  };
  const Case cases[] = {
      {"{" + ids + R"(,"pop_pub":")" + pub + R"(","extra":{"a":[1,2]}})", "ok"},     // unknown members skipped
      {"{" + ids + R"(,"pop_pub":")" + pub + R"(","pop":"other"})", kNotAuthentic},  // duplicate
      {"{" + ids + R"(,"pop_pub":")" + pub + R"("} x)", kNotAuthentic},              // trailing text
      {"{" + ids + R"(,"pop_pub":")" + pub +
           R"("}  )"
           "\n",
       "ok"},
      {"{" + ids + R"(,"pop_pub":")" + pub + R"(","replica_host":5})", kNotAuthentic},
      {R"(["00112233445566778899aabbccddeeff","ffeeddccbbaa99887766554433221100","0100000000000abc",)"
       R"("pop.example.com",")" +
           pub + R"(","",""])",
       "ok"},  // the sequence form
      {"{" + ids + "}", kNoPopKey},
      {"{" + ids + R"(,"pop_pub":null})", kNoPopKey},
      {"not json", kNotAuthentic},
  };
  for (const auto& c : cases) EXPECT_EQ(outcome(seal_enrolment(c.json)), c.want) << c.json.substr(0, 200);
}

TEST(EnrolBlob, MemberChecksInOrder) {
  struct Case {
    const char* name;
    void (*edit)(BlobFields&);
    std::string want;
  };
  const Case cases[] = {
      {"pop_pub missing", [](BlobFields& f) { f.pop_pub.reset(); }, kNoPopKey},
      {"pop_pub null", [](BlobFields& f) { f.pop_pub_null = true; }, kNoPopKey},
      {"pop_pub blank", [](BlobFields& f) { f.pop_pub = " \n "; }, kNoPopKey},
      {"pop_pub retired", [](BlobFields& f) { f.pop_pub = " " + std::string(64, 'z') + " "; }, kNoPopKey},
      {"pop_pub upper case",
       [](BlobFields& f) {
         f.pop_pub = test::node_key_hex(1);
         (*f.pop_pub)[10] = 'A';
       },
       kNotAuthentic},
      {"pop_pub short", [](BlobFields& f) { f.pop_pub = f.pop_pub->substr(2); }, kNotAuthentic},
      {"replica_pub bad", [](BlobFields& f) { f.replica_pub = "abcd"; }, kNotAuthentic},
      {"agent_id short", [](BlobFields& f) { f.agent_id = "0011"; }, kNotAuthentic},
      {"l2 not hex", [](BlobFields& f) { f.l2 = std::string(32, 'g'); }, kNotAuthentic},
      {"vault_id old form", [](BlobFields& f) { f.vault_id = "vault-7"; }, kOldVaultId},
      {"vault_id upper case", [](BlobFields& f) { f.vault_id = "0100000000000ABC"; }, kOldVaultId},
      // The pop_pub check comes before the vault id check.
      {"both bad",
       [](BlobFields& f) {
         f.vault_id = "x";
         f.pop_pub.reset();
       },
       kNoPopKey},
      {"pop empty", [](BlobFields& f) { f.pop = " \t "; }, kEmptyPop},
      {"pop with line feed", [](BlobFields& f) { f.pop = "pop.example.com\nevil"; }, kEmptyPop},
      {"pop missing", [](BlobFields& f) { f.pop.reset(); }, kNotAuthentic},
  };
  for (const auto& c : cases) {
    BlobFields f = sample_fields("pop.example.com");
    c.edit(f);
    EXPECT_EQ(outcome_of(f), c.want) << c.name;
  }
}

TEST(EnrolBlob, BaseUrlFromHost) {
  EXPECT_EQ(base_url_from_host(" pop.example.com/// \n"), "https://pop.example.com");
  EXPECT_EQ(base_url_from_host("h:8443/x/"), "https://h:8443/x");
  EXPECT_EQ(base_url_from_host(""), "https://");
}

// A pipe whose write end is fed once and closed.
struct Pipe {
  int fds[2] = {-1, -1};
  explicit Pipe(const std::string& data) {
    EXPECT_EQ(::pipe(fds), 0);
    EXPECT_EQ(::write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(fds[1]);
  }
  ~Pipe() { ::close(fds[0]); }
};

TEST(PromptSecret, OneReaderServesSuccessiveLinesOffATerminal) {
  Pipe p(" first value \r\nsecond\tline  \nlast without newline");
  LineReader reader(p.fds[0]);
  const char* const no_stty[] = {"/nonexistent/stty"};  // never run off a terminal
  auto a = prompt_secret("A:", reader, no_stty);
  auto b = prompt_secret("B:", reader, no_stty);
  auto c = prompt_secret("C:", reader, no_stty);
  auto d = prompt_secret("D:", reader, no_stty);
  ASSERT_TRUE(a && b && c && d);
  EXPECT_EQ(a->text(), "first value");
  EXPECT_EQ(b->text(), "second\tline");
  EXPECT_EQ(c->text(), "last without newline");
  EXPECT_EQ(d->text(), "");  // end of input is no error
}

TEST(PromptSecret, LinesLongerThanOneReadArriveWhole) {
  const std::string big(10000, 'x');
  Pipe p(big + "\nkey\n");
  LineReader reader(p.fds[0]);
  auto a = reader.read_line();
  auto b = reader.read_line();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->text(), big + "\n");
  EXPECT_EQ(b->text(), "key\n");
}

// At a terminal an end of input (Ctrl-D) ends one line; the next read waits for more typing.
TEST(PromptSecret, EndOfInputAtATerminalEndsOneLineOnly) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios t{};
  ASSERT_EQ(::tcgetattr(slave, &t), 0);
  t.c_lflag |= ICANON;
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ASSERT_EQ(::tcsetattr(slave, TCSANOW, &t), 0);

  const std::string typed = "\x04half\x04\x04key\n";  // Ctrl-D, a line ended by two Ctrl-Ds, a line
  ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  LineReader reader(slave);
  auto a = reader.read_line();
  auto b = reader.read_line();
  auto c = reader.read_line();
  ::close(slave);
  ::close(master);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(a->text(), "");
  EXPECT_EQ(b->text(), "half");
  EXPECT_EQ(c->text(), "key\n");
}

TEST(PromptSecret, InvalidUtf8AndReadFailuresAreQb5004) {
  Pipe p("caf\xe9\n");
  LineReader reader(p.fds[0]);
  auto r = prompt_secret("A:", reader, kSttyCandidates);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "QB-5004: read stdin: stream did not contain valid UTF-8");

  LineReader closed(-1);
  auto e = prompt_secret("A:", closed, kSttyCandidates);
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().display(), "QB-5004: read stdin: Bad file descriptor (os error 9)");
}

TEST(PromptSecret, EchoSwitchTriesTheCandidatesInOrder) {
  test::TempDir dir;
  const auto log = dir / "log";
  test::write_file(dir / "failing", "#!/bin/sh\necho \"failing $*\" >> " + log.string() + "\nexit 1\n", 0700);
  test::write_file(dir / "working", "#!/bin/sh\necho \"working $*\" >> " + log.string() + "\necho noise\n", 0700);
  std::filesystem::create_directory(dir / "a-directory");
  const std::string failing = (dir / "failing").string(), working = (dir / "working").string(),
                    directory = (dir / "a-directory").string(), missing = (dir / "missing").string();

  const char* const second_works[] = {failing.c_str(), working.c_str()};
  EXPECT_TRUE(set_terminal_echo(false, second_works));
  EXPECT_TRUE(set_terminal_echo(true, second_works));
  EXPECT_EQ(test::read_file(log), "failing -echo\nworking -echo\nfailing echo\nworking echo\n");

  const char* const first_works[] = {working.c_str(), failing.c_str()};
  std::filesystem::remove(log);
  EXPECT_TRUE(set_terminal_echo(false, first_works));
  EXPECT_EQ(test::read_file(log), "working -echo\n");  // the next one is not tried

  const char* const none_works[] = {missing.c_str(), directory.c_str(), failing.c_str()};
  EXPECT_FALSE(set_terminal_echo(false, none_works));
}

}  // namespace
}  // namespace qb

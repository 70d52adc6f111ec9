// "init" killed at random moments, failed "init" runs, and a process killed at any point of a
// configuration write: afterwards the configuration either is absent or opens to exactly the old
// or the new one, never to anything else that "serve" would accept.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "cli/config.h"
#include "crypto/codecs.h"
#include "fault/harness.h"
#include "support/enrol_blob.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using Clock = std::chrono::steady_clock;
const std::string kPop = "pop.example.com";

std::string random_hex(std::size_t bytes) { return encode_hex(test::random_bytes_vec(bytes)); }

bool same(const Config& a, const Config& b) {
  return a.vault_url == b.vault_url && a.vault_gate_pub == b.vault_gate_pub && a.replica_url == b.replica_url &&
         a.replica_gate_pub == b.replica_gate_pub && a.vault_id == b.vault_id && a.agent_id == b.agent_id &&
         a.l2 == b.l2 && a.device_id == b.device_id;
}

std::string describe(const Config& c) { return fmt::format("{} {} {}", c.vault_url, c.vault_id, c.device_id); }

class FaultConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = dir_ / "quorbelt-proxy";
    std::filesystem::copy_file(QB_BINARY, exe_);
    ::chmod(exe_.c_str(), 0755);
    fields_ = test::sample_fields(kPop);
    fields_.agent_id = random_hex(16);
    fields_.l2 = random_hex(16);
    enrolment_ = test::seal_enrolment(test::blob_json(fields_));
    secrets_ = {*fields_.agent_id, *fields_.l2, enrolment_.key, enrolment_.blob};
  }
  void TearDown() override {
    for (const auto& s : secrets_) EXPECT_EQ(outputs_.find(s), std::string::npos) << "a secret was printed: " << s;
  }

  std::unique_ptr<fault::Child> start_init(const std::string& stdin_data) {
    return std::make_unique<fault::Child>(exe_, std::vector<std::string>{"init"}, dir_.path(),
                                          std::map<std::string, std::string>{{"QUORBELT_PROXY_CONFIRM_VAULT", kPop}},
                                          stdin_data);
  }
  std::string good_input() const { return enrolment_.blob + "\n" + enrolment_.key + "\n"; }

  // The configuration written from this enrolment: its members, whatever device id it drew.
  void expect_new_config(const Config& c) {
    EXPECT_EQ(c.vault_url, "https://" + kPop);
    EXPECT_EQ(c.vault_gate_pub, *fields_.pop_pub);
    EXPECT_EQ(c.replica_url, "");
    EXPECT_EQ(c.vault_id, *fields_.vault_id);
    EXPECT_EQ(c.agent_id, *fields_.agent_id);
    EXPECT_EQ(c.l2, *fields_.l2);
    EXPECT_EQ(c.device_id.size(), 32u);
  }

  std::filesystem::path conf() const { return dir_ / "quorbelt.conf"; }

  test::TempDir dir_;
  std::filesystem::path exe_;
  test::BlobFields fields_;
  test::Enrolment enrolment_;
  std::vector<std::string> secrets_;
  std::string outputs_;
};

TEST_F(FaultConfig, InitKilledAtAnyMomentLeavesNoConfigOrTheNewOne) {
  // One whole run gives the span over which to aim the kills.
  const auto t0 = Clock::now();
  auto whole = start_init(good_input());
  ASSERT_EQ(whole->wait(), 0) << whole->err();
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);
  outputs_ += whole->out() + whole->err();
  std::filesystem::remove(conf());

  std::mt19937 rng(std::random_device{}());
  std::uniform_int_distribution<long> at(0, span.count() * 5 / 4);
  int absent = 0, present = 0, finished = 0;
  for (int i = 0; i < 60; ++i) {
    auto init = start_init(good_input());
    std::this_thread::sleep_for(std::chrono::microseconds(at(rng)));
    init->signal(SIGKILL);
    const int status = init->wait();
    outputs_ += init->out() + init->err();
    if (status == 0) ++finished;
    if (!std::filesystem::exists(conf())) {
      ++absent;
      continue;
    }
    ++present;
    auto opened = open_config(conf());
    ASSERT_TRUE(opened) << "run " << i << ": " << opened.error().display();
    expect_new_config(*opened);
    std::filesystem::remove(conf());  // a temporary file left behind stays for the next run
  }
  RecordProperty("outcomes", fmt::format("absent {} present {} finished {}", absent, present, finished));

  // Whatever an interrupted run left next to it, the next one completes.
  auto last = start_init(good_input());
  ASSERT_EQ(last->wait(), 0) << last->err();
  outputs_ += last->out() + last->err();
  auto opened = open_config(conf());
  ASSERT_TRUE(opened);
  expect_new_config(*opened);
}

TEST_F(FaultConfig, FailedInitKeepsTheDirectoryAsItWas) {
  const auto other = test::seal_enrolment(test::blob_json(fields_));  // same blob text, another key
  struct Case {
    const char* name;
    std::string input;
  };
  const Case cases[] = {
      {"wrong key", enrolment_.blob + "\n" + other.key + "\n"},
      {"no key", enrolment_.blob + "\n"},
      {"nothing", ""},
      {"truncated blob", enrolment_.blob.substr(0, enrolment_.blob.size() / 2) + "\n" + enrolment_.key + "\n"},
  };
  secrets_.push_back(other.key);
  for (const auto& c : cases) {
    auto init = start_init(c.input);
    EXPECT_EQ(init->wait(), 1) << c.name << ": " << init->err();
    outputs_ += init->out() + init->err();
    EXPECT_FALSE(std::filesystem::exists(conf())) << c.name;
  }

  // Over an enrolled directory every run is refused and the old file stays byte for byte.
  auto first = start_init(good_input());
  ASSERT_EQ(first->wait(), 0) << first->err();
  outputs_ += first->out() + first->err();
  const std::string old_bytes = test::read_file(conf());
  for (const auto& c : cases) {
    auto init = start_init(c.input);
    EXPECT_EQ(init->wait(), 1) << c.name;
    outputs_ += init->out() + init->err();
    EXPECT_EQ(test::read_file(conf()), old_bytes) << c.name;
  }
  auto again = start_init(good_input());
  EXPECT_EQ(again->wait(), 1);
  outputs_ += again->out() + again->err();
  EXPECT_EQ(test::read_file(conf()), old_bytes);
}

TEST_F(FaultConfig, KillAtAnyPointOfAWriteLeavesTheOldOrTheNewConfig) {
  Config a;
  a.vault_url = "https://" + kPop;
  a.vault_gate_pub = test::node_key_hex(1);
  a.vault_id = "0100000000000abc";
  a.agent_id = random_hex(16);
  a.l2 = random_hex(16);
  a.device_id = random_hex(16);
  Config b = a;
  b.replica_url = "https://replica.example.com";
  b.replica_gate_pub = test::node_key_hex(2);
  b.agent_id = random_hex(16);
  b.l2 = random_hex(16);
  b.device_id = random_hex(16);
  ASSERT_TRUE(write_config_atomic(conf(), a));
  const auto tmp = dir_ / ".quorbelt.conf.tmp";

  std::mt19937 rng(std::random_device{}());
  std::uniform_int_distribution<int> at(0, 20000);  // the first write of a new process ends after some ms
  int saw_a = 0, saw_b = 0, tmp_left = 0;
  for (int i = 0; i < 150; ++i) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Rewrites the file as fast as it can, flipping between the two, until killed.
      for (int n = 0;; ++n) (void)write_config_atomic(conf(), n % 2 ? a : b);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(at(rng)));
    ::kill(child, SIGKILL);
    int st = 0;
    ASSERT_EQ(::waitpid(child, &st, 0), child);
    if (std::filesystem::exists(tmp)) ++tmp_left;
    auto opened = open_config(conf());
    ASSERT_TRUE(opened) << "kill " << i << ": " << opened.error().display();
    if (same(*opened, a)) {
      ++saw_a;
    } else if (same(*opened, b)) {
      ++saw_b;
    } else {
      FAIL() << "kill " << i << " left another configuration: " << describe(*opened);
    }
    EXPECT_EQ(test::file_mode(conf()), 0600u);
  }
  RecordProperty("outcomes", fmt::format("old {} new {} temporary left {}", saw_a, saw_b, tmp_left));
}

}  // namespace
}  // namespace qb

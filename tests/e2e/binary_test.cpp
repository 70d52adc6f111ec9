// The real binary, copied into a fresh private directory (its files live next to it).
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using test::ProcessOptions;
using test::run_process;

class Binary : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = dir_ / "quorbelt-proxy";
    std::filesystem::copy_file(QB_BINARY, exe_);
    ::chmod(exe_.c_str(), 0755);
  }
  test::ProcessResult run(std::vector<std::string> args, ProcessOptions opts = {}) {
    opts.args = std::move(args);
    opts.cwd = dir_.path();
    if (opts.stdin_data.empty()) opts.stdin_data = "\n";
    return run_process(exe_, opts);
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) names.push_back(e.path().filename());
    return names;
  }

  test::TempDir dir_;
  std::filesystem::path exe_;
};

TEST_F(Binary, VersionWordsPrintTheVersionAndCryptoLines) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"version"}, {"--version"}, {"-V"}, {"version", "x", "y"}}) {
    auto r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("quorbelt-proxy 1.7.3\ncrypto: OpenSSL 3.", 0), 0u) << r.out;
    const bool known = r.out.ends_with(", NOT the validated FIPS module\n") || r.out.ends_with(", FIPS mode on\n");
    EXPECT_TRUE(known) << r.out;
  }
}

TEST_F(Binary, UsageForAMissingOrUnknownWord) {
  const std::string usage = "quorbelt-proxy 1.7.3\nusage: quorbelt-proxy <init|serve|ca|version>\n";
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{}, usage},
      {{""}, usage},
      {{"VERSION"}, usage + "unknown command: VERSION\n"},
      {{"serve "}, usage + "unknown command: serve \n"},
      {{"bad\x1b[31mword"}, usage + "unknown command: bad\x1b[31mword\n"},  // echoed as given
  };
  for (const auto& c : cases) {
    auto r = run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(Binary, VersionTouchesNothingEvenInAWorldWritableDirectory) {
  ::chmod(dir_.path().c_str(), 0777);
  auto r = run({"version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(entries(), std::vector<std::string>{"quorbelt-proxy"});
  ::chmod(dir_.path().c_str(), 0700);
}

TEST_F(Binary, CommandsRefuseAGroupWritableDirectoryWithOneLine) {
  ::chmod(dir_.path().c_str(), 0770);
  for (const char* word : {"serve", "init", "ca"}) {
    auto r = run({word});
    EXPECT_EQ(r.status, 1) << word;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "QB-5009: " + dir_.path().string() +
                         " is group/other-writable (mode 770) \u2014 refuse to load secrets from a plantable install "
                         "dir. Fix: chmod go-w " +
                         dir_.path().string() + "\n")
        << word;
  }
  EXPECT_EQ(entries(), std::vector<std::string>{"quorbelt-proxy"});
  ::chmod(dir_.path().c_str(), 0700);
}

TEST_F(Binary, CaCreatesThePairOnceAndPrintsTheCertificate) {
  auto first = run({"ca"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err, "");
  const std::string cert = test::read_file(dir_ / "ca-cert.pem");
  EXPECT_EQ(first.out, cert);  // nothing added before or after
  EXPECT_EQ(cert.rfind("-----BEGIN CERTIFICATE-----\n", 0), 0u);
  EXPECT_TRUE(cert.ends_with("-----END CERTIFICATE-----\n"));
  EXPECT_EQ(cert.find('\r'), std::string::npos);
  EXPECT_EQ(test::file_mode(dir_ / "ca-cert.pem"), 0600u);
  EXPECT_EQ(test::file_mode(dir_ / "ca-key.pem"), 0600u);
  const std::string key = test::read_file(dir_ / "ca-key.pem");

  auto second = run({"ca"});
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.out, first.out);
  EXPECT_EQ(test::read_file(dir_ / "ca-key.pem"), key);

  // Either file missing makes a new pair.
  std::filesystem::remove(dir_ / "ca-key.pem");
  auto third = run({"ca"});
  EXPECT_EQ(third.status, 0);
  EXPECT_NE(third.out, first.out);
  EXPECT_NE(test::read_file(dir_ / "ca-key.pem"), key);
}

TEST_F(Binary, CaRefusesACertificateOthersCanRead) {
  ASSERT_EQ(run({"ca"}).status, 0);
  ::chmod((dir_ / "ca-cert.pem").c_str(), 0644);
  auto r = run({"ca"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  const std::string p = (dir_ / "ca-cert.pem").string();
  EXPECT_EQ(r.err, "QB-5009: " + p +
                       " is group/other-accessible (mode 644); it holds secret key material. Fix: chmod 600 " + p +
                       "\n");
}

TEST_F(Binary, ServeWithoutAConfigurationPrintsOneLine) {
  auto r = run({"serve"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "QB-5001: " + (dir_ / "quorbelt.conf").string() + " not found. Run: quorbelt-proxy init\n");
}

TEST_F(Binary, ClosedStdoutDoesNotKillVersion) {
  ProcessOptions opts;
  opts.close_stdout = true;
  auto r = run({"version"}, opts);
  EXPECT_EQ(r.status, 0);
}

TEST_F(Binary, BadWorkerCountIsRefusedWithOneLine) {
  ProcessOptions opts;
  opts.env_set["TOKIO_WORKER_THREADS"] = "zero";
  auto r = run({"version"}, opts);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Failed building the Runtime: TOKIO_WORKER_THREADS must be a positive integer, got \"zero\"\n");
}

TEST_F(Binary, NoWorkerThreadIsRefusedWithOneLine) {
  // The child may start no thread; as root it runs as another user, who must reach the binary.
  ::chmod(dir_.path().c_str(), 0755);
  ProcessOptions opts;
  opts.no_new_threads = true;
  opts.env_set["TOKIO_WORKER_THREADS"] = "2";
  auto r = run({"version"}, opts);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("Failed building the Runtime: Resource temporarily unavailable (os error ")) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_TRUE(r.err.ends_with(")\n")) << r.err;
}

}  // namespace
}  // namespace qb

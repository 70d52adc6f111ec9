#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "support/https_test_server.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "tls/platform_roots.h"
#include "tls/trust_roots.h"

namespace qb {
namespace {

using EnvVar = test::ScopedEnv;

DerCert bytes(std::string_view s) { return DerCert(s.begin(), s.end()); }

TEST(GateRoots, MarkerIsFoundAnywhereAsPlainBytes) {
  struct Case {
    std::string_view der;
    bool excluded;
  };
  for (const auto& c : {Case{"emSign", true},
                        Case{"\x30\x82"
                             "emSign Root CA",
                             true},
                        Case{"CA - emSign", true}, Case{"emsign", false}, Case{"emSig", false},
                        Case{"e m S i g n", false}, Case{"", false}}) {
    EXPECT_EQ(is_excluded_root(bytes(c.der)), c.excluded) << c.der;
  }
}

TEST(GateRoots, BuiltinRootsKeepTheirOrderWithoutMarkedOnes) {
  std::vector<DerCert> all;
  for (auto pem : builtin_root_pems()) {
    auto certs = certs_from_pem(pem);
    ASSERT_EQ(certs.size(), 1u) << "each compiled-in entry holds one certificate";
    all.push_back(certs.front());
  }
  std::vector<DerCert> expected;
  std::copy_if(all.begin(), all.end(), std::back_inserter(expected),
               [](const DerCert& d) { return !is_excluded_root(d); });
  EXPECT_LT(expected.size(), all.size()) << "the compiled-in set carries a marked root";
  EXPECT_EQ(builtin_roots(), expected);
}

TEST(GateRoots, MergeKeepsPlatformFirstDropsMarkedAndDuplicates) {
  auto a = test::make_test_ca("Root A").der;
  auto b = test::make_test_ca("Root B").der;
  auto c = test::make_test_ca("Root C").der;
  auto x = test::make_test_ca("Root X").der;
  auto marked_platform = test::make_test_ca("Platform Root", "emSign PKI").der;
  auto marked_builtin = test::make_test_ca("emSign Builtin Root").der;
  ASSERT_TRUE(is_excluded_root(marked_platform));
  ASSERT_TRUE(is_excluded_root(marked_builtin));

  std::vector<DerCert> platform = {a, marked_platform, b};
  std::vector<DerCert> builtin = {c, b, marked_builtin, x, c};
  // b stays at the platform's position; the builtin duplicates of b and c are listed once.
  EXPECT_EQ(merge_roots(platform, builtin), (std::vector<DerCert>{a, b, c, x}));
  EXPECT_EQ(merge_roots({}, builtin_roots()), builtin_roots());
}

class GatePlatformRoots : public ::testing::Test {
 protected:
  void write_pem(const std::filesystem::path& p, const std::vector<const test::TestCert*>& certs,
                 std::string junk = {}) {
    std::string text = junk;
    for (const auto* cert : certs) text += cert->cert_pem;
    test::write_file(p, text);
  }
  static std::vector<DerCert> sorted(std::vector<DerCert> v) {
    std::sort(v.begin(), v.end(), der_less);
    return v;
  }

  test::TempDir dir;
  test::TestCert a = test::make_test_ca("Env Root A");
  test::TestCert b = test::make_test_ca("Env Root B");
  test::TestCert c = test::make_test_ca("Env Root C");
  test::TestCert d = test::make_test_ca("Env Root D");
};

TEST_F(GatePlatformRoots, CertFileGivesItsCertificatesSortedOnce) {
  write_pem(dir / "bundle.pem", {&a, &b, &a}, "# a comment line before the first section\n");
  EnvVar file("SSL_CERT_FILE", (dir / "bundle.pem").string());
  EnvVar cdir("SSL_CERT_DIR", std::nullopt);
  EXPECT_EQ(platform_roots(), sorted({a.der, b.der}));
}

TEST_F(GatePlatformRoots, CertDirReadsOnlyHashNamedFiles) {
  auto certs = dir / "certs";
  std::filesystem::create_directory(certs);
  write_pem(certs / "0a1b2c3d.0", {&c});
  write_pem(certs / "plain-c.pem", {&a});  // not a hash name
  write_pem(certs / "AB12cd34.1x", {&d});  // not a hash name either
  std::filesystem::create_symlink(certs / "plain-c.pem", certs / "1111aaaa.0");
  std::filesystem::create_symlink(certs / "missing.pem", certs / "2222bbbb.0");  // dangling: skipped
  write_pem(dir / "bundle.pem", {&b, &c});
  EnvVar cdir("SSL_CERT_DIR", certs.string() + ":" + (dir / "nothing-here").string());
  {
    EnvVar file("SSL_CERT_FILE", std::nullopt);
    // The second directory does not exist: what the first gave still counts.
    EXPECT_EQ(platform_roots(), sorted({a.der, c.der}));
  }
  EnvVar file("SSL_CERT_FILE", (dir / "bundle.pem").string());
  EXPECT_EQ(platform_roots(), sorted({a.der, b.der, c.der}));
}

TEST_F(GatePlatformRoots, UnreadableStoreGivesNoRoots) {
  EnvVar cdir("SSL_CERT_DIR", std::nullopt);
  {
    EnvVar file("SSL_CERT_FILE", (dir / "no-such-file.pem").string());
    EXPECT_TRUE(platform_roots().empty());
  }
  {
    EnvVar file("SSL_CERT_FILE", dir.path().string());  // a directory is no PEM file
    EXPECT_TRUE(platform_roots().empty());
  }
  // A section that does not decode counts as a failed read: the sections before it stay, nothing falls back.
  write_pem(dir / "broken.pem", {&a}, "");
  test::write_file(dir / "broken.pem", test::read_file(dir / "broken.pem") +
                                           "-----BEGIN CERTIFICATE-----\n!!!!\n-----END CERTIFICATE-----\n");
  EnvVar file("SSL_CERT_FILE", (dir / "broken.pem").string());
  EXPECT_EQ(platform_roots(), std::vector<DerCert>{a.der});
}

TEST_F(GatePlatformRoots, EnvironmentThatYieldsNothingFallsBackToTheSystemStore) {
  std::vector<DerCert> system;
  {
    EnvVar file("SSL_CERT_FILE", std::nullopt);
    EnvVar cdir("SSL_CERT_DIR", std::nullopt);
    system = platform_roots();
  }
  write_pem(dir / "empty.pem", {});
  EnvVar file("SSL_CERT_FILE", (dir / "empty.pem").string());
  EnvVar cdir("SSL_CERT_DIR", std::nullopt);
  EXPECT_EQ(platform_roots(), system);
}

TEST(GateRoots, HashFileNames) {
  for (auto name : {"f3377b1b.0", "ABCDEF00.9", "01234567.2"}) EXPECT_TRUE(platform_detail::is_hash_file_name(name));
  for (auto name : {"f3377b1b.a", "e73d606g.1", "0123457.2", "89abcdef0.3", "name.pem", "f3377b1b.10"}) {
    EXPECT_FALSE(platform_detail::is_hash_file_name(name)) << name;
  }
}

}  // namespace
}  // namespace qb

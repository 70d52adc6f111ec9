#include "cli/install_dir.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "core/text.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

TEST(InstallDir, ParentOfPaths) {
  EXPECT_EQ(parent_of("/usr/local/bin/quorbelt-proxy"), std::filesystem::path("/usr/local/bin"));
  EXPECT_EQ(parent_of("/quorbelt-proxy"), std::filesystem::path("/"));
  EXPECT_EQ(parent_of("quorbelt-proxy"), std::filesystem::path(""));
  EXPECT_EQ(parent_of("a/../b"), std::filesystem::path("a/.."));
  EXPECT_FALSE(parent_of("/").has_value());
  EXPECT_FALSE(parent_of("").has_value());
}

TEST(InstallDir, ModesOfTheDirectory) {
  test::TempDir tmp;
  struct Case {
    unsigned mode;
    const char* refused_as;  // nullptr when accepted
  };
  for (const Case& c : {Case{0755, nullptr}, Case{0750, nullptr}, Case{0700, nullptr}, Case{0775, "775"},
                        Case{0757, "757"}, Case{0720, "720"}, Case{01777, "777"}}) {
    const auto d = tmp / "install";
    std::filesystem::create_directory(d);
    ::chmod(d.c_str(), c.mode);
    auto r = check_install_dir(d);
    if (c.refused_as == nullptr) {
      EXPECT_TRUE(r) << std::oct << c.mode;
    } else {
      ASSERT_FALSE(r) << std::oct << c.mode;
      EXPECT_EQ(r.error().display(), "QB-5009: " + d.string() + " is group/other-writable (mode " + c.refused_as +
                                         ") \u2014 refuse to load secrets from a plantable install dir. Fix: chmod "
                                         "go-w " +
                                         d.string());
    }
    std::filesystem::remove(d);
  }
}

TEST(InstallDir, LinksMissingAndNonDirectories) {
  test::TempDir tmp;
  std::filesystem::create_directory(tmp / "real");
  ::chmod((tmp / "real").c_str(), 0755);
  std::filesystem::create_directory_symlink(tmp / "real", tmp / "link");
  EXPECT_TRUE(check_install_dir(tmp / "link"));

  test::write_file(tmp / "file", "x", 0600);
  EXPECT_EQ(check_install_dir(tmp / "file").error().display(), "QB-5009: " + (tmp / "file").string() + " is not a directory");

  EXPECT_EQ(check_install_dir(tmp / "missing").error().display(),
            "QB-5009: stat install dir " + (tmp / "missing").string() + ": " + os_error_text(ENOENT));
  // A bare executable name has an empty directory part, which stat refuses.
  EXPECT_EQ(check_install_dir("").error().display(), "QB-5009: stat install dir : " + os_error_text(ENOENT));
}

TEST(InstallDir, BinaryDirAndConfigPathAreTheExecutablesDirectory) {
  const auto exe = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(*binary_dir(), exe.parent_path());
  EXPECT_EQ(*config_path(), exe.parent_path() / "quorbelt.conf");
}

}  // namespace
}  // namespace qb

#include "proxy/intercept/owner_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "core/text.h"
#include "support/temp_dir.h"

namespace qb {
namespace {

using test::file_mode;
using test::read_file;
using test::TempDir;
using test::write_file;

TEST(OwnerFiles, ReadAcceptsOwnerOnlyModes) {
  TempDir dir;
  for (unsigned mode : {0600u, 0400u, 0700u, 04600u}) {
    write_file(dir / "secret", "key material", mode);
    auto r = read_secret_file(dir / "secret");
    ASSERT_TRUE(r) << std::oct << mode << " " << r.error().display();
    EXPECT_EQ(*r, "key material");
    ::chmod((dir / "secret").c_str(), 0600);
  }
  write_file(dir / "empty", "", 0600);
  EXPECT_EQ(*read_secret_file(dir / "empty"), "");
}

TEST(OwnerFiles, ReadRefusesGroupOrOtherBits) {
  TempDir dir;
  struct Case {
    unsigned mode;
    const char* shown;
  };
  for (const Case& c : {Case{0644, "644"}, Case{0640, "640"}, Case{0604, "604"}, Case{0620, "620"}, Case{060, "60"},
                        Case{0601, "601"}}) {
    const auto p = dir / "secret";
    write_file(p, "x", c.mode);
    auto r = read_secret_file(p);
    ASSERT_FALSE(r) << c.shown;
    EXPECT_EQ(r.error().code, "QB-5009");
    EXPECT_EQ(r.error().detail, p.string() + " is group/other-accessible (mode " + c.shown +
                                    "); it holds secret key material. Fix: chmod 600 " + p.string());
    ::unlink(p.c_str());
  }
}

TEST(OwnerFiles, ReadRefusesLinksMissingFilesAndFifos) {
  TempDir dir;
  write_file(dir / "target", "x", 0600);
  std::filesystem::create_symlink(dir / "target", dir / "link");
  auto link = read_secret_file(dir / "link");
  ASSERT_FALSE(link);
  EXPECT_EQ(link.error().display(), "QB-5008: open " + (dir / "link").string() + ": " + os_error_text(ELOOP));

  // A directory symlink in the middle of the path is followed.
  std::filesystem::create_directory(dir / "real");
  write_file(dir / "real" / "f", "inner", 0600);
  std::filesystem::create_directory_symlink(dir / "real", dir / "alias");
  EXPECT_EQ(*read_secret_file(dir / "alias" / "f"), "inner");

  auto missing = read_secret_file(dir / "missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display(), "QB-5008: open " + (dir / "missing").string() + ": " + os_error_text(ENOENT));

  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  auto fifo = read_secret_file(dir / "fifo");  // must not hang waiting for a writer
  ASSERT_FALSE(fifo);
  EXPECT_EQ(fifo.error().display(), "QB-5009: " + (dir / "fifo").string() + " is not a regular file \u2014 refuse");
}

TEST(OwnerFiles, WriteLeavesOwnerOnlyFileWithNewContents) {
  TempDir dir;
  const auto p = dir / "token";
  write_file(p, "old contents that are longer", 0644);
  ASSERT_TRUE(write_private_file(p, "new"));
  EXPECT_EQ(file_mode(p), 0600u);
  EXPECT_EQ(read_file(p), "new");

  for (mode_t mask : {0000, 0022, 0077}) {
    const auto fresh = dir / ("fresh" + std::to_string(mask));
    const mode_t old = ::umask(mask);
    auto r = write_private_file(fresh, "abc");
    ::umask(old);
    ASSERT_TRUE(r);
    EXPECT_EQ(file_mode(fresh), 0600u) << std::oct << mask;
  }
}

TEST(OwnerFiles, WriteRefusesASymbolicLinkAndLeavesBothAlone) {
  TempDir dir;
  write_file(dir / "target", "keep", 0644);
  std::filesystem::create_symlink(dir / "target", dir / "link");
  auto r = write_private_file(dir / "link", "overwrite");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "QB-5007: open " + (dir / "link").string() + ": " + os_error_text(ELOOP));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link"));
  EXPECT_EQ(read_file(dir / "target"), "keep");
  EXPECT_EQ(file_mode(dir / "target"), 0644u);
}

}  // namespace
}  // namespace qb

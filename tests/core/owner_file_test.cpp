#include "core/owner_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

class OwnerFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "qb-owner-file-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  fs::path dir_;
};

TEST_F(OwnerFileTest, AtomicWriteReplacesALeftoverTemporaryFile) {
  const fs::path tmp = dir_ / ".f.tmp";
  const fs::path path = dir_ / "f";
  std::ofstream(tmp) << "left over";
  ::chmod(tmp.c_str(), 0644);
  ASSERT_TRUE(write_file_atomic(tmp, path, dir_, as_bytes("new")));
  EXPECT_EQ(read(path), "new");
  EXPECT_FALSE(fs::exists(tmp));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(OwnerFileTest, AtomicWriteNamesTheStepThatFailed) {
  // The temporary file cannot be created where no directory is.
  auto open = write_file_atomic(dir_ / "missing" / ".f.tmp", dir_ / "missing" / "f", dir_, as_bytes("x"));
  ASSERT_FALSE(open);
  EXPECT_EQ(open.error().step, FileStep::Open);
  EXPECT_FALSE(open.error().text.empty());

  // A non-empty directory in the final place refuses the rename; the temporary file stays.
  fs::create_directories(dir_ / "f" / "inside");
  auto rename = write_file_atomic(dir_ / ".f.tmp", dir_ / "f", dir_, as_bytes("x"));
  ASSERT_FALSE(rename);
  EXPECT_EQ(rename.error().step, FileStep::Rename);
  EXPECT_EQ(read(dir_ / ".f.tmp"), "x");
}

TEST_F(OwnerFileTest, TruncatingOpenNarrowsAnExistingFileBeforeWriting) {
  const fs::path p = dir_ / "secret";
  std::ofstream(p) << "older and longer";
  ::chmod(p.c_str(), 0644);
  auto fd = open_private_truncate(p);
  ASSERT_TRUE(fd);
  struct stat st {};
  ASSERT_EQ(::fstat(fd->get(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 0);
  ASSERT_TRUE(write_all_fd(fd->get(), as_bytes("new")));
  fd->reset();
  EXPECT_EQ(read(p), "new");

  // Never through a final symbolic link.
  fs::create_symlink(p, dir_ / "link");
  auto link = open_private_truncate(dir_ / "link");
  ASSERT_FALSE(link);
  EXPECT_EQ(link.error().step, FileStep::Open);
  EXPECT_EQ(read(p), "new");
}

}  // namespace
}  // namespace qb

#include "support/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qb::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "qbtest-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  ::chmod(path_.c_str(), 0700);
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore permissions a test may have narrowed so that removal succeeds.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
  }
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::filesystem::path& p, const std::string& content, unsigned mode) {
  {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
  }
  ::chmod(p.c_str(), mode);
}

std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

unsigned file_mode(const std::filesystem::path& p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

}  // namespace qb::test

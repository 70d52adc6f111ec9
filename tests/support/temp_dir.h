// A fresh private directory for one test, removed with its contents afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace qb::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes a file with the given mode (set exactly, whatever the umask).
void write_file(const std::filesystem::path& p, const std::string& content, unsigned mode = 0600);
std::string read_file(const std::filesystem::path& p);
unsigned file_mode(const std::filesystem::path& p);

}  // namespace qb::test

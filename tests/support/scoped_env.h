// Environment variables set or unset for the life of the object and put back as they were on
// destruction, so that a failed assertion never leaves them behind for the next test.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qb::test {

class ScopedEnv {
 public:
  ScopedEnv() = default;
  // One variable: set to the value, or unset without one.
  ScopedEnv(const std::string& name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  // Changes are remembered once per name: the destructor restores the value from before the first.
  ScopedEnv& set(const std::string& name, const std::string& value);
  ScopedEnv& unset(const std::string& name);
  ScopedEnv& unset(std::initializer_list<const char*> names);

 private:
  void remember(const std::string& name);
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace qb::test

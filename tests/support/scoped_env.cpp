#include "support/scoped_env.h"

#include <algorithm>
#include <cstdlib>
#include <ranges>

namespace qb::test {

ScopedEnv::ScopedEnv(const std::string& name, std::optional<std::string> value) {
  if (value) {
    set(name, *value);
  } else {
    unset(name);
  }
}

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, old] : std::views::reverse(saved_)) {
    if (old) {
      ::setenv(name.c_str(), old->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

void ScopedEnv::remember(const std::string& name) {
  if (std::ranges::any_of(saved_, [&](const auto& s) { return s.first == name; })) return;
  const char* old = std::getenv(name.c_str());
  saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
}

ScopedEnv& ScopedEnv::set(const std::string& name, const std::string& value) {
  remember(name);
  ::setenv(name.c_str(), value.c_str(), 1);
  return *this;
}

ScopedEnv& ScopedEnv::unset(const std::string& name) {
  remember(name);
  ::unsetenv(name.c_str());
  return *this;
}

ScopedEnv& ScopedEnv::unset(std::initializer_list<const char*> names) {
  for (const char* n : names) unset(std::string(n));
  return *this;
}

}  // namespace qb::test

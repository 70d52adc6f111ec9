// P-256 tests run twice: on the fast curve arithmetic and on the provider path FIPS mode takes.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "crypto/primitives.h"

namespace qb::test {

enum class P256Path { fast, provider };

inline constexpr P256Path kBothP256Paths[] = {P256Path::fast, P256Path::provider};

inline std::string p256_path_name(const ::testing::TestParamInfo<P256Path>& info) {
  return info.param == P256Path::provider ? "provider" : "fast";
}

inline void PrintTo(P256Path path, std::ostream* os) { *os << (path == P256Path::provider ? "provider" : "fast"); }

// Puts the process on a path for one scope and back on the fast one after it.
class ScopedP256Path {
 public:
  explicit ScopedP256Path(P256Path path) { detail::force_p256_provider_path(path == P256Path::provider); }
  ~ScopedP256Path() { detail::force_p256_provider_path(false); }
  ScopedP256Path(const ScopedP256Path&) = delete;
  ScopedP256Path& operator=(const ScopedP256Path&) = delete;
};

// A fixture whose parameter is the path each test runs on.
class P256PathTest : public ::testing::TestWithParam<P256Path> {
 private:
  ScopedP256Path path_{GetParam()};
};

}  // namespace qb::test

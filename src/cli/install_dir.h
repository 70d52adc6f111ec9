// The directory that holds the executable and every file the program keeps.
#pragma once

#include <filesystem>
#include <optional>

#include "core/errors.h"

namespace qb {

inline constexpr const char* kConfigFileName = "quorbelt.conf";

// The path without its last component; empty when there is none (empty path or the root).
std::optional<std::filesystem::path> parent_of(const std::filesystem::path& p);

ProxyResult<std::filesystem::path> binary_dir();
// Refuses a missing directory, a non-directory and a group- or other-writable directory.
ProxyResult<void> check_install_dir(const std::filesystem::path& dir);
ProxyResult<std::filesystem::path> config_path();

}  // namespace qb

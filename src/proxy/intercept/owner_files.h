// Owner-only files: secrets and trust material kept next to the executable.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "core/errors.h"

namespace qb {

// Reads the whole file; refuses a symbolic link, a file that is not regular, and any group or
// other permission bit.
ProxyResult<std::string> read_secret_file(const std::filesystem::path& path);

// Creates or truncates the file (never through a final symbolic link), narrows it to 0600
// before the first byte, then writes the whole content.
ProxyResult<void> write_private_file(const std::filesystem::path& path, std::string_view content);

}  // namespace qb

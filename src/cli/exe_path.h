// The platform's answer to "where is the running executable".
#pragma once

#include <filesystem>

#include "core/result.h"

namespace qb {

// The path as the platform gives it (not resolved further), or the errno of the failure.
Result<std::filesystem::path, int> current_exe_path();

}  // namespace qb

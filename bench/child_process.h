#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "system/unique_resource.h"

namespace bench {

// Starts this program again with `arguments`, its standard output and error
// streams written to `output` (replaced), or dropped without one. Empty when
// the process could not be started.
base::KernelHandle StartSelf(const std::wstring& arguments,
                             const std::optional<std::filesystem::path>& output = std::nullopt);

}  // namespace bench

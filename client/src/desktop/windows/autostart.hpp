// Start at log-on: the value "Quillmar" under the current user's Run key, holding the
// installed program's path.
#pragma once

#include <filesystem>

#include "proto/result.hpp"

namespace quillmar {

// Enabling installs the program first and points the value at the installed copy;
// disabling deletes the value (a missing one is fine).
Status set_autostart(bool enable);
// The value exists with a data size that is not 0; its type is not looked at.
bool autostart_enabled();
// Writes the value for the program, without installing anything.
Status point_autostart_at(const std::filesystem::path& program);

}  // namespace quillmar

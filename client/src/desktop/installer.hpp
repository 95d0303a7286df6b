// The command-line installer (--install <folder> [--force]): copies the running
// program into the folder.
#pragma once

#include <filesystem>
#include <string_view>

#include "proto/result.hpp"

namespace quillmar {

// Copies the running program into the folder under its own file name, through a
// ".new" file renamed over the destination; prints "已安装 …" on success. An existing
// destination is replaced only with force.
Status install_to_dir(std::string_view folder, bool force);

// install_to_dir with the program file given instead of read from the process.
Status install_program_to_dir(const std::filesystem::path& program, std::string_view folder,
                              bool force);

}  // namespace quillmar

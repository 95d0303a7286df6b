// A folder of the fuzz run's own under the system's temporary folder, made once.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace quillmar::fuzz {

inline const std::filesystem::path& scratch_folder() {
  static const std::filesystem::path folder = [] {
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    auto path = std::filesystem::temp_directory_path() /
                ("quillmar-fuzz-" + std::to_string(stamp) + "-" +
                 std::to_string(reinterpret_cast<std::uintptr_t>(&stamp) & 0xFFFFF));
    std::filesystem::create_directories(path);
    return path;
  }();
  return folder;
}

}  // namespace quillmar::fuzz

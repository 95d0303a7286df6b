// A folder of the fuzz run's own, made at first use and removed at the end of the run:
// in memory where the system has such a folder (the console's routes save the key file,
// and each save waits for the disk), else under the system's temporary folder.
#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace quillmar::fuzz {

class ScratchFolder {
 public:
  ScratchFolder() {
    std::error_code ec;
    const std::filesystem::path memory = "/dev/shm";
    const auto base =
        std::filesystem::is_directory(memory, ec) ? memory : std::filesystem::temp_directory_path();
    path_ = base / ("quillmar-fuzz-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;  // a folder left behind only takes a little room
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline const std::filesystem::path& scratch_folder() {
  static const ScratchFolder folder;
  return folder.path();
}

}  // namespace quillmar::fuzz

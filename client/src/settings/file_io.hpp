// Whole-file reads and crash-safe whole-file replacement, with the operating system's
// own error codes, on Linux and Windows alike.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "proto/result.hpp"

namespace quillmar {

// Every byte of the file. A folder, a missing file or a read error is an error.
Result<std::string> read_file_bytes(const std::filesystem::path& path);
// As read_file_bytes, but anything other than a plain file (a pipe, a device) is an
// InvalidInput error instead of a read that may never end. For settings files.
Result<std::string> read_regular_file(const std::filesystem::path& path);
// A plain file (as read_regular_file) as UTF-8 text; bytes that are not valid UTF-8 are
// an InvalidData error.
Result<std::string> read_text_file(const std::filesystem::path& path);

// Writes the text to temp (made anew, with the target's permissions, or the owner's only
// for a new target), forces it to the disk, then renames temp over target in one step.
// Until the rename the target keeps its old content, so a crash, a full disk or a failed
// write never leaves it half written. A target that may not be written (one the user
// made read-only) is refused with PermissionDenied and left alone. A partly written
// temp is deleted; after a failed rename the complete temp stays behind.
Status replace_file(const std::filesystem::path& target, const std::filesystem::path& temp,
                    std::string_view text);

// Renames a file over another, replacing it (Windows: MoveFileExW with write-through).
Status rename_replacing(const std::filesystem::path& from, const std::filesystem::path& to);
// Renames a folder (or a file) to a name that does not exist yet.
Status rename_to_new_name(const std::filesystem::path& from, const std::filesystem::path& to);
// Copies a file over another, replacing it.
Status copy_file_replacing(const std::filesystem::path& from, const std::filesystem::path& to);
// Deletes a file; never a folder. Failures are the caller's to ignore.
void remove_file_quietly(const std::filesystem::path& path);

// The running program's full path (/proc/self/exe, or GetModuleFileNameW on Windows).
Result<std::filesystem::path> current_executable_path();

}  // namespace quillmar

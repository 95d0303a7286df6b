// Installing the running program into the user's profile: a copy under the local
// application-data folder and a Start-menu shortcut to it, keeping an existing desktop
// shortcut and start at log-on pointed at the copy.
#pragma once

#include <windows.h>

#include <shlobj.h>

#include <filesystem>

#include "proto/result.hpp"

namespace quillmar {

// A known folder of the current user; "SHGetKnownFolderPath failed: {hresult}" when it
// has none.
Result<std::filesystem::path> known_folder(REFKNOWNFOLDERID id);
// LocalAppData\Quillmar\Quillmar.exe
Result<std::filesystem::path> install_exe_path();
// Desktop\Quillmar.lnk
Result<std::filesystem::path> desktop_link_path();

// Copies the running program to the install location (through "Quillmar.exe.pending",
// or straight over a copy that cannot be replaced by a rename), then writes the
// Start-menu shortcut, renews a wanted desktop shortcut and an existing Run value, and
// marks the first-run offer as done. Returns the installed program's path.
Result<std::filesystem::path> install_self();
// install_self with the program file given instead of read from the process; the
// installed program itself is not copied, but its shortcuts are written again.
Result<std::filesystem::path> install_program(const std::filesystem::path& program);
// The fallback when the rename fails: the running program copied straight over the
// installed one, and the pending copy removed.
Status replace_by_copy(const std::filesystem::path& program,
                       const std::filesystem::path& install_exe,
                       const std::filesystem::path& pending_exe);

// Compares the operating system's final paths when both files can be opened, the paths
// as given otherwise.
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b);
// The running program is the installed one.
bool is_installed();

}  // namespace quillmar

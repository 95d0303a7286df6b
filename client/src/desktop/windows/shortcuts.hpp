// Shell links (.lnk) to the installed program: the Start-menu one that every
// installation writes, and the desktop one the user asks for.
#pragma once

#include <filesystem>

#include "proto/result.hpp"

namespace quillmar {

// A shortcut to the program: its folder as working directory, "Quillmar" as description,
// the program's first icon. The shortcut's folder is created when missing.
Status write_shortcut(const std::filesystem::path& link, const std::filesystem::path& program);
// Creating installs the program first and remembers the wish in the shell settings;
// removing deletes the link (a missing one included) and forgets the wish.
Status set_desktop_link(bool create);
// The desktop link exists as a regular file.
bool desktop_link_exists();

}  // namespace quillmar

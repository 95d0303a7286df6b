// The argument list as UTF-8 texts. Windows: the command line split by the rules of the
// Microsoft C runtime (blanks and tabs separate, double quotes group, backslashes are
// literal except in front of a double quote); the splitter works on UTF-8 so Linux tests
// run it too. Linux: argv as given. Both feed the same option parser.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

std::vector<std::string> split_command_line(std::string_view command_line);

// argv as given, except that bytes which are not UTF-8 become U+FFFD, as an unpaired
// surrogate does on Windows: every later step may rely on valid text.
std::vector<std::string> args_from_argv(int argc, const char* const* argv);

#ifdef _WIN32
std::vector<std::string> split_windows_command_line(const wchar_t* command_line);
#endif

}  // namespace quillmar

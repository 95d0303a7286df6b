// Splitting a Windows command line into arguments, by the rules of the Microsoft C
// runtime: blanks and tabs separate, double quotes group, backslashes are literal
// except in front of a double quote. The text is UTF-8 so Linux tests run it too.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

std::vector<std::string> split_command_line(std::string_view command_line);

#ifdef _WIN32
std::vector<std::string> split_windows_command_line(const wchar_t* command_line);
#endif

}  // namespace quillmar

// The command line: on Windows the program splits its one UTF-16 line itself and
// converts it with the Win32 calls.
#include "app/command_line.hpp"

#include "proto/text.hpp"

#ifdef _WIN32
#include <windows.h>
#endif

namespace quillmar {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The program name: no escapes; every double quote toggles quoting, and a blank or
// tab outside quotes ends it.
std::string program_name(std::string_view line, std::size_t& pos) {
  std::string name;
  bool in_quotes = false;
  for (; pos < line.size(); ++pos) {
    char c = line[pos];
    if (c == '"') {
      in_quotes = !in_quotes;
    } else if (is_blank(c) && !in_quotes) {
      break;
    } else {
      name.push_back(c);
    }
  }
  return name;
}

// One argument starting at pos (no leading blanks), with the backslash and quote rules.
std::string next_argument(std::string_view line, std::size_t& pos) {
  std::string arg;
  bool in_quotes = false;
  while (pos < line.size()) {
    char c = line[pos];
    if (c == '\\') {
      std::size_t count = 0;
      while (pos < line.size() && line[pos] == '\\') ++count, ++pos;
      if (pos < line.size() && line[pos] == '"') {
        arg.append(count / 2, '\\');
        if (count % 2 == 1) {
          arg.push_back('"');
          ++pos;
        }
      } else {
        arg.append(count, '\\');
      }
    } else if (c == '"') {
      if (in_quotes && pos + 1 < line.size() && line[pos + 1] == '"') {
        arg.push_back('"');
        pos += 2;
      } else {
        in_quotes = !in_quotes;
        ++pos;
      }
    } else if (is_blank(c) && !in_quotes) {
      break;
    } else {
      arg.push_back(c);
      ++pos;
    }
  }
  return arg;
}

}  // namespace

std::vector<std::string> split_command_line(std::string_view line) {
  std::vector<std::string> args;
  std::size_t pos = 0;
  args.push_back(program_name(line, pos));
  while (true) {
    while (pos < line.size() && is_blank(line[pos])) ++pos;
    if (pos >= line.size()) break;
    args.push_back(next_argument(line, pos));
  }
  return args;
}

std::vector<std::string> args_from_argv(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
    std::string_view arg(argv[i]);
    args.push_back(is_valid_utf8(arg) ? std::string(arg) : decode_utf8_lossy(arg));
  }
  return args;
}

#ifdef _WIN32
std::vector<std::string> split_windows_command_line(const wchar_t* command_line) {
  int length = static_cast<int>(std::char_traits<wchar_t>::length(command_line));
  int bytes = WideCharToMultiByte(CP_UTF8, 0, command_line, length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, command_line, length, utf8.data(), bytes, nullptr, nullptr);
  return split_command_line(utf8);
}
#endif

}  // namespace quillmar

#include "app/command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillmar {
namespace {

struct SplitCase {
  const char* name;
  std::string line;
  std::vector<std::string> expected;
};

const SplitCase SPLIT_CASES[] = {
    {"blanks separate", "q.exe a b", {"q.exe", "a", "b"}},
    {"runs of blanks and tabs", "q.exe \t a\t\tb  ", {"q.exe", "a", "b"}},
    {"tab after the program name", "q.exe\t--ui\t8080", {"q.exe", "--ui", "8080"}},
    {"quotes group", "q.exe \"a b\" c", {"q.exe", "a b", "c"}},
    {"quotes inside a word", "q.exe a\"b c\"d", {"q.exe", "ab cd"}},
    {"tab inside quotes", "q.exe \"a\tb\"", {"q.exe", "a\tb"}},
    {"empty quoted argument", "q.exe \"\"", {"q.exe", ""}},
    {"two empty quoted arguments", "q.exe \"\" \"\" x", {"q.exe", "", "", "x"}},
    {"unterminated quote runs to the end", "q.exe \"a b", {"q.exe", "a b"}},
    {"backslashes alone are literal", "q.exe C:\\dir\\\\sub\\", {"q.exe", "C:\\dir\\\\sub\\"}},
    {"escaped quote", "q.exe a\\\"b", {"q.exe", "a\"b"}},
    {"two backslashes before a quote", "q.exe \"a\\\\\" b", {"q.exe", "a\\", "b"}},
    {"three backslashes before a quote", "q.exe a\\\\\\\"b", {"q.exe", "a\\\"b"}},
    {"four backslashes before a quote", "q.exe \"a\\\\\\\\\"", {"q.exe", "a\\\\"}},
    {"doubled quote inside quotes", "q.exe \"a\"\"b\"", {"q.exe", "a\"b"}},
    {"quoted folder ending in a backslash",
     "q.exe --install \"C:\\Program Files\\\\\"",
     {"q.exe", "--install", "C:\\Program Files\\"}},
    {"UTF-8 passes unchanged", "q.exe --sub \"我的 电脑\"", {"q.exe", "--sub", "我的 电脑"}},
    {"quoted program name with blanks",
     "\"C:\\Program Files\\Quillmar\\Quillmar.exe\" --ui 1",
     {"C:\\Program Files\\Quillmar\\Quillmar.exe", "--ui", "1"}},
    {"program name: a backslash before the closing quote is literal",
     "\"C:\\dir\\\" a",
     {"C:\\dir\\", "a"}},
    {"program name: every quote toggles", "q\"x y\"z a", {"qx yz", "a"}},
    {"program name: the quoted part continues up to a blank",
     "\"C:\\q\".exe a",
     {"C:\\q.exe", "a"}},
    {"program name alone", "q.exe", {"q.exe"}},
    {"leading blanks before an argument", "q.exe    --version", {"q.exe", "--version"}},
};

class SplitCommandLine : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLine, GivesTheArguments) {
  EXPECT_EQ(split_command_line(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitCommandLine, testing::ValuesIn(SPLIT_CASES),
                         [](const auto& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c != '\0'; ++c) {
                             name.push_back((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                                                    (*c >= '0' && *c <= '9')
                                                ? *c
                                                : '_');
                           }
                           return name;
                         });

TEST(ArgsFromArgv, TakesTheArgumentsAsGivenAsText) {
  const char* argv[] = {"quillmar", "--sub", "我的 电脑", "", "a\"b\\c", nullptr};
  EXPECT_EQ(args_from_argv(5, argv),
            (std::vector<std::string>{"quillmar", "--sub", "我的 电脑", "", "a\"b\\c"}));
}

TEST(ArgsFromArgv, BytesThatAreNoUtf8BecomeReplacementCharacters) {
  // The second one would read as a tab if decoded blindly.
  const char* argv[] = {"quillmar", "--invite",
                        "a\xFF"
                        "b",
                        "\xE0\x89", nullptr};
  EXPECT_EQ(args_from_argv(4, argv),
            (std::vector<std::string>{"quillmar", "--invite", "a\uFFFDb", "\uFFFD\uFFFD"}));
}

#ifdef _WIN32
TEST(SplitWindowsCommandLine, ConvertsUtf16ToUtf8) {
  std::vector<std::string> expected{"Q.exe", "--sub", "\xC3\xA9t\xC3\xA9 \xE4\xB8\xAD"};
  EXPECT_EQ(split_windows_command_line(L"Q.exe --sub \"\u00e9t\u00e9 \u4e2d\""), expected);
}

TEST(SplitWindowsCommandLine, UnpairedSurrogateBecomesAReplacementCharacter) {
  const wchar_t line[] = {L'Q', L' ', L'a', 0xD800, L'b', 0};
  EXPECT_EQ(split_windows_command_line(line), (std::vector<std::string>{"Q", "a\uFFFDb"}));
}
#endif

}  // namespace
}  // namespace quillmar

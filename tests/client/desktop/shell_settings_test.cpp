#include "desktop/shell_settings.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/environment.hpp"
#include "async_test.hpp"
#include "scoped_env.hpp"

namespace quillmar {
namespace {

using test::read_file;
using test::ScopedEnv;
using test::TempDir;
using test::write_file;

struct ShellEnv {
  TempDir dir;
  ScopedEnv appdata{"APPDATA", path_to_utf8(dir.path())};
  std::filesystem::path file = dir.path() / "Quillmar" / "shell.ini";

  void write(const std::string& content) {
    std::filesystem::create_directories(file.parent_path());
    write_file(file, content);
  }
};

TEST(ShellIniPath, LivesUnderAppDataWhateverTheKeyFolder) {
  ShellEnv env;
  TempDir other;
  ScopedEnv key_dir("TUNNEL_KEY_DIR", path_to_utf8(other.path()));
  EXPECT_EQ(shell_ini_path(), env.file);
}

#ifndef _WIN32
// Without APPDATA the settings stay in the user's configuration folder, beside the key
// file, rather than in the temporary folder that a reboot empties.
TEST(ShellIniPath, WithoutAppDataFollowsTheKeyFileFolder) {
  TempDir dir;
  ScopedEnv appdata("APPDATA", std::nullopt);
  {
    ScopedEnv config("XDG_CONFIG_HOME", path_to_utf8(dir.path() / "config"));
    EXPECT_EQ(shell_ini_path(), dir.path() / "config" / "Quillmar" / "shell.ini");
  }
  {
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv home("HOME", path_to_utf8(dir.path() / "home"));
    EXPECT_EQ(shell_ini_path(), dir.path() / "home" / ".config" / "Quillmar" / "shell.ini");
  }
  {
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv home("HOME", std::nullopt);
    std::filesystem::create_directories(dir.path() / "tmp");
    ScopedEnv tmpdir("TMPDIR", path_to_utf8(dir.path() / "tmp"));
    EXPECT_EQ(shell_ini_path(), dir.path() / "tmp" / "Quillmar" / "shell.ini");
  }
}
#else
TEST(ShellIniPath, WithoutAppDataUsesTheTemporaryFolder) {
  TempDir dir;
  ScopedEnv appdata("APPDATA", std::nullopt);
  ScopedEnv tmp("TMP", path_to_utf8(dir.path()));
  ScopedEnv temp("TEMP", path_to_utf8(dir.path()));
  EXPECT_EQ(std::filesystem::weakly_canonical(shell_ini_path()),
            std::filesystem::weakly_canonical(dir.path() / "Quillmar" / "shell.ini"));
}
#endif

TEST(ShellIniFlag, AcceptsTrueYesAndOneExactly) {
  struct Case {
    const char* name;
    std::optional<std::string> content;
    bool expected;
  };
  const Case cases[] = {
      {"missing file", std::nullopt, false},
      {"yes with blanks around the equals sign", " offer_done = yes \n", true},
      {"true", "offer_done=true\n", true},
      {"1", "offer_done=1", true},
      {"TRUE in capitals", "offer_done=TRUE\n", false},
      {"0", "offer_done=0\n", false},
      {"on", "offer_done=on\n", false},
      {"a later line of the key can still say true", "offer_done=0\noffer_done=yes\n", true},
      {"no equals sign", "offer_done\n", false},
      {"another key", "offer_done_x=1\ndesktop_shortcut=1\n", false},
      {"CRLF line ends", "a=b\r\noffer_done=1\r\n", true},
      {"not UTF-8", "offer_done=1\n\xFF\n", false},
  };
  for (const auto& c : cases) {
    ShellEnv env;
    if (c.content) env.write(*c.content);
    EXPECT_EQ(shell_ini_flag("offer_done"), c.expected) << c.name;
  }
}

TEST(LinesExceptKey, DropsOnlyTheKeysLines) {
  EXPECT_EQ(
      lines_except_key("a=1\r\n desktop_shortcut = 1\r\nno equals\r\n\r\nx=desktop_shortcut\n",
                       "desktop_shortcut"),
      (std::vector<std::string>{"a=1", "no equals", "", "x=desktop_shortcut"}));
  EXPECT_EQ(lines_except_key("", "a"), std::vector<std::string>{});
  EXPECT_EQ(lines_except_key("a=1\nb", "a"), std::vector<std::string>{"b"});
}

TEST(SetShellIniFlag, RewritesWithTheKeyLast) {
  ShellEnv env;
  env.write("a=1\r\ndesktop_shortcut=1\r\nno equals sign\r\n");
  ASSERT_TRUE(set_shell_ini_flag("desktop_shortcut", false).ok());
  EXPECT_EQ(read_file(env.file), "a=1\nno equals sign\ndesktop_shortcut=0\n");
  EXPECT_FALSE(shell_ini_flag("desktop_shortcut"));
  ASSERT_TRUE(set_shell_ini_flag("offer_done", true).ok());
  EXPECT_EQ(read_file(env.file), "a=1\nno equals sign\ndesktop_shortcut=0\noffer_done=1\n");
  EXPECT_TRUE(shell_ini_flag("offer_done"));
  EXPECT_FALSE(std::filesystem::exists(env.dir.path() / "Quillmar" / "shell.ini.tmp"));
}

TEST(SetShellIniFlag, CreatesTheFolderAndFile) {
  ShellEnv env;
  ASSERT_FALSE(std::filesystem::exists(env.file.parent_path()));
  ASSERT_TRUE(set_shell_ini_flag("offer_done", true).ok());
  EXPECT_EQ(read_file(env.file), "offer_done=1\n");
}

TEST(SetShellIniFlag, FailedWriteIsReportedAndLeavesTheFileWhole) {
  ShellEnv env;
  env.write("offer_done=1\n");
  std::filesystem::create_directories(env.dir.path() / "Quillmar" / "shell.ini.tmp" / "blocker");
  EXPECT_FALSE(set_shell_ini_flag("desktop_shortcut", true).ok());
  EXPECT_EQ(read_file(env.file), "offer_done=1\n");
}

// The rename is the last step: when it fails, the error comes back and the complete
// temporary file stays until the next successful write replaces it.
TEST(SetShellIniFlag, FailedRenameLeavesTheTemporaryFile) {
  ShellEnv env;
  std::filesystem::create_directories(env.file / "blocker");  // no file can replace a folder
  auto temp = env.dir.path() / "Quillmar" / "shell.ini.tmp";
  EXPECT_FALSE(set_shell_ini_flag("offer_done", true).ok());
  EXPECT_EQ(read_file(temp), "offer_done=1\n");
  EXPECT_FALSE(shell_ini_flag("offer_done"));

  std::filesystem::remove_all(env.file);
  ASSERT_TRUE(set_shell_ini_flag("desktop_shortcut", true).ok());
  EXPECT_EQ(read_file(env.file), "desktop_shortcut=1\n");
  EXPECT_FALSE(std::filesystem::exists(temp));
}

TEST(SetShellIniFlag, FolderThatCannotBeMadeIsReported) {
  TempDir dir;
  write_file(dir.path() / "Quillmar", "a file where the folder should be");
  ScopedEnv appdata("APPDATA", path_to_utf8(dir.path()));
  EXPECT_FALSE(set_shell_ini_flag("offer_done", true).ok());
  EXPECT_FALSE(shell_ini_flag("offer_done"));
}

}  // namespace
}  // namespace quillmar

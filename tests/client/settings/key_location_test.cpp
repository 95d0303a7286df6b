#include "settings/key_location.hpp"

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

std::string migration_line(const std::filesystem::path& old_dir,
                           const std::filesystem::path& new_file) {
  return "client: 已把旧配置 " + path_to_utf8(old_dir) + " 迁移到 " + path_to_utf8(new_file) + "\n";
}

struct Located {
  std::filesystem::path path;
  std::string printed;  // standard output
};

Located locate_capturing() {
  testing::internal::CaptureStdout();
  auto path = locate_key_file();
  return {path, testing::internal::GetCapturedStdout()};
}

// The environment of one test: APPDATA at a fresh folder, no TUNNEL_KEY_DIR.
struct AppData {
  TempDir dir;
  ScopedEnv appdata{"APPDATA", path_to_utf8(dir.path())};
  ScopedEnv key_dir{"TUNNEL_KEY_DIR", std::nullopt};
  std::filesystem::path old_dir = dir.path() / "tunnel-client";
  std::filesystem::path new_dir = dir.path() / "Quillmar";
};

TEST(LocateKeyFile, TunnelKeyDirWinsAndMovesNothing) {
  AppData env;
  std::filesystem::create_directories(env.old_dir);
  write_file(env.old_dir / "id.ini", "token=old\n");
  TempDir chosen;
  ScopedEnv key_dir("TUNNEL_KEY_DIR", path_to_utf8(chosen.path()));
  auto located = locate_capturing();
  EXPECT_EQ(located.path, chosen.path() / "id.ini");
  EXPECT_EQ(located.printed, "");
  EXPECT_TRUE(std::filesystem::exists(env.old_dir / "id.ini"));
  EXPECT_FALSE(std::filesystem::exists(env.new_dir));
}

TEST(LocateKeyFile, EmptyTunnelKeyDirMeansTheWorkingFolder) {
  AppData env;
  ScopedEnv key_dir("TUNNEL_KEY_DIR", "");
  EXPECT_EQ(locate_key_file(), std::filesystem::path("id.ini"));
}

TEST(LocateKeyFile, NothingThereGivesTheNewFileAndCreatesNothing) {
  AppData env;
  auto located = locate_capturing();
  EXPECT_EQ(located.path, env.new_dir / "id.ini");
  EXPECT_EQ(located.printed, "");
  EXPECT_FALSE(std::filesystem::exists(env.new_dir));
}

TEST(LocateKeyFile, MovesTheOlderFolderWithEverythingInIt) {
  AppData env;
  std::filesystem::create_directories(env.old_dir / "sub");
  write_file(env.old_dir / "id.ini", "token=old\n");
  write_file(env.old_dir / "sub" / "other.txt", "x");
  auto located = locate_capturing();
  EXPECT_EQ(located.path, env.new_dir / "id.ini");
  EXPECT_EQ(located.printed, migration_line(env.old_dir, env.new_dir / "id.ini"));
  EXPECT_EQ(read_file(env.new_dir / "id.ini"), "token=old\n");
  EXPECT_EQ(read_file(env.new_dir / "sub" / "other.txt"), "x");
  EXPECT_FALSE(std::filesystem::exists(env.old_dir));
}

TEST(LocateKeyFile, CopiesIntoAnExistingNewFolder) {
  AppData env;
  std::filesystem::create_directories(env.old_dir);
  std::filesystem::create_directories(env.new_dir);
  write_file(env.old_dir / "id.ini", "token=old\n");
  write_file(env.new_dir / "shell.ini", "offer_done=1\n");
  auto located = locate_capturing();
  EXPECT_EQ(located.path, env.new_dir / "id.ini");
  EXPECT_EQ(located.printed, migration_line(env.old_dir, env.new_dir / "id.ini"));
  EXPECT_EQ(read_file(env.new_dir / "id.ini"), "token=old\n");
  EXPECT_EQ(read_file(env.old_dir / "id.ini"), "token=old\n");
  EXPECT_EQ(read_file(env.new_dir / "shell.ini"), "offer_done=1\n");
  EXPECT_FALSE(std::filesystem::exists(env.new_dir / "id.ini.tmp"));
}

TEST(LocateKeyFile, BothFilesPresentUsesTheNewOne) {
  AppData env;
  std::filesystem::create_directories(env.old_dir);
  std::filesystem::create_directories(env.new_dir);
  write_file(env.old_dir / "id.ini", "token=old\n");
  write_file(env.new_dir / "id.ini", "token=new\n");
  auto located = locate_capturing();
  EXPECT_EQ(located.path, env.new_dir / "id.ini");
  EXPECT_EQ(located.printed, "");
  EXPECT_EQ(read_file(env.new_dir / "id.ini"), "token=new\n");
  EXPECT_EQ(read_file(env.old_dir / "id.ini"), "token=old\n");
}

TEST(LocateKeyFile, AFolderNamedIdIniCountsAsTheNewFile) {
  AppData env;
  std::filesystem::create_directories(env.old_dir);
  std::filesystem::create_directories(env.new_dir / "id.ini");
  write_file(env.old_dir / "id.ini", "token=old\n");
  auto located = locate_capturing();
  EXPECT_EQ(located.path, env.new_dir / "id.ini");
  EXPECT_EQ(located.printed, "");
}

TEST(LocateKeyFile, AnOldFolderWithoutFileMovesNothing) {
  AppData env;
  std::filesystem::create_directories(env.old_dir / "id.ini");  // a folder, not a file
  auto located = locate_capturing();
  EXPECT_EQ(located.path, env.new_dir / "id.ini");
  EXPECT_EQ(located.printed, "");
  EXPECT_TRUE(std::filesystem::is_directory(env.old_dir / "id.ini"));
}

TEST(MigrateKeyDir, FailedRenameKeepsUsingTheOldFileSilently) {
  TempDir dir;
  auto old_dir = dir.path() / "tunnel-client";
  auto new_dir = dir.path() / "missing-parent" / "Quillmar";  // the rename cannot succeed
  std::filesystem::create_directories(old_dir);
  write_file(old_dir / "id.ini", "token=old\n");
  testing::internal::CaptureStdout();
  auto path = migrate_key_dir(new_dir, old_dir);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(path, old_dir / "id.ini");
  EXPECT_EQ(read_file(old_dir / "id.ini"), "token=old\n");
}

TEST(MigrateKeyDir, FailedCopyKeepsUsingTheOldFileSilently) {
  TempDir dir;
  auto old_dir = dir.path() / "tunnel-client";
  auto new_dir = dir.path() / "Quillmar";
  std::filesystem::create_directories(old_dir);
  write_file(old_dir / "id.ini", "token=old\n");
  write_file(new_dir, "a file where the folder should be");
  testing::internal::CaptureStdout();
  auto path = migrate_key_dir(new_dir, old_dir);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(path, old_dir / "id.ini");
}

TEST(SettingsBaseDir, WithoutAppDataFallsBack) {
  TempDir temp;
  ScopedEnv appdata("APPDATA", std::nullopt);
  ScopedEnv key_dir("TUNNEL_KEY_DIR", std::nullopt);
#ifdef _WIN32
  ScopedEnv tmp("TMP", path_to_utf8(temp.path()));
  ScopedEnv temp_var("TEMP", path_to_utf8(temp.path()));
  EXPECT_EQ(std::filesystem::weakly_canonical(locate_key_file()),
            std::filesystem::weakly_canonical(temp.path() / "Quillmar" / "id.ini"));
#else
  // A tunnel identity in the temporary folder would be gone after a reboot: the user's
  // configuration folder comes first.
  ScopedEnv tmpdir("TMPDIR", path_to_utf8(temp.path()));
  {
    ScopedEnv config("XDG_CONFIG_HOME", path_to_utf8(temp.path() / "config"));
    EXPECT_EQ(locate_key_file(), temp.path() / "config" / "Quillmar" / "id.ini");
  }
  {
    ScopedEnv config("XDG_CONFIG_HOME", "relative/config");  // not absolute: ignored
    ScopedEnv home("HOME", path_to_utf8(temp.path() / "home"));
    EXPECT_EQ(locate_key_file(), temp.path() / "home" / ".config" / "Quillmar" / "id.ini");
  }
  {
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv home("HOME", std::nullopt);
    EXPECT_EQ(locate_key_file(), temp.path() / "Quillmar" / "id.ini");
  }
#endif
}

TEST(SettingsBaseDir, MigrationIsRelativeToTheFallbackFolder) {
  TempDir temp;
  ScopedEnv appdata("APPDATA", std::nullopt);
  ScopedEnv key_dir("TUNNEL_KEY_DIR", std::nullopt);
#ifdef _WIN32
  ScopedEnv tmp("TMP", path_to_utf8(temp.path()));
  ScopedEnv temp_var("TEMP", path_to_utf8(temp.path()));
  auto base = std::filesystem::temp_directory_path();
#else
  ScopedEnv config("XDG_CONFIG_HOME", path_to_utf8(temp.path()));
  auto base = temp.path();
#endif
  std::filesystem::create_directories(base / "tunnel-client");
  write_file(base / "tunnel-client" / "id.ini", "token=old\n");
  auto located = locate_capturing();
  EXPECT_EQ(located.path, base / "Quillmar" / "id.ini");
  EXPECT_EQ(read_file(base / "Quillmar" / "id.ini"), "token=old\n");
  EXPECT_EQ(located.printed, migration_line(base / "tunnel-client", base / "Quillmar" / "id.ini"));
}

}  // namespace
}  // namespace quillmar

#include "desktop/installer.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/environment.hpp"
#include "async_test.hpp"
#include "settings/file_io.hpp"

namespace quillmar {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

constexpr const char* PROGRAM_NAME = "Quillmar.exe";
const std::string PROGRAM_BYTES =
    std::string("MZ\0\x01 program bytes", 19) + std::string(5000, 'x');

// A small stand-in for the running program, in a folder of its own.
struct Program {
  TempDir dir;
  std::filesystem::path path = dir.path() / PROGRAM_NAME;
  Program() { write_file(path, PROGRAM_BYTES); }
};

struct Installed {
  Status status;
  std::string printed;
};

Installed install_capturing(const std::filesystem::path& program,
                            const std::filesystem::path& folder, bool force) {
  testing::internal::CaptureStdout();
  Status status = install_program_to_dir(program, path_to_utf8(folder), force);
  return {status, testing::internal::GetCapturedStdout()};
}

std::filesystem::path with_new(std::filesystem::path path) {
  path += ".new";
  return path;
}

TEST(InstallToDir, CopiesTheProgramUnderItsOwnName) {
  Program program;
  TempDir dir;
  auto installed = install_capturing(program.path, dir.path(), false);
  ASSERT_TRUE(installed.status.ok()) << installed.status.error().structured();
  auto destination = dir.path() / PROGRAM_NAME;
  EXPECT_EQ(installed.printed, "已安装 " + path_to_utf8(destination) + "\n");
  EXPECT_EQ(read_file(destination), PROGRAM_BYTES);
  EXPECT_FALSE(std::filesystem::exists(with_new(destination)));
  EXPECT_EQ(read_file(program.path), PROGRAM_BYTES);
}

TEST(InstallToDir, ExistingFileNeedsForce) {
  Program program;
  TempDir dir;
  auto destination = dir.path() / PROGRAM_NAME;
  write_file(destination, "older version");

  auto refused = install_capturing(program.path, dir.path(), false);
  ASSERT_FALSE(refused.status.ok());
  EXPECT_EQ(refused.status.error().kind, ErrorKind::AlreadyExists);
  EXPECT_EQ(refused.status.error().message,
            path_to_utf8(destination) + " 已存在（要覆盖就加 --force）");
  EXPECT_EQ(refused.status.error().os_code, std::nullopt);
  EXPECT_EQ(refused.printed, "");
  EXPECT_EQ(read_file(destination), "older version");
  EXPECT_FALSE(std::filesystem::exists(with_new(destination)));

  auto forced = install_capturing(program.path, dir.path(), true);
  ASSERT_TRUE(forced.status.ok()) << forced.status.error().structured();
  EXPECT_EQ(forced.printed, "已安装 " + path_to_utf8(destination) + "\n");
  EXPECT_EQ(read_file(destination), PROGRAM_BYTES);
}

TEST(InstallToDir, AFolderOfTheSameNameCountsAsExisting) {
  Program program;
  TempDir dir;
  auto destination = dir.path() / PROGRAM_NAME;
  std::filesystem::create_directories(destination / "inside");

  auto refused = install_capturing(program.path, dir.path(), false);
  ASSERT_FALSE(refused.status.ok());
  EXPECT_EQ(refused.status.error().kind, ErrorKind::AlreadyExists);

  // With force the copy is made, the rename over the folder fails and the copy goes.
  auto forced = install_capturing(program.path, dir.path(), true);
  ASSERT_FALSE(forced.status.ok());
  EXPECT_NE(forced.status.error().os_code, std::nullopt);  // the rename's own error
  EXPECT_EQ(forced.printed, "");
  EXPECT_TRUE(std::filesystem::is_directory(destination / "inside"));
  EXPECT_FALSE(std::filesystem::exists(with_new(destination)));
}

TEST(InstallToDir, CopyFailureNamesTheNewFile) {
  Program program;
  TempDir dir;
  auto missing = dir.path() / "no-such-folder";
  auto failed = install_capturing(program.path, missing, false);
  ASSERT_FALSE(failed.status.ok());
  auto temp = with_new(missing / PROGRAM_NAME);
  const std::string head = "copy → " + path_to_utf8(temp) + " 失败：";
  EXPECT_TRUE(failed.status.error().message.starts_with(head)) << failed.status.error().message;
  EXPECT_GT(failed.status.error().message.size(), head.size());  // the copy error's text
  EXPECT_EQ(failed.status.error().kind, ErrorKind::NotFound);
  EXPECT_EQ(failed.status.error().os_code, std::nullopt);
  EXPECT_EQ(failed.printed, "");
  EXPECT_FALSE(std::filesystem::exists(missing));  // the folder is not created
}

TEST(InstallToDir, MissingProgramFailsAsTheCopyReportsIt) {
  TempDir dir;
  auto failed = install_capturing(dir.path() / "gone" / PROGRAM_NAME, dir.path(), false);
  ASSERT_FALSE(failed.status.ok());
  EXPECT_EQ(failed.status.error().kind, ErrorKind::NotFound);
  EXPECT_TRUE(failed.status.error().message.starts_with("copy → "))
      << failed.status.error().message;
}

TEST(InstallToDir, ProgramPathWithoutFileNameIsInvalidInput) {
  TempDir dir;
  std::filesystem::path no_name = dir.path() / "";  // ends with a separator
  auto failed = install_capturing(no_name, dir.path(), false);
  ASSERT_FALSE(failed.status.ok());
  EXPECT_EQ(failed.status.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(failed.status.error().message, path_to_utf8(no_name) + " 没有文件名，装不了");
}

TEST(InstallToDir, ReplacesALeftOverNewFile) {
  Program program;
  TempDir dir;
  write_file(with_new(dir.path() / PROGRAM_NAME), "left over");
  auto installed = install_capturing(program.path, dir.path(), false);
  ASSERT_TRUE(installed.status.ok()) << installed.status.error().structured();
  EXPECT_EQ(read_file(dir.path() / PROGRAM_NAME), PROGRAM_BYTES);
  EXPECT_FALSE(std::filesystem::exists(with_new(dir.path() / PROGRAM_NAME)));
}

// The real entry point copies the running executable, which stays runnable.
TEST(InstallToDir, InstallsTheRunningProgram) {
  auto self = current_executable_path();
  ASSERT_TRUE(self.ok());
  TempDir dir;
  testing::internal::CaptureStdout();
  Status status = install_to_dir(path_to_utf8(dir.path()), false);
  std::string printed = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(status.ok()) << status.error().structured();
  auto destination = dir.path() / self.value().filename();
  EXPECT_EQ(printed, "已安装 " + path_to_utf8(destination) + "\n");
  EXPECT_EQ(std::filesystem::file_size(destination), std::filesystem::file_size(self.value()));
#ifndef _WIN32
  auto permissions = std::filesystem::status(destination).permissions();
  EXPECT_NE(permissions & std::filesystem::perms::owner_exec, std::filesystem::perms::none);
#endif
}

}  // namespace
}  // namespace quillmar

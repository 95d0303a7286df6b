#include "installer.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "async_test.hpp"
#include "environment.hpp"
#include "file_io.hpp"

namespace quillmar {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

// The running program is this test binary; installing copies it.
struct Program {
  std::filesystem::path path = current_executable_path().value();
  std::string bytes = read_file(path);
  std::filesystem::path in(const std::filesystem::path& folder) const {
    return folder / path.filename();
  }
};

struct Installed {
  Status status;
  std::string printed;
};

Installed install_capturing(const std::filesystem::path& folder, bool force) {
  testing::internal::CaptureStdout();
  Status status = install_to_dir(path_to_utf8(folder), force);
  return {status, testing::internal::GetCapturedStdout()};
}

std::filesystem::path with_new(std::filesystem::path path) {
  path += ".new";
  return path;
}

TEST(InstallToDir, CopiesTheRunningProgram) {
  Program program;
  ASSERT_FALSE(program.bytes.empty());
  TempDir dir;
  auto installed = install_capturing(dir.path(), false);
  ASSERT_TRUE(installed.status.ok()) << installed.status.error().structured();
  auto destination = program.in(dir.path());
  EXPECT_EQ(installed.printed, "已安装 " + path_to_utf8(destination) + "\n");
  EXPECT_TRUE(read_file(destination) == program.bytes);
  EXPECT_FALSE(std::filesystem::exists(with_new(destination)));
}

TEST(InstallToDir, ExistingFileNeedsForce) {
  Program program;
  TempDir dir;
  auto destination = program.in(dir.path());
  write_file(destination, "older version");

  auto refused = install_capturing(dir.path(), false);
  ASSERT_FALSE(refused.status.ok());
  EXPECT_EQ(refused.status.error().kind, ErrorKind::AlreadyExists);
  EXPECT_EQ(refused.status.error().message,
            path_to_utf8(destination) + " 已存在（要覆盖就加 --force）");
  EXPECT_EQ(refused.printed, "");
  EXPECT_EQ(read_file(destination), "older version");

  auto forced = install_capturing(dir.path(), true);
  ASSERT_TRUE(forced.status.ok()) << forced.status.error().structured();
  EXPECT_TRUE(read_file(destination) == program.bytes);
}

TEST(InstallToDir, AFolderOfTheSameNameCountsAsExisting) {
  Program program;
  TempDir dir;
  auto destination = program.in(dir.path());
  std::filesystem::create_directories(destination / "inside");

  auto refused = install_capturing(dir.path(), false);
  ASSERT_FALSE(refused.status.ok());
  EXPECT_EQ(refused.status.error().kind, ErrorKind::AlreadyExists);

  // With force the copy is made, the rename over the folder fails and the copy goes.
  auto forced = install_capturing(dir.path(), true);
  ASSERT_FALSE(forced.status.ok());
  EXPECT_EQ(forced.printed, "");
  EXPECT_TRUE(std::filesystem::is_directory(destination / "inside"));
  EXPECT_FALSE(std::filesystem::exists(with_new(destination)));
}

TEST(InstallToDir, CopyFailureNamesTheNewFile) {
  Program program;
  TempDir dir;
  auto missing = dir.path() / "no-such-folder";
  auto failed = install_capturing(missing, false);
  ASSERT_FALSE(failed.status.ok());
  auto temp = with_new(program.in(missing));
  const std::string head = "copy → " + path_to_utf8(temp) + " 失败：";
  EXPECT_EQ(failed.status.error().message.substr(0, head.size()), head)
      << failed.status.error().message;
  EXPECT_EQ(failed.status.error().kind, ErrorKind::NotFound);
  EXPECT_EQ(failed.status.error().os_code, std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(InstallToDir, ReplacesALeftOverNewFile) {
  Program program;
  TempDir dir;
  write_file(with_new(program.in(dir.path())), "left over");
  auto installed = install_capturing(dir.path(), false);
  ASSERT_TRUE(installed.status.ok()) << installed.status.error().structured();
  EXPECT_TRUE(read_file(program.in(dir.path())) == program.bytes);
  EXPECT_FALSE(std::filesystem::exists(with_new(program.in(dir.path()))));
}

}  // namespace
}  // namespace quillmar

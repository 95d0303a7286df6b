// Progress lines: UTF-8 bytes into redirected streams, readable text on a Windows
// console.
#include "app/output.hpp"

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace quillmar {
namespace {

const std::string LINE = "client: 管理界面 http://127.0.0.1:7788\n";

TEST(Output, RedirectedStreamsGetTheUtf8BytesUnchanged) {
  testing::internal::CaptureStderr();
  print_err(LINE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), LINE);
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  print_out(LINE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), LINE);
}

#ifdef _WIN32
// Standard error on a console of the test's own: the line must appear there as text,
// whatever the console's code page.
TEST(Output, AConsoleShowsTheText) {
  FreeConsole();
  ASSERT_TRUE(AllocConsole()) << GetLastError();
  HANDLE screen =
      CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(screen, INVALID_HANDLE_VALUE);
  CONSOLE_SCREEN_BUFFER_INFO before{};
  ASSERT_TRUE(GetConsoleScreenBufferInfo(screen, &before));

  HANDLE for_stderr = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), screen, GetCurrentProcess(), &for_stderr, 0,
                              FALSE, DUPLICATE_SAME_ACCESS));
  int console_fd = _open_osfhandle(reinterpret_cast<intptr_t>(for_stderr), _O_WRONLY | _O_BINARY);
  ASSERT_GE(console_fd, 0);
  std::fflush(stderr);
  int saved_stderr = _dup(_fileno(stderr));
  _dup2(console_fd, _fileno(stderr));
  print_err(LINE);
  std::fflush(stderr);
  _dup2(saved_stderr, _fileno(stderr));
  _close(saved_stderr);
  _close(console_fd);

  const std::wstring expected = L"client: 管理界面 http://127.0.0.1:7788";
  std::wstring shown(expected.size(), L'\0');
  DWORD read = 0;
  ASSERT_TRUE(ReadConsoleOutputCharacterW(screen, shown.data(), static_cast<DWORD>(shown.size()),
                                          before.dwCursorPosition, &read));
  shown.resize(read);
  CONSOLE_SCREEN_BUFFER_INFO after{};
  GetConsoleScreenBufferInfo(screen, &after);
  CloseHandle(screen);
  FreeConsole();
  EXPECT_TRUE(shown == expected) << "the console shows other characters";
  EXPECT_EQ(after.dwCursorPosition.Y, before.dwCursorPosition.Y + 1) << "the line ends the line";
}
#endif

}  // namespace
}  // namespace quillmar

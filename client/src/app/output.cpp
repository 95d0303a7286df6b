// Progress lines are UTF-8 bytes, except where a Windows console shows them: a console
// reads bytes in its own code page, so text for it goes as UTF-16 through the console's
// wide call instead.
#include "app/output.hpp"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include <string>
#endif

namespace quillmar {
namespace {

#ifdef _WIN32
// The console behind the stream, or none when the stream is redirected (or absent).
HANDLE console_of(std::FILE* stream) {
  int descriptor = _fileno(stream);
  if (descriptor < 0) return nullptr;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return nullptr;
  return handle;
}

void write_to_console(HANDLE console, std::string_view text) {
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  DWORD written = 0;
  WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}
#endif

// Under the Windows GUI subsystem the standard streams exist only when redirected or
// handed down from a console; a failed write is then expected and dropped.
void write_line(std::FILE* stream, std::string_view text) {
#ifdef _WIN32
  if (HANDLE console = console_of(stream)) {
    write_to_console(console, text);
    return;
  }
#endif
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

void print_out(std::string_view text) { write_line(stdout, text); }
void print_err(std::string_view text) { write_line(stderr, text); }

}  // namespace quillmar

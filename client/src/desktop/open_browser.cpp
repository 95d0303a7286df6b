// Opening the browser: a Win32 process or shell call on Windows, xdg-open elsewhere.
#include "desktop/open_browser.hpp"

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "app/environment.hpp"
#include "proto/text.hpp"
#endif

namespace quillmar {

#ifdef _WIN32

namespace {

std::wstring widen(std::string_view text) {
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// One argument by the rules the C runtime splits by: quotes only where needed, and
// backslashes doubled only in front of a quote.
void append_argument(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

// rundll32 from the system folder, never one that happens to lie in the current folder.
std::wstring system_rundll32() {
  wchar_t folder[MAX_PATH];
  UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return L"";
  return std::wstring(folder, length) + L"\\rundll32.exe";
}

}  // namespace

void open_browser(std::string_view url) {
  std::wstring program = system_rundll32();
  if (program.empty()) return;
  std::wstring command_line;
  append_argument(command_line, L"rundll32");
  append_argument(command_line, L"url.dll,FileProtocolHandler");
  append_argument(command_line, widen(url));

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE null_device = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (null_device == INVALID_HANDLE_VALUE) return;
  HANDLE input = nullptr;
  HANDLE own_input = GetStdHandle(STD_INPUT_HANDLE);
  if (own_input != nullptr && own_input != INVALID_HANDLE_VALUE) {
    DuplicateHandle(GetCurrentProcess(), own_input, GetCurrentProcess(), &input, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
  }

  // Only these handles are handed down: an inherited console listener would keep the
  // port taken for as long as the browser runs.
  std::vector<HANDLE> handed_down{null_device};
  if (input != nullptr) handed_down.push_back(input);
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<unsigned char> list_memory(list_size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
  bool has_list = list_size > 0 &&
                  InitializeProcThreadAttributeList(attributes, 1, 0, &list_size) &&
                  UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                            handed_down.data(), handed_down.size() * sizeof(HANDLE),
                                            nullptr, nullptr);

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = has_list ? sizeof(STARTUPINFOEXW) : sizeof(STARTUPINFOW);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input;
  startup.StartupInfo.hStdOutput = null_device;
  startup.StartupInfo.hStdError = null_device;
  startup.lpAttributeList = has_list ? attributes : nullptr;
  PROCESS_INFORMATION process{};
  DWORD flags = has_list ? EXTENDED_STARTUPINFO_PRESENT : 0;
  // Best effort: a browser that cannot be started is not worth a message.
  if (CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                     nullptr, &startup.StartupInfo, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  if (has_list) DeleteProcThreadAttributeList(attributes);
  if (input != nullptr) CloseHandle(input);
  CloseHandle(null_device);
}

#else

namespace {

std::string find_on_path(std::string_view program) {
  auto path = env_var("PATH");
  if (!path) return {};
  for (auto dir : split(*path, ':')) {
    if (dir.empty()) continue;
    std::string candidate = std::string(dir) + "/" + std::string(program);
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

// Runs in the forked child of a threaded process: async-signal-safe calls only.
[[noreturn]] void exec_detached(const char* program, char* const argv[], long max_fd) {
  ::setsid();
  int null_device = ::open("/dev/null", O_RDWR);
  if (null_device >= 0) {
    ::dup2(null_device, STDOUT_FILENO);
    ::dup2(null_device, STDERR_FILENO);
  }
  // The browser it may start must not inherit the console listener or any other socket.
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
#endif
    for (long fd = 3; fd < max_fd; ++fd) ::close(static_cast<int>(fd));
  ::execv(program, argv);
  ::_exit(127);
}

// xdg-open needs a graphical session to show anything; without one it would fall
// back to a text-mode browser on the program's own terminal.
bool has_display() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    auto value = env_var(name);
    if (value && !value->empty()) return true;
  }
  return false;
}

}  // namespace

void open_browser(std::string_view url) {
  if (!has_display()) return;
  std::string program = find_on_path("xdg-open");
  if (program.empty()) return;
  std::string name = "xdg-open";
  std::string address(url);
  char* argv[] = {name.data(), address.data(), nullptr};
  long max_fd = ::sysconf(_SC_OPEN_MAX);
  if (max_fd < 0 || max_fd > 65536) max_fd = 65536;

  // Started from a short-lived middle process, so the opener belongs to nobody here
  // and leaves no zombie behind; only the middle process is waited for.
  pid_t middle = ::fork();
  if (middle < 0) return;
  if (middle == 0) {
    pid_t opener = ::fork();
    if (opener == 0) exec_detached(program.c_str(), argv, max_fd);
    ::_exit(0);
  }
  while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }
}

#endif

}  // namespace quillmar

#include "child_process.hpp"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cwchar>
#include <mutex>
#include <stdexcept>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;
#endif

namespace quillmar::test {
namespace {

using Clock = std::chrono::steady_clock;

// One output stream of the child as it arrives. Shared with its reader thread, so a
// reader that outlives the ChildProcess (a grandchild still holding the pipe) never
// touches freed memory.
struct Capture {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::string text;
  bool ended = false;

  void append(const char* data, std::size_t size) {
    {
      std::lock_guard lock(mutex);
      text.append(data, size);
    }
    changed.notify_all();
  }
  void end() {
    {
      std::lock_guard lock(mutex);
      ended = true;
    }
    changed.notify_all();
  }
  std::string snapshot() const {
    std::lock_guard lock(mutex);
    return text;
  }
  bool wait_for(std::string_view wanted, Clock::time_point deadline) const {
    std::unique_lock lock(mutex);
    return changed.wait_until(lock, deadline, [&] {
      return text.find(wanted) != std::string::npos || ended;
    }) && text.find(wanted) != std::string::npos;
  }
  bool wait_end(Clock::time_point deadline) const {
    std::unique_lock lock(mutex);
    return changed.wait_until(lock, deadline, [&] { return ended; });
  }
};

std::string command_text(const ChildOptions& options) {
  std::string text = options.program.string();
  for (const auto& arg : options.args) text += " '" + arg + "'";
  return text;
}

bool env_name_equal(std::string_view a, std::string_view b) {
#ifdef _WIN32
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
#else
  return a == b;
#endif
}

// The parent's environment as "NAME=value" entries with the options' changes applied.
std::vector<std::string> child_environment(std::vector<std::string> inherited,
                                           const ChildOptions& options) {
  auto name_of = [](const std::string& entry) {
    // Windows keeps hidden "=C:=C:\..." entries; their name includes the first '='.
    std::size_t equals = entry.find('=', 1);
    return std::string_view(entry).substr(0, equals);
  };
  auto removed = [&](const std::string& entry) {
    auto name = name_of(entry);
    for (const auto& unset : options.unset_env) {
      if (env_name_equal(name, unset)) return true;
    }
    for (const auto& [set_name, value] : options.set_env) {
      if (env_name_equal(name, set_name)) return true;
    }
    return false;
  };
  std::erase_if(inherited, removed);
  for (const auto& [name, value] : options.set_env) inherited.push_back(name + "=" + value);
  return inherited;
}

}  // namespace

#ifdef _WIN32

namespace {

std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string narrow(std::wstring_view text) {
  if (text.empty()) return {};
  int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                      nullptr, nullptr);
  return out;
}

// By the rules the C runtime splits a command line by.
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

std::vector<std::string> parent_environment() {
  std::vector<std::string> entries;
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return entries;
  for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1)
    entries.push_back(narrow(entry));
  FreeEnvironmentStringsW(block);
  return entries;
}

// Sorted by name without regard to case, as CreateProcessW documents for the block.
std::wstring environment_block(std::vector<std::string> entries) {
  std::vector<std::wstring> wide;
  for (const auto& entry : entries) wide.push_back(widen(entry));
  std::sort(wide.begin(), wide.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const auto& entry : wide) {
    block += entry;
    block += L'\0';
  }
  block += L'\0';
  return block;
}

void read_until_end(HANDLE pipe, std::shared_ptr<Capture> capture) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
    capture->append(buffer, got);
  CloseHandle(pipe);
  capture->end();
}

// Child processes are started one at a time, so no child inherits another one's pipe
// ends even where the handle list below is not honoured.
std::mutex spawn_mutex;

}  // namespace

struct ChildProcess::Impl {
  ChildOptions options;
  HANDLE process = nullptr;
  std::shared_ptr<Capture> out = std::make_shared<Capture>();
  std::shared_ptr<Capture> err = std::make_shared<Capture>();
  std::thread out_reader;
  std::thread err_reader;
  std::optional<int> exit_code;

  void start() {
    std::wstring command_line;
    std::wstring program = options.program.make_preferred().wstring();
    append_argument(command_line, program);
    for (const auto& arg : options.args) append_argument(command_line, widen(arg));
    std::wstring env = environment_block(child_environment(parent_environment(), options));
    std::wstring dir = options.working_dir.empty() ? std::wstring()
                                                   : options.working_dir.make_preferred().wstring();

    std::lock_guard lock(spawn_mutex);
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
    if (!CreatePipe(&out_read, &out_write, &inheritable, 0) ||
        !CreatePipe(&err_read, &err_write, &inheritable, 0)) {
      throw std::runtime_error("CreatePipe failed");
    }
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    HANDLE null_input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);

    // Only the three standard handles are handed down: the test's own sockets (a
    // listener the test closes to stop a service) must not live on in the child.
    std::vector<HANDLE> handed_down{out_write, err_write};
    if (null_input != INVALID_HANDLE_VALUE) handed_down.push_back(null_input);
    SIZE_T list_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
    std::vector<unsigned char> list_memory(list_size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    bool has_list =
        list_size > 0 && InitializeProcThreadAttributeList(attributes, 1, 0, &list_size) &&
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                  handed_down.data(), handed_down.size() * sizeof(HANDLE), nullptr,
                                  nullptr);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = has_list ? sizeof(STARTUPINFOEXW) : sizeof(STARTUPINFOW);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null_input == INVALID_HANDLE_VALUE ? nullptr : null_input;
    startup.StartupInfo.hStdOutput = out_write;
    startup.StartupInfo.hStdError = err_write;
    startup.lpAttributeList = has_list ? attributes : nullptr;
    DWORD flags = CREATE_UNICODE_ENVIRONMENT | (has_list ? EXTENDED_STARTUPINFO_PRESENT : 0);
    PROCESS_INFORMATION info{};
    BOOL started = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                  flags, env.data(), dir.empty() ? nullptr : dir.c_str(),
                                  &startup.StartupInfo, &info);
    DWORD error = GetLastError();
    if (has_list) DeleteProcThreadAttributeList(attributes);
    CloseHandle(out_write);
    CloseHandle(err_write);
    if (null_input != INVALID_HANDLE_VALUE) CloseHandle(null_input);
    if (!started) {
      CloseHandle(out_read);
      CloseHandle(err_read);
      throw std::runtime_error("CreateProcessW failed (" + std::to_string(error) +
                               "): " + command_text(options));
    }
    CloseHandle(info.hThread);
    process = info.hProcess;
    out_reader = std::thread(read_until_end, out_read, out);
    err_reader = std::thread(read_until_end, err_read, err);
  }

  bool poll_exit(DWORD wait_ms) {
    if (exit_code) return true;
    if (WaitForSingleObject(process, wait_ms) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    exit_code = static_cast<int>(code);
    return true;
  }

  std::optional<int> wait_exit(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (!poll_exit(static_cast<DWORD>(std::max<long long>(left, 0)))) return std::nullopt;
    return exit_code;
  }

  void end_with(UINT code) {
    if (!poll_exit(0)) TerminateProcess(process, code);
  }
  void interrupt() { end_with(130); }
  void terminate() { end_with(143); }
  void kill() { end_with(137); }
  std::uint64_t id() const { return GetProcessId(process); }

  void close_process() {
    poll_exit(5000);
    CloseHandle(process);
  }
};

#else

namespace {

std::vector<std::string> parent_environment() {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
  return entries;
}

void read_until_end(int fd, std::shared_ptr<Capture> capture) {
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    capture->append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  capture->end();
}

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
      throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    read = fds[0];
    write = fds[1];
  }
};

}  // namespace

struct ChildProcess::Impl {
  ChildOptions options;
  pid_t pid = -1;
  std::shared_ptr<Capture> out = std::make_shared<Capture>();
  std::shared_ptr<Capture> err = std::make_shared<Capture>();
  std::thread out_reader;
  std::thread err_reader;
  std::optional<int> exit_code;

  void start() {
    Pipe out_pipe;
    Pipe err_pipe;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe.write, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe.write, STDERR_FILENO);
    // Asio opens its sockets without close-on-exec: without this the child would hold
    // on to the test's listeners (a "stopped" local service would still accept).
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!options.working_dir.empty())
      posix_spawn_file_actions_addchdir_np(&actions, options.working_dir.c_str());

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t no_signals;
    sigemptyset(&no_signals);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &no_signals);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);  // its own group, killed as a whole at the end
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::string program = options.program.string();
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = child_environment(parent_environment(), options);
    std::vector<char*> envp;
    for (auto& entry : env_text) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int error =
        ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out_pipe.write);
    ::close(err_pipe.write);
    if (error != 0) {
      ::close(out_pipe.read);
      ::close(err_pipe.read);
      throw std::runtime_error("posix_spawn failed (" + std::string(std::strerror(error)) +
                               "): " + command_text(options));
    }
    out_reader = std::thread(read_until_end, out_pipe.read, out);
    err_reader = std::thread(read_until_end, err_pipe.read, err);
  }

  bool poll_exit() {
    if (exit_code) return true;
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done != pid) return false;
    exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  std::optional<int> wait_exit(Clock::time_point deadline) {
    // waitpid has no deadline of its own; a short poll keeps the wait bounded.
    while (!poll_exit()) {
      if (Clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return exit_code;
  }

  void signal(int number) {
    if (!poll_exit()) ::kill(pid, number);
  }
  void interrupt() { signal(SIGINT); }
  void terminate() { signal(SIGTERM); }
  void kill() {
    // The whole group: a helper the child started must not keep the pipes open.
    if (!poll_exit()) ::kill(-pid, SIGKILL);
  }
  std::uint64_t id() const { return static_cast<std::uint64_t>(pid); }

  void close_process() {
    if (exit_code) return;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
};

#endif

ChildProcess::ChildProcess(ChildOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->start();
}

ChildProcess::~ChildProcess() {
  impl_->kill();
  impl_->close_process();
  // A reader still blocked after a grace period belongs to a pipe some grandchild
  // holds; it owns its capture and its pipe end, so it may finish on its own.
  auto deadline = Clock::now() + std::chrono::seconds(2);
  auto finish = [&](std::thread& reader, const Capture& capture) {
    if (capture.wait_end(deadline)) {
      reader.join();
    } else {
      reader.detach();
    }
  };
  finish(impl_->out_reader, *impl_->out);
  finish(impl_->err_reader, *impl_->err);
}

std::string ChildProcess::out() const { return impl_->out->snapshot(); }
std::string ChildProcess::err() const { return impl_->err->snapshot(); }

bool ChildProcess::wait_for_out(std::string_view text, std::chrono::milliseconds limit) const {
  return impl_->out->wait_for(text, Clock::now() + limit);
}

bool ChildProcess::wait_for_err(std::string_view text, std::chrono::milliseconds limit) const {
  return impl_->err->wait_for(text, Clock::now() + limit);
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  auto code = impl_->wait_exit(deadline);
  if (!code) return std::nullopt;
  impl_->out->wait_end(deadline);
  impl_->err->wait_end(deadline);
  return code;
}

bool ChildProcess::running() { return !impl_->wait_exit(Clock::now()); }

void ChildProcess::interrupt() { impl_->interrupt(); }
void ChildProcess::terminate() { impl_->terminate(); }
void ChildProcess::kill() { impl_->kill(); }
std::uint64_t ChildProcess::id() const { return impl_->id(); }

std::uint32_t ChildProcess::process_id() const {
#ifdef _WIN32
  return GetProcessId(impl_->process);
#else
  return static_cast<std::uint32_t>(impl_->pid);
#endif
}

std::string ChildProcess::describe() const {
  std::string text = "command: " + command_text(impl_->options) + "\n--- stdout ---\n" + out() +
                     "\n--- stderr ---\n" + err() + "\n";
  if (impl_->exit_code) text += "exit code: " + std::to_string(*impl_->exit_code) + "\n";
  return text;
}

std::filesystem::path built_program(std::string_view relative) {
  std::filesystem::path path =
      std::filesystem::path(QUILLMAR_BINARY_DIR) / std::filesystem::path(relative);
#ifdef _WIN32
  path += ".exe";
  path.make_preferred();
#endif
  return path;
}

std::filesystem::path quillmar_program() {
#ifdef _WIN32
  return built_program("client/Quillmar");
#else
  return built_program("client/quillmar");
#endif
}

std::filesystem::path devgw_program() { return built_program("tools/devgw/quillmar-devgw"); }

}  // namespace quillmar::test

// Files by path: Windows paths are UTF-16 and an atomic replacement needs MoveFileExW,
// hence the Win32 calls beside the POSIX ones.
#include "settings/file_io.hpp"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "proto/text.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace quillmar {
namespace {

constexpr std::size_t READ_CHUNK = 64 * 1024;

#ifdef _WIN32

IoError last_error() {
  return IoError::from(std::error_code(static_cast<int>(GetLastError()), std::system_category()));
}

// A virus scanner or an indexer may hold a file for a moment; such a hold is worth a
// few short waits before the operation counts as failed.
constexpr int BUSY_RETRIES = 10;
constexpr auto BUSY_PAUSE = std::chrono::milliseconds(50);

bool is_busy(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

bool is_folder(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  // Closes now and reports whether closing succeeded.
  bool close() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) != 0;
  }

 private:
  HANDLE handle_;
};

HANDLE open_for_reading(const std::filesystem::path& path) {
  for (int attempt = 0;; ++attempt) {
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    DWORD error = GetLastError();
    if (!is_busy(error) || attempt + 1 >= BUSY_RETRIES || is_folder(path)) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    std::this_thread::sleep_for(BUSY_PAUSE);
  }
}

// Nothing is carried over from the target on Windows: the new file gets the access
// rules its folder hands down (the user's own under the profile).
struct Replacement {};

// A file the user made read-only is not replaced, as writing it in place would fail.
Result<Replacement> prepare_replacement(const std::filesystem::path& target) {
  DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return IoError::from(std::error_code(ERROR_ACCESS_DENIED, std::system_category()));
  }
  return Replacement{};
}

Status write_all_to_new_file(const std::filesystem::path& temp, std::string_view text,
                             const Replacement&) {
  // A temporary file left by an earlier run is not written into as it stands.
  DeleteFileW(temp.c_str());
  Handle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return last_error();
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data() + done, chunk, &written, nullptr)) return last_error();
    if (written == 0) return IoError::make(ErrorKind::WriteZero, "failed to write whole buffer");
    done += written;
  }
  if (!FlushFileBuffers(file.get())) return last_error();
  if (!file.close()) return last_error();
  return {};
}

Status move_file(const std::filesystem::path& from, const std::filesystem::path& to, DWORD flags) {
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), flags)) return {};
    DWORD error = GetLastError();
    if (!is_busy(error) || attempt + 1 >= BUSY_RETRIES || is_folder(to)) {
      SetLastError(error);
      return last_error();
    }
    std::this_thread::sleep_for(BUSY_PAUSE);
  }
}

#else

IoError errno_error() { return IoError::from(std::error_code(errno, std::generic_category())); }

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// What the file that replaces the target takes over from it.
struct Replacement {
  mode_t mode = 0600;  // a new settings file (the key file holds the credential): the owner's only
  uid_t owner = ::geteuid();
  gid_t group = ::getegid();
};

// The target's permissions, owner and group. A target that may not be written is
// refused, as writing it in place would be; root may write any file, so a file without
// any write permission counts as made read-only on purpose for root too.
Result<Replacement> prepare_replacement(const std::filesystem::path& target) {
  struct stat info {};
  if (::stat(target.c_str(), &info) != 0) {
    if (errno == ENOENT) return Replacement{};
    return errno_error();
  }
  if (!S_ISREG(info.st_mode)) return Replacement{};  // the rename decides
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
    return IoError::from(std::error_code(EACCES, std::generic_category()));
  if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return errno_error();
  return Replacement{info.st_mode & 07777, info.st_uid, info.st_gid};
}

Status write_all_to_new_file(const std::filesystem::path& temp, std::string_view text,
                             const Replacement& replacement) {
  // A temporary file left by an earlier run is not written into as it stands: its
  // permissions may let anyone read what it is about to hold.
  if (::unlink(temp.c_str()) != 0 && errno != ENOENT) return errno_error();
  Fd file(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!file.valid()) return errno_error();
  if (::fchmod(file.get(), replacement.mode) != 0) return errno_error();
  if (replacement.owner != ::geteuid() || replacement.group != ::getegid()) {
    // Only root may give a file away; anyone else keeps the file as their own.
    (void)::fchown(file.get(), replacement.owner, replacement.group);
  }
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t written = ::write(file.get(), text.data() + done, text.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno_error();
    }
    if (written == 0) return IoError::make(ErrorKind::WriteZero, "failed to write whole buffer");
    done += static_cast<std::size_t>(written);
  }
  if (::fsync(file.get()) != 0) return errno_error();
  if (!file.close()) return errno_error();
  return {};
}

// Makes a rename inside the folder durable; best effort, as some file systems refuse.
void sync_folder_of(const std::filesystem::path& path) {
  std::filesystem::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

#endif

}  // namespace

namespace {

IoError not_a_plain_file() { return IoError::make(ErrorKind::InvalidInput, "not a regular file"); }

Result<std::string> read_all(const std::filesystem::path& path, bool plain_file_only) {
  std::string bytes;
  std::vector<char> chunk(READ_CHUNK);
#ifdef _WIN32
  Handle file(open_for_reading(path));
  if (!file.valid()) return last_error();
  if (plain_file_only && GetFileType(file.get()) != FILE_TYPE_DISK) return not_a_plain_file();
  while (true) {
    DWORD got = 0;
    if (!ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr))
      return last_error();
    if (got == 0) break;
    bytes.append(chunk.data(), got);
  }
#else
  // Opening without waiting: a pipe with no writer would otherwise block the open.
  Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | (plain_file_only ? O_NONBLOCK : 0)));
  if (!file.valid()) return errno_error();
  if (plain_file_only) {
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return errno_error();
    if (S_ISDIR(info.st_mode))
      return IoError::from(std::make_error_code(std::errc::is_a_directory));
    if (!S_ISREG(info.st_mode)) return not_a_plain_file();
  }
  while (true) {
    ssize_t got = ::read(file.get(), chunk.data(), chunk.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno_error();
    }
    if (got == 0) break;
    bytes.append(chunk.data(), static_cast<std::size_t>(got));
  }
#endif
  return bytes;
}

}  // namespace

Result<std::string> read_file_bytes(const std::filesystem::path& path) {
  return read_all(path, false);
}

Result<std::string> read_regular_file(const std::filesystem::path& path) {
  return read_all(path, true);
}

Result<std::string> read_text_file(const std::filesystem::path& path) {
  auto bytes = read_regular_file(path);
  if (!bytes) return bytes.error();
  if (!is_valid_utf8(bytes.value())) {
    return IoError::make(ErrorKind::InvalidData, "stream did not contain valid UTF-8");
  }
  return std::move(bytes).value();
}

Status replace_file(const std::filesystem::path& target, const std::filesystem::path& temp,
                    std::string_view text) {
  auto replacement = prepare_replacement(target);
  if (!replacement) return replacement.error();
  if (auto written = write_all_to_new_file(temp, text, replacement.value()); !written) {
    remove_file_quietly(temp);
    return written;
  }
  return rename_replacing(temp, target);
}

Status rename_replacing(const std::filesystem::path& from, const std::filesystem::path& to) {
#ifdef _WIN32
  return move_file(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
  if (::rename(from.c_str(), to.c_str()) != 0) return errno_error();
  sync_folder_of(to);
  return {};
#endif
}

Status rename_to_new_name(const std::filesystem::path& from, const std::filesystem::path& to) {
#ifdef _WIN32
  return move_file(from, to, MOVEFILE_WRITE_THROUGH);
#else
  // rename() would silently replace an empty folder at the new name.
  struct stat existing {};
  if (::lstat(to.c_str(), &existing) == 0)
    return IoError::from(std::make_error_code(std::errc::file_exists));
  if (::rename(from.c_str(), to.c_str()) != 0) return errno_error();
  sync_folder_of(to);
  return {};
#endif
}

Status copy_file_replacing(const std::filesystem::path& from, const std::filesystem::path& to) {
#ifdef _WIN32
  if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) return last_error();
  return {};
#else
  std::error_code ec;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return IoError::from(ec);
  return {};
#endif
}

void remove_file_quietly(const std::filesystem::path& path) {
#ifdef _WIN32
  DeleteFileW(path.c_str());
#else
  ::unlink(path.c_str());
#endif
}

Result<std::filesystem::path> current_executable_path() {
#ifdef _WIN32
  std::wstring buffer(MAX_PATH, L'\0');
  while (true) {
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return last_error();
    if (length < buffer.size()) {
      buffer.resize(length);
      return std::filesystem::path(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
#else
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return IoError::from(ec);
  return path;
#endif
}

}  // namespace quillmar

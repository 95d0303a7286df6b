#include "proto/io_error.hpp"

#include <asio/error.hpp>
#include <cerrno>

#include "proto/text.hpp"

#ifdef _WIN32
#include <winerror.h>
#endif

namespace quillmar {
namespace {

struct KindName {
  ErrorKind kind;
  std::string_view name;
};

constexpr KindName KIND_NAMES[] = {
    {ErrorKind::NotFound, "NotFound"},
    {ErrorKind::PermissionDenied, "PermissionDenied"},
    {ErrorKind::ConnectionRefused, "ConnectionRefused"},
    {ErrorKind::ConnectionReset, "ConnectionReset"},
    {ErrorKind::ConnectionAborted, "ConnectionAborted"},
    {ErrorKind::NotConnected, "NotConnected"},
    {ErrorKind::AddrInUse, "AddrInUse"},
    {ErrorKind::AddrNotAvailable, "AddrNotAvailable"},
    {ErrorKind::BrokenPipe, "BrokenPipe"},
    {ErrorKind::AlreadyExists, "AlreadyExists"},
    {ErrorKind::WouldBlock, "WouldBlock"},
    {ErrorKind::InvalidInput, "InvalidInput"},
    {ErrorKind::InvalidData, "InvalidData"},
    {ErrorKind::TimedOut, "TimedOut"},
    {ErrorKind::WriteZero, "WriteZero"},
    {ErrorKind::Interrupted, "Interrupted"},
    {ErrorKind::Unsupported, "Unsupported"},
    {ErrorKind::UnexpectedEof, "UnexpectedEof"},
    {ErrorKind::OutOfMemory, "OutOfMemory"},
    {ErrorKind::HostUnreachable, "HostUnreachable"},
    {ErrorKind::NetworkUnreachable, "NetworkUnreachable"},
    {ErrorKind::IsADirectory, "IsADirectory"},
    {ErrorKind::Other, "Other"},
};

struct CodeKind {
  int code;
  ErrorKind kind;
};

// Operating-system error numbers and their kinds. Windows reports socket errors as
// WSA codes and file errors as Win32 codes; both families are listed there.
constexpr CodeKind OS_CODE_KINDS[] = {
#ifdef _WIN32
    {ERROR_FILE_NOT_FOUND, ErrorKind::NotFound},
    {ERROR_PATH_NOT_FOUND, ErrorKind::NotFound},
    {ERROR_ACCESS_DENIED, ErrorKind::PermissionDenied},
    {ERROR_SHARING_VIOLATION, ErrorKind::PermissionDenied},
    {ERROR_ALREADY_EXISTS, ErrorKind::AlreadyExists},
    {ERROR_FILE_EXISTS, ErrorKind::AlreadyExists},
    {ERROR_INVALID_PARAMETER, ErrorKind::InvalidInput},
    {ERROR_INVALID_NAME, ErrorKind::InvalidInput},
    {ERROR_NOT_ENOUGH_MEMORY, ErrorKind::OutOfMemory},
    {ERROR_BROKEN_PIPE, ErrorKind::BrokenPipe},
    {WSAECONNREFUSED, ErrorKind::ConnectionRefused},
    {WSAECONNRESET, ErrorKind::ConnectionReset},
    {WSAECONNABORTED, ErrorKind::ConnectionAborted},
    {WSAENOTCONN, ErrorKind::NotConnected},
    {WSAEADDRINUSE, ErrorKind::AddrInUse},
    {WSAEADDRNOTAVAIL, ErrorKind::AddrNotAvailable},
    {WSAEACCES, ErrorKind::PermissionDenied},
    {WSAEWOULDBLOCK, ErrorKind::WouldBlock},
    {WSAETIMEDOUT, ErrorKind::TimedOut},
    {WSAEINVAL, ErrorKind::InvalidInput},
    {WSAEHOSTUNREACH, ErrorKind::HostUnreachable},
    {WSAENETUNREACH, ErrorKind::NetworkUnreachable},
    {WSAEINTR, ErrorKind::Interrupted},
#else
    {ENOENT, ErrorKind::NotFound},
    {EACCES, ErrorKind::PermissionDenied},
    {EPERM, ErrorKind::PermissionDenied},
    {ECONNREFUSED, ErrorKind::ConnectionRefused},
    {ECONNRESET, ErrorKind::ConnectionReset},
    {ECONNABORTED, ErrorKind::ConnectionAborted},
    {ENOTCONN, ErrorKind::NotConnected},
    {EADDRINUSE, ErrorKind::AddrInUse},
    {EADDRNOTAVAIL, ErrorKind::AddrNotAvailable},
    {EPIPE, ErrorKind::BrokenPipe},
    {EEXIST, ErrorKind::AlreadyExists},
    {EAGAIN, ErrorKind::WouldBlock},
    {EINVAL, ErrorKind::InvalidInput},
    {ETIMEDOUT, ErrorKind::TimedOut},
    {EINTR, ErrorKind::Interrupted},
    {ENOMEM, ErrorKind::OutOfMemory},
    {EHOSTUNREACH, ErrorKind::HostUnreachable},
    {ENETUNREACH, ErrorKind::NetworkUnreachable},
    {EISDIR, ErrorKind::IsADirectory},
    {ENOSYS, ErrorKind::Unsupported},
#endif
};

ErrorKind kind_of_os_code(int code) {
  for (const auto& entry : OS_CODE_KINDS) {
    if (entry.code == code) return entry.kind;
  }
  return ErrorKind::Other;
}

// Asio reports socket errors in a system category of its own, not std's.
bool is_os_error(const std::error_code& ec) {
  return ec.category() == std::system_category() || ec.category() == std::generic_category() ||
         ec.category() == asio::error::get_system_category();
}

// Windows appends a line break (and sometimes a full stop before it) to its texts.
std::string os_message(const std::error_code& ec) {
  std::string text = ec.message();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

class StreamErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "quillmar.stream"; }
  std::string message(int) const override { return "write zero"; }
};

const StreamErrorCategory& stream_error_category() {
  static const StreamErrorCategory category;
  return category;
}

}  // namespace

std::error_code make_error_code(StreamError error) {
  return {static_cast<int>(error), stream_error_category()};
}

std::string_view kind_name(ErrorKind kind) {
  for (const auto& entry : KIND_NAMES) {
    if (entry.kind == kind) return entry.name;
  }
  return "Other";
}

IoError IoError::make(ErrorKind kind, std::string message) {
  return IoError{kind, std::move(message), std::nullopt};
}

IoError IoError::from(const std::error_code& ec) {
  if (is_os_error(ec)) {
    return IoError{kind_of_os_code(ec.value()), os_message(ec), ec.value()};
  }
  if (ec == make_error_code(StreamError::write_zero))
    return make(ErrorKind::WriteZero, "write zero");
  if (ec == asio::error::eof) return make(ErrorKind::UnexpectedEof, "early eof");
  if (ec == asio::error::operation_aborted) return make(ErrorKind::Interrupted, ec.message());
  return make(ErrorKind::Other, ec.message());
}

std::string IoError::display() const {
  if (!os_code) return message;
  return message + " (os error " + std::to_string(*os_code) + ")";
}

std::string IoError::structured() const {
  if (os_code) {
    return "Os { code: " + std::to_string(*os_code) + ", kind: " + std::string(kind_name(kind)) +
           ", message: " + quoted_form(message) + " }";
  }
  return "Custom { kind: " + std::string(kind_name(kind)) + ", error: " + quoted_form(message) +
         " }";
}

}  // namespace quillmar

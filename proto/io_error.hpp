// The one error type of the program: an I/O-style kind and a message, with the two
// printed forms (the message for progress lines, the structured form for "Error: ").
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace quillmar {

enum class ErrorKind {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  HostUnreachable,
  NetworkUnreachable,
  IsADirectory,
  Other,
};

std::string_view kind_name(ErrorKind kind);

// Errors of our own that travel as std::error_code through stream operations.
enum class StreamError {
  write_zero = 1,  // a write accepted no bytes
};
std::error_code make_error_code(StreamError error);

struct IoError {
  ErrorKind kind = ErrorKind::Other;
  std::string message;
  // Set for errors reported by the operating system; message is then its description.
  std::optional<int> os_code;

  static IoError make(ErrorKind kind, std::string message);
  static IoError from(const std::error_code& ec);

  // "message", or "message (os error N)" for an operating-system error.
  std::string display() const;
  // Custom { kind: InvalidInput, error: "…" } or Os { code: 98, kind: AddrInUse, message: "…" }
  std::string structured() const;
};

}  // namespace quillmar

// IoError: the one error value of the virtual file system.
//
// A cheap value that owns nothing. It renders two ways: message() is the
// sentence shown to people (ValueError texts, terminal error lines); name()
// is the variant name used only in internal assertion reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/expected.h"

namespace ferrowick {

class IoError {
 public:
  enum class Kind : std::uint8_t {
    InodeNotFound,
    NotADirectory,
    NotAFile,
    NotASymlink,
    MaxRecursionDepthExceeded,
    ResourceAlreadyExists,
    DirectoryIsNotEmpty,
    ResourceCurrentInUse,
    UnrecognizedFileMode,
    OperationNotSupported,
    InvalidFileDescriptor,
    // Renaming a directory into itself or below itself.
    InvalidMove,
  };

  constexpr IoError() = default;
  constexpr IoError(Kind kind) : kind_(kind) {}  // NOLINT: implicit by design
  // `operation` must be a string literal ("read", "write" or "truncate").
  static constexpr IoError operation_not_supported(const char* operation) {
    IoError e(Kind::OperationNotSupported);
    e.operation_ = operation;
    return e;
  }

  constexpr Kind kind() const { return kind_; }
  constexpr const char* operation() const { return operation_; }

  // "Inode not found", "File does not support the specified operation: read", ...
  std::string message() const;
  void append_message(std::string& out) const;
  // "InodeNotFound", "OperationNotSupported(\"read\")", ...
  std::string name() const;

  friend constexpr bool operator==(const IoError& a, const IoError& b) {
    if (a.kind_ != b.kind_) return false;
    if (a.kind_ != Kind::OperationNotSupported) return true;
    return std::string_view(a.operation_) == std::string_view(b.operation_);
  }

 private:
  Kind kind_ = Kind::InodeNotFound;
  const char* operation_ = "";
};

// Writes `s` as a double-quoted literal with backslash escapes.
void append_quoted(std::string& out, std::string_view s);

// The failed result of an operation that fails with `kind`.
inline Unexpected<IoError> io_failure(IoError::Kind kind) { return Unexpected(IoError(kind)); }

}  // namespace ferrowick

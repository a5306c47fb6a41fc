#include "error/io_error.h"

#include <cstdio>

namespace ferrowick {

namespace {

struct Texts {
  const char* name;
  const char* message;
};

constexpr Texts kTexts[] = {
    {"InodeNotFound", "Inode not found"},
    {"NotADirectory", "The specified INode is not a directory"},
    {"NotAFile", "The specified INode is not a file"},
    {"NotASymlink", "The specified INode is not a symlink"},
    {"MaxRecursionDepthExceeded", "Maximum filesystem depth exceeded"},
    {"ResourceAlreadyExists", "Resource already exists"},
    {"DirectoryIsNotEmpty", "Directory is not empty"},
    {"ResourceCurrentInUse", "Resource is currently in use"},
    {"UnrecognizedFileMode", "Unrecognized file mode"},
    {"OperationNotSupported", "File does not support the specified operation: "},
    {"InvalidFileDescriptor", "Invalid file descriptor"},
    {"InvalidMove", "A directory cannot be moved into itself"},
};

}  // namespace

void IoError::append_message(std::string& out) const {
  out += kTexts[static_cast<int>(kind_)].message;
  if (kind_ == Kind::OperationNotSupported) out += operation_;
}

std::string IoError::message() const {
  std::string out;
  append_message(out);
  return out;
}

std::string IoError::name() const {
  std::string out = kTexts[static_cast<int>(kind_)].name;
  if (kind_ == Kind::OperationNotSupported) {
    out += '(';
    append_quoted(out, operation_);
    out += ')';
  }
  return out;
}

void append_quoted(std::string& out, std::string_view s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

}  // namespace ferrowick

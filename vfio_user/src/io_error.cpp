#include "vfio_user/io_error.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

namespace vfio_user {

namespace {

// The system's description of an error number, without allocating twice.
std::string describe(int code) {
  char buf[256];
  // The GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = ::strerror_r(code, buf, sizeof buf);
  return text;
}

// What a category says of itself when it has no number and no message.
std::string_view kind_description(IoError::Kind kind) {
  switch (kind) {
    case IoError::Kind::NotFound: return "entity not found";
    case IoError::Kind::PermissionDenied: return "permission denied";
    case IoError::Kind::ConnectionReset: return "connection reset";
    case IoError::Kind::AddrInUse: return "address in use";
    case IoError::Kind::BrokenPipe: return "broken pipe";
    case IoError::Kind::AlreadyExists: return "entity already exists";
    case IoError::Kind::InvalidInput: return "invalid input parameter";
    case IoError::Kind::UnexpectedEof: return "unexpected end of file";
    case IoError::Kind::WriteZero: return "write zero";
    case IoError::Kind::Uncategorized: return "uncategorized error";
    case IoError::Kind::Other: return "other error";
  }
  return "other error";
}

}  // namespace

IoError IoError::os(int code) { return IoError(code, kind_of(code), {}); }

IoError::Kind IoError::kind_of(int code) {
  switch (code) {
    case ENOENT: return Kind::NotFound;
    case EACCES:
    case EPERM: return Kind::PermissionDenied;
    case EADDRINUSE: return Kind::AddrInUse;
    case EPIPE: return Kind::BrokenPipe;
    case ECONNRESET: return Kind::ConnectionReset;
    case EEXIST: return Kind::AlreadyExists;
    case EINVAL: return Kind::InvalidInput;
    default: return Kind::Uncategorized;
  }
}

std::string_view IoError::kind_name(Kind kind) {
  switch (kind) {
    case Kind::NotFound: return "NotFound";
    case Kind::PermissionDenied: return "PermissionDenied";
    case Kind::ConnectionReset: return "ConnectionReset";
    case Kind::AddrInUse: return "AddrInUse";
    case Kind::BrokenPipe: return "BrokenPipe";
    case Kind::AlreadyExists: return "AlreadyExists";
    case Kind::InvalidInput: return "InvalidInput";
    case Kind::UnexpectedEof: return "UnexpectedEof";
    case Kind::WriteZero: return "WriteZero";
    case Kind::Uncategorized: return "Uncategorized";
    case Kind::Other: return "Other";
  }
  return "Other";
}

std::string IoError::display() const {
  if (code_ != 0) return fmt::format("{} (os error {})", describe(code_), code_);
  if (!text_.empty()) return std::string(text_);
  return std::string(kind_description(kind_));
}

std::string IoError::debug() const {
  if (code_ != 0) {
    return fmt::format("Os {{ code: {}, kind: {}, message: \"{}\" }}", code_, kind_name(kind_), describe(code_));
  }
  if (!text_.empty()) return fmt::format("Error {{ kind: {}, message: \"{}\" }}", kind_name(kind_), text_);
  return fmt::format("Kind({})", kind_name(kind_));
}

}  // namespace vfio_user

// Error is the failure kind of every server operation: construction, the
// connection loop and each command handler.
//
// Contract: message() is the text shown after "Error handling command: N: "
// in the log; debug() is the diagnostic form printed when a failure is fatal
// (the kind's name, then the carried value's diagnostic form in parentheses,
// as in UnknownCommand(20)); reply_errno() is the number sent in the error
// reply (22 for InvalidInput, the backend's operating-system error number
// for Backend, 0 for everything else).
#ifndef VFIO_USER_ERROR_H_
#define VFIO_USER_ERROR_H_

#include <cstdint>
#include <string>
#include <variant>

#include "vfio_user/command.h"
#include "vfio_user/io_error.h"

namespace vfio_user {

// A rejected capabilities text: what is wrong and where (1-based line, column).
struct JsonError {
  std::string message;
  std::uint64_t line = 0;
  std::uint64_t column = 0;

  // Returns "MESSAGE at line L column C".
  std::string display() const;
  // Returns Error("MESSAGE", line: L, column: C).
  std::string debug() const;
};

class Error {
 public:
  enum class Kind {
    DeserializeCapabilites,
    StreamWrite,
    StreamRead,
    SendWithFd,
    ReceiveWithFd,
    SocketPathExists,
    SocketBind,
    SocketAccept,
    UnknownCommand,
    UnsupportedCommand,
    UnsupportedFeature,
    Backend,
    InvalidInput,
    UnexpectedNoReply,
  };

  static Error deserialize_capabilities(JsonError e) { return Error(Kind::DeserializeCapabilites, std::move(e)); }
  static Error stream_write(IoError e) { return Error(Kind::StreamWrite, e); }
  static Error stream_read(IoError e) { return Error(Kind::StreamRead, e); }
  static Error send_with_fd(int errnum) { return Error(Kind::SendWithFd, Errno{errnum}); }
  static Error receive_with_fd(int errnum) { return Error(Kind::ReceiveWithFd, Errno{errnum}); }
  static Error socket_path_exists() { return Error(Kind::SocketPathExists, std::monostate{}); }
  static Error socket_bind(IoError e) { return Error(Kind::SocketBind, e); }
  static Error socket_accept(IoError e) { return Error(Kind::SocketAccept, e); }
  static Error unknown_command(std::uint16_t number) { return Error(Kind::UnknownCommand, number); }
  static Error unsupported_command(Command c) { return Error(Kind::UnsupportedCommand, c); }
  static Error unsupported_feature() { return Error(Kind::UnsupportedFeature, std::monostate{}); }
  static Error backend(IoError e) { return Error(Kind::Backend, e); }
  static Error invalid_input() { return Error(Kind::InvalidInput, std::monostate{}); }
  static Error unexpected_no_reply(Command c) { return Error(Kind::UnexpectedNoReply, c); }

  // Returns the kind.
  Kind kind() const { return kind_; }
  // Returns the kind's name, as in `SocketPathExists`.
  static const char* kind_name(Kind kind);
  // Returns the text used in log lines.
  std::string message() const;
  // Returns the diagnostic form.
  std::string debug() const;
  // Returns the error number for the error reply.
  std::uint32_t reply_errno() const {
    if (kind_ == Kind::InvalidInput) return 22;
    // A backend refusal with a number (EINVAL for an interrupt set-up the
    // device cannot take) reaches the client as that number.
    if (kind_ == Kind::Backend) return static_cast<std::uint32_t>(io_error().code());
    return 0;
  }
  // Returns the carried I/O error; only for kinds that carry one.
  const IoError& io_error() const { return std::get<IoError>(value_); }
  // Returns the carried error number; only for SendWithFd and ReceiveWithFd.
  int errnum() const { return std::get<Errno>(value_).value; }

 private:
  struct Errno {
    int value;
  };
  using Value = std::variant<std::monostate, IoError, Errno, std::uint16_t, Command, JsonError>;

  Error(Kind kind, Value value) : kind_(kind), value_(std::move(value)) {}

  Kind kind_;
  Value value_;  // what the kind carries, if anything
};

}  // namespace vfio_user

#endif  // VFIO_USER_ERROR_H_

// IoError is an input/output failure as a value: an operating-system error
// number, or an error category with an optional fixed message.
//
// Contract: cheap to copy, never allocates. display() is the text shown in log
// lines ("No such file or directory (os error 2)"), debug() the diagnostic
// form shown where a failure is printed in full
// (`Os { code: 2, kind: NotFound, message: "No such file or directory" }`).
#ifndef VFIO_USER_IO_ERROR_H_
#define VFIO_USER_IO_ERROR_H_

#include <string>
#include <string_view>

namespace vfio_user {

class IoError {
 public:
  enum class Kind {
    NotFound,
    PermissionDenied,
    ConnectionReset,
    AddrInUse,
    BrokenPipe,
    AlreadyExists,
    InvalidInput,
    UnexpectedEof,
    WriteZero,
    Uncategorized,
    Other,
  };

  // Returns the error for operating-system error number code.
  static IoError os(int code);
  // Returns an error that has only a category.
  static IoError category(Kind kind) { return IoError(0, kind, {}); }
  // Returns an error with a category and a fixed message (no number).
  static IoError message(Kind kind, std::string_view text) { return IoError(0, kind, text); }

  // Returns the operating-system error number, or 0 when there is none.
  int code() const { return code_; }
  // Returns the category.
  Kind kind() const { return kind_; }
  // Returns the text for log lines.
  std::string display() const;
  // Returns the diagnostic form.
  std::string debug() const;

  // Returns the category's name, as in `NotFound`.
  static std::string_view kind_name(Kind kind);
  // Returns the category that an operating-system error number falls in.
  static Kind kind_of(int code);

 private:
  IoError(int code, Kind kind, std::string_view text) : code_(code), kind_(kind), text_(text) {}

  int code_;               // errno value, 0 for none
  Kind kind_;              // category
  std::string_view text_;  // static message for errors without a number
};

}  // namespace vfio_user

#endif  // VFIO_USER_IO_ERROR_H_

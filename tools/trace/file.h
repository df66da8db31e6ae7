// File owns one open file descriptor and closes it when destroyed.
//
// Contract: holds -1 or a descriptor that nothing else closes; movable, not
// copyable. Opening failures are values carrying a readable description.
#ifndef ZEPHON_TRACE_FILE_H_
#define ZEPHON_TRACE_FILE_H_

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace zephon_trace {

class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  ~File();
  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Returns the file at path opened for reading, or why not.
  static std::expected<File, std::string> open_read(const std::string& path);
  // Returns the file at path created (or truncated) for writing, or why not.
  static std::expected<File, std::string> open_write(const std::string& path);

  // Returns the descriptor, -1 when empty.
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// Returns success once all of data is written to fd, or the error text.
std::expected<void, std::string> write_all(int fd, std::string_view data);

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_FILE_H_

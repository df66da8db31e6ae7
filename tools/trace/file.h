// Opening files for zephon-trace: each descriptor owned by a File (the
// server library's UniqueFd), failures as values carrying a readable
// description.
#ifndef ZEPHON_TRACE_FILE_H_
#define ZEPHON_TRACE_FILE_H_

#include <expected>
#include <string>
#include <string_view>

#include "vfio_user/unique_fd.h"

namespace zephon_trace {

using File = vfio_user::UniqueFd;

// Returns the file at path opened for reading, or why not.
std::expected<File, std::string> open_read(const std::string& path);
// Returns the file at path created (or truncated) for writing, or why not.
std::expected<File, std::string> open_write(const std::string& path);

// Returns success once all of data is written to fd, or the error text.
std::expected<void, std::string> write_all(int fd, std::string_view data);

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_FILE_H_

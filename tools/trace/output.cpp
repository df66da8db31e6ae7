#include "output.h"

#include "file.h"

namespace zephon_trace {

void Output::flush() {
  if (error_.empty() && buffer_.size() > 0) {
    auto r = write_all(fd_, std::string_view(buffer_.data(), buffer_.size()));
    if (!r) error_ = r.error();
  }
  buffer_.clear();
}

std::expected<void, std::string> Output::finish() {
  flush();
  if (!error_.empty()) return std::unexpected(error_);
  return {};
}

}  // namespace zephon_trace

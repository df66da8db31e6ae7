// Output collects text in memory and writes it to a descriptor in large
// pieces, so that reports of millions of lines cost one write per megabyte.
//
// Contract: the first failed write is remembered and later text is dropped;
// finish() flushes and returns that failure. The destructor does not write:
// call finish() to know the output is complete.
#ifndef ZEPHON_TRACE_OUTPUT_H_
#define ZEPHON_TRACE_OUTPUT_H_

#include <fmt/compile.h>
#include <fmt/format.h>

#include <expected>
#include <string>
#include <string_view>

namespace zephon_trace {

// Returns nothing; appends text to a buffer.
inline void append_text(fmt::memory_buffer& buffer, std::string_view text) {
  buffer.append(text.data(), text.data() + text.size());
}

class Output {
 public:
  explicit Output(int fd, std::size_t flush_at = std::size_t{1} << 20) : fd_(fd), flush_at_(flush_at) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Returns the buffer to append to; call line_done() after each line.
  fmt::memory_buffer& buffer() { return buffer_; }
  // Returns nothing; writes the buffer out once it is large.
  void line_done() {
    if (buffer_.size() >= flush_at_) flush();
  }
  // Returns nothing; appends text and counts it as a finished piece.
  void write(std::string_view text) {
    buffer_.append(text.data(), text.data() + text.size());
    line_done();
  }
  // Returns nothing; appends formatted text.
  template <typename... Args>
  void print(fmt::format_string<Args...> format, Args&&... args) {
    fmt::format_to(fmt::appender(buffer_), format, std::forward<Args>(args)...);
    line_done();
  }
  // Returns success once everything was written, or the first write error.
  std::expected<void, std::string> finish();
  // Returns nothing; writes out what the buffer holds now (for a live view).
  void flush();
  // Returns true once a write has failed.
  bool failed() const { return !error_.empty(); }

 private:
  int fd_;
  std::size_t flush_at_;
  fmt::memory_buffer buffer_;
  std::string error_;  // the first write failure, empty while none
};

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_OUTPUT_H_

#include "recording/log_scanner.h"

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>


namespace zephon_trace {

// The state of one scan: the reader, the counts and the strictness.
class LineCounter {
 public:
  LineCounter(EventSink& sink, const ScanOptions& options) : sink_(sink), options_(options), reader_(options.map) {}

  // Returns false when the scan must stop (strict, or the log refused).
  bool line(std::string_view text, bool unterminated) {
    ++stats_.lines;
    ParsedLine parsed = reader_.read(text);
    switch (parsed.kind) {
      case LineKind::Register:
        parsed.event.line = stats_.lines;
        ++stats_.events;
        if (is_access(parsed.event)) ++stats_.accesses;
        else if (is_script(parsed.event)) ++stats_.script;
        else ++stats_.marks;
        sink_.on_event(parsed.event);
        return true;
      case LineKind::Other:
        ++stats_.other;
        if (parsed.ends_log) stats_.closed = true;
        return true;
      case LineKind::Outside:
        ++stats_.outside;
        return true;
      case LineKind::Undecoded:
        ++stats_.undecoded;
        return true;
      case LineKind::Malformed:
        return malformed(parsed.reason, text, unterminated);
      case LineKind::Refused:
        failure_ = std::string(parsed.reason);
        return false;
    }
    return true;
  }

  // Returns false when the log is refused now that it has ended.
  bool end() {
    stats_.format = reader_.format();
    stats_.window = reader_.window();
    auto found = reader_.finish();
    if (!found) failure_ = found.error();
    return found.has_value();
  }

  // Returns false when a strict scan must stop.
  bool malformed(std::string_view reason, std::string_view text, bool unterminated) {
    ++stats_.malformed;
    if (options_.on_malformed) {
      options_.on_malformed(MalformedLine{stats_.lines, reason, text, unterminated});
    }
    if (options_.strict) {
      failure_ = fmt::format("line {}: {}", stats_.lines, reason);
      return false;
    }
    return true;
  }

  // Returns false when a strict scan must stop; counts an overlong line.
  bool overlong(std::string_view start) {
    ++stats_.lines;
    return malformed("line too long for a zephon log line", start.substr(0, 80), false);
  }

  const ScanStats& stats() const { return stats_; }
  const std::string& failure() const { return failure_; }

 private:
  EventSink& sink_;
  const ScanOptions& options_;
  LogReader reader_;
  ScanStats stats_;
  std::string failure_;  // why the scan stopped
};

LogScanner::LogScanner(EventSink& sink, const ScanOptions& options)
    : block_(std::max<std::size_t>(options.block_size, 1)),
      max_line_(std::max<std::size_t>(options.max_line, 1)),
      binary_probe_(options.binary_probe),
      end_at_close_(options.end_at_close),
      buffer_(std::make_unique_for_overwrite<char[]>(block_ + max_line_)),
      lines_(std::make_unique<LineCounter>(sink, options)) {}

LogScanner::~LogScanner() = default;

std::span<char> LogScanner::space() { return {buffer_.get() + len_, block_}; }

const ScanStats& LogScanner::stats() const { return lines_->stats(); }

std::expected<void, std::string> LogScanner::take(std::size_t got) {
  if (ended_) return {};
  char* const buf = buffer_.get();
  got = std::min(got, block_);
  if (total_ < binary_probe_) {
    const std::size_t probe = std::min<std::size_t>(got, binary_probe_ - total_);
    if (const void* found = std::memchr(buf + len_, '\0', probe)) {
      const char* nul = static_cast<const char*>(found);
      const auto newlines = std::count(static_cast<const char*>(buf), nul, '\n');
      const auto line = lines_->stats().lines + 1 + static_cast<std::uint64_t>(newlines);
      return std::unexpected(fmt::format("binary data, not a zephon log (a NUL byte at byte {}, line {})",
                                         total_ + static_cast<std::size_t>(nul - (buf + len_)), line));
    }
  }
  total_ += got;
  char* p = buf;
  char* const end = buf + len_ + got;
  if (skipping_) {
    char* nl = static_cast<char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (nl == nullptr) {
      len_ = 0;
      return {};
    }
    p = nl + 1;
    skipping_ = false;
  }
  while (char* nl = static_cast<char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) {
    if (!lines_->line(std::string_view(p, static_cast<std::size_t>(nl - p)), false)) {
      return std::unexpected(lines_->failure());
    }
    p = nl + 1;
    if (end_at_close_ && lines_->stats().closed) {
      ended_ = true;
      len_ = 0;
      return {};
    }
  }
  const auto tail = static_cast<std::size_t>(end - p);
  if (tail > max_line_) {
    if (!lines_->overlong(std::string_view(p, tail))) return std::unexpected(lines_->failure());
    skipping_ = true;
    len_ = 0;
  } else {
    std::memmove(buf, p, tail);
    len_ = tail;
  }
  return {};
}

std::expected<ScanStats, std::string> LogScanner::finish() {
  if (!ended_ && len_ > 0 && !skipping_ && !lines_->line(std::string_view(buffer_.get(), len_), true)) {
    return std::unexpected(lines_->failure());
  }
  len_ = 0;
  if (!lines_->end()) return std::unexpected(lines_->failure());
  return lines_->stats();
}

std::expected<ScanStats, std::string> scan_log(int fd, EventSink& sink, const ScanOptions& options) {
  LogScanner scanner(sink, options);
#ifdef POSIX_FADV_SEQUENTIAL
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  for (;;) {
    const std::span<char> room = scanner.space();
    ssize_t n = ::read(fd, room.data(), room.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(fmt::format("cannot read: {}", std::strerror(errno)));
    }
    if (n == 0) break;
    if (auto taken = scanner.take(static_cast<std::size_t>(n)); !taken) return std::unexpected(taken.error());
  }
  return scanner.finish();
}

}  // namespace zephon_trace

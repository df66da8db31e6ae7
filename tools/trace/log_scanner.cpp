#include "log_scanner.h"

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "line_parser.h"

namespace zephon_trace {

namespace {

// The state of one scan: the parser, the counts and the strictness.
class Scanner {
 public:
  Scanner(EventSink& sink, const ScanOptions& options) : sink_(sink), options_(options) {}

  // Returns false when a strict scan must stop.
  bool line(std::string_view text, bool unterminated) {
    ++stats_.lines;
    ParsedLine parsed = parser_.parse(text);
    switch (parsed.kind) {
      case LineKind::Register:
        parsed.event.line = stats_.lines;
        ++stats_.events;
        sink_.on_event(parsed.event);
        return true;
      case LineKind::Other:
        ++stats_.other;
        return true;
      case LineKind::Malformed:
        return malformed(parsed.reason, text, unterminated);
    }
    return true;
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
  LineParser parser_;
  ScanStats stats_;
  std::string failure_;  // why a strict scan stopped
};

}  // namespace

std::expected<ScanStats, std::string> scan_log(int fd, EventSink& sink, const ScanOptions& options) {
  const std::size_t block = std::max<std::size_t>(options.block_size, 1);
  const std::size_t max_line = std::max<std::size_t>(options.max_line, 1);
  auto buffer = std::make_unique_for_overwrite<char[]>(block + max_line);
  char* const buf = buffer.get();
  Scanner scanner(sink, options);
  std::size_t len = 0;         // bytes of an unfinished line kept at buf
  bool skipping = false;       // dropping the rest of an overlong line
  std::uint64_t total = 0;     // bytes read so far
#ifdef POSIX_FADV_SEQUENTIAL
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  for (;;) {
    ssize_t n = ::read(fd, buf + len, block);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(fmt::format("cannot read: {}", std::strerror(errno)));
    }
    if (n == 0) break;
    const auto got = static_cast<std::size_t>(n);
    if (total < options.binary_probe) {
      const std::size_t probe = std::min<std::size_t>(got, options.binary_probe - total);
      if (const void* found = std::memchr(buf + len, '\0', probe)) {
        const char* nul = static_cast<const char*>(found);
        const auto newlines = std::count(static_cast<const char*>(buf), nul, '\n');
        const auto line = scanner.stats().lines + 1 + static_cast<std::uint64_t>(newlines);
        return std::unexpected(fmt::format("binary data, not a zephon log (a NUL byte at byte {}, line {})",
                                           total + static_cast<std::size_t>(nul - (buf + len)), line));
      }
    }
    total += got;
    char* p = buf;
    char* const end = buf + len + got;
    if (skipping) {
      char* nl = static_cast<char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      if (nl == nullptr) {
        len = 0;
        continue;
      }
      p = nl + 1;
      skipping = false;
    }
    while (char* nl = static_cast<char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) {
      if (!scanner.line(std::string_view(p, static_cast<std::size_t>(nl - p)), false)) {
        return std::unexpected(scanner.failure());
      }
      p = nl + 1;
    }
    const auto tail = static_cast<std::size_t>(end - p);
    if (tail > max_line) {
      if (!scanner.overlong(std::string_view(p, tail))) return std::unexpected(scanner.failure());
      skipping = true;
      len = 0;
    } else {
      std::memmove(buf, p, tail);
      len = tail;
    }
  }
  if (len > 0 && !skipping && !scanner.line(std::string_view(buf, len), true)) {
    return std::unexpected(scanner.failure());
  }
  return scanner.stats();
}

}  // namespace zephon_trace

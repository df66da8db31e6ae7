// Log lines written the way zephon writes them, and mmiotrace records the
// way the kernel writes them, for the zephon-trace tests.
#ifndef ZEPHON_TESTS_TRACE_SAMPLES_H_
#define ZEPHON_TESTS_TRACE_SAMPLES_H_

#include <sys/mman.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace trace_samples {

// Returns a log line without colour and without its newline.
inline std::string plain_line(std::string_view stamp, std::string_view level, std::string_view target,
                              std::string_view message) {
  return fmt::format("{} {} {}: {}", stamp, level, target, message);
}

// Returns a coloured log line without its newline.
inline std::string colour_line(std::string_view stamp, std::string_view level, std::string_view target,
                               std::string_view message) {
  std::string_view colour = level == "TRACE"   ? "35"
                            : level == "DEBUG" ? "34"
                            : level == " INFO" ? "32"
                            : level == " WARN" ? "33"
                                               : "31";
  return fmt::format("\x1b[2m{}\x1b[0m \x1b[{}m{}\x1b[0m \x1b[2m{}\x1b[0m\x1b[2m:\x1b[0m {}", stamp, colour, level,
                     target, message);
}

// Returns an mmiotrace time, "%u.%06lu" seconds.
inline std::string mmio_time(std::uint64_t micros) { return fmt::format("{}.{:06}", micros / 1000000, micros % 1000000); }

// Returns an mmiotrace access record, R or W, as the kernel prints it.
inline std::string mmio_access(char op, int width, std::uint64_t micros, int map_id, std::uint64_t phys,
                               std::uint64_t value) {
  return fmt::format("{} {} {} {} {:#x} {:#x} 0x0 0", op, width, mmio_time(micros), map_id, phys, value);
}

// Returns an mmiotrace MAP record.
inline std::string mmio_map(std::uint64_t micros, int map_id, std::uint64_t phys, std::uint64_t length) {
  return fmt::format("MAP {} {} {:#x} 0xffffc90000400000 {:#x} 0x0 0", mmio_time(micros), map_id, phys, length);
}

// Returns an mmiotrace MARK record.
inline std::string mmio_mark(std::uint64_t micros, std::string_view text) {
  return fmt::format("MARK {} {}", mmio_time(micros), text);
}

// Returns a descriptor of an anonymous file holding text, positioned at its
// start, or -1.
inline int memory_file(std::string_view text) {
  int fd = ::memfd_create("trace-test", MFD_CLOEXEC);
  if (fd < 0) return -1;
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    ::close(fd);
    return -1;
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

// Returns everything in the file behind fd, from its start.
inline std::string file_text(int fd) {
  std::string out;
  char buf[65536];
  for (off_t at = 0;;) {
    ssize_t n = ::pread(fd, buf, sizeof buf, at);
    if (n <= 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
}

}  // namespace trace_samples

#endif  // ZEPHON_TESTS_TRACE_SAMPLES_H_

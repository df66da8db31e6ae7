// trace-loggen: writes a synthetic zephon log of about the given size to
// standard output, for measuring zephon-trace on logs too large to record:
// a driver touching 119 registers, with polling loops, writes and a sprinkle
// of warnings, timestamps advancing a few microseconds a line.
//
// Usage: trace-loggen BYTES [--colour] [SEED]
#include <unistd.h>

#include <fmt/compile.h>
#include <fmt/format.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kReset = "\x1b[0m";

class Generator {
 public:
  Generator(bool colour, std::uint32_t seed) : colour_(colour), rng_(seed) {
    for (int i = 0; i < 119; ++i) registers_.push_back(static_cast<std::uint16_t>(rng_() % 65536));
  }

  // Appends the next few lines to buf.
  void step(fmt::memory_buffer& buf) {
    const auto reg = registers_[rng_() % registers_.size()];
    const unsigned pick = rng_() % 100;
    if (pick < 2) {
      // A polling loop: the same status register read until it gives up.
      const unsigned count = 500 + rng_() % 4000;
      for (unsigned i = 0; i < count; ++i) line(buf, "DEBUG", "\x1b[34m", "zephon", access(false, reg, 0));
    } else if (pick < 3) {
      line(buf, " WARN", "\x1b[33m", "zephon",
           fmt::format("Invalid read of 0x2 bytes from register at offset {:#x}", 4 * reg));
    } else if (pick < 30) {
      const std::uint32_t value = rng_();
      values_[reg] = value;
      line(buf, "DEBUG", "\x1b[34m", "zephon", access(true, reg, value));
    } else {
      line(buf, "DEBUG", "\x1b[34m", "zephon", access(false, reg, values_[reg]));
    }
  }

 private:
  static std::string access(bool write, std::uint16_t reg, std::uint32_t value) {
    return fmt::format(FMT_COMPILE("{} regs[{:#06x}] ({:#x}) = {:#010x}"), write ? "Write" : "Read ", reg, 4u * reg,
                       value);
  }

  void line(fmt::memory_buffer& buf, std::string_view level, std::string_view colour, std::string_view target,
            std::string_view message) {
    micros_ += 1 + rng_() % 3;
    const std::time_t second = 1772366400 + static_cast<std::time_t>(micros_ / 1000000);
    if (second != cached_second_) {
      std::tm parts{};
      ::gmtime_r(&second, &parts);
      date_ = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", parts.tm_year + 1900, parts.tm_mon + 1,
                          parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
      cached_second_ = second;
    }
    auto out = fmt::appender(buf);
    const auto fraction = static_cast<unsigned>(micros_ % 1000000);
    if (colour_) {
      fmt::format_to(out, FMT_COMPILE("{}{}.{:06}Z{} {}{}{} {}{}{}{}:{} {}\n"), kDim, date_, fraction, kReset, colour,
                     level, kReset, kDim, target, kReset, kDim, kReset, message);
    } else {
      fmt::format_to(out, FMT_COMPILE("{}.{:06}Z {} {}: {}\n"), date_, fraction, level, target, message);
    }
  }

  bool colour_;
  std::mt19937 rng_;
  std::vector<std::uint16_t> registers_;
  std::vector<std::uint32_t> values_ = std::vector<std::uint32_t>(65536, 0);
  std::uint64_t micros_ = 0;
  std::time_t cached_second_ = -1;
  std::string date_;
};

bool write_all(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(1, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fmt::print(stderr, "usage: trace-loggen BYTES [--colour] [SEED]\n");
    return 2;
  }
  const std::uint64_t target = std::strtoull(argv[1], nullptr, 10);
  bool colour = false;
  std::uint32_t seed = 1;
  for (int i = 2; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--colour") colour = true;
    else seed = static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10));
  }
  Generator gen(colour, seed);
  fmt::memory_buffer buf;
  std::uint64_t written = 0;
  while (written < target) {
    gen.step(buf);
    if (buf.size() >= (1u << 20) || written + buf.size() >= target) {
      if (!write_all(buf.data(), buf.size())) return 1;
      written += buf.size();
      buf.clear();
    }
  }
  return 0;
}

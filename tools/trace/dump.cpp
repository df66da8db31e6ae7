#include "dump.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace zephon_trace {

std::expected<RegisterFile, std::string> load_dump(int fd) {
  // One byte more than a dump is asked for, to tell a longer file apart.
  auto bytes = std::make_unique_for_overwrite<unsigned char[]>(kDumpSize + 1);
  std::size_t got = 0;
  while (got < kDumpSize + 1) {
    ssize_t n = ::read(fd, bytes.get() + got, kDumpSize + 1 - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(fmt::format("cannot read: {}", std::strerror(errno)));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got != kDumpSize) {
    return std::unexpected(got > kDumpSize
                               ? fmt::format("not a zephon register dump: longer than {} bytes", kDumpSize)
                               : fmt::format("not a zephon register dump: {} bytes, not {}", got, kDumpSize));
  }
  RegisterFile regs(kRegisterCount);
  for (std::size_t i = 0; i < kRegisterCount; ++i) {
    const unsigned char* b = bytes.get() + 4 * i;
    regs[i] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
  }
  return regs;
}

std::vector<Difference> differences(const RegisterFile& left, const RegisterFile& right) {
  std::vector<Difference> out;
  for (std::size_t i = 0; i < kRegisterCount && i < left.size() && i < right.size(); ++i) {
    if (left[i] != right[i]) out.push_back({static_cast<std::uint16_t>(i), left[i], right[i]});
  }
  return out;
}

void write_differences(Output& out, std::string_view left_name, std::string_view right_name,
                       const std::vector<Difference>& diffs, const std::bitset<kRegisterCount>* seen) {
  out.print("# left: {}\n# right: {}\n", left_name, right_name);
  out.print("{:<6}  {:<7}  {:<10}  {}\n", "index", "offset", "left", "right");
  for (const Difference& d : diffs) {
    fmt::format_to(fmt::appender(out.buffer()), FMT_COMPILE("{:#06x}  {:<7}  {:#010x}  {:#010x}{}\n"), d.index,
                   fmt::format(FMT_COMPILE("{:#x}"), byte_offset(d.index)), d.left, d.right,
                   seen != nullptr && !seen->test(d.index) ? "  not in the log" : "");
    out.line_done();
  }
}

}  // namespace zephon_trace

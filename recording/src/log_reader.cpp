#include "recording/log_reader.h"

#include <fmt/format.h>

#include "recording/printable.h"

namespace zephon_trace {

ParsedLine LogReader::read(std::string_view line) {
  if (format_ == LogFormat::Zephon) return zephon_.parse(line);
  const MmioRecord record = parse_mmiotrace_line(line);
  if (format_ == LogFormat::Mmiotrace) return mmio_->take(record);
  if (record.kind == MmioKind::Version) {
    format_ = LogFormat::Mmiotrace;
    mmio_.emplace(choice_);
    if (record.text != kMmiotraceVersion) {
      fmt::memory_buffer version;
      append_printable(version, record.text.substr(0, 40));
      refusal_ = fmt::format("an mmiotrace of format version '{}'; only {} is known", fmt::to_string(version),
                             kMmiotraceVersion);
      ParsedLine refused;
      refused.kind = LineKind::Refused;
      refused.reason = refusal_;
      return refused;
    }
    return ParsedLine{};
  }
  std::string_view text = line;
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (!text.empty()) format_ = LogFormat::Zephon;
  return zephon_.parse(line);
}

std::expected<void, std::string> LogReader::finish() const {
  if (mmio_) return mmio_->finish();
  return {};
}

}  // namespace zephon_trace

#include "recording/mmiotrace_window.h"

#include <fmt/format.h>

#include <algorithm>

namespace zephon_trace {

std::string size_text(std::uint64_t bytes) {
  constexpr std::uint64_t kKiB = 1024, kMiB = kKiB * 1024;
  if (bytes != 0 && bytes % kMiB == 0) return fmt::format("{} MiB", bytes / kMiB);
  if (bytes != 0 && bytes % kKiB == 0) return fmt::format("{} KiB", bytes / kKiB);
  return fmt::format("{} bytes", bytes);
}

RegisterWindow::RegisterWindow(const MapChoice& choice) : choice_(choice), base_(choice.base) {}

std::string RegisterWindow::description() const {
  if (chosen_) return fmt::format("mapping {} at {:#x} ({})", chosen_->id, chosen_->phys, size_text(chosen_->length));
  if (base_) return fmt::format("{} at {:#x}", size_text(kBarSize), *base_);
  return {};
}

std::string RegisterWindow::listing() const {
  if (mappings_.empty()) return "the trace has no MAP records";
  std::string out = "mappings in the trace:";
  const char* sep = " ";
  for (const Mapping& m : mappings_) {
    out += fmt::format("{}{} at {:#x} ({})", sep, m.id, m.phys, size_text(m.length));
    sep = ", ";
  }
  if (unlisted_ > 0) out += fmt::format(" and {} more", unlisted_);
  return out;
}

void RegisterWindow::map(const MmioRecord& r) {
  const Mapping m{r.map_id, r.phys, r.value};
  const bool known = std::any_of(mappings_.begin(), mappings_.end(),
                                 [&](const Mapping& k) { return k.phys == m.phys && k.length == m.length; });
  if (!known) {
    if (mappings_.size() < kListedMappings) mappings_.push_back(m);
    else ++unlisted_;
  }
  if (choice_.base) {
    if (m.phys <= *choice_.base && *choice_.base - m.phys < m.length) base_mapped_ = true;
    return;
  }
  const bool named = choice_.map_id ? m.id == *choice_.map_id : m.length == kBarSize;
  if (!named) return;
  if (!base_) {
    base_ = m.phys;
    chosen_ = m;
  } else if (!choice_.map_id && m.phys != *base_) {
    refusal_ = fmt::format("more than one mapping of {} ({}); {}", size_text(kBarSize), listing(),
                           choice_.how_to_name);
  }
}

std::optional<std::uint32_t> RegisterWindow::offset_of(std::uint64_t phys, std::uint64_t width) const {
  if (!base_ || phys < *base_ || phys - *base_ >= kBarSize || phys - *base_ + width > kBarSize) return std::nullopt;
  return static_cast<std::uint32_t>(phys - *base_);
}

ParsedLine RegisterWindow::take(const MmioRecord& r) {
  ParsedLine line;
  switch (r.kind) {
    case MmioKind::Map:
      map(r);
      if (!refusal_.empty()) {
        line.kind = LineKind::Refused;
        line.reason = refusal_;
      }
      return line;
    case MmioKind::Read:
    case MmioKind::Write: {
      const auto offset = offset_of(r.phys, r.width);
      if (!offset) {
        line.kind = LineKind::Outside;
        return line;
      }
      ++inside_;
      line.kind = LineKind::Register;
      line.event.op = r.kind == MmioKind::Read ? Op::Read : Op::Write;
      line.event.width = r.width;
      line.event.index = static_cast<std::uint16_t>(*offset / 4);
      line.event.byte = static_cast<std::uint8_t>(*offset % 4);
      line.event.value = r.value;
      line.event.time_us = r.time_us;
      line.event.time_text = r.time_text;
      return line;
    }
    case MmioKind::Unknown:
      line.kind = offset_of(r.phys, 1) ? LineKind::Undecoded : LineKind::Outside;
      return line;
    case MmioKind::Mark:
      line.kind = LineKind::Register;
      line.event.op = Op::Mark;
      line.event.width = 0;
      line.event.time_us = r.time_us;
      line.event.time_text = r.time_text;
      line.event.text = r.text;
      return line;
    case MmioKind::Malformed:
      line.kind = LineKind::Malformed;
      line.reason = r.reason;
      return line;
    case MmioKind::Unmap:
    case MmioKind::Version:
    case MmioKind::Header:
    case MmioKind::Other:
      return line;
  }
  return line;
}

std::expected<void, std::string> RegisterWindow::finish() const {
  if (choice_.base) {
    if (base_mapped_ || inside_ > 0) return {};
    return std::unexpected(fmt::format("no mapping holds {:#x} ({})", *choice_.base, listing()));
  }
  if (base_) return {};
  if (choice_.map_id) return std::unexpected(fmt::format("no mapping has the id {} ({})", *choice_.map_id, listing()));
  return std::unexpected(fmt::format("no mapping of {}, the size of the register BAR ({}); {}", size_text(kBarSize),
                                     listing(), choice_.how_to_name));
}

}  // namespace zephon_trace

#include "summary.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "access_text.h"
#include "recording/timestamp.h"

namespace zephon_trace {

namespace {

// Column layout shared by the header and the rows: the index (wider when
// some rows name a byte inside a register), the name when there are names,
// the offset, the width when some accesses are not 32 bits, then the rest.
constexpr auto kIndex = FMT_COMPILE("{:<{}}  ");
constexpr auto kName = FMT_COMPILE("{:<{}}  ");
constexpr auto kOffset = FMT_COMPILE("{:<7}  ");
constexpr auto kBits = FMT_COMPILE("{:>4}  ");  // only when some accesses are not 32 bits
constexpr auto kCounts = FMT_COMPILE("{:>9}  {:>9}  ");
constexpr auto kSets = FMT_COMPILE("{:>9}  {:<11}  ");  // only when the log has sets
constexpr auto kValues = FMT_COMPILE("{:<11}  {:<11}  {:<11}  {:<11}  {:>11}  {:>11}\n");

std::string value_text(std::uint64_t v, std::uint8_t width) {
  fmt::memory_buffer b;
  append_value(b, v, width);
  return fmt::to_string(b);
}

std::string seconds(std::int64_t micros) {
  fmt::memory_buffer b;
  append_seconds(b, micros);
  return fmt::to_string(b);
}

std::string label(const RegisterStats& r) {
  fmt::memory_buffer b;
  append_register(b, r.index, r.byte, nullptr);
  return fmt::to_string(b);
}

// Returns nothing; keeps a timestamp text, as much of it as fits.
void keep(std::array<char, 32>& into, std::size_t& size, std::string_view text) {
  size = std::min(text.size(), into.size());
  std::memcpy(into.data(), text.data(), size);
}

}  // namespace

Summary::Summary() { touched_.reserve(256); }

RegisterStats& Summary::row(const Event& e) {
  std::uint32_t* slot = &slot_[e.index];
  if (!is_whole_register(e)) slot = &other_slots_[byte_offset(e) << 4 | e.width];
  if (*slot == 0) {
    touched_.push_back(RegisterStats{.index = e.index, .byte = e.byte, .width = e.width, .first_us = e.time_us});
    *slot = static_cast<std::uint32_t>(touched_.size());
  }
  return touched_[*slot - 1];
}

void Summary::on_event(const Event& e) {
  switch (e.op) {
    case Op::Irq: {
      ++interrupts_;
      const std::pair key{e.irq, static_cast<std::uint32_t>(e.value)};
      if (auto it = by_vector_.find(key); it != by_vector_.end()) ++it->second;
      else if (by_vector_.size() < kInterruptKinds) by_vector_.emplace(key, 1);
      return;
    }
    case Op::DmaRead:
      ++dma_.reads;
      dma_.read_bytes += e.length;
      return;
    case Op::DmaWrite:
      ++dma_.writes;
      dma_.written_bytes += e.length;
      return;
    case Op::Mark:
      return;
    case Op::Read:
    case Op::Write:
    case Op::Set:
      break;
  }
  if (events_++ == 0) {
    start_us_ = e.time_us;
    keep(start_text_, start_size_, e.time_text);
  }
  keep(end_text_, end_size_, e.time_text);
  RegisterStats& r = row(e);
  r.last_us = e.time_us;
  if (e.op == Op::Read) {
    if (r.reads++ == 0) r.first_read = e.value;
    r.last_read = e.value;
  } else if (e.op == Op::Write) {
    if (r.writes++ == 0) r.first_written = e.value;
    r.last_written = e.value;
  } else {
    ++r.sets;
    ++sets_;
    r.last_set = e.value;
  }
}

std::vector<RegisterStats> Summary::rows(SummaryOrder order) const {
  if (order == SummaryOrder::FirstAccess) return touched_;
  // Ties fall back to the order of first access, the positions in touched_,
  // so a plain sort gives the stable order without libstdc++'s deprecated
  // temporary buffer behind std::stable_sort.
  std::vector<std::size_t> at(touched_.size());
  std::iota(at.begin(), at.end(), std::size_t{0});
  std::sort(at.begin(), at.end(), [this](std::size_t a, std::size_t b) {
    const std::uint64_t ca = touched_[a].reads + touched_[a].writes;
    const std::uint64_t cb = touched_[b].reads + touched_[b].writes;
    if (ca != cb) return ca > cb;
    return a < b;
  });
  std::vector<RegisterStats> out;
  out.reserve(at.size());
  for (std::size_t i : at) out.push_back(touched_[i]);
  return out;
}

void Summary::write(Output& out, SummaryOrder order, const RegisterNames* names) const {
  if (events_ == 0) {
    out.write("# no register accesses\n");
    write_script_lines(out);
    return;
  }
  out.print("# {} registers, {} accesses{}, from {} to {}; times in seconds since the first access\n",
            touched_.size(), events_ - sets_, sets_ > 0 ? fmt::format(", {} set by the device script", sets_) : "",
            std::string_view(start_text_.data(), start_size_), std::string_view(end_text_.data(), end_size_));
  std::size_t name_width = 4;
  std::size_t index_width = 6;
  if (names != nullptr) {
    for (const RegisterStats& r : touched_) name_width = std::max(name_width, names->name(r.index).size());
  }
  const bool widths = !other_slots_.empty();
  if (widths) index_width = 8;  // "0x0017+1"
  auto& b = out.buffer();
  fmt::format_to(fmt::appender(b), kIndex, "index", index_width);
  if (names != nullptr) fmt::format_to(fmt::appender(b), kName, "name", name_width);
  fmt::format_to(fmt::appender(b), kOffset, "offset");
  if (widths) fmt::format_to(fmt::appender(b), kBits, "bits");
  fmt::format_to(fmt::appender(b), kCounts, "reads", "writes");
  if (sets_ > 0) fmt::format_to(fmt::appender(b), kSets, "sets", "last-set");
  fmt::format_to(fmt::appender(b), kValues, "first-write", "last-write", "first-read", "last-read", "first-time",
                 "last-time");
  for (const RegisterStats& r : rows(order)) {
    fmt::format_to(fmt::appender(b), kIndex, label(r), index_width);
    if (names != nullptr) {
      const std::string_view name = names->name(r.index);
      fmt::format_to(fmt::appender(b), kName, name.empty() ? "-" : name, name_width);
    }
    fmt::format_to(fmt::appender(b), kOffset, fmt::format(FMT_COMPILE("{:#x}"), byte_offset(r.index) + r.byte));
    if (widths) fmt::format_to(fmt::appender(b), kBits, 8 * r.width);
    fmt::format_to(fmt::appender(b), kCounts, r.reads, r.writes);
    if (sets_ > 0) fmt::format_to(fmt::appender(b), kSets, r.sets, r.sets ? value_text(r.last_set, r.width) : "-");
    fmt::format_to(fmt::appender(b), kValues, r.writes ? value_text(r.first_written, r.width) : "-",
                   r.writes ? value_text(r.last_written, r.width) : "-",
                   r.reads ? value_text(r.first_read, r.width) : "-", r.reads ? value_text(r.last_read, r.width) : "-",
                   seconds(r.first_us - start_us_), seconds(r.last_us - start_us_));
    out.line_done();
  }
  write_script_lines(out);
}

void Summary::write_script_lines(Output& out) const {
  auto& b = out.buffer();
  if (interrupts_ > 0) {
    fmt::format_to(fmt::appender(b), FMT_COMPILE("# {} interrupts raised by the device script:"), interrupts_);
    std::uint64_t listed = 0;
    const char* sep = " ";
    for (const auto& [key, count] : by_vector_) {
      fmt::format_to(fmt::appender(b), FMT_COMPILE("{}vector {} ({}) \u00d7{}"), sep, key.second,
                     irq_index_name(key.first), count);
      sep = ", ";
      listed += count;
    }
    if (listed < interrupts_) {
      fmt::format_to(fmt::appender(b), FMT_COMPILE("{}{} on other vectors"), sep, interrupts_ - listed);
    }
    b.push_back('\n');
    out.line_done();
  }
  if (dma_.reads + dma_.writes > 0) {
    fmt::format_to(fmt::appender(b),
                   FMT_COMPILE("# guest memory accessed by the device script: {} DMA reads of {} bytes, "
                               "{} DMA writes of {} bytes\n"),
                   dma_.reads, dma_.read_bytes, dma_.writes, dma_.written_bytes);
    out.line_done();
  }
}

}  // namespace zephon_trace

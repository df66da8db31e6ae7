#include "summary.h"

#include <algorithm>
#include <cstring>

#include "timestamp.h"

namespace zephon_trace {

namespace {

// Column layout shared by the header and the rows: the index, the name when
// there are names, then the rest.
constexpr auto kIndex = FMT_COMPILE("{:<6}  ");
constexpr auto kName = FMT_COMPILE("{:<{}}  ");
constexpr auto kCounts = FMT_COMPILE("{:<7}  {:>9}  {:>9}  ");
constexpr auto kSets = FMT_COMPILE("{:>9}  {:<11}  ");  // only when the log has sets
constexpr auto kValues = FMT_COMPILE("{:<11}  {:<11}  {:<11}  {:<11}  {:>11}  {:>11}\n");

std::string hex_value(std::uint32_t v) { return fmt::format(FMT_COMPILE("{:#010x}"), v); }

std::string seconds(std::int64_t micros) {
  fmt::memory_buffer b;
  append_seconds(b, micros);
  return fmt::to_string(b);
}

}  // namespace

Summary::Summary() { touched_.reserve(256); }

void Summary::on_event(const Event& e) {
  if (e.op == Op::Irq) {
    ++interrupts_;
    const std::pair key{e.irq, e.value};
    if (auto it = by_vector_.find(key); it != by_vector_.end()) ++it->second;
    else if (by_vector_.size() < kInterruptKinds) by_vector_.emplace(key, 1);
    return;
  }
  if (events_++ == 0) {
    start_us_ = e.time_us;
    std::memcpy(start_text_.data(), e.time_text.data(), std::min(e.time_text.size(), start_text_.size()));
  }
  std::memcpy(end_text_.data(), e.time_text.data(), std::min(e.time_text.size(), end_text_.size()));
  std::uint32_t& slot = slot_[e.index];
  if (slot == 0) {
    touched_.push_back(RegisterStats{.index = e.index, .first_us = e.time_us});
    slot = static_cast<std::uint32_t>(touched_.size());
  }
  RegisterStats& r = touched_[slot - 1];
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
  std::vector<RegisterStats> out = touched_;
  if (order == SummaryOrder::Count) {
    // Ties fall back to the order of first access, which slot_ records, so a
    // plain sort gives the stable order without libstdc++'s deprecated
    // temporary buffer behind std::stable_sort.
    std::sort(out.begin(), out.end(), [this](const RegisterStats& a, const RegisterStats& b) {
      const std::uint64_t ca = a.reads + a.writes;
      const std::uint64_t cb = b.reads + b.writes;
      if (ca != cb) return ca > cb;
      return slot_[a.index] < slot_[b.index];
    });
  }
  return out;
}

void Summary::write(Output& out, SummaryOrder order, const RegisterNames* names) const {
  if (events_ == 0) {
    out.write("# no register accesses\n");
    write_interrupts(out);
    return;
  }
  out.print("# {} registers, {} accesses{}, from {} to {}; times in seconds since the first access\n",
            touched_.size(), events_ - sets_, sets_ > 0 ? fmt::format(", {} set by the device script", sets_) : "",
            std::string_view(start_text_.data(), start_text_.size()),
            std::string_view(end_text_.data(), end_text_.size()));
  std::size_t name_width = 4;
  if (names != nullptr) {
    for (const RegisterStats& r : touched_) name_width = std::max(name_width, names->name(r.index).size());
  }
  auto& b = out.buffer();
  fmt::format_to(fmt::appender(b), kIndex, "index");
  if (names != nullptr) fmt::format_to(fmt::appender(b), kName, "name", name_width);
  fmt::format_to(fmt::appender(b), kCounts, "offset", "reads", "writes");
  if (sets_ > 0) fmt::format_to(fmt::appender(b), kSets, "sets", "last-set");
  fmt::format_to(fmt::appender(b), kValues, "first-write", "last-write", "first-read", "last-read", "first-time",
                 "last-time");
  for (const RegisterStats& r : rows(order)) {
    fmt::format_to(fmt::appender(b), kIndex, fmt::format(FMT_COMPILE("{:#06x}"), r.index));
    if (names != nullptr) {
      const std::string_view name = names->name(r.index);
      fmt::format_to(fmt::appender(b), kName, name.empty() ? "-" : name, name_width);
    }
    fmt::format_to(fmt::appender(b), kCounts, fmt::format(FMT_COMPILE("{:#x}"), byte_offset(r.index)), r.reads,
                   r.writes);
    if (sets_ > 0) fmt::format_to(fmt::appender(b), kSets, r.sets, r.sets ? hex_value(r.last_set) : "-");
    fmt::format_to(fmt::appender(b), kValues, r.writes ? hex_value(r.first_written) : "-",
                   r.writes ? hex_value(r.last_written) : "-", r.reads ? hex_value(r.first_read) : "-",
                   r.reads ? hex_value(r.last_read) : "-", seconds(r.first_us - start_us_),
                   seconds(r.last_us - start_us_));
    out.line_done();
  }
  write_interrupts(out);
}

void Summary::write_interrupts(Output& out) const {
  if (interrupts_ == 0) return;
  auto& b = out.buffer();
  fmt::format_to(fmt::appender(b), FMT_COMPILE("# {} interrupts raised by the device script:"), interrupts_);
  std::uint64_t listed = 0;
  const char* sep = " ";
  for (const auto& [key, count] : by_vector_) {
    fmt::format_to(fmt::appender(b), FMT_COMPILE("{}vector {} ({}) \u00d7{}"), sep, key.second,
                   irq_index_name(key.first), count);
    sep = ", ";
    listed += count;
  }
  if (listed < interrupts_) fmt::format_to(fmt::appender(b), FMT_COMPILE("{}{} on other vectors"), sep, interrupts_ - listed);
  b.push_back('\n');
  out.line_done();
}

}  // namespace zephon_trace

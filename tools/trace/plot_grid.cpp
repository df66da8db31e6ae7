#include "plot_grid.h"

#include <algorithm>

namespace zephon_trace {

void PlotGrid::on_event(const Event& e) {
  if (e.op == Op::Mark) return;
  if (!started_) {
    started_ = true;
    origin_us_ = e.time_us;
  }
  const std::int64_t dt = e.time_us > origin_us_ ? e.time_us - origin_us_ : 0;
  while (dt / slice_us_ >= static_cast<std::int64_t>(kColumns)) widen();
  if (e.op == Op::Irq) {
    interrupt_slices_.set(static_cast<std::size_t>(dt / slice_us_));
    ++interrupts_;
    return;
  }
  if (is_dma(e)) {
    dma_slices_.set(static_cast<std::size_t>(dt / slice_us_));
    ++dma_;
    return;
  }
  std::uint32_t& slot = slot_[e.index];
  if (slot == 0) {
    touched_.push_back(Marks{.index = e.index, .accesses = 0, .ops = {}});
    slot = static_cast<std::uint32_t>(touched_.size());
  }
  Marks& marks = touched_[slot - 1];
  ++marks.accesses;
  marks.ops[static_cast<std::size_t>(e.op)].set(static_cast<std::size_t>(dt / slice_us_));
  (e.op == Op::Read ? reads_ : e.op == Op::Write ? writes_ : sets_) += 1;
}

void PlotGrid::merge(std::bitset<kColumns>& bits) {
  std::bitset<kColumns> merged;
  for (std::size_t j = 0; j < kColumns / 2; ++j) merged[j] = bits[2 * j] || bits[2 * j + 1];
  bits = merged;
}

void PlotGrid::widen() {
  for (Marks& m : touched_) {
    for (auto& bits : m.ops) merge(bits);
  }
  merge(interrupt_slices_);
  merge(dma_slices_);
  slice_us_ *= 2;
}

void PlotGrid::write_interrupts(Output& out) const { write_slices(out, interrupt_slices_); }

void PlotGrid::write_dma(Output& out) const { write_slices(out, dma_slices_); }

void PlotGrid::write_slices(Output& out, const std::bitset<kColumns>& slices) const {
  for (std::size_t j = 0; j < kColumns; ++j) {
    if (!slices[j]) continue;
    const std::int64_t us = static_cast<std::int64_t>(j) * slice_us_;
    fmt::format_to(fmt::appender(out.buffer()), FMT_COMPILE("{}.{:06}\n"), us / 1000000, us % 1000000);
    out.line_done();
  }
}

std::vector<std::uint16_t> PlotGrid::registers() const {
  std::vector<std::uint16_t> out;
  out.reserve(touched_.size());
  for (const Marks& m : touched_) out.push_back(m.index);
  return out;
}

std::vector<std::uint16_t> PlotGrid::busiest() const {
  // Positions in touched_ break ties, which keeps the order of first access.
  std::vector<std::size_t> order(touched_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (touched_[a].accesses != touched_[b].accesses) return touched_[a].accesses > touched_[b].accesses;
    return a < b;
  });
  std::vector<std::uint16_t> out;
  out.reserve(order.size());
  for (std::size_t i : order) out.push_back(touched_[i].index);
  return out;
}

void PlotGrid::write_points(Output& out, Op op) const {
  for (const Marks& m : touched_) {
    const auto& bits = m.ops[static_cast<std::size_t>(op)];
    if (bits.none()) continue;
    for (std::size_t j = 0; j < kColumns; ++j) {
      if (!bits[j]) continue;
      const std::int64_t us = static_cast<std::int64_t>(j) * slice_us_;
      fmt::format_to(fmt::appender(out.buffer()), FMT_COMPILE("{}.{:06} {}\n"), us / 1000000, us % 1000000,
                     byte_offset(m.index));
      out.line_done();
    }
  }
}

}  // namespace zephon_trace

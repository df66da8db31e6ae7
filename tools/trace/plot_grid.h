// PlotGrid reduces the register accesses of a log to what a picture of them
// can show: for each register touched, and for reads and writes apart, which
// of a fixed number of time slices saw at least one access.
//
// Contract: memory is a fixed number of bits per register touched, however
// long the log. The slices start one microsecond wide and double in width
// (merging neighbours) whenever the log outgrows them, so they always cover
// the whole log from its first access. A clock that steps back puts events
// in the first slice. Registers set by a device script are marked apart from
// the guest's reads and writes (Op::Set); its interrupts, and its reads and
// writes of guest memory (DMA), are marked per slice on the time axis alone.
// Markers are not drawn. An access of another width than 32 bits marks the
// register it starts in.
#ifndef ZEPHON_TRACE_PLOT_GRID_H_
#define ZEPHON_TRACE_PLOT_GRID_H_

#include <array>
#include <bitset>
#include <cstdint>
#include <vector>

#include "recording/event.h"
#include "output.h"

namespace zephon_trace {

class PlotGrid final : public EventSink {
 public:
  static constexpr std::size_t kColumns = 2048;

  void on_event(const Event& event) override;

  // Returns the number of reads seen.
  std::uint64_t reads() const { return reads_; }
  // Returns the number of writes seen.
  std::uint64_t writes() const { return writes_; }
  // Returns the number of registers set by the device script.
  std::uint64_t sets() const { return sets_; }
  // Returns the number of interrupts seen.
  std::uint64_t interrupts() const { return interrupts_; }
  // Returns the number of DMA reads and writes seen.
  std::uint64_t dma() const { return dma_; }
  // Returns the width of one time slice in microseconds.
  std::int64_t slice_us() const { return slice_us_; }
  // Returns the registers touched, in order of first access.
  std::vector<std::uint16_t> registers() const;
  // Returns the registers touched, most accessed first (ties in order of
  // first access).
  std::vector<std::uint16_t> busiest() const;
  // Returns nothing; prints "SECONDS OFFSET" for every marked slice of op,
  // the slice's start time in seconds since the first access.
  void write_points(Output& out, Op op) const;
  // Returns nothing; prints "SECONDS" for every slice that saw an interrupt.
  void write_interrupts(Output& out) const;
  // Returns nothing; prints "SECONDS" for every slice that saw a DMA.
  void write_dma(Output& out) const;

 private:
  struct Marks {
    std::uint16_t index = 0;
    std::uint64_t accesses = 0;
    std::array<std::bitset<kColumns>, 3> ops;  // by Op, but for Irq
  };
  static void merge(std::bitset<kColumns>& bits);
  void widen();
  void write_slices(Output& out, const std::bitset<kColumns>& slices) const;

  std::array<std::uint32_t, kRegisterCount> slot_{};  // 1 + position in touched_, 0 if untouched
  std::vector<Marks> touched_;
  bool started_ = false;
  std::int64_t origin_us_ = 0;
  std::int64_t slice_us_ = 1;
  std::uint64_t reads_ = 0, writes_ = 0, sets_ = 0, interrupts_ = 0, dma_ = 0;
  std::bitset<kColumns> interrupt_slices_;
  std::bitset<kColumns> dma_slices_;
};

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_PLOT_GRID_H_

// Register dumps and their comparison: zephon's dump is the 65536 BAR 2
// registers in index order, 4 bytes each, least significant byte first. A
// dump can be compared with another, or with the last values a log shows
// (LastValues), listing every register that differs.
//
// Contract: a dump is exactly 262144 bytes; anything else is refused with a
// description. Differences come in register order.
#ifndef ZEPHON_TRACE_DUMP_H_
#define ZEPHON_TRACE_DUMP_H_

#include <bitset>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "recording/event.h"
#include "output.h"
#include "register_bytes.h"

namespace zephon_trace {

inline constexpr std::size_t kDumpSize = kRegisterCount * 4;

using RegisterFile = std::vector<std::uint32_t>;  // kRegisterCount values

// Returns the registers of the dump read from fd, or why it is not a dump.
std::expected<RegisterFile, std::string> load_dump(int fd);

// Keeps the last value the log showed for each register, read, written or
// set by the device script; registers it never shows stay zero, as zephon
// starts them. An access of fewer than 32 bits changes only its bytes, one
// of 64 bits two registers; each register it touches counts as shown.
class LastValues final : public EventSink {
 public:
  LastValues() : values_(kRegisterCount, 0) {}
  void on_event(const Event& event) override {
    if (!has_register(event)) return;
    store_bytes(values_, byte_offset(event), event.width, event.value);
    const std::uint32_t last = (byte_offset(event) + event.width - 1) / 4;
    for (std::uint32_t i = event.index; i <= last && i < kRegisterCount; ++i) seen_.set(i);
  }
  // Returns the registers as the log last showed them.
  const RegisterFile& values() const { return values_; }
  // Returns which registers the log showed at all.
  const std::bitset<kRegisterCount>& seen() const { return seen_; }

 private:
  RegisterFile values_;
  std::bitset<kRegisterCount> seen_;
};

struct Difference {
  std::uint16_t index = 0;
  std::uint32_t left = 0;
  std::uint32_t right = 0;
};

// Returns the registers whose values differ, in index order.
std::vector<Difference> differences(const RegisterFile& left, const RegisterFile& right);

// Returns nothing; prints what the two sides are, then one row per
// difference. When seen is given (the left side is a log), registers the
// log never showed are marked.
void write_differences(Output& out, std::string_view left_name, std::string_view right_name,
                       const std::vector<Difference>& diffs, const std::bitset<kRegisterCount>* seen = nullptr);

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_DUMP_H_

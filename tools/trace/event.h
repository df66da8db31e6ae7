// Event is one BAR 2 register access as a zephon log records it: a read or a
// write of one 32-bit register, with the time the log gave it.
//
// Contract: a plain value; time_text points into the line it came from and
// is valid only while the event is being handled.
#ifndef ZEPHON_TRACE_EVENT_H_
#define ZEPHON_TRACE_EVENT_H_

#include <cstdint>
#include <string_view>

namespace zephon_trace {

// The number of 32-bit registers in BAR 2.
inline constexpr std::size_t kRegisterCount = 65536;

enum class Op : std::uint8_t { Read = 0, Write = 1 };

struct Event {
  Op op = Op::Read;
  std::uint16_t index = 0;     // register number; the byte offset is 4 * index
  std::uint32_t value = 0;     // the value read or written
  std::int64_t time_us = 0;    // microseconds since the Unix epoch (UTC)
  std::string_view time_text;  // the timestamp exactly as the log shows it
  std::uint64_t line = 0;      // 1-based line number in the log
};

// Returns "read" or "write".
constexpr std::string_view op_name(Op op) { return op == Op::Read ? "read" : "write"; }

// Returns the byte offset of a register.
constexpr std::uint32_t byte_offset(std::uint16_t index) { return std::uint32_t{index} * 4; }

// Receives the register events of a log in order.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Returns nothing; called once per register event, in log order.
  virtual void on_event(const Event& event) = 0;
};

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_EVENT_H_

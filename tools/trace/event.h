// Event is one BAR 2 register event as a zephon log records it, with the
// time the log gave it: a read or a write of one 32-bit register by the
// guest, a register set by the device script on its own ("Set" lines), or
// an interrupt the script raised ("Irq" lines, which name no register: their
// vector is in value and their interrupt index in irq).
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

enum class Op : std::uint8_t { Read = 0, Write = 1, Set = 2, Irq = 3 };

// The interrupt index an Irq event went through, as zephon names it.
enum class IrqIndex : std::uint8_t { IntX = 0, Msi = 1, MsiX = 2, Other = 3 };

struct Event {
  Op op = Op::Read;
  std::uint16_t index = 0;     // register number; the byte offset is 4 * index
  std::uint32_t value = 0;     // the value read, written or set; an Irq's vector
  IrqIndex irq = IrqIndex::IntX;  // an Irq's interrupt index; otherwise unused
  std::int64_t time_us = 0;    // microseconds since the Unix epoch (UTC)
  std::string_view time_text;  // the timestamp exactly as the log shows it
  std::uint64_t line = 0;      // 1-based line number in the log
};

// Returns "read", "write", "set" or "irq".
constexpr std::string_view op_name(Op op) {
  switch (op) {
    case Op::Read: return "read";
    case Op::Write: return "write";
    case Op::Set: return "set";
    case Op::Irq: return "irq";
  }
  return "?";
}

// Returns the name zephon gives an interrupt index: "INTx", "MSI", "MSI-X"
// or "other".
constexpr std::string_view irq_index_name(IrqIndex index) {
  switch (index) {
    case IrqIndex::IntX: return "INTx";
    case IrqIndex::Msi: return "MSI";
    case IrqIndex::MsiX: return "MSI-X";
    case IrqIndex::Other: return "other";
  }
  return "other";
}

// Returns whether the event names a register (all but Irq).
constexpr bool has_register(const Event& e) { return e.op != Op::Irq; }

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

// Event is one thing a log records about the device, with the time the log
// gave it: a read or a write of a BAR 2 register by the guest (32 bits in a
// zephon log; 8, 16, 32 or 64 bits, at any byte, in an mmiotrace), a register
// set by the device script on its own ("Set" lines), an interrupt the script
// raised ("Irq" lines), a read or write of guest memory by the script ("Dma"
// lines), or a marker a person put into an mmiotrace ("MARK" records).
// Interrupts, DMA and markers name no register.
//
// Contract: a plain value; time_text and text point into the line it came
// from and are valid only while the event is being handled.
#ifndef RECORDING_EVENT_H_
#define RECORDING_EVENT_H_

#include <cstdint>
#include <string_view>

namespace zephon_trace {

// The number of 32-bit registers in BAR 2, and its size in bytes.
inline constexpr std::size_t kRegisterCount = 65536;
inline constexpr std::uint32_t kBarSize = kRegisterCount * 4;

enum class Op : std::uint8_t { Read = 0, Write = 1, Set = 2, Irq = 3, DmaRead = 4, DmaWrite = 5, Mark = 6 };

// The interrupt index an Irq event went through, as zephon names it.
enum class IrqIndex : std::uint8_t { IntX = 0, Msi = 1, MsiX = 2, Other = 3 };

struct Event {
  Op op = Op::Read;
  std::uint8_t width = 4;      // bytes of a register event: 1, 2, 4 or 8
  std::uint8_t byte = 0;       // where it starts in register index: 0 to 3
  std::uint16_t index = 0;     // register number; the byte offset is 4 * index + byte
  std::uint64_t value = 0;     // the value read, written or set (width bytes); an Irq's
                               // vector; a DMA's guest address
  std::uint64_t length = 0;    // a DMA's length in bytes; otherwise unused
  IrqIndex irq = IrqIndex::IntX;  // an Irq's interrupt index; otherwise unused
  std::int64_t time_us = 0;    // microseconds since the Unix epoch (UTC), or since boot in an mmiotrace
  std::string_view time_text;  // the timestamp exactly as the log shows it
  std::string_view text;       // a marker's text; otherwise empty
  std::uint64_t line = 0;      // 1-based line number in the log
};

// Returns "read", "write", "set", "irq", "dma-read", "dma-write" or "mark".
constexpr std::string_view op_name(Op op) {
  switch (op) {
    case Op::Read: return "read";
    case Op::Write: return "write";
    case Op::Set: return "set";
    case Op::Irq: return "irq";
    case Op::DmaRead: return "dma-read";
    case Op::DmaWrite: return "dma-write";
    case Op::Mark: return "mark";
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

// Returns whether the event names a register: a guest access or a set.
constexpr bool has_register(const Event& e) { return e.op == Op::Read || e.op == Op::Write || e.op == Op::Set; }

// Returns whether the event is the guest's access to a register.
constexpr bool is_access(const Event& e) { return e.op == Op::Read || e.op == Op::Write; }

// Returns whether the event is a device script's own doing: a set, an
// interrupt or a DMA.
constexpr bool is_script(const Event& e) {
  return e.op == Op::Set || e.op == Op::Irq || e.op == Op::DmaRead || e.op == Op::DmaWrite;
}

// Returns whether the event is a DMA of the device script.
constexpr bool is_dma(const Event& e) { return e.op == Op::DmaRead || e.op == Op::DmaWrite; }

// Returns the byte offset of a register.
constexpr std::uint32_t byte_offset(std::uint16_t index) { return std::uint32_t{index} * 4; }

// Returns the byte offset of a register event.
constexpr std::uint32_t byte_offset(const Event& e) { return byte_offset(e.index) + e.byte; }

// Returns whether a register event is the plain 32-bit access at a register's start.
constexpr bool is_whole_register(const Event& e) { return e.width == 4 && e.byte == 0; }

// Receives the events of a log in order.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Returns nothing; called once per event, in log order.
  virtual void on_event(const Event& event) = 0;
};

}  // namespace zephon_trace

#endif  // RECORDING_EVENT_H_

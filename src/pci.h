// PciConfiguration is the emulated 256-byte PCI configuration space of one
// device: 64 little-endian 32-bit registers, each with a write mask that says
// bit by bit which bits the guest may change.
//
// Contract: the object owns no heap memory and never allocates. create()
// writes the identity and header; add_pci_bar() registers BARs and sets their
// masks, and either succeeds or changes nothing; add_capability() appends a
// capability to the capability list the same way; set_interrupt_pin() and
// add_msi_capability() describe an interrupt the device can raise (the plain
// device has none, and no capability list). Afterwards write_reg() changes
// register values, and only the bits its mask allows, with one rule beyond
// the masks: MSI's Multiple Message Enable takes only encodings up to the
// vectors the capability offers. The device's interrupt line sets the
// status register's Interrupt Status bit (set_interrupt_status), which the
// guest cannot write. BAR sizing by the guest (write all ones, read back)
// works through the masks alone. Rejected writes are logged at WARN with
// target "zephon::pci" and otherwise ignored. Single-threaded.
#ifndef ZEPHON_PCI_H_
#define ZEPHON_PCI_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace zephon::pci {

// The kind of a BAR; the value is also the BAR register's type bits.
enum class PciBarKind : std::uint8_t {
  Memory32 = 0,
  Io = 1,
  Memory64 = 4,
};

// Which configuration header create() writes: type 0 or type 1.
enum class PciHeaderLayout : std::uint8_t {
  Device,
  Bridge,
};

// The description of one BAR to register.
struct PciBarSpec {
  std::uint64_t address = 0;  // initial bus address; must be a multiple of size
  std::uint64_t size = 0;     // bytes, a power of two
  std::size_t index = 0;      // slot: 0 to 5 for BARs 0 to 5, 6 for the expansion ROM
  std::uint8_t prefetch = 0;  // ORed into a memory BAR's type bits (0x08 = prefetchable)
  PciBarKind kind = PciBarKind::Memory32;
};

// Supplies the subclass byte of the class-code register.
class PciSubclass {
 public:
  virtual ~PciSubclass() = default;
  // Returns the subclass byte.
  virtual std::uint8_t get_register_value() const = 0;
};

// Supplies the programming-interface byte of the class-code register.
class PciProgrammingInterface {
 public:
  virtual ~PciProgrammingInterface() = default;
  // Returns the programming-interface byte.
  virtual std::uint8_t get_register_value() const = 0;
};

// The subclasses of the display-controller class (class code 0x03).
class PciDisplaySubclass final : public PciSubclass {
 public:
  enum Value : std::uint8_t {
    VgaCompatible = 0x00,
    Xga = 0x01,
    ThreeDController = 0x02,
    Other = 0x80,
  };

  explicit constexpr PciDisplaySubclass(Value value) : value_(value) {}

  // Returns the subclass byte unchanged.
  std::uint8_t get_register_value() const override { return value_; }

 private:
  Value value_;  // the byte itself
};

// Why add_pci_bar() refused a BAR. Only the fields that the kind names carry
// a value; the others stay zero, so two errors compare equal exactly when
// their text forms do.
struct Error {
  enum class Kind : std::uint8_t {
    BarAddressInvalid,        // address, size
    BarAlignmentInvalid,      // address, size
    BarInUse,                 // index
    BarInUse64,               // index
    BarInvalid,               // index
    BarInvalid64,             // index
    BarInvalidRomType,        // -
    BarSizeInvalid,           // size
    CapabilityEmpty,          // -
    CapabilityLengthInvalid,  // length
    CapabilitySpaceFull,      // length
  };

  Kind kind = Kind::CapabilityEmpty;
  std::uint64_t address = 0;
  std::uint64_t size = 0;
  std::size_t index = 0;
  std::size_t length = 0;

  // Returns BarAddressInvalid(address, size).
  static Error bar_address_invalid(std::uint64_t address, std::uint64_t size);
  // Returns BarAlignmentInvalid(address, size).
  static Error bar_alignment_invalid(std::uint64_t address, std::uint64_t size);
  // Returns BarInUse(index).
  static Error bar_in_use(std::size_t index);
  // Returns BarInUse64(index).
  static Error bar_in_use64(std::size_t index);
  // Returns BarInvalid(index).
  static Error bar_invalid(std::size_t index);
  // Returns BarInvalid64(index).
  static Error bar_invalid64(std::size_t index);
  // Returns BarInvalidRomType.
  static Error bar_invalid_rom_type();
  // Returns BarSizeInvalid(size).
  static Error bar_size_invalid(std::uint64_t size);
  // Returns CapabilityEmpty.
  static Error capability_empty();
  // Returns CapabilityLengthInvalid(length).
  static Error capability_length_invalid(std::size_t length);
  // Returns CapabilitySpaceFull(length).
  static Error capability_space_full(std::size_t length);

  friend bool operator==(const Error&, const Error&) = default;
};

// One field of a capability for add_capability(): where it lies from the
// capability's first byte (bytes 0 and 1, the ID and the next pointer, are
// the list's), what it reads before the guest writes it, and which of its
// bits the guest may change.
struct PciCapabilityField {
  std::uint8_t offset = 2;       // a multiple of width, 2 or more
  std::uint8_t width = 4;        // 1, 2 or 4 bytes
  std::uint32_t value = 0;       // in the field's low bits
  std::uint32_t write_mask = 0;  // likewise
};

// What the guest has made of the MSI capability.
struct MsiControl {
  std::uint32_t offered = 0;  // 2^(Multiple Message Capable); 0 without a capability
  bool enabled = false;       // MSI Enable
  std::uint32_t vectors = 0;  // 2^(Multiple Message Enable); 0 without a capability
};

// Returns the kind's name, as in "BarInUse".
std::string_view kind_name(Error::Kind kind);
// Returns the text form: the kind's name, then its fields in decimal in
// parentheses, as in "BarAlignmentInvalid(4096, 8192)" or "BarInvalidRomType".
std::string to_string(const Error& error);

class PciConfiguration {
 public:
  static constexpr std::size_t kNumRegisters = 64;
  static constexpr std::size_t kNumBarSlots = 7;  // BARs 0 to 5, then the expansion ROM
  static constexpr std::size_t kRomSlot = 6;

  // Returns a configuration space holding the identity and the header of the
  // layout, with no BAR registered. prog_if may be null (byte 0). Neither
  // object is kept.
  static PciConfiguration create(std::uint16_t vendor_id, std::uint16_t device_id, std::uint8_t class_code,
                                 const PciSubclass& subclass, const PciProgrammingInterface* prog_if,
                                 PciHeaderLayout layout, std::uint16_t subsystem_vendor_id, std::uint16_t subsystem_id,
                                 std::uint8_t revision_id);

  // Returns the BAR's slot index, or why it was refused (nothing changed).
  std::expected<std::size_t, Error> add_pci_bar(const PciBarSpec& bar);

  // Where the first capability goes; later ones follow it, dword-aligned.
  static constexpr std::uint8_t kFirstCapabilityOffset = 0x50;
  // How many vectors (as a power of two) an MSI capability offers at most.
  static constexpr unsigned kMaxMsiVectorsLog2 = 5;

  // Returns the offset of a new capability with the given ID and fields,
  // linked at the end of the capability list (the status register then
  // shows the list), or why it was refused (nothing changed): no fields
  // (CapabilityEmpty), a field out of shape (CapabilityLengthInvalid), or
  // no room left before the end of the space (CapabilitySpaceFull).
  std::expected<std::uint8_t, Error> add_capability(std::uint8_t id, std::span<const PciCapabilityField> fields);
  // Returns the offset of the MSI capability of 2^vectors_log2 vectors
  // (capped at 32) with 64-bit message addresses, or why it was refused.
  // The guest may program the address, the data, the enable bit and the
  // number of vectors enabled; nothing else of it is writable.
  std::expected<std::uint8_t, Error> add_msi_capability(unsigned vectors_log2);

  // Sets the interrupt pin (0 for none, 1 to 4 for INTA# to INTD#); the
  // guest can read it but not change it.
  void set_interrupt_pin(std::uint8_t pin);
  // Sets or clears the status register's Interrupt Status bit, which shows
  // whether the device asserts its interrupt line.
  void set_interrupt_status(bool asserted);
  // Returns whether the guest has set Interrupt Disable in the command
  // register.
  bool interrupt_disabled() const;
  // Returns the MSI capability's enable bit and enabled vectors.
  MsiControl msi_control() const;

  // Returns register reg_idx, or 0xFFFFFFFF past the last register.
  std::uint32_t read_reg(std::size_t reg_idx) const;

  // Writes data (1, 2 or 4 bytes, little-endian) at byte address
  // 4 * reg_idx + offset under the write masks. Misplaced writes are logged
  // and dropped; other lengths are dropped silently.
  void write_reg(std::size_t reg_idx, std::uint64_t offset, std::span<const std::uint8_t> data);

 private:
  PciConfiguration() = default;

  void write_byte_internal(std::uint64_t address, std::uint8_t value);
  void write_word(std::uint64_t address, std::uint16_t value);
  void write_dword(std::uint64_t address, std::uint32_t value);
  // Replaces the bits of register reg that are both in lane and writable.
  void masked_write(std::size_t reg, std::uint32_t lane, std::uint32_t value);
  // Returns the MSI message control register after a write that would make
  // it written, keeping Multiple Message Enable when written is past the
  // vectors offered.
  std::uint32_t msi_control_after(std::uint32_t before, std::uint32_t written) const;

  // Register i holds configuration bytes 4i to 4i+3, least significant first.
  std::array<std::uint32_t, kNumRegisters> registers_{};
  // A 1 bit may be changed by write_reg; only add_pci_bar and create set them.
  std::array<std::uint32_t, kNumRegisters> write_masks_{};
  // Slots taken by add_pci_bar; a 64-bit BAR takes its slot and the next.
  std::array<bool, kNumBarSlots> bar_taken_{};
  // Where the next capability goes; the last one's offset, 0 before the first.
  std::uint16_t next_capability_ = kFirstCapabilityOffset;
  std::uint8_t last_capability_ = 0;
  // The register holding MSI's message control (and ID), 0 without MSI.
  std::uint8_t msi_reg_ = 0;
};

}  // namespace zephon::pci

#endif  // ZEPHON_PCI_H_

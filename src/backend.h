// Backend is the device model of the emulated display device: it answers the
// vfio-user server's region accesses, DMA, interrupt and reset calls.
//
// Contract: regions are numbered as Linux VFIO numbers PCI regions. Region 0
// (BAR 0) reads as zeros and drops writes silently, unless the device script
// enabled VRAM (VramSpace): then it is that memory at any offset, length and
// alignment, zeros past its end, and nothing is logged either; region 2
// (BAR 2) is a file of 65536 32-bit registers reached one aligned 32-bit word
// at a time, every access logged with target "zephon"; region 6 is the ROM
// image, zeros past its end; region 7 is the PciConfiguration. Any other
// region, and any bad BAR 2 access, is logged at WARN and answered with zeros
// or dropped. Without a script the only failure is a configuration-space
// read of a refused shape (InvalidInput).
// reset() clears the registers only; VRAM keeps its contents, as a card's
// memory does. No operation allocates (a device script's Lua state and
// VRAM aside). The object is about 256 KiB: create it on the heap.
// Single-threaded.
//
// Without a device script, DMA maps and interrupt set-ups are accepted and
// their descriptors closed at once, and the cost of scripting is a
// predictable branch per region access and one more per BAR 2 access. With
// one (load_script), BAR 2 accesses go through it; DMA maps are kept as its
// guest memory (GuestMemory) until the monitor unmaps them or the backend
// is destroyed; interrupt set-ups go to ScriptInterrupts, which refuses
// what the device cannot take with an error number and keeps eventfds
// until the monitor disables them, the device is reset or the backend is
// destroyed; the script's timers are the backend's deadlines (run_due);
// and a reset clears the interrupts, then runs on_reset after clearing the
// registers and cancelling the timers.
#ifndef ZEPHON_BACKEND_H_
#define ZEPHON_BACKEND_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pci.h"
#include "register_file.h"
#include "vfio_user/server_backend.h"
#include "vram_space.h"

namespace zephon {

class DeviceScript;
class GuestMemory;
class ScriptInterrupts;

class Backend final : public vfio_user::ServerBackend {
 public:
  static constexpr std::uint64_t kRegsBytes = kNumRegs * 4;
  static constexpr std::size_t kDumpBytes = kNumRegs * 4;

  static constexpr std::uint32_t kRegionBar0 = 0;
  static constexpr std::uint32_t kRegionBar2 = 2;
  static constexpr std::uint32_t kRegionRom = 6;
  static constexpr std::uint32_t kRegionConfig = 7;

  // Takes over the configuration space (BARs already registered) and the ROM
  // image; the registers start at zero.
  Backend(pci::PciConfiguration config, std::vector<std::uint8_t> rom);

  ~Backend() override;
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  // Returns success once the device script at path is loaded and run (at
  // once when path is null or empty), or "<file>:<line>: <message>"; VRAM
  // the script enabled before it failed stays enabled, for a device that is
  // not going to be served.
  std::expected<void, std::string> load_script(const char* path);

  // Returns the descriptor a monitor may map BAR 0 through: the VRAM's if
  // it was enabled mappable, else none.
  std::optional<int> bar0_fd() const { return vram_.mappable_fd(); }

  // Returns success after filling data; fails only for a refused
  // configuration-space read shape, leaving data untouched.
  std::expected<void, vfio_user::IoError> region_read(std::uint32_t index, std::uint64_t offset,
                                                      std::span<std::uint8_t> data) override;
  // Returns success always; bad writes are logged or dropped.
  std::expected<void, vfio_user::IoError> region_write(std::uint32_t index, std::uint64_t offset,
                                                       std::span<const std::uint8_t> data) override;
  // Returns success after closing file, if any; with a device script,
  // success once the map is kept for it (GuestMemory::map), or its refusal.
  std::expected<void, vfio_user::IoError> dma_map(std::uint32_t flags, std::uint64_t file_offset, std::uint64_t address,
                                                  std::uint64_t size, std::optional<vfio_user::UniqueFd> file) override;
  // Returns success, after forgetting the maps of the range when a device
  // script has them.
  std::expected<void, vfio_user::IoError> dma_unmap(std::uint32_t flags, std::uint64_t address,
                                                    std::uint64_t size) override;
  // Returns success after zeroing the registers; config and ROM are kept.
  std::expected<void, vfio_user::IoError> reset() override;
  // Returns success after closing every descriptor of files; with a device
  // script, after the set-up was taken (ScriptInterrupts), or the error
  // number it was refused with.
  std::expected<void, vfio_user::IoError> set_irqs(std::uint32_t index, std::uint32_t flags, std::uint32_t start,
                                                   std::uint32_t count, vfio_user::FdList files) override;
  // Returns whether one byte per vector is taken: only with a script.
  bool takes_irq_bools() const override { return irqs_ != nullptr; }
  // Returns success after the script's interrupts took the set-up, or the
  // error number it was refused with.
  std::expected<void, vfio_user::IoError> set_irqs_bool(std::uint32_t index, std::uint32_t flags,
                                                        std::uint32_t start,
                                                        std::span<const std::uint8_t> bools) override;

  // Returns when the device script's earliest timer is due; nullopt without
  // a script or timers.
  std::optional<std::chrono::steady_clock::time_point> next_deadline() const override;
  // Runs the device script's timers due at now.
  void run_due(std::chrono::steady_clock::time_point now) override;

  // Returns the BAR 2 register file.
  const Registers& regs() const { return regs_; }
  // Returns the configuration space as the guest has left it.
  const pci::PciConfiguration& config() const { return config_; }
  // Returns the ROM image as it was handed in.
  std::span<const std::uint8_t> rom() const { return rom_; }

  // Writes the registers into out in index order, each little-endian.
  void dump(std::span<std::uint8_t, kDumpBytes> out) const;

 private:
  void read_bar2(std::uint64_t offset, std::span<std::uint8_t> data);
  void write_bar2(std::uint64_t offset, std::span<const std::uint8_t> data);
  void read_rom(std::uint64_t offset, std::span<std::uint8_t> data) const;
  std::expected<void, vfio_user::IoError> read_config(std::uint64_t offset, std::span<std::uint8_t> data) const;

  pci::PciConfiguration config_;   // changed only by guest writes to region 7
  std::vector<std::uint8_t> rom_;  // may be shorter than the ROM BAR; never changes
  Registers regs_{};               // register i answers BAR 2 bytes 4i to 4i+3
  // Empty unless VRAM was enabled; outlives the script, which reaches it too.
  VramSpace vram_;
  // All null unless a device script is loaded; the interrupts and guest
  // memory outlive the script, which reaches the device through them.
  std::unique_ptr<ScriptInterrupts> irqs_;
  std::unique_ptr<GuestMemory> memory_;
  std::unique_ptr<DeviceScript> script_;
};

}  // namespace zephon

#endif  // ZEPHON_BACKEND_H_

// Fuzz target: a device script's text through the loader, then BAR 2 reads
// and writes through the device model of the registers the script names,
// and a reset, so that whatever hooks the text defined run too. MSI vector
// 0 has an eventfd and the guest has enabled MSI before the accesses, so a
// hook's irq() is signalled for 0 and dropped for others; 64 KiB of guest memory (a memfd) is mapped for
// DMA at address 0 and 4 KiB without a descriptor after it, so a hook's dma
// calls read and write memory or are refused. After the accesses, time
// jumps to each timer deadline the script set, up to kMaxExpiries of them,
// so that after() and every() callbacks run too.
//
// Input: the script. The registers accessed are the integer literals of the
// text below 65536, in order, at most kMaxRegisters of them, then 0 and
// 0xffff; each is read, written and read again, the value written being the
// next literal of the text (so a doorbell gets the numbers its script
// compares with, and a ring its addresses and sizes). The run aborts (a
// finding) when the loader refuses a script without naming its file, when a
// DMA map keeps its descriptor open, or when an access fails: a script's
// fault must cost only the access it was asked about, never the run.
#include <fcntl.h>
#include <linux/vfio.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backend.h"
#include "device.h"
#include "finding.h"
#include "log.h"
#include "vfio_user/unique_fd.h"

namespace {

using zephon_fuzz::finding;

// Scripts longer than this add nothing a shorter one would not.
constexpr std::size_t kMaxInput = 64 * 1024;
// Registers named by the text that the run touches, at most.
constexpr std::size_t kMaxRegisters = 32;
// Guest memory: mapped read-write from 0, then a map without a descriptor.
constexpr std::uint64_t kGuestBytes = 64 * 1024;
constexpr std::uint64_t kUnbacked = kGuestBytes;
// Timer deadlines run, at most: a periodic timer always has a next one.
constexpr int kMaxExpiries = 16;

// Returns the integer literals of text (decimal or 0x hex, not part of a
// name or a fraction), each cut to 32 bits, in order.
std::vector<std::uint32_t> literals(std::string_view text) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < text.size();) {
    const bool starts = std::isdigit(static_cast<unsigned char>(text[i])) != 0 &&
                        (i == 0 || (std::isalnum(static_cast<unsigned char>(text[i - 1])) == 0 &&
                                    text[i - 1] != '_' && text[i - 1] != '.'));
    if (!starts) {
      ++i;
      continue;
    }
    const bool hex = text.substr(i, 2) == "0x" || text.substr(i, 2) == "0X";
    std::size_t end = i + (hex ? 2 : 0);
    std::uint64_t value = 0;
    while (end < text.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text[end]))
                                     : std::isdigit(static_cast<unsigned char>(text[end]))) != 0) {
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[end])));
      value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
      ++end;
    }
    out.push_back(static_cast<std::uint32_t>(value));
    i = end;
  }
  return out;
}

// Maps guest memory into the backend; the descriptor must be closed after.
void map_guest_memory(zephon::Backend& backend) {
  vfio_user::UniqueFd ram(::memfd_create("guest", MFD_CLOEXEC));
  if (!ram || ::ftruncate(ram.get(), kGuestBytes) != 0) finding("cannot make guest memory");
  const int fd = ram.get();
  if (!backend.dma_map(VFIO_DMA_MAP_FLAG_READ | VFIO_DMA_MAP_FLAG_WRITE, 0, 0, kGuestBytes, std::move(ram))) {
    finding("a DMA map failed");
  }
  if (::fcntl(fd, F_GETFD) != -1) finding("a DMA map kept its descriptor open");
  if (!backend.dma_map(VFIO_DMA_MAP_FLAG_READ, 0, kUnbacked, 4096, std::nullopt)) finding("a DMA map failed");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static vfio_user::UniqueFd null_log(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null_log || !zephon::log::install({.fd = null_log.get(), .colour = false})) finding("cannot install the log");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return -1;
  vfio_user::UniqueFd file(::memfd_create("script", MFD_CLOEXEC));
  if (!file || ::write(file.get(), data, size) != static_cast<ssize_t>(size)) finding("cannot write the script");
  const std::string path = fmt::format("/proc/self/fd/{}", file.get());

  const std::uint64_t rom_size = zephon::device::rom_size(512);
  auto config = zephon::device::configuration(rom_size, zephon::device::Interrupts::Offered);
  if (!config) finding("the device's BARs were refused");
  zephon::Backend backend(*config, std::vector<std::uint8_t>(512, 0x55));
  auto loaded = backend.load_script(path.c_str());
  if (!loaded) {
    if (!loaded.error().starts_with(path)) finding("a refused script's message does not name the file");
    return 0;
  }
  vfio_user::FdList events;
  events.push(vfio_user::UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)));
  if (!backend.set_irqs(VFIO_PCI_MSI_IRQ_INDEX, VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER, 0, 1,
                        std::move(events))) {
    finding("an interrupt set-up failed");
  }
  // The guest enables MSI with one vector, as a driver does before it waits
  // for an interrupt.
  const std::array<std::uint8_t, 4> msi_enable = {0x00, 0x00, 0x01, 0x00};
  if (!backend.region_write(VFIO_PCI_CONFIG_REGION_INDEX, 0x50, msi_enable)) finding("enabling MSI failed");
  map_guest_memory(backend);

  const std::vector<std::uint32_t> numbers =
      literals(std::string_view(reinterpret_cast<const char*>(data), size));
  std::vector<std::pair<std::uint32_t, std::uint32_t>> accesses;  // register, value written
  for (std::size_t k = 0; k < numbers.size() && accesses.size() < kMaxRegisters; ++k) {
    if (numbers[k] < zephon::kNumRegs) accesses.emplace_back(numbers[k], numbers[(k + 1) % numbers.size()]);
  }
  accesses.emplace_back(0, 0x12345678);
  accesses.emplace_back(0xffff, 0x12345678);
  for (auto [reg, value] : accesses) {
    std::array<std::uint8_t, 4> word{};
    if (!backend.region_read(2, 4 * reg, word)) finding("a BAR 2 read failed");
    word = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    if (!backend.region_write(2, 4 * reg, word)) finding("a BAR 2 write failed");
    if (!backend.region_read(2, 4 * reg, word)) finding("a BAR 2 read failed");
  }
  for (int n = 0; n < kMaxExpiries; ++n) {
    const auto deadline = backend.next_deadline();
    if (!deadline) break;
    backend.run_due(*deadline);
  }
  if (!backend.reset()) finding("a reset failed");
  if (backend.next_deadline()) finding("a timer outlived the reset");
  if (!backend.dma_unmap(0, 0, kGuestBytes)) finding("a DMA unmap failed");
  zephon::log::flush();
  return 0;
}

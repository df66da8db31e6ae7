// Fuzz target: a device script's text through the loader, then a few BAR 2
// reads and writes and a reset through the device model, so that whatever
// hooks the text defined run too. MSI vector 0 has an eventfd before the
// accesses, so a hook's irq() is signalled for 0 and dropped for others.
//
// Input: the script. The run aborts (a finding) when the loader refuses a
// script without naming its file, or when an access fails: a script's fault
// must cost only the access it was asked about, never the run.
#include <fcntl.h>
#include <linux/vfio.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "backend.h"
#include "device.h"
#include "finding.h"
#include "log.h"
#include "vfio_user/unique_fd.h"

namespace {

using zephon_fuzz::finding;

// Scripts longer than this add nothing a shorter one would not.
constexpr std::size_t kMaxInput = 64 * 1024;
// Registers the run touches: the first, one a driver polls, the last.
constexpr std::array<std::uint64_t, 3> kRegisters = {0, 0x30d3, 0xffff};

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
  auto config = zephon::device::configuration(rom_size);
  if (!config) finding("the device's BARs were refused");
  zephon::Backend backend(*config, std::vector<std::uint8_t>(512, 0x55));
  auto loaded = backend.load_script(path.c_str());
  if (!loaded) {
    if (!loaded.error().starts_with(path)) finding("a refused script's message does not name its file");
    return 0;
  }
  vfio_user::FdList events;
  events.push(vfio_user::UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)));
  if (!backend.set_irqs(VFIO_PCI_MSI_IRQ_INDEX, VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER, 0, 1,
                        std::move(events))) {
    finding("an interrupt set-up failed");
  }
  for (std::uint64_t reg : kRegisters) {
    std::array<std::uint8_t, 4> word{};
    if (!backend.region_read(2, 4 * reg, word)) finding("a BAR 2 read failed");
    word = {0x78, 0x56, 0x34, 0x12};
    if (!backend.region_write(2, 4 * reg, word)) finding("a BAR 2 write failed");
    if (!backend.region_read(2, 4 * reg, word)) finding("a BAR 2 read failed");
  }
  if (!backend.reset()) finding("a reset failed");
  zephon::log::flush();
  return 0;
}

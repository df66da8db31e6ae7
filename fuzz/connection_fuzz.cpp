// Fuzz target: one arbitrary byte stream, with descriptors attached where the
// input says, through the real connection loop and the real device model,
// over the in-memory transport: no sockets and no threads, so a run costs
// what the server's own work costs.
//
// Input: the bytes the client sends, cut into separately sent pieces at each
// marker "\xFD\xFD" "FD". The byte after a marker says what the next piece
// carries: its value modulo 18 descriptors (so 0 to 17, where 17 is one too
// many), duplicates of a pipe's read end when bit 0x80 is set and of
// /dev/null otherwise. A marker with nothing after it is dropped, and so are
// the descriptors of a piece without bytes, as on a stream socket.
//
// An input of odd length is served by a scripted device (kScript): it
// offers interrupts, keeps the eventfds of interrupt set-ups and the maps of
// DMA set-ups beyond their requests, and runs timers between requests; once
// the stream has ended, time jumps past every deadline left, so whatever
// callbacks the input set up run too. An input of even length is served by
// the plain device.
//
// The run aborts (a finding) when a descriptor is left open once the device
// is gone (the scripted device's kept eventfds and maps included), when the
// loop ends in a way the transport cannot explain, or when what the server
// sent is not a sequence of well-formed replies. Each input runs in the same
// process as the ones before it, so what one run leaves behind (a
// descriptor, memory) shows up as a finding or a leak report.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backend.h"
#include "connection.h"
#include "device.h"
#include "finding.h"
#include "log.h"
#include "memory_transport.h"
#include "pci.h"
#include "replies.h"
#include "request_loop.h"
#include "vfio_user/message.h"
#include "vfio_user/unique_fd.h"

namespace {

using vfio_user::UniqueFd;
using zephon_fuzz::finding;

// One separately sent part of the stream and the descriptors sent with it.
struct Piece {
  std::string_view bytes;
  std::size_t fd_count = 0;  // 0 to 17
  bool from_pipe = false;    // a pipe's read end, else /dev/null
};

constexpr std::string_view kMarker = "\xFD\xFD" "FD";
// Longer inputs are skipped: they only make the queue longer.
constexpr std::size_t kMaxInput = 1 << 20;
// Bounds the transport's bookkeeping, which is per piece sent.
constexpr std::size_t kMaxPieces = 512;
// Bounds the descriptors in flight at once; pieces past the bound carry none.
constexpr std::size_t kMaxDescriptors = 512;

// Returns how many descriptors the process has open. It reads /proc/self/fd
// through one descriptor kept open for the purpose (counted every time, so
// it cancels out) into a fixed buffer: opendir() would allocate and open
// anew twice a run.
std::size_t open_descriptors() {
  static UniqueFd dir(::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir || ::lseek(dir.get(), 0, SEEK_SET) != 0) finding("cannot list /proc/self/fd");
  alignas(8) static char buf[1 << 16];
  std::size_t count = 0;
  for (;;) {
    const long n = ::syscall(SYS_getdents64, dir.get(), buf, sizeof buf);
    if (n < 0) finding("cannot list /proc/self/fd");
    if (n == 0) return count;
    for (long at = 0; at < n;) {
      dirent64 entry;
      std::memcpy(&entry, buf + at, offsetof(dirent64, d_name));
      if (buf[at + offsetof(dirent64, d_name)] != '.') ++count;
      at += entry.d_reclen;
    }
  }
}

std::vector<Piece> cut(std::string_view input) {
  std::vector<Piece> pieces;
  Piece current;
  std::size_t descriptors = 0;
  for (;;) {
    const std::size_t at = input.find(kMarker);
    if (at == std::string_view::npos || pieces.size() + 1 >= kMaxPieces) {
      current.bytes = input;
      pieces.push_back(current);
      return pieces;
    }
    current.bytes = input.substr(0, at);
    pieces.push_back(current);
    input.remove_prefix(at + kMarker.size());
    current = Piece{};
    if (input.empty()) return pieces;
    const auto control = static_cast<unsigned char>(input.front());
    input.remove_prefix(1);
    current.fd_count = control % 18;
    current.from_pipe = (control & 0x80) != 0;
    if (descriptors + current.fd_count > kMaxDescriptors) current.fd_count = 0;
    descriptors += current.fd_count;
  }
}

// The scripted device's script: a doorbell per kind of interrupt work, a
// timer of each kind, and guest memory, on registers the seeds write.
constexpr std::string_view kScript = R"(
on_write[0x4] = function(v) irq(v % 40) end
on_write[0x5] = function(v) intx(v % 2 == 1) end
on_write[0x6] = function(v) after((v % 64) * 1e-6, function() irq(0); regs[0x7] = regs[0x7] + 1 end) end
local ticking
on_write[0x8] = function(v)
  if ticking then ticking:cancel() end
  ticking = v ~= 0 and every(1e-5, function() regs[0x9] = regs[0x9] + 1; intx(regs[0x9] % 2 == 0) end) or nil
end
on_write[0xa] = function(v) dma.write32(v, v); regs[0xb] = dma.read32(v) end
on_read[0xc] = function(v) return v + 1 end
)";

// The script as a file the loader reads; open for the whole process.
vfio_user::UniqueFd g_script;
std::string g_script_path;

// Returns the device model of one run, built in place of the last run's: a
// fresh 256 KiB heap block every run would cost the mapping and unmapping of
// its pages every run.
zephon::Backend& make_backend(std::optional<zephon::Backend>& slot, std::uint64_t& rom_size, bool scripted) {
  std::vector<std::uint8_t> rom(3000);
  for (std::size_t i = 0; i < rom.size(); ++i) rom[i] = static_cast<std::uint8_t>(i * 7);
  rom[0] = 0x55;
  rom[1] = 0xaa;
  rom_size = zephon::device::rom_size(rom.size());
  const auto interrupts = scripted ? zephon::device::Interrupts::Offered : zephon::device::Interrupts::Absent;
  auto config = zephon::device::configuration(rom_size, interrupts);
  if (!config) finding("the device's BARs were refused");
  zephon::Backend& backend = slot.emplace(*config, std::move(rom));
  if (scripted && !backend.load_script(g_script_path.c_str())) finding("the device script was refused");
  return backend;
}

// Returns n duplicates of fd.
std::vector<UniqueFd> duplicates(int fd, std::size_t n) {
  std::vector<UniqueFd> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    out.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!out.back()) finding("cannot duplicate a descriptor to send");
  }
  return out;
}

// What the pieces' descriptors duplicate; open for the whole process, from
// before the first run's count of open descriptors.
UniqueFd g_null_file;
UniqueFd g_pipe_read;
UniqueFd g_pipe_write;

void run_one(std::string_view input) {
  // One transport and connection for every run: their buffers (up to 1 MiB
  // for a region access) would otherwise be mapped and faulted in anew.
  static vfio_user::MemoryTransport transport;
  static vfio_user::Connection connection(transport);
  transport.clear();
  connection.discard_input();  // what a run that failed had read ahead
  for (const Piece& piece : cut(input)) {
    transport.push(std::span(reinterpret_cast<const std::uint8_t*>(piece.bytes.data()), piece.bytes.size()),
                   duplicates(piece.from_pipe ? g_pipe_read.get() : g_null_file.get(), piece.fd_count));
  }

  static std::optional<zephon::Backend> slot;
  std::uint64_t rom_size = 0;
  const bool scripted = input.size() % 2 == 1;
  zephon::Backend& backend = make_backend(slot, rom_size, scripted);
  const auto regions = zephon::device::region_table(rom_size);
  const auto interrupts = zephon::device::interrupt_table(scripted ? zephon::device::Interrupts::Offered
                                                                   : zephon::device::Interrupts::Absent);
  const vfio_user::DeviceTables tables{interrupts, regions, true};
  static volatile std::sig_atomic_t stop = 0;
  {
    auto result = vfio_user::serve_connection(connection, tables, backend, stop);
    // The client here never goes away, so a write cannot fail, and only too
    // many descriptors make a receive fail.
    if (!result) {
      if (result.error().kind() != vfio_user::Error::Kind::ReceiveWithFd) finding("the loop ended with an error");
      if (result.error().errnum() != ENOBUFS) finding("a receive failed for another reason than ENOBUFS");
    } else if (transport.unread() != 0) {
      finding("the loop ended before the stream did");
    }
  }
  // Every timer the input left falls due: its callbacks run, as they would
  // have had the client stayed.
  backend.run_due(std::chrono::steady_clock::now() + std::chrono::hours(24));
  slot.reset();  // the descriptors it may hold are closed before they are counted
  // This device's regions have no backing file, so nothing may go with a reply.
  if (!transport.sent_fds().empty()) finding("the server sent a descriptor");
  zephon_fuzz::check_replies(transport.sent());
  transport.clear();  // what is left unread closes its descriptors before they are counted
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The log is real but goes nowhere, so a long campaign does not flood.
  // It stays open for the whole process, like the program's standard error.
  static UniqueFd null_log(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null_log || !zephon::log::install({.fd = null_log.get(), .colour = false})) finding("cannot install the log");
  int pipe_ends[2];
  g_null_file.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!g_null_file || ::pipe2(pipe_ends, O_CLOEXEC) != 0) finding("cannot open descriptors to send");
  g_pipe_read.reset(pipe_ends[0]);
  g_pipe_write.reset(pipe_ends[1]);
  g_script.reset(::memfd_create("script", MFD_CLOEXEC));
  if (!g_script || ::write(g_script.get(), kScript.data(), kScript.size()) != static_cast<ssize_t>(kScript.size())) {
    finding("cannot write the device script");
  }
  g_script_path = "/proc/self/fd/" + std::to_string(g_script.get());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return -1;  // not added to the corpus
  const std::size_t before = open_descriptors();
  run_one(std::string_view(reinterpret_cast<const char*>(data), size));
  if (open_descriptors() != before) finding("a descriptor was left open");
  return 0;
}

// Fuzz target: one arbitrary byte stream, with descriptors attached where the
// input says, through the real connection loop and the real device model.
//
// Input: the bytes the client sends, cut into separately sent pieces at each
// marker "\xFD\xFD" "FD". The byte after a marker says what the next piece
// carries: its value modulo 18 descriptors (so 0 to 17, where 17 is one too
// many), taken from a pipe when bit 0x80 is set and from /dev/null otherwise.
// A marker with nothing after it is dropped.
//
// The run aborts (a finding) when a descriptor is left open, when the loop
// ends in a way a well-behaved socket pair cannot explain, or when a message
// the server sends is not a well-formed reply.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "backend.h"
#include "connection_peer.h"
#include "device.h"
#include "fuzz_input.h"
#include "log.h"
#include "pci.h"
#include "request_loop.h"
#include "vfio_user/message.h"
#include "vfio_user/unique_fd.h"

namespace {

using vfio_user::UniqueFd;
using zephon_fuzz::finding;
using zephon_fuzz::Piece;

constexpr std::string_view kMarker = "\xFD\xFD" "FD";
constexpr std::size_t kMaxInput = 1 << 20;
// Bounds the socket's bookkeeping, which is per piece sent.
constexpr std::size_t kMaxPieces = 512;
// Bounds the descriptors in flight, which the kernel limits per user; pieces
// past the bound carry none.
constexpr std::size_t kMaxDescriptors = 512;

std::size_t open_descriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) finding("cannot list /proc/self/fd");
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the listing's own descriptor
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

std::unique_ptr<zephon::Backend> make_backend(std::uint64_t& rom_size) {
  std::vector<std::uint8_t> rom(3000);
  for (std::size_t i = 0; i < rom.size(); ++i) rom[i] = static_cast<std::uint8_t>(i * 7);
  rom[0] = 0x55;
  rom[1] = 0xaa;
  rom_size = zephon::device::rom_size(rom.size());
  auto config = zephon::device::configuration(rom_size);
  if (!config) finding("the device's BARs were refused");
  return std::make_unique<zephon::Backend>(*config, std::move(rom));
}

void run_one(std::string_view input) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) finding("socketpair failed");
  UniqueFd client(pair[0]);
  UniqueFd server_end(pair[1]);
  // Room for the whole input, so that it is all queued before the server
  // runs and every run of the same input reads the same pieces.
  // The same on the server's side keeps every reply write whole, whenever
  // the reader thread gets to run.
  const int room = 64 << 20;
  ::setsockopt(client.get(), SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room);
  ::setsockopt(server_end.get(), SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room);

  UniqueFd null_file(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  int pipe_ends[2];
  if (!null_file || ::pipe2(pipe_ends, O_CLOEXEC) != 0) finding("cannot open descriptors to send");
  UniqueFd pipe_read(pipe_ends[0]);
  UniqueFd pipe_write(pipe_ends[1]);
  zephon_fuzz::Peer peer(client.get(), cut(input), null_file.get(), pipe_read.get());

  std::uint64_t rom_size = 0;
  auto backend = make_backend(rom_size);
  const auto regions = zephon::device::region_table(rom_size);
  const auto interrupts = zephon::device::interrupt_table();
  const vfio_user::DeviceTables tables{interrupts, regions, true};
  static volatile std::sig_atomic_t stop = 0;
  {
    vfio_user::Connection connection(std::move(server_end));
    auto result = vfio_user::serve_connection(connection, tables, *backend, stop);
    // The client here never goes away, so a write cannot fail, and only too
    // many descriptors make a receive fail.
    if (!result) {
      if (result.error().kind() != vfio_user::Error::Kind::ReceiveWithFd) finding("the loop ended with an error");
      if (result.error().errnum() != ENOBUFS) finding("a receive failed for another reason than ENOBUFS");
    }
  }
  peer.join();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string input = zephon_fuzz::read_input(argc, argv, kMaxInput);
  // The log is real but goes nowhere, so a long campaign does not flood.
  UniqueFd null_log(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null_log || !zephon::log::install({.fd = null_log.get(), .colour = false})) finding("cannot install the log");
  const std::size_t before = open_descriptors();
  run_one(input);
  if (open_descriptors() != before) finding("a descriptor was left open");
  return 0;
}

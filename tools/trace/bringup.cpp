// trace-bringup: plays a small made-up display driver bring-up against a
// vfio-user device socket (zephon's), so that its log has the shape of a real
// one: identification reads, a soft reset and a status register polled until
// the driver gives up, register blocks programmed and read back, and a
// polling loop at the end. The README's plot is made from such a recording.
//
// Usage: trace-bringup SOCKET
#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "client.h"

namespace {

using vfio_user_client::Client;

constexpr std::uint32_t kBar2 = 2;

class Driver {
 public:
  explicit Driver(Client& client) : client_(client) {}

  bool read(std::uint32_t offset, std::uint32_t* value = nullptr) {
    auto v = client_.read32(kBar2, offset);
    if (!v) return fail(v.error());
    if (value != nullptr) *value = *v;
    return true;
  }
  bool write(std::uint32_t offset, std::uint32_t value) {
    auto w = client_.write32(kBar2, offset, value);
    return w ? true : fail(w.error());
  }
  // Reads offset up to tries times until (value & mask) == want.
  bool poll(std::uint32_t offset, std::uint32_t mask, std::uint32_t want, int tries) {
    for (int i = 0; i < tries; ++i) {
      std::uint32_t v = 0;
      if (!read(offset, &v)) return false;
      if ((v & mask) == want) return true;
    }
    return true;  // a driver that times out carries on
  }
  static void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

 private:
  bool fail(const std::string& why) {
    fmt::print(stderr, "trace-bringup: {}\n", why);
    return false;
  }
  Client& client_;
};

bool bring_up(Driver& d) {
  // Identification and straps.
  for (std::uint32_t off : {0x0u, 0x4u, 0x8u, 0x5cu, 0x5cu, 0x540u}) {
    if (!d.read(off)) return false;
  }
  Driver::pause(20);
  // Soft reset, then wait for the engines to report idle; they never do.
  if (!d.write(0x0e0, 0x1) || !d.write(0x0e0, 0x0)) return false;
  if (!d.poll(0x0e4, 0x1, 0x1, 400)) return false;
  Driver::pause(20);
  // Memory controller: a block of timing registers, each read back.
  for (std::uint32_t i = 0; i < 24; ++i) {
    const std::uint32_t off = 0x2000 + 4 * i;
    if (!d.write(off, 0x00010000u * (i + 1) + 0x40 + i) || !d.read(off)) return false;
  }
  if (!d.write(0x2800, 0x8000001f) || !d.poll(0x2804, 0x80000000u, 0x80000000u, 200)) return false;
  Driver::pause(20);
  // Interrupts masked, acknowledged, unmasked.
  if (!d.write(0x5e0, 0xffffffff) || !d.read(0x5e4) || !d.write(0x5e4, 0x0) || !d.write(0x5e0, 0x0)) return false;
  Driver::pause(20);
  // Display pipes: each mode register written, the pipe status polled a little.
  for (std::uint32_t pipe = 0; pipe < 2; ++pipe) {
    const std::uint32_t base = 0x6000 + 0x800 * pipe;
    for (std::uint32_t r = 0; r < 12; ++r) {
      if (!d.write(base + 4 * r, (pipe << 28) | (r << 16) | 0x0438)) return false;
    }
    if (!d.poll(base + 0x70, 0x1, 0x1, 150)) return false;
    Driver::pause(10);
  }
  // Firmware mailbox: the driver waits for a reply that never comes.
  if (!d.write(0x3944, 0x00000001) || !d.poll(0x3940, 0xffffffff, 0x1, 1000)) return false;
  return d.read(0x0) && d.read(0x5c);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fmt::print(stderr, "usage: trace-bringup SOCKET\n");
    return 2;
  }
  auto client = Client::connect(argv[1], 10000);
  if (!client) {
    fmt::print(stderr, "trace-bringup: {}\n", client.error());
    return 1;
  }
  if (auto v = client->version(); !v) {
    fmt::print(stderr, "trace-bringup: {}\n", v.error());
    return 1;
  }
  Driver driver(*client);
  return bring_up(driver) ? 0 : 1;
}

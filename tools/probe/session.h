// Session is the probe's one connection to a vfio-user server: it performs
// the version handshake on opening and then carries out the probe's
// commands as protocol calls, handing back what the server answered.
//
// Contract: nothing is printed here; every failure (refused request, lost
// connection, malformed reply) comes back as a readable text. Reads longer
// than the transfer size both sides accept are split into several requests.
#ifndef ZEPHON_TOOLS_PROBE_SESSION_H_
#define ZEPHON_TOOLS_PROBE_SESSION_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "client.h"
#include "config_decode.h"

namespace zephon_probe {

struct ServerVersion {
  std::uint16_t major = 0, minor = 0;
  std::string capabilities;  // the server's JSON text as sent
};

// Everything the info command learns about the device.
struct DeviceReport {
  vfio_user_client::DeviceInfo device{};
  std::vector<vfio_user_client::RegionInfo> regions;
  std::vector<vfio_user_client::IrqInfo> irqs;
  std::optional<ConfigSnapshot> config;  // absent when there is nothing to decode
  std::string config_note;               // why config is absent
};

class Session {
 public:
  // Returns a session connected to the server at socket, handshake done.
  static std::expected<Session, std::string> open(const std::string& socket);

  // Returns the version and capabilities the server sent in the handshake.
  const ServerVersion& server_version() const { return version_; }
  // Returns the device, region and interrupt tables and the sized
  // configuration space.
  std::expected<DeviceReport, std::string> info();
  // Returns count bytes read from region at offset.
  std::expected<std::vector<std::uint8_t>, std::string> read(std::uint32_t region, std::uint64_t offset,
                                                             std::uint32_t count);
  // Returns success once the word was written (posted: once it was sent).
  std::expected<void, std::string> write(std::uint32_t region, std::uint64_t offset, std::uint32_t value,
                                         bool posted);
  // Returns success once the server reset the device.
  std::expected<void, std::string> reset();
  // Returns the size of the ROM region and its whole contents.
  std::expected<std::pair<std::uint64_t, std::vector<std::uint8_t>>, std::string> read_rom();
  // Returns success after closing the connection, or the refusal of a
  // final posted write if the server sends one within a short grace time.
  std::expected<void, std::string> finish();

 private:
  Session(vfio_user_client::Client client, ServerVersion version, std::uint32_t max_transfer)
      : client_(std::move(client)), version_(std::move(version)), max_transfer_(max_transfer) {}

  std::expected<DeviceReport, std::string> query_device();
  std::expected<std::vector<std::uint8_t>, std::string> read_chunks(std::uint32_t region, std::uint64_t offset,
                                                                    std::uint32_t count);
  std::expected<std::pair<std::uint64_t, std::vector<std::uint8_t>>, std::string> query_rom();
  // Returns result, accounting for a refused posted write: its error reply
  // arrives in place of the reply awaited, which is then still owed.
  template <typename T>
  std::expected<T, std::string> settle(std::expected<T, std::string> result);
  std::expected<ConfigSnapshot, std::string> snapshot_config(const vfio_user_client::RegionInfo& config);
  std::expected<std::uint32_t, std::string> size_register(std::uint32_t offset, std::uint32_t saved);

  vfio_user_client::Client client_;
  ServerVersion version_;
  std::uint32_t max_transfer_;     // largest data transfer in one request
  bool posted_unconfirmed_ = false;  // a posted write went out since the last reply
};

}  // namespace zephon_probe

#endif  // ZEPHON_TOOLS_PROBE_SESSION_H_

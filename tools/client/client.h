// Client is a small vfio-user client for one connection to a server's UNIX
// socket: it frames requests, sends them with optional descriptors, and
// reads and checks replies. The tests, the benchmarks and the probe tool
// share it.
//
// Contract: every socket wait has a time-out (set at connect), so a server
// that never answers makes a call fail instead of hang. Failures are values
// carrying a readable description. Not thread-safe.
#ifndef ZEPHON_TOOLS_CLIENT_H_
#define ZEPHON_TOOLS_CLIENT_H_

#include <sys/uio.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vfio_user/command.h"
#include "vfio_user/message.h"
#include "vfio_user/payloads.h"
#include "vfio_user/unique_fd.h"

namespace vfio_user_client {

using vfio_user::Command;
using vfio_user::MessageHeader;

// One message received from the server.
struct Reply {
  MessageHeader header;
  std::vector<std::uint8_t> payload;  // message_size - 16 bytes
  vfio_user::FdList fds;              // descriptors that came with it

  // Returns whether the server flagged this reply as an error.
  bool is_error() const { return (header.flags & vfio_user::FLAG_ERROR) != 0; }
};

using vfio_user::DeviceInfo;
using vfio_user::IrqInfo;
using vfio_user::RegionInfo;

class Client {
 public:
  // Returns a client connected to the socket at path, or why not.
  static std::expected<Client, std::string> connect(const std::string& path, int timeout_ms = 10000);

  // Returns the bytes of a request: header (message_size = 16 + payload
  // unless given) then payload.
  static std::vector<std::uint8_t> frame(std::uint16_t id, std::uint16_t command,
                                         std::span<const std::uint8_t> payload, std::uint32_t flags = 0,
                                         std::optional<std::uint32_t> message_size = std::nullopt);

  // Returns success once all bytes were sent (descriptors with the first).
  std::expected<void, std::string> send(std::span<const std::uint8_t> bytes, std::span<const int> fds = {});
  // Returns the next message from the server.
  std::expected<Reply, std::string> receive();
  // Returns whether the server closed the connection within the time-out.
  bool wait_closed();

  // Returns the reply to one request, checked to carry its id and command.
  std::expected<Reply, std::string> call(Command command, std::span<const std::uint8_t> payload,
                                         std::uint32_t flags = 0, std::span<const int> fds = {});

  // Returns the server's version reply payload after sending capabilities.
  std::expected<Reply, std::string> version(std::string_view capabilities_json = R"({"capabilities":{}})",
                                            std::uint16_t major = 0, std::uint16_t minor = 1);
  // Returns the device information.
  std::expected<DeviceInfo, std::string> device_info();
  // Returns the region information of region index.
  std::expected<RegionInfo, std::string> region_info(std::uint32_t index, std::uint32_t argsz = RegionInfo::kSize);
  // Returns the interrupt information of interrupt index.
  std::expected<IrqInfo, std::string> irq_info(std::uint32_t index);
  // Returns count bytes read from a region.
  std::expected<std::vector<std::uint8_t>, std::string> region_read(std::uint32_t region, std::uint64_t offset,
                                                                    std::uint32_t count);
  // Returns success after a write (posted: no reply awaited).
  std::expected<void, std::string> region_write(std::uint32_t region, std::uint64_t offset,
                                                std::span<const std::uint8_t> data, bool posted = false);
  // Returns the 32-bit little-endian word read at offset.
  std::expected<std::uint32_t, std::string> read32(std::uint32_t region, std::uint64_t offset);
  // Returns success after writing a 32-bit little-endian word.
  std::expected<void, std::string> write32(std::uint32_t region, std::uint64_t offset, std::uint32_t value,
                                           bool posted = false);
  // Returns success after a device reset.
  std::expected<void, std::string> reset();

  // The data path without allocation, for the benchmarks: each request goes
  // out in one send, and its reply is gathered straight into the caller's
  // buffer, in one receive when the socket holds it whole.
  //
  // Returns success once data holds the data bytes of a RegionRead reply.
  std::expected<void, std::string> region_read_into(std::uint32_t region, std::uint64_t offset,
                                                    std::span<std::uint8_t> data);
  // Returns success once the write was sent and, unless posted, answered.
  std::expected<void, std::string> region_write_from(std::uint32_t region, std::uint64_t offset,
                                                     std::span<const std::uint8_t> data, bool posted = false);

  // Returns the socket, for tests that need to act on it directly.
  int fd() const { return socket_.get(); }
  // Closes the connection.
  void close() { socket_.reset(); }

 private:
  explicit Client(vfio_user::UniqueFd socket) : socket_(std::move(socket)) {}

  // Returns success once every byte of the pieces was sent.
  std::expected<void, std::string> send_pieces(iovec* pieces, std::size_t count);
  // Returns success once the reply to (id, command), expected to be exactly
  // the bytes of the pieces (the first at least a header long), has arrived
  // in them.
  std::expected<void, std::string> receive_into(std::uint16_t id, Command command, iovec* pieces,
                                                std::size_t count);

  vfio_user::UniqueFd socket_;
  std::uint16_t next_id_ = 1;  // message_id of the next request
};

}  // namespace vfio_user_client

#endif  // ZEPHON_TOOLS_CLIENT_H_

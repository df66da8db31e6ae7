// ServerBackend is the device model behind the server: every request that
// passes the server's own checks becomes exactly one call of one of these
// operations, on the server's thread, one at a time.
//
// Contract: each operation returns success or an IoError, which the server
// reports as Error::Kind::Backend; an IoError that carries an operating-system
// error number is the number of the error reply. Descriptors passed in
// belong to the backend from the call on, whatever it returns.
//
// A backend may also keep time of its own: while next_deadline() names a
// time, the server waits for the client or that time, whichever comes first,
// and calls run_due() between requests once it has passed. The defaults
// have nothing pending, and the server then waits for the client alone.
#ifndef VFIO_USER_SERVER_BACKEND_H_
#define VFIO_USER_SERVER_BACKEND_H_

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "vfio_user/io_error.h"
#include "vfio_user/unique_fd.h"

namespace vfio_user {

class ServerBackend {
 public:
  virtual ~ServerBackend() = default;

  // Returns success after filling data with count bytes read at offset.
  // Every byte of data must be written on success: the buffer is reused
  // between requests and is sent as the backend leaves it.
  virtual std::expected<void, IoError> region_read(std::uint32_t index, std::uint64_t offset,
                                                   std::span<std::uint8_t> data) = 0;
  // Returns success after writing data at offset.
  virtual std::expected<void, IoError> region_write(std::uint32_t index, std::uint64_t offset,
                                                    std::span<const std::uint8_t> data) = 0;
  // Returns success after taking note of a DMA mapping.
  virtual std::expected<void, IoError> dma_map(std::uint32_t flags, std::uint64_t file_offset,
                                               std::uint64_t address, std::uint64_t size,
                                               std::optional<UniqueFd> file) = 0;
  // Returns success after forgetting a DMA mapping.
  virtual std::expected<void, IoError> dma_unmap(std::uint32_t flags, std::uint64_t address,
                                                 std::uint64_t size) = 0;
  // Returns success after resetting the device.
  virtual std::expected<void, IoError> reset() = 0;
  // Returns success after setting up interrupt signalling.
  virtual std::expected<void, IoError> set_irqs(std::uint32_t index, std::uint32_t flags,
                                                std::uint32_t start, std::uint32_t count,
                                                FdList files) = 0;

  // Returns whether SetIrqs whose data is one byte per vector (DATA_BOOL)
  // goes to set_irqs_bool. By default it does not, and the server refuses
  // it as an unsupported feature.
  virtual bool takes_irq_bools() const { return false; }
  // Returns success after a DATA_BOOL SetIrqs: bools holds the byte of each
  // vector from start. Called only when takes_irq_bools() says so.
  virtual std::expected<void, IoError> set_irqs_bool(std::uint32_t /*index*/, std::uint32_t /*flags*/,
                                                     std::uint32_t /*start*/,
                                                     std::span<const std::uint8_t> /*bools*/) {
    return std::unexpected(IoError::os(EINVAL));
  }

  // Returns when run_due() wants calling, or nullopt while nothing is pending.
  virtual std::optional<std::chrono::steady_clock::time_point> next_deadline() const { return std::nullopt; }
  // Does what is due at now; returns nothing, it cannot fail the connection.
  virtual void run_due(std::chrono::steady_clock::time_point /*now*/) {}
};

}  // namespace vfio_user

#endif  // VFIO_USER_SERVER_BACKEND_H_

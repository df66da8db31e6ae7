// RecordingBackend is a ServerBackend for tests: it records every call with
// its arguments, answers reads with a recognisable pattern, and can be told
// to fail.
#ifndef ZEPHON_TESTS_TEST_BACKEND_H_
#define ZEPHON_TESTS_TEST_BACKEND_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vfio_user/server_backend.h"

namespace zephon_test {

struct BackendCall {
  std::string op;  // operation name, as in "region_read"
  std::uint32_t index = 0, flags = 0, start = 0, count = 0;
  std::uint64_t offset = 0, address = 0, size = 0;
  std::vector<std::uint8_t> data = {};        // bytes written, for region_write
  std::vector<vfio_user::UniqueFd> fds = {};  // descriptors handed over, kept open
};

class RecordingBackend final : public vfio_user::ServerBackend {
 public:
  std::expected<void, vfio_user::IoError> region_read(std::uint32_t index, std::uint64_t offset,
                                                      std::span<std::uint8_t> data) override;
  std::expected<void, vfio_user::IoError> region_write(std::uint32_t index, std::uint64_t offset,
                                                       std::span<const std::uint8_t> data) override;
  std::expected<void, vfio_user::IoError> dma_map(std::uint32_t flags, std::uint64_t file_offset,
                                                  std::uint64_t address, std::uint64_t size,
                                                  std::optional<vfio_user::UniqueFd> file) override;
  std::expected<void, vfio_user::IoError> dma_unmap(std::uint32_t flags, std::uint64_t address,
                                                    std::uint64_t size) override;
  std::expected<void, vfio_user::IoError> reset() override;
  std::expected<void, vfio_user::IoError> set_irqs(std::uint32_t index, std::uint32_t flags, std::uint32_t start,
                                                   std::uint32_t count, vfio_user::FdList files) override;

  bool takes_irq_bools() const override { return takes_bools; }
  std::expected<void, vfio_user::IoError> set_irqs_bool(std::uint32_t index, std::uint32_t flags, std::uint32_t start,
                                                        std::span<const std::uint8_t> bools) override;
  std::optional<std::chrono::steady_clock::time_point> next_deadline() const override { return deadline; }
  void run_due(std::chrono::steady_clock::time_point now) override;

  std::vector<BackendCall> calls;           // every call, in order
  std::optional<vfio_user::IoError> fail;   // when set, every operation fails with it
  bool takes_bools = false;                 // what takes_irq_bools() answers
  // What next_deadline() answers; run_due() clears it once it is reached.
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

// Returns the byte a RecordingBackend puts at position i of a read at offset.
inline std::uint8_t pattern_byte(std::uint64_t offset, std::size_t i) {
  return static_cast<std::uint8_t>((offset + i) * 7 + 1);
}

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_TEST_BACKEND_H_

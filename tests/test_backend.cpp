#include "test_backend.h"

namespace zephon_test {

using vfio_user::IoError;

std::expected<void, IoError> RecordingBackend::region_read(std::uint32_t index, std::uint64_t offset,
                                                           std::span<std::uint8_t> data) {
  calls.push_back({.op = "region_read", .index = index, .count = static_cast<std::uint32_t>(data.size()),
                   .offset = offset});
  if (fail) return std::unexpected(*fail);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = pattern_byte(offset, i);
  return {};
}

std::expected<void, IoError> RecordingBackend::region_write(std::uint32_t index, std::uint64_t offset,
                                                            std::span<const std::uint8_t> data) {
  calls.push_back({.op = "region_write", .index = index, .count = static_cast<std::uint32_t>(data.size()),
                   .offset = offset, .data = {data.begin(), data.end()}});
  if (fail) return std::unexpected(*fail);
  return {};
}

std::expected<void, IoError> RecordingBackend::dma_map(std::uint32_t flags, std::uint64_t file_offset,
                                                       std::uint64_t address, std::uint64_t size,
                                                       std::optional<vfio_user::UniqueFd> file) {
  BackendCall call{.op = "dma_map", .flags = flags, .offset = file_offset, .address = address, .size = size};
  if (file) call.fds.push_back(std::move(*file));
  calls.push_back(std::move(call));
  if (fail) return std::unexpected(*fail);
  return {};
}

std::expected<void, IoError> RecordingBackend::dma_unmap(std::uint32_t flags, std::uint64_t address,
                                                         std::uint64_t size) {
  calls.push_back({.op = "dma_unmap", .flags = flags, .address = address, .size = size});
  if (fail) return std::unexpected(*fail);
  return {};
}

std::expected<void, IoError> RecordingBackend::reset() {
  calls.push_back({.op = "reset"});
  if (fail) return std::unexpected(*fail);
  return {};
}

std::expected<void, IoError> RecordingBackend::set_irqs(std::uint32_t index, std::uint32_t flags,
                                                        std::uint32_t start, std::uint32_t count,
                                                        vfio_user::FdList files) {
  BackendCall call{.op = "set_irqs", .index = index, .flags = flags, .start = start, .count = count};
  while (!files.empty()) call.fds.push_back(files.take(0));
  calls.push_back(std::move(call));
  if (fail) return std::unexpected(*fail);
  return {};
}

std::expected<void, IoError> RecordingBackend::set_irqs_bool(std::uint32_t index, std::uint32_t flags,
                                                             std::uint32_t start, std::span<const std::uint8_t> bools) {
  calls.push_back({.op = "set_irqs_bool", .index = index, .flags = flags, .start = start,
                   .count = static_cast<std::uint32_t>(bools.size()), .data = {bools.begin(), bools.end()}});
  if (fail) return std::unexpected(*fail);
  return {};
}

void RecordingBackend::run_due(std::chrono::steady_clock::time_point now) {
  calls.push_back({.op = "run_due"});
  if (deadline && *deadline <= now) deadline.reset();
}

}  // namespace zephon_test

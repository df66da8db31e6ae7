// DmaMap, DmaUnmap, SetIrqs and DeviceReset: accepted, checked and handed to
// the device model; their replies carry nothing the client does not know.
#include <linux/vfio.h>

#include <optional>

#include "handlers.h"

namespace vfio_user {

namespace {

// Returns success after writing a reply that is the header alone.
HandlerResult write_empty_reply(Request& request) {
  std::uint8_t reply[kHeaderSize];
  encode_reply_header(request.header, sizeof reply, reply);
  return write_reply(request, reply);
}

HandlerResult backend_result(std::expected<void, IoError> r) {
  if (!r) return std::unexpected(Error::backend(r.error()));
  return {};
}

}  // namespace

HandlerResult handle_dma_map(Request& request) {
  std::uint8_t payload[32];
  if (auto r = read_payload(request, payload); !r) return r;
  if (request.fds.size() > 1) {
    request.fds.clear();
    return std::unexpected(Error::invalid_input());
  }
  std::optional<UniqueFd> file;
  if (!request.fds.empty()) file = request.fds.take(0);
  auto r = request.backend.dma_map(wire::load32(payload + 4), wire::load64(payload + 8), wire::load64(payload + 16),
                                   wire::load64(payload + 24), std::move(file));
  if (auto b = backend_result(r); !b) return b;
  return write_empty_reply(request);
}

HandlerResult handle_dma_unmap(Request& request) {
  std::uint8_t reply[kHeaderSize + 24];
  std::span<std::uint8_t> payload(reply + kHeaderSize, 24);
  if (auto r = read_payload(request, payload); !r) return r;
  auto r = request.backend.dma_unmap(wire::load32(reply + kHeaderSize + 4), wire::load64(reply + kHeaderSize + 8),
                                     wire::load64(reply + kHeaderSize + 16));
  if (auto b = backend_result(r); !b) return b;
  encode_reply_header(request.header, sizeof reply, reply);
  return write_reply(request, reply);
}

HandlerResult handle_set_irqs(Request& request) {
  std::uint8_t payload[20];
  if (auto r = read_payload(request, payload); !r) return r;
  const std::uint32_t flags = wire::load32(payload + 4);
  const std::uint32_t index = wire::load32(payload + 8);
  if (index >= request.device.interrupts.size()) return std::unexpected(Error::invalid_input());
  if ((flags & VFIO_IRQ_SET_DATA_BOOL) != 0) return std::unexpected(Error::unsupported_feature());
  auto r = request.backend.set_irqs(index, flags, wire::load32(payload + 12), wire::load32(payload + 16),
                                    std::move(request.fds));
  if (auto b = backend_result(r); !b) return b;
  return write_empty_reply(request);
}

HandlerResult handle_device_reset(Request& request) {
  if (auto b = backend_result(request.backend.reset()); !b) return b;
  return write_empty_reply(request);
}

}  // namespace vfio_user

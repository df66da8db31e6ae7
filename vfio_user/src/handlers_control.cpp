// DmaMap, DmaUnmap, SetIrqs and DeviceReset: accepted, checked and handed to
// the device model; their replies carry nothing the client does not know.
#include <linux/vfio.h>

#include <optional>

#include "handler_payloads.h"
#include "handlers.h"
#include "vfio_user/payloads.h"

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

// The bytes of a DATA_BOOL SetIrqs, one per vector, are read only for
// vectors the interrupt table announces, so what is read is bounded by the
// server's own table, not by the client's count.
HandlerResult set_irqs_bool(Request& request, const IrqSet& set) {
  if (!request.backend.takes_irq_bools()) return std::unexpected(Error::unsupported_feature());
  const std::uint32_t announced = request.device.interrupts[set.index].count;
  if (set.start > announced || set.count > announced - set.start) return std::unexpected(Error::invalid_input());
  std::span<std::uint8_t> bools = request.connection.scratch(set.count);
  if (auto r = read_payload(request, bools); !r) return r;
  if (auto b = backend_result(request.backend.set_irqs_bool(set.index, set.flags, set.start, bools)); !b) return b;
  return write_empty_reply(request);
}

}  // namespace

HandlerResult handle_dma_map(Request& request) {
  auto map = read_payload_as<DmaMap>(request);
  if (!map) return std::unexpected(map.error());
  if (request.fds.size() > 1) {
    request.fds.clear();
    return std::unexpected(Error::invalid_input());
  }
  std::optional<UniqueFd> file;
  if (!request.fds.empty()) file = request.fds.take(0);
  auto r = request.backend.dma_map(map->flags, map->offset, map->address, map->size, std::move(file));
  if (auto b = backend_result(r); !b) return b;
  return write_empty_reply(request);
}

HandlerResult handle_dma_unmap(Request& request) {
  auto unmap = read_payload_as<DmaUnmap>(request);
  if (!unmap) return std::unexpected(unmap.error());
  auto r = request.backend.dma_unmap(unmap->flags, unmap->address, unmap->size);
  if (auto b = backend_result(r); !b) return b;
  // The request comes back unchanged: its fields re-encode to its bytes.
  std::array<std::uint8_t, kHeaderSize + DmaUnmap::kSize> reply;
  encode_reply_header(request.header, reply.size(), reply.data());
  unmap->encode(std::span(reply).subspan<kHeaderSize>());
  return write_reply(request, reply);
}

HandlerResult handle_set_irqs(Request& request) {
  auto set = read_payload_as<IrqSet>(request);
  if (!set) return std::unexpected(set.error());
  if (set->index >= request.device.interrupts.size()) return std::unexpected(Error::invalid_input());
  if ((set->flags & VFIO_IRQ_SET_DATA_BOOL) != 0) return set_irqs_bool(request, *set);
  auto r = request.backend.set_irqs(set->index, set->flags, set->start, set->count, std::move(request.fds));
  if (auto b = backend_result(r); !b) return b;
  return write_empty_reply(request);
}

HandlerResult handle_device_reset(Request& request) {
  if (auto b = backend_result(request.backend.reset()); !b) return b;
  return write_empty_reply(request);
}

}  // namespace vfio_user

// The command handlers: each reads its request's payload from the
// connection, checks it, calls the device model where the command needs it,
// and writes its reply, or returns the Error that the loop reports.
//
// Contract: a handler runs with the request's header already received; the
// request's descriptors are in request.fds, and what a handler does not hand
// on is closed by the loop afterwards. A handler writes at most one reply and
// never an error reply.
#ifndef VFIO_USER_HANDLERS_H_
#define VFIO_USER_HANDLERS_H_

#include <expected>
#include <vector>

#include "vfio_user/message.h"
#include "connection.h"
#include "vfio_user/error.h"
#include "vfio_user/limits.h"
#include "vfio_user/server.h"
#include "vfio_user/server_backend.h"

namespace vfio_user {

// What the server was built with, as the handlers see it.
struct DeviceTables {
  const std::vector<InterruptEntry>& interrupts;
  const std::vector<ServerRegion>& regions;
  bool reset_supported;
};

// One request being handled.
struct Request {
  MessageHeader header;
  FdList fds;
  Connection& connection;
  const DeviceTables& device;
  ServerBackend& backend;
};

using HandlerResult = std::expected<void, Error>;

HandlerResult handle_version(Request& request);
HandlerResult handle_device_get_info(Request& request);
HandlerResult handle_device_get_region_info(Request& request);
HandlerResult handle_get_irq_info(Request& request);
HandlerResult handle_region_read(Request& request);
HandlerResult handle_region_write(Request& request);
HandlerResult handle_dma_map(Request& request);
HandlerResult handle_dma_unmap(Request& request);
HandlerResult handle_set_irqs(Request& request);
HandlerResult handle_device_reset(Request& request);

// Returns UnexpectedNoReply when a query that must be answered asked for no
// reply; queries check this before reading anything.
inline HandlerResult refuse_no_reply(const Request& request, Command command) {
  if (request.header.no_reply()) return std::unexpected(Error::unexpected_no_reply(command));
  return {};
}

// Returns success after reading exactly out.size() payload bytes.
inline HandlerResult read_payload(Request& request, std::span<std::uint8_t> out) {
  auto r = request.connection.read(out);
  if (!r) return std::unexpected(Error::stream_read(r.error()));
  return {};
}

// Returns success after writing a reply (unless the request asked for none).
inline HandlerResult write_reply(Request& request, std::span<const std::uint8_t> reply) {
  if (request.header.no_reply()) return {};
  auto r = request.connection.write(reply);
  if (!r) return std::unexpected(Error::stream_write(r.error()));
  return {};
}

}  // namespace vfio_user

#endif  // VFIO_USER_HANDLERS_H_

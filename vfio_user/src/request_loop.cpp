#include "request_loop.h"

#include <fmt/format.h>

#include "vfio_user/log.h"

namespace vfio_user {

namespace {

constexpr std::string_view kTarget = "vfio_user";

HandlerResult dispatch(Request& request) {
  const std::uint16_t code = request.header.command;
  if (code > kLastCommand) return std::unexpected(Error::unknown_command(code));
  const auto command = static_cast<Command>(code);
  switch (command) {
    case Command::Version: return handle_version(request);
    case Command::DmaMap: return handle_dma_map(request);
    case Command::DmaUnmap: return handle_dma_unmap(request);
    case Command::DeviceGetInfo: return handle_device_get_info(request);
    case Command::DeviceGetRegionInfo: return handle_device_get_region_info(request);
    case Command::GetIrqInfo: return handle_get_irq_info(request);
    case Command::SetIrqs: return handle_set_irqs(request);
    case Command::RegionRead: return handle_region_read(request);
    case Command::RegionWrite: return handle_region_write(request);
    case Command::DeviceReset: return handle_device_reset(request);
    case Command::Unknown:
    case Command::GetRegionIoFds:
    case Command::DmaRead:
    case Command::DmaWrite:
    case Command::UserDirtyPages: break;
  }
  return std::unexpected(Error::unsupported_command(command));
}

std::expected<void, Error> serve(Connection& connection, const DeviceTables& device, ServerBackend& backend,
                                 const volatile std::sig_atomic_t& stop) {
  for (;;) {
    Request request{MessageHeader{}, FdList{}, connection, device, backend};
    auto received = stop ? Connection::Received::Closed : Connection::Received::Header;
    if (!stop) {
      auto got = connection.receive_header(request.header, request.fds);
      if (!got) return std::unexpected(Error::receive_with_fd(got.error()));
      received = *got;
    }
    if (received == Connection::Received::Closed) {
      if (log::enabled(log::Level::Info)) log::sink()->write(log::Level::Info, kTarget, "Connection closed");
      return {};
    }

    HandlerResult result = dispatch(request);
    request.fds.clear();
    if (!result) {
      const Error& error = result.error();
      if (log::enabled(log::Level::Error)) {
        log::sink()->write(log::Level::Error, kTarget,
                           fmt::format("Error handling command: {}: {}", request.header.command, error.message()));
      }
      auto reply = error_reply(request.header, error.reply_errno());
      // After a stop the connection is shut for writing: that ends the run
      // as stopped, at the top of the loop, not as a failed connection.
      if (auto w = connection.write(reply); !w && !stop) return std::unexpected(Error::stream_write(w.error()));
    }
    connection.skip_unread();
  }
}

}  // namespace

std::expected<void, Error> serve_connection(Connection& connection, const DeviceTables& device,
                                            ServerBackend& backend, const volatile std::sig_atomic_t& stop) {
  auto result = serve(connection, device, backend, stop);
  // However the run ended, what the device logged is not left behind, and
  // no descriptor that came with unhandled input stays open.
  log::flush();
  connection.discard_input();
  return result;
}

}  // namespace vfio_user

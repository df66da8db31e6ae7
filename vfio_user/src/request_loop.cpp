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

// While the backend has something pending and no request is waiting, runs
// what falls due; returns once a request (or the end of the stream) is
// there or a stop came, else the error number of a failed wait. Without
// anything pending it returns at once, and the receive waits as it always
// has.
std::expected<void, int> wait_running_due(Connection& connection, ServerBackend& backend,
                                          const volatile std::sig_atomic_t& stop) {
  while (!stop) {
    const auto deadline = backend.next_deadline();
    if (!deadline) return {};
    auto input = connection.wait_for_input(*deadline);
    if (!input) return std::unexpected(input.error());
    if (*input) return {};
    backend.run_due(std::chrono::steady_clock::now());
  }
  return {};
}

// Runs what fell due while a request was served: a request that was waiting
// went first, but a stream of them must not hold the backend's time back.
void run_if_due(ServerBackend& backend) {
  const auto deadline = backend.next_deadline();
  if (!deadline) return;
  const auto now = std::chrono::steady_clock::now();
  if (*deadline <= now) backend.run_due(now);
}

std::expected<void, Error> serve(Connection& connection, const DeviceTables& device, ServerBackend& backend,
                                 const volatile std::sig_atomic_t& stop) {
  for (;;) {
    if (auto waited = wait_running_due(connection, backend, stop); !waited) {
      return std::unexpected(Error::receive_with_fd(waited.error()));
    }
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
    run_if_due(backend);
  }
}

}  // namespace

std::expected<void, Error> serve_connection(Connection& connection, const DeviceTables& device,
                                            ServerBackend& backend, const volatile std::sig_atomic_t& stop) {
  auto result = serve(connection, device, backend, stop);
  // However the run ended, what the device logged is not left behind.
  log::flush();
  return result;
}

}  // namespace vfio_user

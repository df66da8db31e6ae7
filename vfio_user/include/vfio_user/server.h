// Server is a vfio-user endpoint on a UNIX stream socket: it owns the
// listening socket at a path and the device's region and interrupt tables, and
// serves one client connection per call of run(), handing device work to a
// ServerBackend.
//
// Contract: create() refuses a path where anything exists and leaves it
// alone. While a Server object lives, its socket file exists unless somebody
// else removed it; destroying the Server removes whatever is at the path.
// run() serves requests one at a time until the client closes the
// connection (success), a header cannot be received, an error reply cannot
// be written, or request_stop() is called on this server; between requests
// it runs the backend's own time when the backend names a deadline.
// Everything blocks; there is one thread, and request_stop() is the one
// call a signal handler may make.
#ifndef VFIO_USER_SERVER_H_
#define VFIO_USER_SERVER_H_

#include <linux/vfio.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vfio_user/error.h"
#include "vfio_user/server_backend.h"
#include "vfio_user/unique_fd.h"

namespace vfio_user {

// One entry of the interrupt table; its position is the index clients use.
struct InterruptEntry {
  std::uint32_t index = 0;  // echoed to clients by GetIrqInfo
  std::uint32_t flags = 0;
  std::uint32_t count = 0;
};

// One entry of the region table; its position is the region index.
struct ServerRegion {
  std::vector<vfio_region_sparse_mmap_area> sparse_areas;  // parts a client may map
  std::optional<int> region_fd;  // backing memory sent to clients; not owned
  vfio_region_info region_info{};  // reported by DeviceGetRegionInfo
};

class Server {
 public:
  // Returns a server listening at socket_path (raw path bytes), or
  // SocketPathExists / SocketBind.
  static std::expected<Server, Error> create(std::string socket_path, bool reset_supported,
                                             std::vector<InterruptEntry> interrupts,
                                             std::vector<ServerRegion> regions);

  Server(Server&& other) noexcept;
  Server& operator=(Server&& other) noexcept;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server();

  // Returns success once the client closed the connection (or a stop was
  // requested), else SocketAccept, ReceiveWithFd or StreamWrite.
  std::expected<void, Error> run(ServerBackend& backend);

  // Returns where the socket file was created.
  const std::string& socket_path() const { return socket_path_; }

  // Makes this server's run in progress (or its next one) end as if the
  // client had closed the connection; other servers go on. Async-signal-safe:
  // meant for signal handlers.
  void request_stop() noexcept;
  // Returns whether request_stop() has been called on this server.
  bool stop_requested() const noexcept;

 private:
  Server(std::string socket_path, bool reset_supported, std::vector<InterruptEntry> interrupts,
         std::vector<ServerRegion> regions, UniqueFd listener);
  void remove_socket_file();

  // What request_stop() acts on: plain atomics of lock-free types, so that a
  // signal handler may use them. On the heap so that its address, which the
  // run in progress holds, stays put when the Server is moved.
  struct StopState {
    volatile std::sig_atomic_t requested = 0;
    std::atomic<int> listener{-1};    // the listening socket while run() waits for a client
    std::atomic<int> connection{-1};  // the connection while run() serves it
  };

  std::vector<InterruptEntry> interrupts_;  // position = interrupt index
  std::vector<ServerRegion> regions_;       // position = region index
  std::string socket_path_;                 // empty once moved from
  UniqueFd listener_;                       // the listening socket
  bool reset_supported_ = false;            // reported by DeviceGetInfo
  std::unique_ptr<StopState> stop_;         // null once moved from
};

}  // namespace vfio_user

#endif  // VFIO_USER_SERVER_H_

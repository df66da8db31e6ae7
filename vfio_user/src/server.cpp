#include "vfio_user/server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "request_loop.h"
#include "vfio_user/log.h"
#include "socket_transport.h"

namespace vfio_user {

namespace {

static_assert(std::atomic<int>::is_always_lock_free);

const IoError kPathTooLong = IoError::message(IoError::Kind::InvalidInput, "path must be shorter than SUN_LEN");
const IoError kInteriorNul =
    IoError::message(IoError::Kind::InvalidInput, "paths must not contain interior null bytes");

bool path_exists(const std::string& path) {
  // A path with a NUL in it names nothing; its prefix must not be looked at.
  if (path.find('\0') != std::string::npos) return false;
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

std::expected<UniqueFd, IoError> listen_at(const std::string& path) {
  UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) return std::unexpected(IoError::os(errno));
  if (path.find('\0') != std::string::npos) return std::unexpected(kInteriorNul);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return std::unexpected(kPathTooLong);
  std::memcpy(addr.sun_path, path.data(), path.size());
  auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
    return std::unexpected(IoError::os(errno));
  }
  if (::listen(sock.get(), -1) != 0) return std::unexpected(IoError::os(errno));
  return sock;
}

// Clears a registration made for request_stop() when a run ends.
struct StopRegistration {
  std::atomic<int>& slot;
  StopRegistration(std::atomic<int>& s, int fd) : slot(s) { slot.store(fd); }
  ~StopRegistration() { slot.store(-1); }
};

}  // namespace

std::expected<Server, Error> Server::create(std::string socket_path, bool reset_supported,
                                            std::vector<InterruptEntry> interrupts,
                                            std::vector<ServerRegion> regions) {
  // Whatever is at the path (even a stale socket) may belong to somebody;
  // it is never replaced.
  if (path_exists(socket_path)) return std::unexpected(Error::socket_path_exists());
  auto listener = listen_at(socket_path);
  if (!listener) return std::unexpected(Error::socket_bind(listener.error()));
  return Server(std::move(socket_path), reset_supported, std::move(interrupts), std::move(regions),
                std::move(*listener));
}

Server::Server(std::string socket_path, bool reset_supported, std::vector<InterruptEntry> interrupts,
               std::vector<ServerRegion> regions, UniqueFd listener)
    : interrupts_(std::move(interrupts)),
      regions_(std::move(regions)),
      socket_path_(std::move(socket_path)),
      listener_(std::move(listener)),
      reset_supported_(reset_supported),
      stop_(std::make_unique<StopState>()) {}

Server::Server(Server&& other) noexcept
    : interrupts_(std::move(other.interrupts_)),
      regions_(std::move(other.regions_)),
      socket_path_(std::exchange(other.socket_path_, {})),
      listener_(std::move(other.listener_)),
      reset_supported_(other.reset_supported_),
      stop_(std::move(other.stop_)) {}

Server& Server::operator=(Server&& other) noexcept {
  if (this != &other) {
    remove_socket_file();
    interrupts_ = std::move(other.interrupts_);
    regions_ = std::move(other.regions_);
    socket_path_ = std::exchange(other.socket_path_, {});
    listener_ = std::move(other.listener_);
    reset_supported_ = other.reset_supported_;
    stop_ = std::move(other.stop_);
  }
  return *this;
}

Server::~Server() { remove_socket_file(); }

void Server::remove_socket_file() {
  if (!socket_path_.empty() && path_exists(socket_path_)) ::unlink(socket_path_.c_str());
  socket_path_.clear();
}

std::expected<void, Error> Server::run(ServerBackend& backend) {
  StopState& stop = *stop_;
  StopRegistration listening(stop.listener, listener_.get());
  // Nothing logged before the run waits behind a client that is slow to come.
  log::flush();
  UniqueFd accepted;
  while (!stop.requested) {
    accepted.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (accepted || errno != EINTR) break;
  }
  if (stop.requested) return {};
  if (!accepted) return std::unexpected(Error::socket_accept(IoError::os(errno)));

  StopRegistration serving(stop.connection, accepted.get());
  // A stop that came between the accept and the registration above would
  // otherwise go unnoticed until the client sends something.
  if (stop.requested) ::shutdown(accepted.get(), SHUT_RD);
  SocketTransport transport(accepted.get());
  Connection connection(transport);
  DeviceTables device{interrupts_, regions_, reset_supported_};
  return serve_connection(connection, device, backend, stop.requested);
}

void Server::request_stop() noexcept {
  StopState* stop = stop_.get();
  if (stop == nullptr) return;
  stop->requested = 1;
  // Reads then see the end of the stream, so a blocked accept or receive
  // returns; writes fail, so a reply blocked on a client that stopped
  // reading gives up instead of holding the run (and the dump) forever.
  int listener = stop->listener.load();
  if (listener >= 0) ::shutdown(listener, SHUT_RDWR);
  int connection = stop->connection.load();
  if (connection >= 0) ::shutdown(connection, SHUT_RDWR);
}

bool Server::stop_requested() const noexcept { return stop_ != nullptr && stop_->requested != 0; }

}  // namespace vfio_user

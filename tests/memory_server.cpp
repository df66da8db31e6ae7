#include "memory_server.h"

#include <fcntl.h>

#include <fmt/format.h>

#include "request_loop.h"
#include "vfio_user/command.h"
#include "vfio_user/wire.h"

namespace zephon_test {

namespace {

// Returns the reply's payload decoded as T, or why not.
template <typename T>
std::expected<T, std::string> decode_payload(const vfio_user_client::Reply& reply) {
  auto decoded = T::decode(reply.payload);
  if (!decoded) return std::unexpected(fmt::format("short reply: {} bytes", reply.payload.size()));
  return *decoded;
}

}  // namespace

std::expected<void, std::string> MemoryClient::send(std::span<const std::uint8_t> bytes, std::span<const int> fds) {
  // The kernel hands the receiver copies of what was sent; so does this.
  std::vector<vfio_user::UniqueFd> copies;
  for (int fd : fds) {
    copies.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copies.back()) return std::unexpected("cannot duplicate a descriptor");
  }
  server_->transport_.push(bytes, std::move(copies));
  return {};
}

std::expected<vfio_user_client::Reply, std::string> MemoryClient::receive() {
  if (server_->replies_.empty()) server_->serve();
  if (server_->replies_.empty()) return std::unexpected("connection closed by the server");
  vfio_user_client::Reply reply = std::move(server_->replies_.front());
  server_->replies_.pop_front();
  return reply;
}

std::expected<vfio_user_client::Reply, std::string> MemoryClient::call(vfio_user::Command command,
                                                                     std::span<const std::uint8_t> payload,
                                                                     std::uint32_t flags, std::span<const int> fds) {
  const std::uint16_t id = next_id_++;
  if (auto s = send(vfio_user_client::Client::frame(id, static_cast<std::uint16_t>(command), payload, flags), fds);
      !s) {
    return std::unexpected(s.error());
  }
  auto reply = receive();
  if (!reply) return reply;
  if (reply->header.message_id != id || reply->header.command != static_cast<std::uint16_t>(command)) {
    return std::unexpected(fmt::format("reply to message {} came as message {} command {}", id,
                                       reply->header.message_id, reply->header.command));
  }
  if (reply->is_error()) return std::unexpected(fmt::format("failed with error {}", reply->header.error));
  return reply;
}

std::expected<vfio_user::DeviceInfo, std::string> MemoryClient::device_info() {
  auto r = call(vfio_user::Command::DeviceGetInfo, vfio_user::DeviceInfo{}.encode());
  if (!r) return std::unexpected(r.error());
  return decode_payload<vfio_user::DeviceInfo>(*r);
}

std::expected<vfio_user::IrqInfo, std::string> MemoryClient::irq_info(std::uint32_t index) {
  auto r = call(vfio_user::Command::GetIrqInfo,
                vfio_user::IrqInfo{.argsz = vfio_user::IrqInfo::kSize, .flags = 0, .index = index, .count = 0}.encode());
  if (!r) return std::unexpected(r.error());
  return decode_payload<vfio_user::IrqInfo>(*r);
}

std::expected<std::uint32_t, std::string> MemoryClient::read32(std::uint32_t region, std::uint64_t offset) {
  auto r = call(vfio_user::Command::RegionRead,
                vfio_user::RegionAccess{.offset = offset, .region = region, .count = 4}.encode());
  if (!r) return std::unexpected(r.error());
  if (r->payload.size() != vfio_user::RegionAccess::kSize + 4) return std::unexpected("RegionRead reply of the wrong size");
  return vfio_user::wire::load32(r->payload.data() + vfio_user::RegionAccess::kSize);
}

void MemoryServer::SetUp() {
  log_start_ = log_position();
  start();
}

void MemoryServer::start(bool reset_supported, std::vector<vfio_user::ServerRegion> regions,
                         std::vector<vfio_user::InterruptEntry> interrupts) {
  reset_supported_ = reset_supported;
  regions_ = std::move(regions);
  interrupts_ = std::move(interrupts);
}

std::vector<std::string> MemoryServer::log() const {
  std::vector<std::string> lines;
  for (std::string& line : log_lines_since(log_start_)) {
    if (line != " INFO vfio_user: Connection closed") lines.push_back(std::move(line));
  }
  return lines;
}

void MemoryServer::serve() {
  const vfio_user::DeviceTables tables{interrupts_, regions_, reset_supported_};
  auto result = vfio_user::serve_connection(connection_, tables, backend_, stop_);
  EXPECT_TRUE(result.has_value()) << result.error().debug();
  std::span<const std::uint8_t> sent = transport_.sent();
  std::size_t at = 0;
  auto fd = transport_.sent_fds().begin();
  while (sent.size() - at >= vfio_user::kHeaderSize) {
    vfio_user_client::Reply reply;
    reply.header = vfio_user::MessageHeader::decode(sent.data() + at);
    const std::size_t size = std::max<std::size_t>(reply.header.message_size, vfio_user::kHeaderSize);
    if (size > sent.size() - at) {
      ADD_FAILURE() << "a reply cut short";
      break;
    }
    reply.payload.assign(sent.begin() + at + vfio_user::kHeaderSize, sent.begin() + at + size);
    for (; fd != transport_.sent_fds().end() && fd->at < at + size; ++fd) {
      reply.fds.push(vfio_user::UniqueFd(::fcntl(fd->fd, F_DUPFD_CLOEXEC, 0)));
    }
    replies_.push_back(std::move(reply));
    at += size;
  }
  EXPECT_EQ(at, sent.size()) << "bytes after the last whole reply";
  transport_.clear();
}

}  // namespace zephon_test

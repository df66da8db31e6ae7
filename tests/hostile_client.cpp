#include "hostile_client.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include <fstream>
#include <sstream>

#include "hostile_messages.h"
#include "server_fixture.h"
#include "vfio_user/limits.h"
#include "vfio_user/payloads.h"
#include "vfio_user/wire.h"

namespace zephon_test {

namespace wire = vfio_user::wire;
using vfio_user_client::Client;
using vfio_user_client::Reply;

namespace {

std::uint32_t version_reply_size() {
  const std::string text = fmt::format(
      R"({{"capabilities":{{"max_msg_fds":1,"max_data_xfer_size":{},"migration":{{"pgsize":{}}}}}}})",
      vfio_user::kMaxDataTransfer, ::sysconf(_SC_PAGESIZE));
  return static_cast<std::uint32_t>(16 + 4 + text.size() + 1);
}

std::uint64_t status_field_kib(pid_t pid, const std::string& field) {
  std::ifstream in(fmt::format("/proc/{}/status", pid));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      std::istringstream fields(line.substr(field.size() + 1));
      std::uint64_t kib = 0;
      fields >> kib;
      return kib;
    }
  }
  return 0;
}

}  // namespace

std::vector<CommandShape> served_commands() {
  std::vector<std::uint8_t> version = fields({{0, 2}, {1, 2}});
  const std::string caps = R"({"capabilities":{}})";
  version.insert(version.end(), caps.begin(), caps.end());
  version.push_back(0);
  using vfio_user::DmaMap;
  using vfio_user::DmaUnmap;
  using vfio_user::IrqInfo;
  using vfio_user::RegionInfo;
  return {
      {"Version", 1, version, version_reply_size()},
      {"DmaMap", 2, encoded(DmaMap{.argsz = 32, .flags = 3, .offset = 0, .address = 0x10000, .size = 0x1000}), 16},
      {"DmaUnmap", 3, encoded(DmaUnmap{.argsz = 24, .flags = 0, .address = 0x10000, .size = 0x1000}), 40},
      {"DeviceGetInfo", 4, encoded(vfio_user::DeviceInfo{}), 32},
      {"DeviceGetRegionInfo", 5,
       encoded(RegionInfo{.argsz = 32, .flags = 0, .index = 2, .cap_offset = 0, .size = 0, .offset = 0}), 48},
      {"GetIrqInfo", 7, encoded(IrqInfo{.argsz = 16, .flags = 0, .index = 1, .count = 0}), 32},
      // Eventfd data, trigger action, MSI, one vector.
      {"SetIrqs", 8, irq_set(0x24, 1, 0, 1), 16},
      {"RegionRead", 9, access(0x100, 2, 4), 36},
      {"RegionWrite", 10, write_access(0x200, 2, 0xabcd0123), 32},
      {"DeviceReset", 13, {}, 16, true},
  };
}

CommandShape served_command(const std::string& name) {
  for (auto& shape : served_commands()) {
    if (shape.name == name) return shape;
  }
  ADD_FAILURE() << "no command " << name;
  return {};
}

std::size_t open_descriptors(pid_t pid) {
  std::error_code ec;
  std::size_t count = 0;
  for (auto it = std::filesystem::directory_iterator(fmt::format("/proc/{}/fd", pid), ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++count;
  }
  return count;
}

std::uint64_t peak_rss_kib(pid_t pid) { return status_field_kib(pid, "VmHWM"); }
std::uint64_t rss_kib(pid_t pid) { return status_field_kib(pid, "VmRSS"); }

void HostileClient::SetUp() {
  dir_ = make_temp_dir();
  socket_ = (dir_ / "zephon.sock").string();
  const auto rom = dir_ / "rom.bin";
  {
    std::ofstream out(rom, std::ios::binary);
    for (int i = 0; i < 4096; ++i) out.put(static_cast<char>(i == 0 ? 0x55 : i == 1 ? 0xaa : i & 0xff));
  }
  process_ = std::make_unique<ZephonProcess>(dir_, ProcessOptions{.args = {socket_, rom.string()}});
  ASSERT_TRUE(ZephonProcess::wait_for_path(socket_)) << process_->err();
  auto connected = connect_when_listening(socket_);
  ASSERT_TRUE(connected.has_value()) << connected.error();
  client_.emplace(std::move(*connected));
  ASSERT_EQ(::pipe2(pipe_, O_CLOEXEC), 0);

  auto version = client_->version();
  ASSERT_TRUE(version.has_value()) << version.error();
  auto written = client_->write32(2, kMarkOffset, kMark);
  ASSERT_TRUE(written.has_value()) << written.error();
  // The server has accepted and answered: what it holds now is its steady state.
  baseline_fds_ = open_descriptors(pid());
  ASSERT_GT(baseline_fds_, 0u);
}

void HostileClient::TearDown() {
  for (int& fd : pipe_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  client_.reset();
  process_.reset();
  std::filesystem::remove_all(dir_);
}

void HostileClient::send(const std::vector<std::uint8_t>& bytes, std::span<const int> fds) {
  auto sent = client_->send(bytes, fds);
  ASSERT_TRUE(sent.has_value()) << sent.error();
}

void HostileClient::half_close() { ASSERT_EQ(::shutdown(client_->fd(), SHUT_WR), 0); }

Reply HostileClient::expect_reply(std::uint16_t id, std::uint16_t code, std::optional<std::uint32_t> errnum,
                                  std::uint32_t reply_size) {
  auto reply = client_->receive();
  EXPECT_TRUE(reply.has_value()) << (reply ? "" : reply.error()) << "\n" << process_->err();
  if (!reply) return {};
  EXPECT_EQ(reply->header.message_id, id);
  EXPECT_EQ(reply->header.command, code);
  if (errnum) {
    EXPECT_EQ(reply->header.flags, vfio_user::FLAG_REPLY | vfio_user::FLAG_ERROR);
    EXPECT_EQ(reply->header.message_size, 16u);
    EXPECT_EQ(reply->header.error, *errnum);
  } else {
    EXPECT_EQ(reply->header.flags, vfio_user::FLAG_REPLY) << "error " << reply->header.error;
    EXPECT_EQ(reply->header.message_size, reply_size);
    EXPECT_EQ(reply->header.error, 0u);
  }
  return std::move(*reply);
}

void HostileClient::expect_serving() {
  auto id = client_->read32(7, 0);
  ASSERT_TRUE(id.has_value()) << id.error() << "\n" << process_->err();
  EXPECT_EQ(*id, 0x67801002u);
  if (mark_expected_ != kMark) {
    ASSERT_TRUE(client_->write32(2, kMarkOffset, kMark).has_value());
    mark_expected_ = kMark;
  }
  auto mark = client_->read32(2, kMarkOffset);
  ASSERT_TRUE(mark.has_value()) << mark.error();
  EXPECT_EQ(*mark, kMark);
  EXPECT_EQ(open_descriptors(pid()), baseline_fds_) << "descriptors left open in the server";
}

void HostileClient::expect_end(int status, const std::string& err_text) {
  EXPECT_TRUE(client_->wait_closed());
  auto exited = process_->wait();
  ASSERT_TRUE(exited.has_value()) << "the server did not end";
  const std::string err = process_->err();
  EXPECT_EQ(*exited, status) << err;
  EXPECT_NE(err.find(err_text), std::string::npos) << err;
  const std::string dump = process_->out();
  ASSERT_EQ(dump.size(), kDumpBytes);
  EXPECT_EQ(wire::load32(reinterpret_cast<const std::uint8_t*>(dump.data()) + kMarkOffset), mark_expected_);
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

}  // namespace zephon_test

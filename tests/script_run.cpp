#include "script_run.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "server_fixture.h"
#include "vfio_user/wire.h"

namespace zephon_test {

namespace {

// Returns the lines of a log without their timestamps.
std::vector<std::string> messages_of(const std::string& err) {
  std::vector<std::string> out;
  std::istringstream in(err);
  std::string line;
  constexpr std::size_t kTimestamp = 27;  // 2026-03-01T12:00:00.000123Z
  while (std::getline(in, line)) {
    if (line.size() <= kTimestamp || line[kTimestamp - 1] != 'Z') {
      out.push_back(line);
      continue;
    }
    const std::size_t start = line.find_first_not_of(' ', kTimestamp);
    out.push_back(start == std::string::npos ? "" : line.substr(start));
  }
  return out;
}

}  // namespace

std::uint32_t RunResult::reg(std::size_t reg) const {
  if (dump.size() < 4 * reg + 4) return 0;
  return vfio_user::wire::load32(reinterpret_cast<const std::uint8_t*>(dump.data()) + 4 * reg);
}

long RunResult::find(std::string_view line) const {
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (messages[i] == line) return static_cast<long>(i);
  }
  return -1;
}

std::size_t RunResult::count_containing(std::string_view text) const {
  std::size_t n = 0;
  for (const auto& m : messages) n += m.find(text) != std::string::npos ? 1 : 0;
  return n;
}

void ScriptRun::SetUp() {
  dir_ = make_temp_dir();
  socket_ = (dir_ / "zephon.sock").string();
  rom_ = (dir_ / "rom.bin").string();
  std::ofstream rom(rom_, std::ios::binary);
  rom << std::string(4096, '\x55');
}

void ScriptRun::TearDown() {
  ::unsetenv("ZEPHON_SCRIPT");
  std::filesystem::remove_all(dir_);
}

std::string ScriptRun::write_script(std::string_view name, std::string_view text) {
  const std::string path = (dir_ / name).string();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return path;
}

std::unique_ptr<ZephonProcess> ScriptRun::launch(const std::string& script) {
  // The child inherits the environment; the runner sets only NO_COLOR.
  ::setenv("ZEPHON_SCRIPT", script.c_str(), 1);
  auto process = std::make_unique<ZephonProcess>(dir_, ProcessOptions{.args = {socket_, rom_}});
  ::unsetenv("ZEPHON_SCRIPT");
  return process;
}

std::pair<std::unique_ptr<ZephonProcess>, std::optional<vfio_user_client::Client>> ScriptRun::serve(
    const std::string& script) {
  auto process = launch(script);
  EXPECT_TRUE(ZephonProcess::wait_for_path(socket_)) << process->err();
  auto client = connect_when_listening(socket_);
  EXPECT_TRUE(client.has_value()) << (client ? "" : client.error()) << process->err();
  if (!client) return {std::move(process), std::nullopt};
  auto version = client->version();
  EXPECT_TRUE(version.has_value()) << (version ? "" : version.error());
  return {std::move(process), std::move(*client)};
}

RunResult ScriptRun::finish(ZephonProcess& process, vfio_user_client::Client& client) {
  client.close();
  return wait(process);
}

RunResult ScriptRun::wait(ZephonProcess& process) {
  RunResult result;
  result.status = process.wait();
  result.dump = process.out();
  result.err = process.err();
  result.messages = messages_of(result.err);
  return result;
}

std::vector<std::uint8_t> set_irqs_payload(std::uint32_t flags, std::uint32_t index, std::uint32_t start,
                                           std::uint32_t count, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> payload(20 + data.size());
  vfio_user::wire::store32(payload.data(), static_cast<std::uint32_t>(payload.size()));
  vfio_user::wire::store32(payload.data() + 4, flags);
  vfio_user::wire::store32(payload.data() + 8, index);
  vfio_user::wire::store32(payload.data() + 12, start);
  vfio_user::wire::store32(payload.data() + 16, count);
  std::copy(data.begin(), data.end(), payload.begin() + 20);
  return payload;
}

std::uint64_t wait_signalled(int fd, int limit_ms) {
  pollfd ready{.fd = fd, .events = POLLIN, .revents = 0};
  if (::poll(&ready, 1, limit_ms) != 1) return 0;
  std::uint64_t count = 0;
  if (::read(fd, &count, sizeof count) != sizeof count) return 0;
  return count;
}

std::string example(std::string_view name) { return std::string(ZEPHON_EXAMPLES_DIR "/") + std::string(name); }

std::vector<std::uint8_t> dma_map_payload(std::uint32_t flags, std::uint64_t file_offset, std::uint64_t address,
                                          std::uint64_t size) {
  std::vector<std::uint8_t> payload(32);
  vfio_user::wire::store32(payload.data(), 32);
  vfio_user::wire::store32(payload.data() + 4, flags);
  vfio_user::wire::store64(payload.data() + 8, file_offset);
  vfio_user::wire::store64(payload.data() + 16, address);
  vfio_user::wire::store64(payload.data() + 24, size);
  return payload;
}

std::vector<std::uint8_t> dma_unmap_payload(std::uint32_t flags, std::uint64_t address, std::uint64_t size) {
  std::vector<std::uint8_t> payload(24);
  vfio_user::wire::store32(payload.data(), 24);
  vfio_user::wire::store32(payload.data() + 4, flags);
  vfio_user::wire::store64(payload.data() + 8, address);
  vfio_user::wire::store64(payload.data() + 16, size);
  return payload;
}

GuestRam::GuestRam(std::size_t size, bool zeroed) : fd_(::memfd_create("guest-ram", MFD_CLOEXEC)) {
  std::string pattern(size, '\0');
  for (std::size_t i = 0; i < size && !zeroed; ++i) pattern[i] = static_cast<char>(i % 251);
  EXPECT_TRUE(fd_ && store(0, pattern));
}

std::string GuestRam::bytes(std::uint64_t offset, std::size_t size) const {
  std::string out(size, '\0');
  const ssize_t n = ::pread(fd_.get(), out.data(), size, static_cast<off_t>(offset));
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

bool GuestRam::store(std::uint64_t offset, std::string_view data) const {
  return ::pwrite(fd_.get(), data.data(), data.size(), static_cast<off_t>(offset)) ==
         static_cast<ssize_t>(data.size());
}

std::expected<void, std::string> map_guest(vfio_user_client::Client& client, const GuestRam* ram, std::uint32_t flags,
                                           std::uint64_t address, std::uint64_t size) {
  const int fds[] = {ram != nullptr ? ram->fd() : -1};
  auto reply = client.call(vfio_user::Command::DmaMap, dma_map_payload(flags, 0, address, size), 0,
                           ram != nullptr ? std::span<const int>(fds) : std::span<const int>());
  if (!reply) return std::unexpected(reply.error());
  if (reply->is_error()) return std::unexpected("DmaMap refused with error " + std::to_string(reply->header.error));
  return {};
}

}  // namespace zephon_test

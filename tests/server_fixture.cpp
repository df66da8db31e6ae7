#include "server_fixture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "log.h"

namespace zephon_test {

namespace {

int log_fd() {
  static int fd = [] {
    int f = ::memfd_create("zephon-test-log", MFD_CLOEXEC);
    auto installed = zephon::log::install(zephon::log::Options{.fd = f, .colour = false});
    if (!installed) std::abort();
    return f;
  }();
  return fd;
}

vfio_user::ServerRegion region(std::uint32_t index, std::uint32_t flags, std::uint64_t size) {
  vfio_user::ServerRegion r;
  r.region_info = vfio_region_info{.argsz = 32, .flags = flags, .index = index, .cap_offset = 0, .size = size,
                                   .offset = 0};
  return r;
}

}  // namespace

std::vector<vfio_user::ServerRegion> device_regions() {
  std::vector<vfio_user::ServerRegion> out;
  const std::uint64_t sizes[9] = {0x10000000, 0, 0x40000, 0, 0, 0, 2048, 0x100, 0};
  const std::uint32_t flags[9] = {3, 0, 3, 0, 0, 0, 1, 3, 0};
  for (std::uint32_t i = 0; i < 9; ++i) out.push_back(region(i, flags[i], sizes[i]));
  return out;
}

std::vector<vfio_user::InterruptEntry> device_interrupts() {
  std::vector<vfio_user::InterruptEntry> out;
  for (std::uint32_t i = 0; i < 5; ++i) out.push_back({i, 0, 0});
  return out;
}

std::size_t log_position() { return static_cast<std::size_t>(::lseek(log_fd(), 0, SEEK_END)); }

std::vector<std::string> log_lines_since(std::size_t from) {
  std::string text(log_position() - from, '\0');
  ssize_t n = ::pread(log_fd(), text.data(), text.size(), static_cast<off_t>(from));
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    // "2026-03-01T12:00:00.000123Z " is 28 characters.
    lines.push_back(line.size() > 28 ? line.substr(28) : line);
    start = end + 1;
  }
  return lines;
}

std::filesystem::path make_temp_dir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zephon-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
  return tmpl;
}

bool fd_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

void ServerFixture::SetUp() {
  log_fd();
  dir_ = make_temp_dir();
  path_ = (dir_ / "sock").string();
  log_start_ = log_position();
}

void ServerFixture::TearDown() {
  if (thread_.joinable()) {
    // A run still waiting for its client ends once one comes and goes.
    auto client = vfio_user_client::Client::connect(path_, 10000);
    if (client) client->close();
    thread_.join();
  }
  server_.reset();
  std::filesystem::remove_all(dir_);
}

void ServerFixture::start(bool reset_supported, std::vector<vfio_user::ServerRegion> regions,
                          std::vector<vfio_user::InterruptEntry> interrupts) {
  auto server = vfio_user::Server::create(path_, reset_supported, std::move(interrupts), std::move(regions));
  ASSERT_TRUE(server.has_value()) << server.error().debug();
  server_.emplace(std::move(*server));
  thread_ = std::thread([this] { result_.emplace(server_->run(backend_)); });
}

vfio_user_client::Client ServerFixture::connect() {
  auto client = vfio_user_client::Client::connect(path_, 10000);
  if (!client) {
    ADD_FAILURE() << client.error();
    std::abort();
  }
  return std::move(*client);
}

std::expected<void, vfio_user::Error> ServerFixture::finish() {
  thread_.join();
  return *result_;
}

}  // namespace zephon_test

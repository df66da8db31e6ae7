// Stopping a server, and what the socket transport promises a caller's
// process: descriptors that do not leak into children, and no SIGPIPE.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <future>

#include "server_fixture.h"
#include "vfio_user/payloads.h"

namespace zephon_test {
namespace {

using namespace std::chrono_literals;
using vfio_user::Server;

// A second server beside the fixture's, on its own socket and thread.
struct OtherServer {
  explicit OtherServer(const std::filesystem::path& dir) : path((dir / "other").string()) {
    auto created = Server::create(path, true, device_interrupts(), device_regions());
    if (!created) std::abort();
    server.emplace(std::move(*created));
    result = std::async(std::launch::async, [this] { return server->run(backend); });
  }
  std::string path;
  RecordingBackend backend;
  std::optional<Server> server;
  std::future<std::expected<void, vfio_user::Error>> result;
};

using ServerStop = ServerFixture;

TEST_F(ServerStop, EndsAWaitingRunAndOnlyThatServersRun) {
  start();
  OtherServer other(dir_);
  auto waiting = std::async(std::launch::async, [this] { return finish(); });
  // Let the run reach its accept.
  std::this_thread::sleep_for(50ms);
  server_->request_stop();
  ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(waiting.get().has_value());
  EXPECT_TRUE(server_->stop_requested());

  // The other server neither stopped nor noticed.
  EXPECT_FALSE(other.server->stop_requested());
  auto client = vfio_user_client::Client::connect(other.path, 10000);
  ASSERT_TRUE(client.has_value()) << client.error();
  auto info = client->device_info();
  ASSERT_TRUE(info.has_value()) << info.error();
  EXPECT_EQ(info->num_regions, 9u);
  client->close();
  ASSERT_EQ(other.result.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(other.result.get().has_value());
}

TEST_F(ServerStop, EndsARunThatIsServingAClient) {
  start();
  auto client = connect();
  ASSERT_TRUE(client.device_info().has_value());
  server_->request_stop();
  EXPECT_TRUE(client.wait_closed());
  EXPECT_TRUE(finish().has_value());
}

TEST_F(ServerStop, AFreshServerRunsAfterAStoppedOne) {
  start();
  server_->request_stop();
  ASSERT_TRUE(finish().has_value());
  server_.reset();

  OtherServer fresh(dir_);
  auto client = vfio_user_client::Client::connect(fresh.path, 10000);
  ASSERT_TRUE(client.has_value()) << client.error();
  auto value = client->read32(2, 0);
  ASSERT_TRUE(value.has_value()) << value.error();
  client->close();
  ASSERT_EQ(fresh.result.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(fresh.result.get().has_value());
}

TEST_F(ServerStop, AStopBeforeTheRunEndsItAtOnce) {
  auto server = Server::create(path_, true, device_interrupts(), device_regions());
  ASSERT_TRUE(server.has_value());
  server->request_stop();
  // Moving the server keeps the request: a handler may hold the old one.
  Server moved = std::move(*server);
  EXPECT_TRUE(moved.stop_requested());
  auto run = std::async(std::launch::async, [&] { return moved.run(backend_); });
  ASSERT_EQ(run.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(run.get().has_value());
}

TEST_F(ServerStop, ReceivedDescriptorsAreCloseOnExec) {
  start();
  auto client = connect();
  vfio_user::UniqueFd event(::eventfd(0, 0));  // not close-on-exec here
  ASSERT_TRUE(event);
  const auto payload =
      vfio_user::DmaMap{.argsz = 32, .flags = 3 /* read | write */, .offset = 0, .address = 0x10000, .size = 0x1000}
          .encode();
  const int fd = event.get();
  auto reply = client.call(vfio_user::Command::DmaMap, payload, 0, std::span<const int>(&fd, 1));
  ASSERT_TRUE(reply.has_value()) << reply.error();
  ASSERT_EQ(backend_.calls.size(), 1u);
  ASSERT_TRUE(backend_.calls[0].fds.size() == 1);
  EXPECT_EQ(::fcntl(backend_.calls[0].fds[0].get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST_F(ServerStop, AVanishedClientIsAWriteErrorNotASignal) {
  // The library must not rely on the process ignoring SIGPIPE.
  struct sigaction saved{};
  struct sigaction plain{};
  plain.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &plain, &saved);
  auto server = Server::create(path_, true, device_interrupts(), device_regions());
  ASSERT_TRUE(server.has_value());
  {
    // Queued before the server accepts, and gone before it answers.
    auto client = connect();
    auto bytes = vfio_user_client::Client::frame(1, 4, std::span<const std::uint8_t>{});
    ASSERT_TRUE(client.send(bytes).has_value());
  }
  auto result = server->run(backend_);
  ::sigaction(SIGPIPE, &saved, nullptr);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), vfio_user::Error::Kind::StreamWrite);
  EXPECT_EQ(result.error().debug(), "StreamWrite(Os { code: 32, kind: BrokenPipe, message: \"Broken pipe\" })");
}

}  // namespace
}  // namespace zephon_test

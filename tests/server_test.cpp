// The server's construction, connection loop and framing, driven over a real
// UNIX socket.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>

#include "server_fixture.h"
#include "vfio_user/wire.h"

namespace zephon_test {
namespace {

using vfio_user::Error;
using vfio_user::Server;

std::expected<Server, Error> create_at(const std::string& path) {
  return Server::create(path, true, device_interrupts(), device_regions());
}

class ServerCreate : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(ServerCreate, RefusesAnExistingFileAndLeavesItAlone) {
  auto path = (dir_ / "sock").string();
  std::ofstream(path) << "precious";
  auto server = create_at(path);
  ASSERT_FALSE(server.has_value());
  EXPECT_EQ(server.error().kind(), Error::Kind::SocketPathExists);
  EXPECT_EQ(server.error().debug(), "SocketPathExists");
  EXPECT_EQ(server.error().message(), "Socket path already exists");
  std::ifstream in(path);
  std::string content;
  in >> content;
  EXPECT_EQ(content, "precious");
}

TEST_F(ServerCreate, RefusesAStaleSocket) {
  auto path = (dir_ / "sock").string();
  { auto first = create_at(path); ASSERT_TRUE(first.has_value());
    // Leave the file behind as a crashed process would.
    auto moved = std::move(*first);
    ::link(path.c_str(), (dir_ / "keep").c_str());
  }
  ::rename((dir_ / "keep").c_str(), path.c_str());
  auto server = create_at(path);
  ASSERT_FALSE(server.has_value());
  EXPECT_EQ(server.error().kind(), Error::Kind::SocketPathExists);
  struct stat st{};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0);
}

TEST_F(ServerCreate, MissingDirectoryIsABindFailure) {
  auto server = create_at((dir_ / "nope" / "sock").string());
  ASSERT_FALSE(server.has_value());
  EXPECT_EQ(server.error().kind(), Error::Kind::SocketBind);
  EXPECT_EQ(server.error().io_error().code(), ENOENT);
  EXPECT_EQ(server.error().message(), "Error binding to socket: No such file or directory (os error 2)");
  EXPECT_EQ(server.error().debug(),
            "SocketBind(Os { code: 2, kind: NotFound, message: \"No such file or directory\" })");
}

TEST_F(ServerCreate, DanglingSymlinkIsABindFailure) {
  auto path = (dir_ / "sock").string();
  ASSERT_EQ(::symlink((dir_ / "missing").c_str(), path.c_str()), 0);
  auto server = create_at(path);
  ASSERT_FALSE(server.has_value());
  EXPECT_EQ(server.error().kind(), Error::Kind::SocketBind);
  EXPECT_EQ(server.error().io_error().code(), EADDRINUSE);
}

TEST_F(ServerCreate, PathTooLongOrWithNul) {
  auto too_long = create_at("/tmp/" + std::string(103, 'x'));
  ASSERT_FALSE(too_long.has_value());
  EXPECT_EQ(too_long.error().message(), "Error binding to socket: path must be shorter than SUN_LEN");
  auto with_nul = create_at(std::string("/tmp\0x", 6));
  ASSERT_FALSE(with_nul.has_value());
  EXPECT_EQ(with_nul.error().message(), "Error binding to socket: paths must not contain interior null bytes");
}

TEST_F(ServerCreate, DestructionRemovesTheSocketFile) {
  auto path = (dir_ / "sock").string();
  {
    auto server = create_at(path);
    ASSERT_TRUE(server.has_value());
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
  }
  struct stat st{};
  EXPECT_NE(::lstat(path.c_str(), &st), 0);
}

TEST_F(ServerCreate, DestructionAfterTheFileWentDoesNothing) {
  auto path = (dir_ / "sock").string();
  auto server = create_at(path);
  ASSERT_TRUE(server.has_value());
  ASSERT_EQ(::unlink(path.c_str()), 0);
  std::ofstream(dir_ / "other") << "x";
  server = std::unexpected(Error::invalid_input());
  EXPECT_TRUE(std::filesystem::exists(dir_ / "other"));
}

class ServerLoop : public ServerFixture {};

TEST_F(ServerLoop, CloseEndsTheRunWithSuccess) {
  start();
  connect().close();
  EXPECT_TRUE(finish().has_value());
  EXPECT_EQ(log(), std::vector<std::string>{" INFO vfio_user: Connection closed"});
  // The file stays until the server is destroyed.
  EXPECT_TRUE(std::filesystem::exists(path_));
  server_.reset();
  EXPECT_FALSE(std::filesystem::exists(path_));
}

struct RefusedCase {
  std::uint16_t command;
  std::string message;
};

class RefusedCommand : public ServerFixture, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedCommand, GetsAnErrorReplyAndTheConnectionGoesOn) {
  start();
  auto client = connect();
  // A payload follows the header; it must be skipped, not taken as a header.
  std::uint8_t payload[24] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  ASSERT_TRUE(client.send(vfio_user_client::Client::frame(7, GetParam().command, payload)).has_value());
  auto reply = client.receive();
  ASSERT_TRUE(reply.has_value()) << reply.error();
  std::uint8_t bytes[16];
  reply->header.encode(bytes);
  std::uint8_t expected[16] = {7, 0, 0, 0, 16, 0, 0, 0, 0x21, 0, 0, 0, 0, 0, 0, 0};
  vfio_user::wire::store16(expected + 2, GetParam().command);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 16), std::vector<std::uint8_t>(expected, expected + 16));
  EXPECT_TRUE(reply->payload.empty());

  auto info = client.device_info();
  ASSERT_TRUE(info.has_value()) << info.error();
  EXPECT_EQ(info->num_regions, 9u);
  client.close();
  EXPECT_TRUE(finish().has_value());
  auto lines = log();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), fmt::format("ERROR vfio_user: Error handling command: {}: {}", GetParam().command,
                                       GetParam().message));
}

INSTANTIATE_TEST_SUITE_P(
    All, RefusedCommand,
    ::testing::Values(RefusedCase{0, "Unsupported command: Unknown"},
                      RefusedCase{6, "Unsupported command: GetRegionIoFds"},
                      RefusedCase{11, "Unsupported command: DmaRead"},
                      RefusedCase{12, "Unsupported command: DmaWrite"},
                      RefusedCase{14, "Unsupported command: UserDirtyPages"},
                      RefusedCase{15, "Unknown command: 15"}, RefusedCase{20, "Unknown command: 20"},
                      RefusedCase{0xffff, "Unknown command: 65535"}));

TEST_F(ServerLoop, DescriptorsOfARefusedRequestAreClosed) {
  start();
  auto client = connect();
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  int fds[3] = {pipe_fds[1], pipe_fds[1], pipe_fds[1]};
  ASSERT_TRUE(client.send(vfio_user_client::Client::frame(1, 6, {}), fds).has_value());
  ::close(pipe_fds[1]);
  auto reply = client.receive();
  ASSERT_TRUE(reply.has_value()) << reply.error();
  EXPECT_TRUE(reply->is_error());
  // Every copy of the write end is closed once the server is done with it.
  char byte;
  EXPECT_EQ(::read(pipe_fds[0], &byte, 1), 0);
  ::close(pipe_fds[0]);
}

TEST_F(ServerLoop, SeventeenDescriptorsEndTheRun) {
  start();
  auto client = connect();
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  std::vector<int> fds(17, pipe_fds[1]);
  ASSERT_TRUE(client.send(vfio_user_client::Client::frame(1, 4, std::vector<std::uint8_t>(16)), fds).has_value());
  ::close(pipe_fds[1]);
  auto result = finish();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), Error::Kind::ReceiveWithFd);
  EXPECT_EQ(result.error().errnum(), 105);
  EXPECT_EQ(result.error().debug(), "ReceiveWithFd(ENOBUFS)");
  EXPECT_TRUE(client.wait_closed());
  char byte;
  EXPECT_EQ(::read(pipe_fds[0], &byte, 1), 0);
  ::close(pipe_fds[0]);
}

TEST_F(ServerLoop, SixteenDescriptorsAreAccepted) {
  start();
  auto client = connect();
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  std::vector<int> fds(16, pipe_fds[1]);
  std::uint8_t payload[16] = {};
  ASSERT_TRUE(client.send(vfio_user_client::Client::frame(3, 4, payload), fds).has_value());
  ::close(pipe_fds[1]);
  auto reply = client.receive();
  ASSERT_TRUE(reply.has_value()) << reply.error();
  EXPECT_FALSE(reply->is_error());
  char byte;
  EXPECT_EQ(::read(pipe_fds[0], &byte, 1), 0);
  ::close(pipe_fds[0]);
}

TEST_F(ServerLoop, HeaderInPiecesIsCompleted) {
  start();
  auto client = connect();
  std::uint8_t payload[16] = {};
  auto bytes = vfio_user_client::Client::frame(9, 4, payload);
  ASSERT_TRUE(client.send(std::span(bytes).first(5)).has_value());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(client.send(std::span(bytes).subspan(5)).has_value());
  auto reply = client.receive();
  ASSERT_TRUE(reply.has_value()) << reply.error();
  EXPECT_EQ(reply->header.message_id, 9);
  EXPECT_FALSE(reply->is_error());
}

TEST_F(ServerLoop, StreamEndingInsideAHeaderIsAClose) {
  start();
  auto client = connect();
  std::uint8_t partial[7] = {1, 0, 4, 0, 32, 0, 0};
  ASSERT_TRUE(client.send(partial).has_value());
  client.close();
  EXPECT_TRUE(finish().has_value());
  EXPECT_EQ(log(), std::vector<std::string>{" INFO vfio_user: Connection closed"});
}

TEST_F(ServerLoop, StreamEndingInsideAPayloadGetsOneErrorReplyAttempt) {
  start();
  auto client = connect();
  auto bytes = vfio_user_client::Client::frame(2, 5, std::vector<std::uint8_t>(32));
  ASSERT_TRUE(client.send(std::span(bytes).first(20)).has_value());
  ::shutdown(client.fd(), SHUT_WR);
  auto reply = client.receive();
  ASSERT_TRUE(reply.has_value()) << reply.error();
  EXPECT_TRUE(reply->is_error());
  EXPECT_EQ(reply->header.error, 0u);
  EXPECT_TRUE(finish().has_value());
  auto lines = log();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "ERROR vfio_user: Error handling command: 5: Error reading from stream: failed to fill whole buffer");
  EXPECT_EQ(lines[1], " INFO vfio_user: Connection closed");
}

TEST_F(ServerLoop, RequestFlagsAndErrorFieldAreNotLookedAt) {
  start();
  auto client = connect();
  std::uint8_t payload[16] = {};
  auto bytes = vfio_user_client::Client::frame(4, 4, payload, vfio_user::FLAG_REPLY);
  vfio_user::wire::store32(bytes.data() + 12, 99);
  ASSERT_TRUE(client.send(bytes).has_value());
  auto reply = client.receive();
  ASSERT_TRUE(reply.has_value()) << reply.error();
  EXPECT_FALSE(reply->is_error());
  EXPECT_EQ(reply->header.flags, 1u);
  EXPECT_EQ(reply->header.error, 0u);
}

}  // namespace
}  // namespace zephon_test

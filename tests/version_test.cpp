// The Version handshake over a real socket: the reply bytes, the logged
// capabilities and the refusals.
#include <unistd.h>

#include "server_fixture.h"
#include "vfio_user/wire.h"

namespace zephon_test {
namespace {

using vfio_user::Command;
using vfio_user_client::Client;
namespace wire = vfio_user::wire;

std::string server_text() {
  return fmt::format(R"({{"capabilities":{{"max_msg_fds":1,"max_data_xfer_size":1048576,"migration":{{"pgsize":{}}}}}}})",
                     ::sysconf(_SC_PAGESIZE));
}

std::string caps_debug(unsigned fds, unsigned xfer, long pgsize) {
  return fmt::format(
      "Capabilities {{ max_msg_fds: {}, max_data_xfer_size: {}, migration: MigrationCapabilities {{ pgsize: {} }} }}",
      fds, xfer, pgsize);
}

std::vector<std::uint8_t> version_payload(std::string_view text, bool nul = true) {
  std::vector<std::uint8_t> p(4 + text.size() + (nul ? 1 : 0));
  wire::store16(p.data(), 1);
  wire::store16(p.data() + 2, 2);
  std::copy(text.begin(), text.end(), p.begin() + 4);
  return p;
}

class Version : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    start();
  }
};

TEST_F(Version, AcceptedRequestGetsTheExactReply) {
  auto client = connect();
  auto reply = client.call(Command::Version, version_payload(R"({"capabilities":{}})"));
  ASSERT_TRUE(reply.has_value()) << reply.error();
  const std::string text = server_text();
  EXPECT_EQ(reply->header.message_size, 16 + 4 + text.size() + 1);
  if (::sysconf(_SC_PAGESIZE) == 4096) {
    EXPECT_EQ(reply->header.message_size, 112u);
    EXPECT_EQ(text.size(), 91u);
  }
  EXPECT_EQ(reply->header.flags, 1u);
  EXPECT_EQ(reply->header.error, 0u);
  ASSERT_EQ(reply->payload.size(), 4 + text.size() + 1);
  EXPECT_EQ(wire::load16(reply->payload.data()), 0u);
  EXPECT_EQ(wire::load16(reply->payload.data() + 2), 0u);
  EXPECT_EQ(std::string(reply->payload.begin() + 4, reply->payload.end() - 1), text);
  EXPECT_EQ(reply->payload.back(), 0u);
  client.close();
  ASSERT_TRUE(finish().has_value());
  const long page = ::sysconf(_SC_PAGESIZE);
  auto lines = log();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], " INFO vfio_user: Received client version: major = 1 minor = 2 capabilities = " +
                          caps_debug(1, 1048576, page));
  EXPECT_EQ(lines[1], " INFO vfio_user: Sent server version: major = 0 minor = 0 capabilities = " +
                          caps_debug(1, 1048576, page));
}

TEST_F(Version, ClientValuesAreLogged) {
  auto client = connect();
  auto reply = client.call(
      Command::Version,
      version_payload(R"({"capabilities":{"max_msg_fds":8,"max_data_xfer_size":65536,"migration":{"pgsize":65536}}})"));
  ASSERT_TRUE(reply.has_value()) << reply.error();
  EXPECT_EQ(log().at(0), " INFO vfio_user: Received client version: major = 1 minor = 2 capabilities = " +
                             caps_debug(8, 65536, 65536));
}

struct Refused {
  std::string text;
  std::string logged;
};

class RefusedCapabilities : public Version, public ::testing::WithParamInterface<Refused> {};

TEST_P(RefusedCapabilities, AreLoggedAndAnsweredWithErrorZero) {
  auto client = connect();
  auto sent = client.send(Client::frame(4, 1, version_payload(GetParam().text)));
  ASSERT_TRUE(sent.has_value());
  auto reply = client.receive();
  ASSERT_TRUE(reply.has_value()) << reply.error();
  EXPECT_TRUE(reply->is_error());
  EXPECT_EQ(reply->header.error, 0u);
  EXPECT_EQ(log().at(0), "ERROR vfio_user: Error handling command: 1: Error deserializing capabilities: " +
                             GetParam().logged);
  EXPECT_TRUE(client.device_info().has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RefusedCapabilities,
    ::testing::Values(Refused{R"({"capabilities":{"migration":{}}})", "missing field `pgsize` at line 1 column 31"},
                      Refused{"{}", "missing field `capabilities` at line 1 column 2"},
                      Refused{R"({"capabilities":{}}x)", "trailing characters at line 1 column 20"}));

class InvalidVersion : public Version, public ::testing::WithParamInterface<std::vector<std::uint8_t>> {};

TEST_P(InvalidVersion, IsInvalidInputAndSkipped) {
  auto client = connect();
  const auto& payload = GetParam();
  ASSERT_TRUE(client.send(Client::frame(6, 1, payload)).has_value());
  auto reply = client.receive();
  ASSERT_TRUE(reply.has_value()) << reply.error();
  EXPECT_TRUE(reply->is_error());
  EXPECT_EQ(reply->header.error, 22u);
  auto info = client.device_info();
  ASSERT_TRUE(info.has_value()) << info.error();
  EXPECT_EQ(info->num_irqs, 5u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, InvalidVersion,
                         ::testing::Values(std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{1, 0, 0, 0},
                                           version_payload("{}", false), version_payload(std::string("{}\0{}", 5))));

TEST_F(Version, InvalidUtf8InAnIgnoredKeyIsAccepted) {
  auto client = connect();
  std::string text = "{\"capabilities\":{},\"x\":\"\xff\xfe\"}";
  auto reply = client.call(Command::Version, version_payload(text));
  ASSERT_TRUE(reply.has_value()) << reply.error();
}

}  // namespace
}  // namespace zephon_test

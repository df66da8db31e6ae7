// A hostile client against the real zephon binary: 16 and 17 descriptors on
// every command, and descriptors where none belong. Sixteen are handed on or
// closed; seventeen end the run with the whole dump written.
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "hostile_client.h"
#include "hostile_messages.h"
#include "vfio_user/message.h"
#include "vfio_user/wire.h"

namespace zephon_test {
namespace {

namespace wire = vfio_user::wire;
using vfio_user_client::Client;

// ---------------------------------------------------------------------------
// 16 and 17 descriptors on every command number.

struct AnyCommand {
  std::string name;
  std::uint16_t code;
  std::vector<std::uint8_t> payload;
  std::optional<std::uint32_t> errnum;  // with 16 descriptors
  std::uint32_t reply_size;
  bool resets;
};
void PrintTo(const AnyCommand& c, std::ostream* out) { *out << c.name; }

std::vector<AnyCommand> every_command() {
  std::vector<AnyCommand> out;
  for (const CommandShape& c : served_commands()) {
    // DmaMap takes at most one descriptor.
    out.push_back({c.name, c.code, c.payload, c.code == 2 ? std::optional<std::uint32_t>(22) : std::nullopt,
                   c.reply_size, c.resets});
  }
  const std::vector<std::uint8_t> junk = fields({{0x0123456789abcdef, 8}, {0xfedcba98, 4}});
  for (std::uint16_t code : {0, 6, 11, 12, 14, 15, 0xffff}) {
    out.push_back({fmt::format("Refused{}", code), code, junk, 0u, 16, false});
  }
  return out;
}

class Descriptors : public HostileClient, public ::testing::WithParamInterface<AnyCommand> {};

TEST_P(Descriptors, SixteenAreHandedOnOrClosed) {
  const AnyCommand& c = GetParam();
  send(message(c.code, c.payload), repeated(pipe_[0], 16));
  expect_reply(kCaseId, c.code, c.errnum, c.reply_size);
  if (c.resets) mark_cleared();
  expect_serving();
}

TEST_P(Descriptors, SeventeenEndTheRunWithReceiveWithFd) {
  const AnyCommand& c = GetParam();
  send(message(c.code, c.payload), repeated(pipe_[0], 17));
  expect_end(101, std::string(kTooManyDescriptors));
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, Descriptors, ::testing::ValuesIn(every_command()),
                         [](const ::testing::TestParamInfo<AnyCommand>& info) { return info.param.name; });

// Descriptors on requests that take none, and on requests that are refused
// after their descriptors arrived: all closed, none kept.

struct StrayCase {
  std::string name;
  std::vector<std::uint8_t> bytes;  // the whole request, id kCaseId
  std::size_t fd_count;
  std::optional<std::uint32_t> errnum;
  std::uint32_t reply_size;  // 0: no reply at all
};
void PrintTo(const StrayCase& c, std::ostream* out) { *out << c.name; }

std::vector<StrayCase> stray_cases() {
  std::vector<StrayCase> out;
  for (const CommandShape& c : served_commands()) {
    if (c.code == 2 || c.code == 8 || c.code == 13) continue;  // those take descriptors, or reset
    for (std::size_t n : {1, 3}) {
      out.push_back({fmt::format("{}_{}", c.name, n), message(c.code, c.payload), n, std::nullopt, c.reply_size});
    }
  }
  const std::string bad_json = R"({"capabilities":{"max_msg_fds":-1}})";
  std::vector<std::uint8_t> bad_version = fields({{0, 2}, {0, 2}});
  bad_version.insert(bad_version.end(), bad_json.begin(), bad_json.end());
  bad_version.push_back(0);
  out.push_back({"VersionRejectedText", message(1, bad_version), 2, 0u, 16});
  out.push_back({"VersionNoReply", message(1, version_payload(19), kNoReply), 2, 0u, 16});
  out.push_back({"RegionReadNoReply", message(9, access(0, 2, 4), kNoReply), 2, 0u, 16});
  out.push_back({"RegionReadBadRegion", region_read_index(9), 1, 22u, 16});
  out.push_back({"RegionWriteBadRegionWithData", message(10, write_access(0, 9, 7)), 2, 22u, 16});
  out.push_back({"RegionWriteNoReply", message(10, write_access(0x300, 2, 7), kNoReply), 2,
                 std::nullopt, 0});
  out.push_back({"DeviceGetInfoNoReply", message(4, encoded(vfio_user::DeviceInfo{}), kNoReply), 1, 0u, 16});
  out.push_back({"ConfigReadRefusedShape", message(9, access(1, 7, 2)), 3, 0u, 16});
  out.push_back({"DmaMapTwo", message(2, served_command("DmaMap").payload), 2, 22u, 16});
  out.push_back({"DmaMapOneNoReply", message(2, served_command("DmaMap").payload, kNoReply), 1, std::nullopt, 0});
  out.push_back({"DmaUnmapTrailing", message(3, encoded(vfio_user::DmaUnmap{}, fields({{0xdead, 8}}))), 2,
                 std::nullopt, 40});
  out.push_back({"SetIrqsBoolData", message(8, irq_set(0x22, 1, 0, 2)), 2, 0u, 16});
  out.push_back({"SetIrqsBadIndex", set_irqs_index(5), 2, 22u, 16});
  out.push_back({"SetIrqsNoReply", message(8, served_command("SetIrqs").payload, kNoReply), 3, std::nullopt, 0});
  out.push_back({"UnknownCommandWithPayload", message(20, fields({{1, 8}, {2, 8}})), 3, 0u, 16});
  out.push_back({"GetRegionIoFds", message(6, fields({{32, 4}, {0, 4}, {2, 4}, {0, 4}})), 1, 0u, 16});
  return out;
}

class StrayDescriptors : public HostileClient, public ::testing::WithParamInterface<StrayCase> {};

TEST_P(StrayDescriptors, AreAllClosed) {
  const StrayCase& c = GetParam();
  send(c.bytes, repeated(pipe_[0], c.fd_count));
  const std::uint16_t code = wire::load16(c.bytes.data() + 2);
  if (c.reply_size != 0) expect_reply(kCaseId, code, c.errnum, c.reply_size);
  // A request answered with no reply shows its effect on the next one.
  expect_serving();
}

INSTANTIATE_TEST_SUITE_P(Requests, StrayDescriptors, ::testing::ValuesIn(stray_cases()),
                         [](const ::testing::TestParamInfo<StrayCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zephon_test

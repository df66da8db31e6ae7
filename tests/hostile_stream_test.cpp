// A buggy or hostile client against the real zephon binary, in how it
// frames its messages: payloads cut short, the stream cut at every byte,
// message sizes at and past their bounds. Every case ends with the server
// still answering correct requests with no descriptor left open, or ending
// its run the way the client's behaviour must end it, with the whole
// register dump written.
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
// Truncated payloads: every command, every payload length short of complete,
// the header announcing the complete message or only what was sent; then the
// client stops sending. The server answers with one error reply and ends its
// run normally at the next header.

enum class Announced { Complete, WhatWasSent };

struct TruncatedCase {
  CommandShape command;
  std::size_t length;
  Announced announced;
};
void PrintTo(const TruncatedCase& c, std::ostream* out) {
  *out << c.command.name << " with " << c.length << " payload bytes";
}

std::vector<TruncatedCase> truncated_cases() {
  std::vector<TruncatedCase> out;
  for (const CommandShape& command : served_commands()) {
    for (std::size_t k = 0; k < command.payload.size(); ++k) {
      out.push_back({command, k, Announced::Complete});
      out.push_back({command, k, Announced::WhatWasSent});
    }
  }
  return out;
}

class TruncatedPayload : public HostileClient, public ::testing::WithParamInterface<TruncatedCase> {};

TEST_P(TruncatedPayload, GetsOneErrorReplyAndTheRunEndsNormally) {
  const TruncatedCase& c = GetParam();
  const auto whole = message(c.command.code, c.command.payload);
  std::vector<std::uint8_t> bytes(whole.begin(), whole.begin() + 16 + static_cast<std::ptrdiff_t>(c.length));
  if (c.announced == Announced::WhatWasSent) wire::store32(bytes.data() + 4, static_cast<std::uint32_t>(bytes.size()));
  send(bytes);
  half_close();
  // A Version that announces no more than it sent is refused for its size or
  // for a text without its NUL, before the stream's end is met.
  const bool refused = c.command.code == 1 && c.announced == Announced::WhatWasSent;
  expect_reply(kCaseId, c.command.code, refused ? 22u : 0u);
  expect_end(0, std::string(kConnectionClosed));
  EXPECT_NE(process_->err().find(error_line(c.command.code, refused ? "Invalid input" : kStreamEnded)),
            std::string::npos)
      << process_->err();
}

INSTANTIATE_TEST_SUITE_P(EveryLength, TruncatedPayload, ::testing::ValuesIn(truncated_cases()),
                         [](const ::testing::TestParamInfo<TruncatedCase>& info) {
                           return fmt::format("{}_{}_{}", info.param.command.name, info.param.length,
                                              info.param.announced == Announced::Complete ? "AnnouncedWhole"
                                                                                          : "AnnouncedAsSent");
                         });

// ---------------------------------------------------------------------------
// The stream cut inside a header: the server has no request to answer and
// ends its run normally.

struct CutCase {
  CommandShape command;
  std::size_t at;
};
void PrintTo(const CutCase& c, std::ostream* out) { *out << c.command.name << " cut at " << c.at; }

std::vector<CutCase> header_cut_cases() {
  std::vector<CutCase> out;
  for (const CommandShape& command : served_commands()) {
    for (std::size_t at = 1; at < vfio_user::kHeaderSize; ++at) out.push_back({command, at});
  }
  return out;
}

class CutInHeader : public HostileClient, public ::testing::WithParamInterface<CutCase> {};

TEST_P(CutInHeader, EndsTheRunNormallyWithoutAReply) {
  const auto whole = message(GetParam().command.code, GetParam().command.payload);
  send(std::vector<std::uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(GetParam().at)),
       repeated(pipe_[0], 2));
  half_close();
  expect_end(0, std::string(kConnectionClosed));
  EXPECT_EQ(process_->err().find("ERROR"), std::string::npos) << process_->err();
}

INSTANTIATE_TEST_SUITE_P(EveryByte, CutInHeader, ::testing::ValuesIn(header_cut_cases()),
                         [](const ::testing::TestParamInfo<CutCase>& info) {
                           return fmt::format("{}_{}", info.param.command.name, info.param.at);
                         });

// The client goes away entirely in the middle of a payload: the error reply
// cannot be written, which ends the run with StreamWrite.
class ClosedMidPayload : public HostileClient, public ::testing::WithParamInterface<CommandShape> {};

TEST_P(ClosedMidPayload, EndsTheRunWithStreamWriteAndTheDumpWritten) {
  const auto whole = message(GetParam().code, GetParam().payload);
  send(std::vector<std::uint8_t>(whole.begin(), whole.begin() + 16 + static_cast<std::ptrdiff_t>(
                                                                         GetParam().payload.size() / 2)));
  client().close();
  auto exited = process_->wait();
  ASSERT_TRUE(exited.has_value());
  EXPECT_EQ(*exited, 101);
  const std::string err = process_->err();
  EXPECT_NE(err.find(error_line(GetParam().code, kStreamEnded)), std::string::npos) << err;
  EXPECT_NE(err.find("\nserver exited with an error: StreamWrite(Os { code: 32, kind: BrokenPipe"), std::string::npos)
      << err;
  const std::string dump = process_->out();
  ASSERT_EQ(dump.size(), kDumpBytes);
  EXPECT_EQ(wire::load32(reinterpret_cast<const std::uint8_t*>(dump.data()) + kMarkOffset), kMark);
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

std::vector<CommandShape> commands_with_payload() {
  std::vector<CommandShape> out;
  for (auto& c : served_commands()) {
    if (!c.payload.empty()) out.push_back(c);
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Commands, ClosedMidPayload, ::testing::ValuesIn(commands_with_payload()), shape_name);

// Every message cut at every byte, the rest sent after a pause: the pieces
// make one request, answered as if it had come whole, and the descriptors
// sent with the first piece are handed on or closed as usual.
class CutAndResumed : public HostileClient, public ::testing::WithParamInterface<CommandShape> {};

TEST_P(CutAndResumed, AtEveryByteIsServedAsOneRequest) {
  const CommandShape& c = GetParam();
  // DmaMap takes one descriptor and SetIrqs any number; the others close them.
  const std::size_t fd_count = c.code == 2 ? 1 : 3;
  for (std::size_t at = 1; at < 16 + c.payload.size(); ++at) {
    SCOPED_TRACE(fmt::format("cut at {}", at));
    const auto whole = message(c.code, c.payload, 0, std::nullopt, static_cast<std::uint16_t>(at));
    send(std::vector<std::uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(at)),
         repeated(pipe_[0], fd_count));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    send(std::vector<std::uint8_t>(whole.begin() + static_cast<std::ptrdiff_t>(at), whole.end()));
    expect_reply(static_cast<std::uint16_t>(at), c.code, std::nullopt, c.reply_size);
    if (HasFailure()) return;
  }
  if (c.resets) mark_cleared();
  expect_serving();
}

INSTANTIATE_TEST_SUITE_P(Commands, CutAndResumed, ::testing::ValuesIn(served_commands()), shape_name);

// ---------------------------------------------------------------------------
// message_size at 0, 1, the largest message the server takes, one more, and
// 0xFFFFFFFF. The client sends what the header announces (the command's
// payload, then filler), except for 0xFFFFFFFF, after whose reply it stops:
// the server waits for the announced bytes and ends normally at the close.


struct SizeCase {
  CommandShape command;
  std::uint32_t size;
  std::string label;
};
void PrintTo(const SizeCase& c, std::ostream* out) { *out << c.command.name << " of size " << c.size; }

std::vector<SizeCase> size_cases() {
  std::vector<SizeCase> out;
  for (const CommandShape& command : served_commands()) {
    // For Version the bound is the largest text it takes.
    const std::uint32_t bound = command.code == 1 ? 20 + kMaxTransfer : kLargestMessage;
    out.push_back({command, 0, "Zero"});
    out.push_back({command, 1, "One"});
    out.push_back({command, bound, "Bound"});
    out.push_back({command, bound + 1, "BoundPlusOne"});
    out.push_back({command, 0xFFFFFFFF, "Max"});
  }
  return out;
}

class MessageSize : public HostileClient, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(MessageSize, IsServedSkippedOrWaitedFor) {
  const SizeCase& c = GetParam();
  const std::uint16_t code = c.command.code;
  if (code == 1) {
    // Version: a size that leaves no room for the text's NUL, or a text
    // above the bound, is refused before a byte of the text is reserved,
    // and what was announced is skipped.
    if (c.size <= 20) {
      send(message(code, {}, 0, c.size));
      expect_reply(kCaseId, code, 22u);
    } else if (c.size == 0xFFFFFFFF) {
      send(message(code, c.command.payload, 0, c.size));
      expect_reply(kCaseId, code, 22u);
    } else {
      send(message(code, version_payload(c.size - 21)));
      if (c.size - 20 <= kMaxTransfer) {
        expect_reply(kCaseId, code, std::nullopt, c.command.reply_size);
      } else {
        expect_reply(kCaseId, code, 22u);
      }
    }
  } else {
    std::vector<std::uint8_t> bytes = message(code, c.command.payload, 0, c.size);
    if (c.size != 0xFFFFFFFF && c.size > bytes.size()) bytes.resize(c.size, 0);
    send(bytes);
    expect_reply(kCaseId, code, std::nullopt, c.command.reply_size);
    if (c.command.resets) mark_cleared();
  }
  if (c.size == 0xFFFFFFFF) {
    half_close();
    expect_end(0, std::string(kConnectionClosed));
  } else {
    expect_serving();
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MessageSize, ::testing::ValuesIn(size_cases()),
                         [](const ::testing::TestParamInfo<SizeCase>& info) {
                           return info.param.command.name + "_" + info.param.label;
                         });

// A request whose header announces more than its fields use is answered as
// soon as its fields are in, and the surplus is skipped when it comes: a
// RegionWrite, the same carrying descriptors (closed with the reply, not
// held until the surplus), and the same right behind a Version, both taken
// in one receive.

enum class SurplusForm { Write, WriteWithDescriptors, WriteAfterVersion };

class Surplus : public HostileClient, public ::testing::WithParamInterface<SurplusForm> {};

TEST_P(Surplus, IsAnsweredBeforeTheSurplusComes) {
  constexpr std::size_t kSurplus = 64;
  const CommandShape write = served_command("RegionWrite");
  const CommandShape version = served_command("Version");
  std::vector<std::uint8_t> bytes;
  if (GetParam() == SurplusForm::WriteAfterVersion) bytes = message(1, version.payload, 0, std::nullopt, kCaseId - 1);
  const auto misframed = message(10, write.payload, 0, 16 + write.payload.size() + kSurplus);
  bytes.insert(bytes.end(), misframed.begin(), misframed.end());
  send(bytes, GetParam() == SurplusForm::WriteWithDescriptors ? repeated(pipe_[0], 3) : std::vector<int>{});

  if (GetParam() == SurplusForm::WriteAfterVersion) expect_reply(kCaseId - 1, 1, std::nullopt, version.reply_size);
  expect_reply(kCaseId, 10, std::nullopt, write.reply_size);
  // The server now waits for the surplus, holding nothing the request
  // carried: it closes the descriptors right after the reply, so they are
  // looked for (up to 5 s) until that has happened.
  for (int i = 0; i < 5000 && open_descriptors(pid()) != baseline_fds_; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(open_descriptors(pid()), baseline_fds_);
  send(std::vector<std::uint8_t>(kSurplus, 0xee));
  auto written = client().read32(2, 0x200);
  ASSERT_TRUE(written.has_value()) << written.error();
  EXPECT_EQ(*written, 0xabcd0123u);
  expect_serving();
}

std::string surplus_name(const ::testing::TestParamInfo<SurplusForm>& info) {
  constexpr const char* kNames[] = {"Write", "WriteWithDescriptors", "WriteAfterVersion"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Forms, Surplus,
                         ::testing::Values(SurplusForm::Write, SurplusForm::WriteWithDescriptors,
                                           SurplusForm::WriteAfterVersion),
                         surplus_name);

// A Version announcing 4 GiB with the whole 4 GiB never coming: refused at
// once, and the server is still there to answer when the client has sent
// what it meant to skip.
TEST_F(HostileClient, VersionOfFourGibAnnouncedIsRefusedWithoutReservingIt) {
  send(message(1, version_payload(100), 0, 0xFFFFFFFF));
  expect_reply(kCaseId, 1, 22u);
  // The server is now discarding what the header announced; RSS must not
  // have moved by anything like the announced size.
  EXPECT_LT(peak_rss_kib(pid()), 512u * 1024u);
  half_close();
  expect_end(0, std::string(kConnectionClosed));
  EXPECT_NE(process_->err().find(error_line(1, "Invalid input")), std::string::npos);
}

}  // namespace
}  // namespace zephon_test

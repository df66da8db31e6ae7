// A buggy or hostile client against the real zephon binary: truncated and cut
// messages, sizes and counts at and past their bounds, too many descriptors
// and descriptors where none belong, a burst of requests whose replies are
// read only afterwards, and clients that hold the server when a termination
// signal comes. Every case ends with the server either still answering
// correct requests with no descriptor left open, or ending its run the way the
// client's behaviour (or the signal) must end it, with the whole register dump
// written. The server's peak resident memory is measured and printed.
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
#include "vfio_user/message.h"
#include "vfio_user/wire.h"

namespace zephon_test {
namespace {

namespace wire = vfio_user::wire;
using vfio_user_client::Client;

constexpr std::uint32_t kNoReply = vfio_user::FLAG_NO_REPLY;
constexpr std::uint16_t kCaseId = 0x4242;
constexpr std::string_view kConnectionClosed = "INFO vfio_user: Connection closed";
constexpr std::string_view kTooManyDescriptors = "\nserver exited with an error: ReceiveWithFd(ENOBUFS)\n";

std::vector<std::uint8_t> message(std::uint16_t code, std::span<const std::uint8_t> payload, std::uint32_t flags = 0,
                                  std::optional<std::uint32_t> size = std::nullopt, std::uint16_t id = kCaseId) {
  return Client::frame(id, code, payload, flags, size);
}

std::vector<std::uint8_t> fields(std::initializer_list<std::pair<std::uint64_t, int>> values) {
  std::vector<std::uint8_t> out;
  for (auto [value, width] : values) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
  return out;
}

std::string error_line(std::uint16_t code, std::string_view message) {
  return fmt::format("ERROR vfio_user: Error handling command: {}: {}", code, message);
}

const std::string kStreamEnded = "Error reading from stream: failed to fill whole buffer";

// A capabilities text of exactly `length` bytes (its NUL not counted): the
// accepted object padded with spaces, which JSON allows after a value.
std::vector<std::uint8_t> version_payload(std::size_t length) {
  std::vector<std::uint8_t> out = fields({{0, 2}, {1, 2}});
  const std::string text = R"({"capabilities":{}})";
  out.insert(out.end(), text.begin(), text.end());
  out.resize(4 + length, ' ');
  out.push_back(0);
  return out;
}

std::string shape_name(const ::testing::TestParamInfo<CommandShape>& info) { return info.param.name; }

// Descriptors the cases send: one end of a pipe, repeated.
std::vector<int> repeated(int fd, std::size_t n) { return std::vector<int>(n, fd); }

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

constexpr std::uint32_t kLargestMessage = 16 + 16 + kMaxTransfer;  // a RegionWrite of the largest count

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

// ---------------------------------------------------------------------------
// Counts and indices at 0, 1, their bound, one past it and 0xFFFFFFFF.

struct CountCase {
  std::string name;
  std::uint16_t code;
  // Returns the whole message carrying value (id kCaseId).
  std::vector<std::uint8_t> (*build)(std::uint32_t value);
  // Returns the reply expected: an error number, or nullopt and its size.
  std::pair<std::optional<std::uint32_t>, std::uint32_t> (*expect)(std::uint32_t value);
  std::uint32_t bound;
};

std::vector<std::uint8_t> region_read_count(std::uint32_t count) {
  return message(9, fields({{0, 8}, {6, 4}, {count, 4}}));
}
std::vector<std::uint8_t> region_write_count(std::uint32_t count) {
  // Data comes with a count the server may take, or one past it (which the
  // server must skip); 4 GiB of data is not sent.
  std::vector<std::uint8_t> payload = fields({{0, 8}, {0, 4}, {count, 4}});
  if (count <= kMaxTransfer + 1) payload.resize(16 + count, 0x5a);
  return message(10, payload);
}
std::vector<std::uint8_t> region_read_index(std::uint32_t index) {
  return message(9, fields({{0, 8}, {index, 4}, {4, 4}}));
}
std::vector<std::uint8_t> region_write_index(std::uint32_t index) {
  // Offset 0x40 of every region: the mark is elsewhere, and a write to the
  // configuration space there is masked off.
  return message(10, fields({{0x40, 8}, {index, 4}, {4, 4}, {0, 4}}));
}
std::vector<std::uint8_t> region_info_index(std::uint32_t index) {
  return message(5, fields({{32, 4}, {0, 4}, {index, 4}, {0, 4}, {0, 8}, {0, 8}}));
}
std::vector<std::uint8_t> region_info_argsz(std::uint32_t argsz) {
  return message(5, fields({{argsz, 4}, {0, 4}, {2, 4}, {0, 4}, {0, 8}, {0, 8}}));
}
std::vector<std::uint8_t> irq_info_index(std::uint32_t index) {
  return message(7, fields({{16, 4}, {0, 4}, {index, 4}, {0, 4}}));
}
std::vector<std::uint8_t> set_irqs_index(std::uint32_t index) {
  return message(8, fields({{20, 4}, {0x21, 4}, {index, 4}, {0, 4}, {0, 4}}));
}
std::vector<std::uint8_t> set_irqs_count(std::uint32_t count) {
  return message(8, fields({{20, 4}, {0x21, 4}, {1, 4}, {count, 4}, {count, 4}}));
}
std::vector<std::uint8_t> dma_map_size(std::uint32_t size) {
  return message(2, fields({{32, 4}, {3, 4}, {size, 8}, {size, 8}, {size, 8}}));
}
std::vector<std::uint8_t> dma_unmap_size(std::uint32_t size) {
  return message(3, fields({{size, 4}, {size, 4}, {size, 8}, {size, 8}}));
}

std::pair<std::optional<std::uint32_t>, std::uint32_t> read_reply(std::uint32_t count) {
  if (count > kMaxTransfer) return {22u, 16};
  return {std::nullopt, 32 + count};
}
std::pair<std::optional<std::uint32_t>, std::uint32_t> write_reply(std::uint32_t count) {
  if (count > kMaxTransfer) return {22u, 16};
  return {std::nullopt, 32};
}
std::pair<std::optional<std::uint32_t>, std::uint32_t> region_index_read_reply(std::uint32_t index) {
  if (index > 8) return {22u, 16};
  return {std::nullopt, 36};
}
std::pair<std::optional<std::uint32_t>, std::uint32_t> region_index_write_reply(std::uint32_t index) {
  if (index > 8) return {22u, 16};
  return {std::nullopt, 32};
}
std::pair<std::optional<std::uint32_t>, std::uint32_t> region_info_reply(std::uint32_t index) {
  if (index > 8) return {22u, 16};
  return {std::nullopt, 48};
}
std::pair<std::optional<std::uint32_t>, std::uint32_t> region_info_any(std::uint32_t) { return {std::nullopt, 48}; }
std::pair<std::optional<std::uint32_t>, std::uint32_t> irq_info_reply(std::uint32_t index) {
  if (index > 4) return {22u, 16};
  return {std::nullopt, 32};
}
std::pair<std::optional<std::uint32_t>, std::uint32_t> set_irqs_reply(std::uint32_t index) {
  if (index > 4) return {22u, 16};
  return {std::nullopt, 16};
}
std::pair<std::optional<std::uint32_t>, std::uint32_t> always_16(std::uint32_t) { return {std::nullopt, 16}; }
std::pair<std::optional<std::uint32_t>, std::uint32_t> always_40(std::uint32_t) { return {std::nullopt, 40}; }

const CountCase kCountFields[] = {
    {"RegionReadCount", 9, region_read_count, read_reply, kMaxTransfer},
    {"RegionWriteCount", 10, region_write_count, write_reply, kMaxTransfer},
    {"RegionReadIndex", 9, region_read_index, region_index_read_reply, 8},
    {"RegionWriteIndex", 10, region_write_index, region_index_write_reply, 8},
    {"RegionInfoIndex", 5, region_info_index, region_info_reply, 8},
    {"RegionInfoArgsz", 5, region_info_argsz, region_info_any, 32},
    {"IrqInfoIndex", 7, irq_info_index, irq_info_reply, 4},
    {"SetIrqsIndex", 8, set_irqs_index, set_irqs_reply, 4},
    {"SetIrqsCount", 8, set_irqs_count, always_16, kMaxTransfer},
    {"DmaMapSize", 2, dma_map_size, always_16, kMaxTransfer},
    {"DmaUnmapSize", 3, dma_unmap_size, always_40, 24},
};

struct CountValueCase {
  CountCase field;
  std::uint32_t value;
  std::string label;
};
void PrintTo(const CountValueCase& c, std::ostream* out) { *out << c.field.name << " " << c.value; }

std::vector<CountValueCase> count_cases() {
  std::vector<CountValueCase> out;
  for (const CountCase& field : kCountFields) {
    out.push_back({field, 0, "Zero"});
    out.push_back({field, 1, "One"});
    out.push_back({field, field.bound, "Bound"});
    out.push_back({field, field.bound + 1, "BoundPlusOne"});
    out.push_back({field, 0xFFFFFFFF, "Max"});
  }
  return out;
}

class CountField : public HostileClient, public ::testing::WithParamInterface<CountValueCase> {};

TEST_P(CountField, IsServedOrRefusedAndTheServerGoesOn) {
  const CountValueCase& c = GetParam();
  send(c.field.build(c.value));
  auto [errnum, size] = c.field.expect(c.value);
  auto reply = expect_reply(kCaseId, c.field.code, errnum, size);
  if (c.field.code == 9 && !errnum && c.field.name == "RegionReadCount" && c.value >= 2) {
    // The ROM image, then zeros past its end.
    ASSERT_EQ(reply.payload.size(), 16u + c.value);
    EXPECT_EQ(reply.payload[16], 0x55);
    EXPECT_EQ(reply.payload[17], 0xaa);
    if (c.value > 4096) {
      EXPECT_EQ(reply.payload.back(), 0);
    }
  }
  expect_serving();
}

INSTANTIATE_TEST_SUITE_P(Values, CountField, ::testing::ValuesIn(count_cases()),
                         [](const ::testing::TestParamInfo<CountValueCase>& info) {
                           return info.param.field.name + "_" + info.param.label;
                         });

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
  out.push_back({"RegionReadNoReply", message(9, fields({{0, 8}, {2, 4}, {4, 4}}), kNoReply), 2, 0u, 16});
  out.push_back({"RegionReadBadRegion", region_read_index(9), 1, 22u, 16});
  out.push_back({"RegionWriteBadRegionWithData", message(10, fields({{0, 8}, {9, 4}, {4, 4}, {7, 4}})), 2, 22u, 16});
  out.push_back({"RegionWriteNoReply", message(10, fields({{0x300, 8}, {2, 4}, {4, 4}, {7, 4}}), kNoReply), 2,
                 std::nullopt, 0});
  out.push_back({"DeviceGetInfoNoReply", message(4, fields({{16, 4}, {0, 4}, {0, 4}, {0, 4}}), kNoReply), 1, 0u, 16});
  out.push_back({"ConfigReadRefusedShape", message(9, fields({{1, 8}, {7, 4}, {2, 4}})), 3, 0u, 16});
  out.push_back({"DmaMapTwo", message(2, served_command("DmaMap").payload), 2, 22u, 16});
  out.push_back({"DmaMapOneNoReply", message(2, served_command("DmaMap").payload, kNoReply), 1, std::nullopt, 0});
  out.push_back({"DmaUnmapTrailing", message(3, fields({{24, 4}, {0, 4}, {0, 8}, {0, 8}, {0xdead, 8}})), 2,
                 std::nullopt, 40});
  out.push_back({"SetIrqsBoolData", message(8, fields({{20, 4}, {0x22, 4}, {1, 4}, {0, 4}, {2, 4}})), 2, 0u, 16});
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

// ---------------------------------------------------------------------------
// Thousands of requests in one burst, replies read only afterwards.

TEST_F(HostileClient, BurstOfThousandsIsAnsweredInOrder) {
  constexpr int kPairs = 2500;  // a write then a read of the same register
  const int room = 1 << 20;
  ::setsockopt(client().fd(), SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  std::vector<std::uint8_t> burst;
  for (int i = 0; i < kPairs; ++i) {
    const std::uint64_t offset = 0x400 + 4 * static_cast<std::uint64_t>(i % 256);
    auto write = message(10, fields({{offset, 8}, {2, 4}, {4, 4}, {0x10000u + i, 4}}), 0, std::nullopt,
                         static_cast<std::uint16_t>(2 * i));
    auto read = message(9, fields({{offset, 8}, {2, 4}, {4, 4}}), 0, std::nullopt,
                        static_cast<std::uint16_t>(2 * i + 1));
    burst.insert(burst.end(), write.begin(), write.end());
    burst.insert(burst.end(), read.begin(), read.end());
  }
  send(burst);
  for (int i = 0; i < kPairs; ++i) {
    expect_reply(static_cast<std::uint16_t>(2 * i), 10, std::nullopt, 32);
    auto read = expect_reply(static_cast<std::uint16_t>(2 * i + 1), 9, std::nullopt, 36);
    ASSERT_EQ(read.payload.size(), 20u);
    ASSERT_EQ(wire::load32(read.payload.data() + 16), 0x10000u + i);
  }
  expect_serving();
}

// A client can hold the server: by not reading its replies, which leaves the
// server blocked writing one, or by announcing more than it sends, which
// leaves it waiting to discard the rest. A termination signal must still end
// the run with the dump written: the recording would otherwise be lost to the
// SIGKILL that follows.
class HeldServer : public HostileClient, public ::testing::WithParamInterface<int> {
 protected:
  void expect_stopped() {
    process_->signal(GetParam());
    auto exited = process_->wait(std::chrono::seconds(10));
    ASSERT_TRUE(exited.has_value()) << "the server did not end after the signal";
    EXPECT_EQ(*exited, 128 + GetParam());
    const std::string err = process_->err();
    EXPECT_NE(err.find(fmt::format("stopped by SIG{}", ::sigabbrev_np(GetParam()))), std::string::npos) << err;
    const std::string dump = process_->out();
    ASSERT_EQ(dump.size(), kDumpBytes);
    EXPECT_EQ(wire::load32(reinterpret_cast<const std::uint8_t*>(dump.data()) + kMarkOffset), kMark);
    EXPECT_FALSE(std::filesystem::exists(socket_));
  }
};

TEST_P(HeldServer, ByAClientThatStoppedReadingStillStopsOnASignal) {
  // A reply far larger than the socket can hold, never read.
  send(message(9, fields({{0, 8}, {6, 4}, {kMaxTransfer, 4}})));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  expect_stopped();
}

TEST_P(HeldServer, ByAFourGibAnnouncementStillStopsOnASignal) {
  send(message(1, version_payload(100), 0, 0xFFFFFFFF));
  expect_reply(kCaseId, 1, 22u);
  expect_stopped();
}

INSTANTIATE_TEST_SUITE_P(Signals, HeldServer, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string("SIG") + ::sigabbrev_np(info.param);
                         });

// ---------------------------------------------------------------------------
// Memory: the server's peak resident size does not grow with the number of
// requests, nor with what hostile requests announce.

// AddressSanitizer keeps freed memory in quarantine, which would show as
// growth that the program itself does not have: the server under test is
// started without it. Other children keep the caller's options.
class Memory : public HostileClient {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    const char* old = std::getenv("ASAN_OPTIONS");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("ASAN_OPTIONS",
             ((saved ? *saved + ":" : std::string()) + "quarantine_size_mb=0:thread_local_quarantine_size_kb=0").c_str(),
             1);
    HostileClient::SetUp();
    if (saved) {
      ::setenv("ASAN_OPTIONS", saved->c_str(), 1);
    } else {
      ::unsetenv("ASAN_OPTIONS");
    }
#else
    HostileClient::SetUp();
#endif
  }

  // Sends n requests in batches, replies read after each batch. Every 64th
  // request touches BAR 2 (and so the log); the rest read BAR 0 and the
  // configuration space.
  void run_requests(int n) {
    constexpr int kBatch = 1000;
    std::vector<std::uint8_t> batch;
    for (int done = 0; done < n; done += kBatch) {
      batch.clear();
      const int count = std::min(kBatch, n - done);
      for (int i = 0; i < count; ++i) {
        const auto id = static_cast<std::uint16_t>(i);
        const int k = done + i;
        std::vector<std::uint8_t> m;
        if (k % 64 == 0) {
          m = message(10, fields({{0x800, 8}, {2, 4}, {4, 4}, {static_cast<std::uint64_t>(k), 4}}), 0, std::nullopt, id);
        } else if (k % 2 == 0) {
          m = message(9, fields({{static_cast<std::uint64_t>(k % 64) * 4, 8}, {7, 4}, {4, 4}}), 0, std::nullopt, id);
        } else {
          m = message(9, fields({{static_cast<std::uint64_t>(k) * 8, 8}, {0, 4}, {8, 4}}), 0, std::nullopt, id);
        }
        batch.insert(batch.end(), m.begin(), m.end());
      }
      send(batch);
      for (int i = 0; i < count; ++i) {
        auto reply = client().receive();
        ASSERT_TRUE(reply.has_value()) << reply.error();
        ASSERT_EQ(reply->header.message_id, static_cast<std::uint16_t>(i));
        ASSERT_EQ(reply->header.flags, vfio_user::FLAG_REPLY);
      }
    }
  }

  void report(const std::string& what, std::uint64_t before, std::uint64_t after) {
    const std::string line =
        fmt::format("{}: server peak RSS {} KiB before, {} KiB after ({:+} KiB)", what, before, after,
                    static_cast<std::int64_t>(after) - static_cast<std::int64_t>(before));
    std::cout << line << std::endl;
    RecordProperty("peak_rss", line);
  }
};

TEST_F(Memory, PeakRssIsFlatOverAMillionRequests) {
  run_requests(20000);
  const std::uint64_t before = peak_rss_kib(pid());
  const auto start = std::chrono::steady_clock::now();
  run_requests(1000000);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::uint64_t after = peak_rss_kib(pid());
  report(fmt::format("1000000 requests in {:.1f} s", seconds), before, after);
  EXPECT_LE(after, before + 2048) << "peak RSS grew by more than 2 MiB over a million requests";
  expect_serving();
}

TEST_F(Memory, PeakRssIsFlatUnderHostileRequests) {
  // One round of everything the hostile cases do that makes the server read,
  // reserve or skip much: the largest accepted transfers and text, counts and
  // sizes past the bounds, refused commands with payloads, descriptors.
  auto round = [&] {
    send(message(9, fields({{0, 8}, {6, 4}, {kMaxTransfer, 4}})));
    expect_reply(kCaseId, 9, std::nullopt, 32 + kMaxTransfer);
    send(region_write_count(kMaxTransfer));
    expect_reply(kCaseId, 10, std::nullopt, 32);
    send(region_write_count(kMaxTransfer + 1));
    expect_reply(kCaseId, 10, 22u);
    send(message(9, fields({{0, 8}, {6, 4}, {0xFFFFFFFF, 4}})));
    expect_reply(kCaseId, 9, 22u);
    send(message(1, version_payload(kMaxTransfer - 1)));
    expect_reply(kCaseId, 1, std::nullopt, served_command("Version").reply_size);
    send(message(1, version_payload(kMaxTransfer)));
    expect_reply(kCaseId, 1, 22u);
    std::vector<std::uint8_t> skipped = message(6, {}, 0, kLargestMessage);
    skipped.resize(kLargestMessage, 0xee);
    send(skipped, repeated(pipe_[0], 16));
    expect_reply(kCaseId, 6, 0u);
    send(message(8, served_command("SetIrqs").payload), repeated(pipe_[0], 16));
    expect_reply(kCaseId, 8, std::nullopt, 16);
  };
  const std::uint64_t start = peak_rss_kib(pid());
  round();
  const std::uint64_t after_one = peak_rss_kib(pid());
  for (int i = 0; i < 20; ++i) round();
  const std::uint64_t after_many = peak_rss_kib(pid());
  report("one round of hostile requests", start, after_one);
  report("twenty more rounds", after_one, after_many);
  // One round reserves what the largest accepted request needs; repeating
  // it must not add to that.
  EXPECT_LE(after_one, start + 8192);
  EXPECT_LE(after_many, after_one + 1024);
  expect_serving();
}

}  // namespace
}  // namespace zephon_test

// The messages and log texts the hostile-client tests build and expect:
// framed requests with any header fields, payloads packed field by field,
// the server's error lines, and Version payloads of any length.
#ifndef ZEPHON_TESTS_HOSTILE_MESSAGES_H_
#define ZEPHON_TESTS_HOSTILE_MESSAGES_H_

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client.h"
#include "hostile_client.h"
#include "vfio_user/message.h"
#include "vfio_user/payloads.h"

namespace zephon_test {

inline constexpr std::uint32_t kNoReply = vfio_user::FLAG_NO_REPLY;
inline constexpr std::uint16_t kCaseId = 0x4242;
inline constexpr std::string_view kConnectionClosed = "INFO vfio_user: Connection closed";
inline constexpr std::string_view kTooManyDescriptors = "\nserver exited with an error: ReceiveWithFd(ENOBUFS)\n";

// Returns a request framed as the client frames it, with any header fields.
inline std::vector<std::uint8_t> message(std::uint16_t code, std::span<const std::uint8_t> payload,
                                         std::uint32_t flags = 0, std::optional<std::uint32_t> size = std::nullopt,
                                         std::uint16_t id = kCaseId) {
  return vfio_user_client::Client::frame(id, code, payload, flags, size);
}

// Returns the values packed little-endian, each in its width of bytes.
inline std::vector<std::uint8_t> fields(std::initializer_list<std::pair<std::uint64_t, int>> values) {
  std::vector<std::uint8_t> out;
  for (auto [value, width] : values) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
  return out;
}

// Returns a payload's bytes followed by data: well-formed requests are built
// with the library's codecs, only malformed ones field by field.
template <typename Payload>
std::vector<std::uint8_t> encoded(const Payload& payload, std::span<const std::uint8_t> data = {}) {
  std::vector<std::uint8_t> out(Payload::kSize + data.size());
  payload.encode(std::span(out).template first<Payload::kSize>());
  std::ranges::copy(data, out.begin() + Payload::kSize);
  return out;
}

// Returns a region access payload without data.
inline std::vector<std::uint8_t> access(std::uint64_t offset, std::uint32_t region, std::uint32_t count) {
  return encoded(vfio_user::RegionAccess{.offset = offset, .region = region, .count = count});
}

// Returns the payload of a 4-byte RegionWrite of value.
inline std::vector<std::uint8_t> write_access(std::uint64_t offset, std::uint32_t region, std::uint32_t value) {
  return encoded(vfio_user::RegionAccess{.offset = offset, .region = region, .count = 4}, fields({{value, 4}}));
}

// Returns a SetIrqs payload.
inline std::vector<std::uint8_t> irq_set(std::uint32_t flags, std::uint32_t index, std::uint32_t start,
                                         std::uint32_t count) {
  return encoded(vfio_user::IrqSet{
      .argsz = vfio_user::IrqSet::kSize, .flags = flags, .index = index, .start = start, .count = count});
}

// Returns the log line of a refused request.
inline std::string error_line(std::uint16_t code, std::string_view message) {
  return fmt::format("ERROR vfio_user: Error handling command: {}: {}", code, message);
}

inline const std::string kStreamEnded = "Error reading from stream: failed to fill whole buffer";

// A capabilities text of exactly `length` bytes (its NUL not counted): the
// accepted object padded with spaces, which JSON allows after a value.
inline std::vector<std::uint8_t> version_payload(std::size_t length) {
  std::vector<std::uint8_t> out = fields({{0, 2}, {1, 2}});
  const std::string text = R"({"capabilities":{}})";
  out.insert(out.end(), text.begin(), text.end());
  out.resize(4 + length, ' ');
  out.push_back(0);
  return out;
}

// The size of a RegionWrite of the largest count.
inline constexpr std::uint32_t kLargestMessage = vfio_user::kHeaderSize + vfio_user::RegionAccess::kSize + kMaxTransfer;

// Returns a RegionWrite of count bytes at offset 0 of BAR 0. Data comes with
// a count the server may take, or one past it (which the server must skip);
// 4 GiB of data is not sent.
inline std::vector<std::uint8_t> region_write_count(std::uint32_t count) {
  std::vector<std::uint8_t> payload = access(0, 0, count);
  if (count <= kMaxTransfer + 1) payload.resize(vfio_user::RegionAccess::kSize + count, 0x5a);
  return message(10, payload);
}

// Returns a 4-byte RegionRead at offset 0 of region index.
inline std::vector<std::uint8_t> region_read_index(std::uint32_t index) {
  return message(9, access(0, index, 4));
}

// Returns a SetIrqs (no data, trigger) of no vectors at interrupt index.
inline std::vector<std::uint8_t> set_irqs_index(std::uint32_t index) {
  return message(8, irq_set(0x21, index, 0, 0));
}

// Returns the test name of a command case.
inline std::string shape_name(const ::testing::TestParamInfo<CommandShape>& info) { return info.param.name; }

// Descriptors the cases send: one end of a pipe, repeated.
inline std::vector<int> repeated(int fd, std::size_t n) { return std::vector<int>(n, fd); }

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_HOSTILE_MESSAGES_H_

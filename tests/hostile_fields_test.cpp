// A hostile client against the real zephon binary: counts, sizes and indices
// of every command at 0, 1, their bound, one past it and 0xFFFFFFFF. Each is
// served or refused, and the server goes on serving.
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
  return message(9, access(0, VFIO_PCI_ROM_REGION_INDEX, count));
}
std::vector<std::uint8_t> region_write_index(std::uint32_t index) {
  // Offset 0x40 of every region: the mark is elsewhere, and a write to the
  // configuration space there is masked off.
  return message(10, write_access(0x40, index, 0));
}
std::vector<std::uint8_t> region_info_index(std::uint32_t index) {
  return message(5, encoded(vfio_user::RegionInfo{.argsz = 32, .flags = 0, .index = index, .cap_offset = 0,
                                                  .size = 0, .offset = 0}));
}
std::vector<std::uint8_t> region_info_argsz(std::uint32_t argsz) {
  return message(5, encoded(vfio_user::RegionInfo{.argsz = argsz, .flags = 0, .index = 2, .cap_offset = 0,
                                                  .size = 0, .offset = 0}));
}
std::vector<std::uint8_t> irq_info_index(std::uint32_t index) {
  return message(7, encoded(vfio_user::IrqInfo{.argsz = 16, .flags = 0, .index = index, .count = 0}));
}
std::vector<std::uint8_t> set_irqs_count(std::uint32_t count) {
  return message(8, irq_set(0x21, 1, count, count));
}
std::vector<std::uint8_t> dma_map_size(std::uint32_t size) {
  return message(2, encoded(vfio_user::DmaMap{.argsz = 32, .flags = 3, .offset = size, .address = size, .size = size}));
}
std::vector<std::uint8_t> dma_unmap_size(std::uint32_t size) {
  return message(3, encoded(vfio_user::DmaUnmap{.argsz = size, .flags = size, .address = size, .size = size}));
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

}  // namespace
}  // namespace zephon_test

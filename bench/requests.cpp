#include "requests.h"

namespace zephon_bench {

namespace {

using vfio_user_client::Client;

constexpr std::uint32_t kRegionBar0 = 0;
constexpr std::uint32_t kRegionBar2 = 2;
constexpr std::uint32_t kRegionRom = 6;
constexpr std::uint32_t kRegionConfig = 7;
constexpr std::uint64_t kBar2Registers = 65536;

struct OpName {
  Op op;
  std::string_view name;  // as --drive takes it
};
constexpr OpName kOpNames[] = {
    {Op::ConfigRead, "config-read"}, {Op::Bar2Read, "bar2-read"},  {Op::Bar2Write, "bar2-write"},
    {Op::PostedWrite, "bar2-posted-write"}, {Op::Bar0Read, "bar0-read"}, {Op::RomRead, "rom-read"},
};

}  // namespace

std::optional<Op> op_named(std::string_view name) {
  for (const auto& o : kOpNames) {
    if (o.name == name) return o.op;
  }
  return std::nullopt;
}

std::expected<void, std::string> issue(Client& client, Op op, std::uint64_t i, Buffers& b) {
  const std::uint64_t reg_offset = 4 * (i % kBar2Registers);
  switch (op) {
    case Op::ConfigRead: return client.region_read_into(kRegionConfig, 0, b.word);
    case Op::Bar2Read: return client.region_read_into(kRegionBar2, reg_offset, b.word);
    case Op::Bar0Read: return client.region_read_into(kRegionBar0, reg_offset, b.word);
    case Op::RomRead: return client.region_read_into(kRegionRom, 0, b.rom);
    case Op::Bar2Write:
    case Op::PostedWrite: {
      std::array<std::uint8_t, 4> value{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8),
                                        static_cast<std::uint8_t>(i >> 16), 0x5a};
      return client.region_write_from(kRegionBar2, reg_offset, value, op == Op::PostedWrite);
    }
  }
  return std::unexpected("unknown request kind");
}

std::expected<void, std::string> sync(Client& client, Buffers& b) {
  return client.region_read_into(kRegionBar2, 0, b.word);
}

}  // namespace zephon_bench

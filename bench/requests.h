// The kinds of request the benchmark sends, and how one is sent through the
// project's client: each a single round trip, except a posted write, which
// is only sent (a later read shows it was handled).
#ifndef ZEPHON_BENCH_REQUESTS_H_
#define ZEPHON_BENCH_REQUESTS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client.h"

namespace zephon_bench {

// A ROM read asks for this many bytes; the benchmark's ROM image has as many.
inline constexpr std::size_t kRomRead = 64 * 1024;

enum class Op { ConfigRead, Bar2Read, Bar2Write, PostedWrite, Bar0Read, RomRead };

// Returns the kind of the name --drive takes, if there is one.
std::optional<Op> op_named(std::string_view name);

// Buffers of the requests, made once so the timed loops allocate nothing.
struct Buffers {
  std::array<std::uint8_t, 4> word{};
  std::vector<std::uint8_t> rom = std::vector<std::uint8_t>(kRomRead);
};

// Returns success after request number i of the kind (posted writes are only
// sent; their stream is closed by sync()).
std::expected<void, std::string> issue(vfio_user_client::Client& client, Op op, std::uint64_t i, Buffers& b);

// Returns success once everything sent before has been handled: one read,
// which the server answers only after the posted writes ahead of it.
std::expected<void, std::string> sync(vfio_user_client::Client& client, Buffers& b);

}  // namespace zephon_bench

#endif  // ZEPHON_BENCH_REQUESTS_H_

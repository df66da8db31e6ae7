// Capabilities exchanged in the Version handshake, their JSON text and the
// rules under which a client's text is accepted.
//
// Contract: parse_capabilities() never throws and never recurses on the
// input's nesting; it accepts exactly the object form
// {"capabilities":{"max_msg_fds":N,"max_data_xfer_size":N,"migration":{"pgsize":N}}}
// with absent keys defaulted, unknown keys skipped, and reports a refusal as
// a JsonError whose position is 1-based line and column.
#ifndef VFIO_USER_CAPABILITIES_H_
#define VFIO_USER_CAPABILITIES_H_

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "vfio_user/error.h"
#include "vfio_user/limits.h"
#include "vfio_user/utf8.h"

namespace vfio_user {

struct MigrationCapabilities {
  std::uint32_t pgsize = 0;
};

struct Capabilities {
  std::uint32_t max_msg_fds = 1;
  std::uint32_t max_data_xfer_size = kMaxDataTransfer;
  MigrationCapabilities migration;
};

// Returns the defaults, with pgsize the given page size.
Capabilities default_capabilities(std::uint32_t page_size);

// Returns the capabilities of a client's text (valid UTF-8, NUL removed), or
// why it is refused. Absent keys take the defaults for page_size.
std::expected<Capabilities, JsonError> parse_capabilities(std::string_view text, std::uint32_t page_size);

// Returns the compact JSON text, keys in the order shown above.
std::string capabilities_json(const Capabilities& caps);

// Returns `Capabilities { max_msg_fds: A, max_data_xfer_size: B, migration: MigrationCapabilities { pgsize: C } }`.
std::string capabilities_debug(const Capabilities& caps);

}  // namespace vfio_user

#endif  // VFIO_USER_CAPABILITIES_H_

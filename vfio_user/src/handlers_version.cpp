// Version: the handshake. The client's version and capabilities are logged,
// never kept; the server answers with its own.
#include <sys/uio.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <vector>

#include "capabilities.h"
#include "handlers.h"
#include "vfio_user/log.h"

namespace vfio_user {

namespace {

constexpr std::string_view kTarget = "vfio_user";
constexpr std::uint32_t kVersionFixed = kHeaderSize + 4;
constexpr std::uint16_t kServerMajor = 0;
constexpr std::uint16_t kServerMinor = 0;

std::uint32_t page_size() {
  long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::uint32_t>(size) : 4096;
}

void log_info(const std::string& message) {
  if (log::enabled(log::Level::Info)) log::sink()->write(log::Level::Info, kTarget, message);
}

}  // namespace

HandlerResult handle_version(Request& request) {
  if (auto r = refuse_no_reply(request, Command::Version); !r) return r;
  // The text must be at least its NUL and at most what the server takes in
  // one message; anything else is refused before a byte of it is reserved,
  // and what the client sent is skipped as a whole.
  const std::uint32_t size = request.header.message_size;
  if (size <= kVersionFixed || size - kVersionFixed > kMaxDataTransfer) {
    return std::unexpected(Error::invalid_input());
  }
  std::uint8_t version[4];
  if (auto r = read_payload(request, version); !r) return r;
  std::vector<std::uint8_t> raw(size - kVersionFixed);
  if (auto r = read_payload(request, raw); !r) return r;
  if (raw.back() != 0 || std::find(raw.begin(), raw.end() - 1, 0) != raw.end() - 1) {
    return std::unexpected(Error::invalid_input());
  }
  const std::string text =
      replace_invalid_utf8(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size() - 1));
  const std::uint32_t pgsize = page_size();
  auto client = parse_capabilities(text, pgsize);
  if (!client) return std::unexpected(Error::deserialize_capabilities(std::move(client.error())));
  if (log::enabled(log::Level::Info)) {
    log_info(fmt::format("Received client version: major = {} minor = {} capabilities = {}", wire::load16(version),
                         wire::load16(version + 2), capabilities_debug(*client)));
  }

  const Capabilities server = default_capabilities(pgsize);
  std::string reply_text = capabilities_json(server);
  reply_text.push_back('\0');
  std::uint8_t fixed[kVersionFixed];
  encode_reply_header(request.header, static_cast<std::uint32_t>(kVersionFixed + reply_text.size()), fixed);
  wire::store16(fixed + kHeaderSize, kServerMajor);
  wire::store16(fixed + kHeaderSize + 2, kServerMinor);
  iovec pieces[2] = {{fixed, sizeof fixed}, {reply_text.data(), reply_text.size()}};
  if (auto w = request.connection.write_vectored(pieces); !w) return std::unexpected(Error::stream_write(w.error()));
  if (log::enabled(log::Level::Info)) {
    log_info(fmt::format("Sent server version: major = {} minor = {} capabilities = {}", kServerMajor, kServerMinor,
                         capabilities_debug(server)));
  }
  return {};
}

}  // namespace vfio_user

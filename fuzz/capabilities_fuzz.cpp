// Fuzz target: the capabilities parser, given whatever text a client's
// Version message can carry, as the Version handler hands it over (invalid
// UTF-8 replaced first).
//
// The run aborts (a finding) when the repaired text is not valid UTF-8, when
// the UTF-8 check and the repair disagree about a text, when
// an accepted text is not JSON at all, when the server's own text for the
// parsed values does not parse back to them, or when a refusal points outside
// the text.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "capabilities.h"
#include "finding.h"
#include "vfio_user/utf8.h"

namespace {

using zephon_fuzz::finding;

constexpr std::uint32_t kPageSize = 4096;

bool same(const vfio_user::Capabilities& a, const vfio_user::Capabilities& b) {
  return a.max_msg_fds == b.max_msg_fds && a.max_data_xfer_size == b.max_data_xfer_size &&
         a.migration.pgsize == b.migration.pgsize;
}

bool valid_utf8(std::string_view text) {
  return text == vfio_user::replace_invalid_utf8(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  // The handler cuts the text at its NUL; the parser never sees one.
  const std::string_view before_nul = raw.substr(0, raw.find('\0'));
  const std::string text = vfio_user::replace_invalid_utf8(before_nul);
  if (!valid_utf8(text)) finding("the repaired text is not valid UTF-8");
  if (vfio_user::is_valid_utf8(before_nul) != valid_utf8(before_nul)) {
    finding("the UTF-8 check and the repair disagree");
  }

  auto parsed = vfio_user::parse_capabilities(text, kPageSize);
  if (parsed) {
    if (!nlohmann::json::accept(text)) finding("a text that is not JSON was accepted");
    const std::string own = vfio_user::capabilities_json(*parsed);
    auto again = vfio_user::parse_capabilities(own, kPageSize);
    if (!again || !same(*again, *parsed)) finding("the server's own text does not parse back");
  } else {
    const vfio_user::JsonError& error = parsed.error();
    if (error.message.empty()) finding("a refusal without a message");
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n';
    if (error.line < 1 || error.line > lines) finding("a refusal on a line the text does not have");
    if (error.display().empty() || error.debug().empty()) finding("a refusal that cannot be shown");
  }
  return 0;
}

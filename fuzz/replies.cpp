#include "replies.h"

#include "finding.h"
#include "vfio_user/limits.h"
#include "vfio_user/message.h"

namespace zephon_fuzz {

void check_replies(std::span<const std::uint8_t> sent) {
  while (!sent.empty()) {
    if (sent.size() < vfio_user::kHeaderSize) finding("a reply cut short in its header");
    const auto header = vfio_user::MessageHeader::decode(sent.data());
    const bool error = header.flags == (vfio_user::FLAG_REPLY | vfio_user::FLAG_ERROR);
    if (header.flags != vfio_user::FLAG_REPLY && !error) finding("a message that is not a reply");
    if (header.message_size < vfio_user::kHeaderSize) finding("a reply shorter than its header");
    if (error && header.message_size != vfio_user::kHeaderSize) finding("an error reply with a payload");
    if (!error && header.error != 0) finding("a successful reply with an error number");
    // The largest reply is a RegionRead of the largest accepted count.
    if (header.message_size > 2 * vfio_user::kHeaderSize + vfio_user::kMaxDataTransfer) {
      finding("a reply larger than any request can ask for");
    }
    if (header.message_size > sent.size()) finding("a reply cut short");
    sent = sent.subspan(header.message_size);
  }
}

}  // namespace zephon_fuzz

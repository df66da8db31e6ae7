// MessageHeader is the 16-byte header that starts every vfio-user message,
// with the flag bits and the two reply forms the server sends: the reply
// header of a successful request and the 16-byte error reply.
#ifndef VFIO_USER_MESSAGE_H_
#define VFIO_USER_MESSAGE_H_

#include <array>
#include <cstdint>

#include "vfio_user/wire.h"

namespace vfio_user {

inline constexpr std::uint32_t FLAG_REPLY = 0x1;
inline constexpr std::uint32_t FLAG_NO_REPLY = 0x10;
inline constexpr std::uint32_t FLAG_ERROR = 0x20;

inline constexpr std::size_t kHeaderSize = 16;

struct MessageHeader {
  std::uint16_t message_id = 0;
  std::uint16_t command = 0;
  std::uint32_t message_size = 0;
  std::uint32_t flags = 0;
  std::uint32_t error = 0;

  // Returns whether the client asked for no reply.
  bool no_reply() const { return (flags & FLAG_NO_REPLY) != 0; }

  // Returns the header held in the 16 bytes at p.
  static MessageHeader decode(const std::uint8_t* p) {
    return MessageHeader{wire::load16(p), wire::load16(p + 2), wire::load32(p + 4), wire::load32(p + 8),
                         wire::load32(p + 12)};
  }
  // Writes the 16 bytes of this header at p.
  void encode(std::uint8_t* p) const {
    wire::store16(p, message_id);
    wire::store16(p + 2, command);
    wire::store32(p + 4, message_size);
    wire::store32(p + 8, flags);
    wire::store32(p + 12, error);
  }
};

// Writes at p the header of a successful reply of `size` bytes in all.
inline void encode_reply_header(const MessageHeader& request, std::uint32_t size, std::uint8_t* p) {
  MessageHeader{request.message_id, request.command, size, FLAG_REPLY, 0}.encode(p);
}

// Returns the error reply to request: its id and command, size 16, flags
// FLAG_REPLY | FLAG_ERROR and the error number.
inline std::array<std::uint8_t, kHeaderSize> error_reply(const MessageHeader& request, std::uint32_t errnum) {
  std::array<std::uint8_t, kHeaderSize> out{};
  MessageHeader{request.message_id, request.command, kHeaderSize, FLAG_REPLY | FLAG_ERROR, errnum}.encode(out.data());
  return out;
}

}  // namespace vfio_user

#endif  // VFIO_USER_MESSAGE_H_

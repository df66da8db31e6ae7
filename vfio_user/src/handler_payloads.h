// Reading a request's fixed payload as its decoded type, for the handlers.
//
// Contract: exactly the payload's fixed size is read from the request, no
// more; a payload cut short by the stream is StreamRead, as for any read.
#ifndef VFIO_USER_HANDLER_PAYLOADS_H_
#define VFIO_USER_HANDLER_PAYLOADS_H_

#include <array>
#include <expected>

#include "handlers.h"
#include "vfio_user/payloads.h"

namespace vfio_user {

// Returns the payload of type Payload read whole from the request.
template <typename Payload>
std::expected<Payload, Error> read_payload_as(Request& request) {
  std::array<std::uint8_t, Payload::kSize> bytes;
  if (auto r = read_payload(request, bytes); !r) return std::unexpected(r.error());
  // Exactly kSize bytes were read, so the decoder has all it needs.
  return *Payload::decode(bytes);
}

}  // namespace vfio_user

#endif  // VFIO_USER_HANDLER_PAYLOADS_H_

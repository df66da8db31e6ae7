// What connection_fuzz expects of everything the server sends: a sequence of
// well-formed replies, whole.
//
// Contract: check_replies() returns only if the bytes pass; otherwise it
// reports a finding, which aborts.
#ifndef ZEPHON_FUZZ_REPLIES_H_
#define ZEPHON_FUZZ_REPLIES_H_

#include <cstdint>
#include <span>

namespace zephon_fuzz {

// Checks that sent is replies back to back: each flagged as a reply (or an
// error reply with no payload), sized within what any request can ask for,
// and the last one whole.
void check_replies(std::span<const std::uint8_t> sent);

}  // namespace zephon_fuzz

#endif  // ZEPHON_FUZZ_REPLIES_H_

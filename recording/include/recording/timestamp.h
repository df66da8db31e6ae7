// TimestampParser turns the log's "YYYY-MM-DDTHH:MM:SS.ffffffZ" timestamps
// into microseconds since the Unix epoch.
//
// Contract: accepts exactly that form (27 characters, UTC, fields in range;
// a leap second 60 is accepted) and nothing else. Consecutive lines of a log
// mostly share their second, so the part up to the seconds is remembered and
// only re-parsed when it changes.
#ifndef RECORDING_TIMESTAMP_H_
#define RECORDING_TIMESTAMP_H_

#include <fmt/format.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace zephon_trace {

// The length of a log timestamp.
inline constexpr std::size_t kTimestampSize = 27;

class TimestampParser {
 public:
  // Returns microseconds since the epoch, or nullopt when text is not a
  // timestamp of the log's form.
  std::optional<std::int64_t> parse(std::string_view text);

 private:
  char cached_[19] = {};          // the date and time to the second last parsed
  std::int64_t cached_seconds_ = 0;
  bool have_cache_ = false;
};

// Returns whether a timestamp text is a zephon log's UTC one, not an
// mmiotrace's seconds since boot.
inline bool is_utc_timestamp(std::string_view text) { return text.size() == kTimestampSize && text.back() == 'Z'; }

// Returns nothing; appends a span of microseconds as seconds with six
// decimals ("12.000345", "-0.000010").
void append_seconds(fmt::memory_buffer& out, std::int64_t micros);

}  // namespace zephon_trace

#endif  // RECORDING_TIMESTAMP_H_

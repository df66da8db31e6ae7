#include "recording/timestamp.h"

#include <fmt/compile.h>

#include <cstring>

namespace zephon_trace {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Returns the value of n decimal digits at text, or -1 if one is not a digit.
int digits(const char* text, int n) {
  int value = 0;
  for (int i = 0; i < n; ++i) {
    if (!is_digit(text[i])) return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// Returns the seconds since the epoch of "YYYY-MM-DDTHH:MM:SS", or nullopt.
std::optional<std::int64_t> parse_seconds(const char* t) {
  if (t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':') return std::nullopt;
  const int year = digits(t, 4), month = digits(t + 5, 2), day = digits(t + 8, 2);
  const int hour = digits(t + 11, 2), minute = digits(t + 14, 2), second = digits(t + 17, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return std::nullopt;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) return std::nullopt;
  return days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
         hour * 3600 + minute * 60 + second;
}

}  // namespace

std::optional<std::int64_t> TimestampParser::parse(std::string_view text) {
  if (text.size() != kTimestampSize || text[19] != '.' || text[26] != 'Z') return std::nullopt;
  const int micros = digits(text.data() + 20, 6);
  if (micros < 0) return std::nullopt;
  if (!have_cache_ || std::memcmp(cached_, text.data(), sizeof cached_) != 0) {
    auto seconds = parse_seconds(text.data());
    if (!seconds) return std::nullopt;
    std::memcpy(cached_, text.data(), sizeof cached_);
    cached_seconds_ = *seconds;
    have_cache_ = true;
  }
  return cached_seconds_ * 1000000 + micros;
}

void append_seconds(fmt::memory_buffer& out, std::int64_t micros) {
  const bool negative = micros < 0;
  const std::uint64_t magnitude =
      negative ? static_cast<std::uint64_t>(-(micros + 1)) + 1 : static_cast<std::uint64_t>(micros);
  fmt::format_to(fmt::appender(out), FMT_COMPILE("{}{}.{:06}"), negative ? "-" : "", magnitude / 1000000,
                 magnitude % 1000000);
}

}  // namespace zephon_trace

// Small pieces that every part of the benchmark shares: its clock, how it
// reports a failure, and how it prints a rate.
#ifndef ZEPHON_BENCH_BENCH_UTIL_H_
#define ZEPHON_BENCH_BENCH_UTIL_H_

#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace zephon_bench {

using Clock = std::chrono::steady_clock;

// Returns the seconds gone since start.
inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Returns status after printing message on standard error.
inline int failure(std::string_view message, int status = 1) {
  fmt::print(stderr, "zephon_bench: {}\n", message);
  return status;
}

// Returns v rounded, its thousands set apart with commas.
inline std::string fmt_rate(double v) {
  const std::string digits = fmt::format("{:.0f}", v);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

}  // namespace zephon_bench

#endif  // ZEPHON_BENCH_BENCH_UTIL_H_

// Small pieces that every part of the benchmark shares: its clock, how it
// reports a failure, how it prints a rate, and how it keeps to one CPU.
#ifndef ZEPHON_BENCH_BENCH_UTIL_H_
#define ZEPHON_BENCH_BENCH_UTIL_H_

#include <sched.h>

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

// Returns the highest CPU this process may run on, after moving to it (and
// so every server it starts); -1 when it could not.
inline int pin_to_last_cpu() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return -1;
  int last = -1;
  for (int c = 0; c < CPU_SETSIZE; ++c) {
    if (CPU_ISSET(c, &set)) last = c;
  }
  CPU_ZERO(&set);
  CPU_SET(last, &set);
  return ::sched_setaffinity(0, sizeof set, &set) == 0 ? last : -1;
}

}  // namespace zephon_bench

#endif  // ZEPHON_BENCH_BENCH_UTIL_H_

// The comparison table: each request kind against zephon (its log to a file
// and to /dev/null), the reference server and the framed reference, in
// paired repetitions with fresh processes, printed as markdown with medians,
// the ratios, the targets and a bar chart.
#ifndef ZEPHON_BENCH_TABLE_H_
#define ZEPHON_BENCH_TABLE_H_

#include <cstddef>

namespace zephon_bench {

struct TableOptions {
  // Short measurements (some 20 ms) and many repetitions: on a shared
  // machine the two halves of a pair then see the same conditions, and a
  // disturbance spoils a few pairs, which the median leaves out.
  std::size_t requests = 2'000;
  std::size_t rom_requests = 500;
  std::size_t stream = 10'000;
  std::size_t repetitions = 61;
  // The CPU that the client and every server share; -1 lets the scheduler
  // place them. Sharing one CPU is the default because on an idle virtual
  // machine the scheduler's placement decides the result: a server woken on
  // the other, halted vCPU pays tens of microseconds to be woken, and which
  // server happens to get that placement swamps the difference being
  // measured (ratios from 0.5 to 4 were seen). On one CPU a round trip is
  // two context switches plus what each server does, and that is compared.
  int cpu = -2;  // -2: the highest CPU this process may run on
};


// Returns the exit status: 0 when every target is met and zephon's log
// holds a line for every BAR 2 access, 3 when not, 1 on a failure.
int run_table(const TableOptions& options);

}  // namespace zephon_bench

#endif  // ZEPHON_BENCH_TABLE_H_

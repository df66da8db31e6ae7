// compare: where recording B departs from recording A. The two recordings'
// steps (Recording: the guest's accesses, identical reads in a row as one)
// are aligned in order; the first step that differs (another place, width,
// direction or value, or one recording ending first) is the divergence.
// Beside it, each register's reads are compared on their own, in order, a
// value repeated in a row counted once: registers whose reads differ, and
// registers only one recording touched, are listed.
//
// Contract: compare() holds, per recording, one entry per register place
// touched and its distinct read values in a row; write_comparison() prints
// the report and the verdict line last. Places are ordered by first access,
// A's first.
#ifndef ZEPHON_TRACE_COMPARE_H_
#define ZEPHON_TRACE_COMPARE_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "names.h"
#include "output.h"
#include "recording.h"

namespace zephon_trace {

// A register place (index, byte, width of a Step) whose reads differ.
struct ReadDifference {
  Step place;
  std::uint64_t reads_a = 0, reads_b = 0;       // reads, each one counted
  std::uint64_t differ = 0;                     // positions of the compared reads that differ
  std::optional<std::uint64_t> first_a, first_b;  // the values at the first such position
};

// A register place only one recording touched.
struct OneSided {
  char side = 'A';
  Step place;
  std::uint64_t reads = 0, writes = 0;
};

struct Comparison {
  std::optional<std::size_t> divergence;  // 0-based step, when the sequences differ
  std::vector<ReadDifference> reads;
  std::vector<OneSided> one_sided;
};

// Returns how B departs from A.
Comparison compare(const Recording& a, const Recording& b);

struct CompareReport {
  std::string_view a_name, b_name;        // what the recordings are called
  const RegisterNames* names = nullptr;   // not owned; null for none
  std::size_t context = 3;                // steps shown before and after the divergence
};

// Returns nothing; prints the comparison, its verdict on the last line.
void write_comparison(Output& out, const Recording& a, const Recording& b, const Comparison& result,
                      const CompareReport& report);

}  // namespace zephon_trace

#endif  // ZEPHON_TRACE_COMPARE_H_

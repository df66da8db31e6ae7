// How every fuzz target reports a finding: a broken property of the code
// under test that no sanitizer would notice by itself.
//
// Contract: finding() never returns. It aborts, so libFuzzer treats the run
// like a crash and saves the input that caused it.
#ifndef ZEPHON_FUZZ_FINDING_H_
#define ZEPHON_FUZZ_FINDING_H_

namespace zephon_fuzz {

// Prints what went wrong, prefixed with the program's name, and aborts.
[[noreturn]] void finding(const char* what);

}  // namespace zephon_fuzz

#endif  // ZEPHON_FUZZ_FINDING_H_

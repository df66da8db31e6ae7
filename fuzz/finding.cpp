#include "finding.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace zephon_fuzz {

// AddressSanitizer keeps freed memory out of use for a while to catch a use
// after free. With its default of 256 MiB every run touched fresh pages, and
// the page faults took half of a run's time or more. A run frees far less
// than 16 MiB, so a use after free within a run or the next few is still
// caught.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

void finding(const char* what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
  std::abort();
}

}  // namespace zephon_fuzz

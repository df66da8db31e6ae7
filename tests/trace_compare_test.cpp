// zephon-trace compare, in-process on recordings written here: the same
// sequence with polls of other lengths, a zephon log against an mmiotrace, a
// divergence with its context and tables, a recording that ends early, and
// the exit statuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace_inprocess.h"
#include "trace_samples.h"

namespace zephon_trace {
namespace {

using trace_samples::memory_file;
using trace_samples::plain_line;

// A zephon log: a write, a poll of register 0x0021 that reads 0 polls times
// and then 5, a read of register 0x0030 giving last; a device script's set
// in the middle, which the comparison leaves out.
std::string zephon_log(int polls, std::uint32_t last) {
  int t = 0;
  auto line = [&](std::string_view message) {
    return plain_line(fmt::format("2026-03-01T12:00:00.{:06}Z", t += 10), "DEBUG", "zephon", message) + "\n";
  };
  std::string log = line("Write regs[0x0020] (0x80) = 0x00000001");
  for (int i = 0; i < polls; ++i) log += line("Read  regs[0x0021] (0x84) = 0x00000000");
  log += line("Set   regs[0x0021] (0x84) = 0x00000005");
  log += line("Read  regs[0x0021] (0x84) = 0x00000005");
  log += line(fmt::format("Read  regs[0x0030] (0xc0) = {:#010x}", last));
  return log;
}

struct Files {
  std::string a, b;
};

// Returns how compare ran on two texts given as /dev/fd files.
trace_samples::TraceResult compare(const std::string& a, const std::string& b, std::vector<std::string> extra = {}) {
  const int fa = memory_file(a), fb = memory_file(b);
  std::vector<std::string> args = {"compare", "--quiet"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(fmt::format("/dev/fd/{}", fa));
  args.push_back(fmt::format("/dev/fd/{}", fb));
  auto r = trace_samples::run_trace(args, "");
  ::close(fa), ::close(fb);
  return r;
}

// Returns the output with the two heading lines (which name the files) cut off.
std::string body(const std::string& out) {
  std::size_t at = 0;
  for (int i = 0; i < 2 && at != std::string::npos; ++i) at = out.find('\n', at) + 1;
  return out.substr(at);
}

TEST(TraceCompare, PollsOfOtherLengthsAreTheSameSequence) {
  auto r = compare(zephon_log(3, 1), zephon_log(7, 1));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with("# A: /dev/fd/")) << r.out;
  EXPECT_NE(r.out.find(": 6 register accesses in 4 steps (identical reads in a row are one step)\n"),
            std::string::npos);
  EXPECT_EQ(body(r.out), "same sequence: 4 steps, 6 register accesses in A and 10 in B\n");
  // An mmiotrace of the same accesses, at any base: the same sequence too.
  const std::string trace = "VERSION 20070824\n" + trace_samples::mmio_map(0, 2, 0xd0000000, 0x40000) + "\n" +
                            trace_samples::mmio_access('W', 4, 1, 2, 0xd0000080, 1) + "\n" +
                            trace_samples::mmio_access('R', 4, 2, 2, 0xd0000084, 0) + "\n" +
                            trace_samples::mmio_access('R', 4, 3, 2, 0xd0000084, 5) + "\n" +
                            trace_samples::mmio_access('R', 4, 4, 2, 0xd00000c0, 1) + "\n";
  EXPECT_EQ(compare(zephon_log(3, 1), trace).status, 0);
}

TEST(TraceCompare, TheFirstDivergenceWithItsContextAndTables) {
  const std::string names = "#define POLLED 0x84\n#define LAST 0xc0\n";
  const int fd = memory_file(names);
  auto r = compare(zephon_log(3, 1) + plain_line("2026-03-01T12:00:01.000000Z", "DEBUG", "zephon",
                                                  "Write regs[0x0040] (0x100) = 0x00000002") + "\n",
                   zephon_log(2, 7), {fmt::format("--names=/dev/fd/{}", fd)});
  ::close(fd);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(body(r.out),
            "# first divergence at step 4: A access 6 (line 7), B access 5 (line 6)\n"
            "side     step  access  line  op     index   offset  name    value       count\n"
            "A           1       1     1  write  0x0020  0x80    -       0x00000001      1\n"
            "A           2       2     2  read   0x0021  0x84    POLLED  0x00000000      3\n"
            "A           3       5     6  read   0x0021  0x84    POLLED  0x00000005      1\n"
            "A     >     4       6     7  read   0x0030  0xc0    LAST    0x00000001      1\n"
            "A           5       7     8  write  0x0040  0x100   -       0x00000002      1\n"
            "B           1       1     1  write  0x0020  0x80    -       0x00000001      1\n"
            "B           2       2     2  read   0x0021  0x84    POLLED  0x00000000      2\n"
            "B           3       4     5  read   0x0021  0x84    POLLED  0x00000005      1\n"
            "B     >     4       5     6  read   0x0030  0xc0    LAST    0x00000007      1\n"
            "# 1 register read differently (each register's reads in order, a value repeated in a row once)\n"
            "index   offset  name  reads-A  reads-B  differ  first-A     first-B\n"
            "0x0030  0xc0    LAST        1        1       1  0x00000001  0x00000007\n"
            "# 1 register touched by one recording only\n"
            "side  index   offset  name  reads  writes\n"
            "A     0x0040  0x100   -         0       1\n"
            "B departs from A at step 4: read 0x0030 LAST = 0x00000001 in A, read 0x0030 LAST = 0x00000007 in B\n");
}

TEST(TraceCompare, ARecordingThatEndsFirstDeparts) {
  std::string shorter = zephon_log(3, 1);
  shorter.erase(shorter.rfind("2026-"));
  auto r = compare(zephon_log(3, 1), shorter);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("# first divergence at step 4: A access 6 (line 7), B the end after 5 accesses\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nB     >     4       -     -  (end)  -       -       -               -\n"), std::string::npos) << r.out;
  EXPECT_TRUE(r.out.ends_with("B departs from A at step 4: read 0x0030 = 0x00000001 in A, its end in B\n")) << r.out;
}

TEST(TraceCompare, TroubleExitsWithTwo) {
  auto missing = trace_samples::run_trace({"compare", "/nonexistent/a.log", "-"}, "");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "zephon-trace: /nonexistent/a.log: No such file or directory\n");
  auto ambiguous = compare("VERSION 20070824\n", zephon_log(1, 1));
  EXPECT_EQ(ambiguous.status, 2);
  EXPECT_NE(ambiguous.err.find("no mapping of 256 KiB"), std::string::npos) << ambiguous.err;
}

}  // namespace
}  // namespace zephon_trace

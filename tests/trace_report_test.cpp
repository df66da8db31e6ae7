// zephon-trace's reports, run in-process on a log written by hand: exact
// summary, sequence, export and diff output, the line counts and malformed
// lines on the error stream, and the command line.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dump.h"
#include "run.h"
#include "server_fixture.h"
#include "trace_inprocess.h"
#include "trace_samples.h"

namespace zephon_trace {
namespace {

using trace_samples::colour_line;
using trace_samples::plain_line;

std::string stamp(int second, int micros) { return fmt::format("2026-03-01T12:00:{:02}.{:06}Z", second, micros); }

// Twelve lines: a write and read-back, a poll of three, a warning, a second
// write, a poll of two (coloured, as a log with NO_COLOR unset has them), a
// read at the last register.
const std::string kLog =
    plain_line(stamp(0, 100), " INFO", "vfio_user", "Received client version: major = 0 minor = 1") + "\n" +
    plain_line(stamp(0, 200), "DEBUG", "zephon", "Write regs[0x0004] (0x10) = 0x12345678") + "\n" +
    plain_line(stamp(0, 300), "DEBUG", "zephon", "Read  regs[0x0004] (0x10) = 0x12345678") + "\n" +
    plain_line(stamp(0, 400), "DEBUG", "zephon", "Read  regs[0x0e50] (0x3940) = 0x00000000") + "\n" +
    plain_line(stamp(0, 500), "DEBUG", "zephon", "Read  regs[0x0e50] (0x3940) = 0x00000000") + "\n" +
    plain_line(stamp(0, 600), "DEBUG", "zephon", "Read  regs[0x0e50] (0x3940) = 0x00000000") + "\n" +
    plain_line(stamp(0, 700), " WARN", "zephon", "Invalid read of 0x2 bytes from register at offset 0x10") + "\n" +
    plain_line(stamp(1, 800), "DEBUG", "zephon", "Write regs[0x0004] (0x10) = 0x00000001") + "\n" +
    colour_line(stamp(1, 900), "DEBUG", "zephon", "Read  regs[0x0e50] (0x3940) = 0x00000001") + "\n" +
    colour_line(stamp(1, 1000), "DEBUG", "zephon", "Read  regs[0x0e50] (0x3940) = 0x00000001") + "\n" +
    plain_line(stamp(1, 1100), "DEBUG", "zephon", "Read  regs[0xffff] (0x3fffc) = 0x00000000") + "\n" +
    plain_line(stamp(1, 1200), " INFO", "vfio_user", "Connection closed") + "\n";

const std::string kCounts =
    "zephon-trace: standard input: 12 lines: 9 register accesses, 3 other lines passed over, 0 malformed lines "
    "skipped\n";

trace_samples::TraceResult trace(const std::vector<std::string>& args, std::string_view input = kLog) {
  return trace_samples::run_trace(args, input);
}

TEST(TraceReport, SummaryInBringUpOrder) {
  auto r = trace({"summary"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "# 3 registers, 9 accesses, from 2026-03-01T12:00:00.000200Z to 2026-03-01T12:00:01.001100Z; times in "
            "seconds since the first access\n"
            "index   offset       reads     writes  first-write  last-write   first-read   last-read     first-time    last-time\n"
            "0x0004  0x10             1          2  0x12345678   0x00000001   0x12345678   0x12345678      0.000000     1.000600\n"
            "0x0e50  0x3940           5          0  -            -            0x00000000   0x00000001      0.000200     1.000800\n"
            "0xffff  0x3fffc          1          0  -            -            0x00000000   0x00000000      1.000900     1.000900\n");
  EXPECT_EQ(r.err, kCounts);
}

TEST(TraceReport, SummaryByCount) {
  auto r = trace({"summary", "--order=count", "--quiet"});
  EXPECT_EQ(r.status, 0);
  auto rows = r.out.substr(r.out.find("\n0x") + 1);
  EXPECT_EQ(rows,
            "0x0e50  0x3940           5          0  -            -            0x00000000   0x00000001      0.000200     1.000800\n"
            "0x0004  0x10             1          2  0x12345678   0x00000001   0x12345678   0x12345678      0.000000     1.000600\n"
            "0xffff  0x3fffc          1          0  -            -            0x00000000   0x00000000      1.000900     1.000900\n");
  EXPECT_EQ(r.err, "");
}

TEST(TraceReport, SummaryOfALogWithoutAccesses) {
  auto r = trace({"summary", "-"}, plain_line(stamp(0, 1), " INFO", "vfio_user", "Connection closed") + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "# no register accesses\n");
}

TEST(TraceReport, SequenceCollapsesPolling) {
  auto r = trace({"sequence"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "write 0x0004 = 0x12345678 (was 0x00000000)\n"
            "read 0x0004 = 0x12345678\n"
            "read 0x0e50 \u00d73 = 0x00000000\n"
            "write 0x0004 = 0x00000001 (was 0x12345678)\n"
            "read 0x0e50 \u00d72 = 0x00000001\n"
            "read 0xffff = 0x00000000\n");
  EXPECT_EQ(r.err, kCounts);
}

TEST(TraceReport, SequenceWithTimes) {
  auto r = trace({"sequence", "--time"});
  EXPECT_EQ(r.out,
            "    0.000000 write 0x0004 = 0x12345678 (was 0x00000000)\n"
            "    0.000100 read 0x0004 = 0x12345678\n"
            "    0.000200 read 0x0e50 \u00d73 = 0x00000000\n"
            "    1.000600 write 0x0004 = 0x00000001 (was 0x12345678)\n"
            "    1.000700 read 0x0e50 \u00d72 = 0x00000001\n"
            "    1.000900 read 0xffff = 0x00000000\n");
}

TEST(TraceReport, ExportCsv) {
  auto r = trace({"export"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "time,op,index,offset,value\n"
            "2026-03-01T12:00:00.000200Z,write,4,16,305419896\n"
            "2026-03-01T12:00:00.000300Z,read,4,16,305419896\n"
            "2026-03-01T12:00:00.000400Z,read,3664,14656,0\n"
            "2026-03-01T12:00:00.000500Z,read,3664,14656,0\n"
            "2026-03-01T12:00:00.000600Z,read,3664,14656,0\n"
            "2026-03-01T12:00:01.000800Z,write,4,16,1\n"
            "2026-03-01T12:00:01.000900Z,read,3664,14656,1\n"
            "2026-03-01T12:00:01.001000Z,read,3664,14656,1\n"
            "2026-03-01T12:00:01.001100Z,read,65535,262140,0\n");
}

TEST(TraceReport, ExportJsonLines) {
  auto r = trace({"export", "--format", "jsonl"});
  EXPECT_EQ(r.status, 0);
  auto first = r.out.substr(0, r.out.find('\n') + 1);
  EXPECT_EQ(first, "{\"time\":\"2026-03-01T12:00:00.000200Z\",\"op\":\"write\",\"index\":4,\"offset\":16,\"value\":305419896}\n");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 9);
  EXPECT_TRUE(r.out.ends_with(
      "{\"time\":\"2026-03-01T12:00:01.001100Z\",\"op\":\"read\",\"index\":65535,\"offset\":262140,\"value\":0}\n"));
}

// Writes a dump whose registers are zero but for the given ones.
std::string write_dump(const std::filesystem::path& path, std::vector<std::pair<std::size_t, std::uint32_t>> regs) {
  std::string bytes(kDumpSize, '\0');
  for (auto [i, v] : regs) {
    for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<char>(v >> (8 * b));
  }
  std::ofstream(path, std::ios::binary) << bytes;
  return path.string();
}

class TraceDiff : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = zephon_test::make_temp_dir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(TraceDiff, ADumpMatchingTheLogHasNoDifference) {
  auto dump = write_dump(dir_ / "a.bin", {{4, 1}, {0xe50, 1}});
  auto r = trace({"diff", "--log=-", dump});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kCounts + "zephon-trace: no register differs\n");
}

TEST_F(TraceDiff, DumpAgainstTheLog) {
  auto dump = write_dump(dir_ / "b.bin", {{4, 1}, {0x100, 7}});
  auto r = trace({"diff", dump, "--log", "-"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, fmt::format("# left: the last values in standard input (zero where it shows none)\n"
                               "# right: {}\n"
                               "index   offset   left        right\n"
                               "0x0100  0x400    0x00000000  0x00000007  not in the log\n"
                               "0x0e50  0x3940   0x00000001  0x00000000\n",
                               dump));
  EXPECT_EQ(r.err, kCounts + "zephon-trace: 2 registers differ\n");
}

TEST_F(TraceDiff, TwoDumps) {
  auto a = write_dump(dir_ / "a.bin", {{4, 1}, {0xffff, 0xdeadbeef}});
  auto b = write_dump(dir_ / "b.bin", {{4, 1}, {0, 2}});
  auto r = trace({"diff", a, b});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, fmt::format("# left: {}\n# right: {}\n"
                               "index   offset   left        right\n"
                               "0x0000  0x0      0x00000000  0x00000002\n"
                               "0xffff  0x3fffc  0xdeadbeef  0x00000000\n",
                               a, b));
  EXPECT_EQ(r.err, "zephon-trace: 2 registers differ\n");
  EXPECT_EQ(trace({"diff", a, a}).status, 0);
}

TEST_F(TraceDiff, WhatIsNotADumpIsRefused) {
  auto a = write_dump(dir_ / "a.bin", {});
  std::ofstream(dir_ / "short.bin") << "hello";
  auto r = trace({"diff", a, (dir_ / "short.bin").string()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, fmt::format("zephon-trace: {}: not a zephon register dump: 5 bytes, not 262144\n",
                               (dir_ / "short.bin").string()));
  auto missing = trace({"diff", a, (dir_ / "missing.bin").string()});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err,
            fmt::format("zephon-trace: {}: No such file or directory\n", (dir_ / "missing.bin").string()));
}

TEST(TraceMalformed, ReportedWithLineNumbersAndSkipped) {
  std::string log = kLog;
  log.insert(log.find(plain_line(stamp(0, 400), "DEBUG", "zephon", "")), "2026-03-01T12:00:00.0004\n");
  log += plain_line(stamp(2, 0), "DEBUG", "zephon", "Write regs[0x0004] (0x10) = 0x1234");
  auto r = trace({"sequence"}, log);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "zephon-trace: standard input:4: line ends early (cut short?): 2026-03-01T12:00:00.0004\n"
            "zephon-trace: standard input:14: line ends early (cut short?) (the input ends inside this line): "
            "2026-03-01T12:00:02.000000Z DEBUG zephon: Write regs[0x0004] (0x10) = 0x1234\n"
            "zephon-trace: standard input: 14 lines: 9 register accesses, 3 other lines passed over, 2 malformed "
            "lines skipped\n");
  EXPECT_EQ(r.out, trace({"sequence"}).out);
}

TEST(TraceMalformed, ManyAreCountedNotAllShown) {
  std::string log;
  for (int i = 0; i < 25; ++i) log += plain_line(stamp(0, i), "DEBUG", "zephon", "Read  regs[0x0001] (0x5) = 0x00000000") + "\n";
  auto r = trace({"summary"}, log);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("standard input:10: byte offset is not 4 times the register index: "), std::string::npos);
  EXPECT_EQ(r.err.find("standard input:11:"), std::string::npos);
  EXPECT_NE(r.err.find("zephon-trace: standard input: 15 more malformed lines not shown\n"), std::string::npos);
  EXPECT_NE(r.err.find("25 lines: 0 register accesses, 0 other lines passed over, 25 malformed lines skipped"),
            std::string::npos);
}

TEST(TraceMalformed, StrictRefuses) {
  auto r = trace({"export", "--strict"}, kLog + "2026-03-01T12:00:0\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.err.ends_with("zephon-trace: standard input: line 13: line ends early (cut short?) (refused: --strict)\n"))
      << r.err;
}

TEST(TraceMalformed, BinaryInputIsRefused) {
  auto r = trace({"summary"}, std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "zephon-trace: standard input: binary data, not a zephon log (a NUL byte at byte 8, line 3)\n");
  EXPECT_EQ(r.out, "");
}

TEST(TraceCommandLine, MistakesExitWithTwo) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "a command is required"},
      {{"sumary"}, "unknown command 'sumary'"},
      {{"export", "--order=count"}, "--order is not an option of export"},
      {{"summary", "--order=size"}, "--order must be first or count, not 'size'"},
      {{"export", "--format=xml"}, "--format must be csv, jsonl or mmiotrace, not 'xml'"},
      {{"plot", "log"}, "plot needs --output=FILE.png"},
      {{"summary", "a", "b"}, "only one log can be read at a time"},
      {{"diff", "a"}, "diff takes two dumps"},
      {{"diff", "--log=x", "a", "b"}, "diff --log=LOG takes one dump"},
      {{"summary", "--bogus"}, "unknown option '--bogus'"},
      {{"sequence", "--time=yes"}, "--time takes no value"},
      {{"plot", "-o"}, "--output needs a value"},
      {{"summary", "--follow"}, "--follow is not an option of summary"},
      {{"sequence", "--follow=yes"}, "--follow takes no value"},
      {{"diff", "--names=sid.h", "a", "b"}, "--names is not an option of diff"},
      {{"export", "--names"}, "--names needs a value"},
      {{"export", "--names="}, "--names needs a file"},
      {{"compare", "a"}, "compare takes two recordings, A and B"},
      {{"compare", "-", "-"}, "only one recording can be standard input"},
      {{"summary", "--map=x"}, "--map needs a mapping id, not 'x'"},
      {{"summary", "--map=1", "--base=0x10"}, "--map and --base name the register BAR twice; give one"},
      {{"export", "--format=mmiotrace", "--bar-address=0x1000"},
       "--bar-address must be a multiple of 0x40000 below 2^64, not '0x1000'"},
      {{"export", "--bar-address=0x40000"}, "--bar-address is for export --format=mmiotrace"},
      {{"summary", "--bar-address=0"}, "--bar-address is not an option of summary"},
  };
  for (const auto& [args, message] : cases) {
    auto r = trace(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, fmt::format("zephon-trace: {}\nTry 'zephon-trace --help' for more information.\n", message));
    EXPECT_EQ(r.out, "");
  }
}

TEST(TraceCommandLine, HelpGoesToStandardOutput) {
  for (auto args : {std::vector<std::string>{"--help"}, {"summary", "-h"}}) {
    auto r = trace(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with("Usage: zephon-trace COMMAND [OPTIONS] [LOG]\n")) << r.out;
    EXPECT_EQ(r.err, "");
  }
}

TEST(TraceCommandLine, AMissingLogIsNamed) {
  auto r = trace({"summary", "/nonexistent/driver.log"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "zephon-trace: /nonexistent/driver.log: No such file or directory\n");
}

}  // namespace
}  // namespace zephon_trace

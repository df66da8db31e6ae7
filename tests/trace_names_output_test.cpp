// Register names in each of zephon-trace's outputs: the summary's name
// column, the sequence, both export formats and the plot's ticks, from a
// header and from a CSV file; and what is said about the names file.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "plot.h"
#include "server_fixture.h"
#include "trace_inprocess.h"
#include "trace_samples.h"

namespace zephon_trace {
namespace {

using trace_samples::plain_line;

std::string stamp(int micros) { return fmt::format("2026-03-01T12:00:00.{:06}Z", micros); }

// A write read back, a status register polled three times, a register no
// file names.
const std::string kLog = plain_line(stamp(100), "DEBUG", "zephon", "Write regs[0x0000] (0x0) = 0x00000010") + "\n" +
                         plain_line(stamp(200), "DEBUG", "zephon", "Read  regs[0x0001] (0x4) = 0x12345678") + "\n" +
                         plain_line(stamp(300), "DEBUG", "zephon", "Read  regs[0x30d3] (0xc34c) = 0x00000000") + "\n" +
                         plain_line(stamp(400), "DEBUG", "zephon", "Read  regs[0x30d3] (0xc34c) = 0x00000000") + "\n" +
                         plain_line(stamp(500), "DEBUG", "zephon", "Read  regs[0x30d3] (0xc34c) = 0x00000000") + "\n" +
                         plain_line(stamp(600), "DEBUG", "zephon", "Write regs[0x0002] (0x8) = 0x00000001") + "\n";

// The same names as a header (with a second name for offset 0) and as CSV.
const std::string kHeader =
    "#define MM_INDEX 0x0\n#define BIF_MM_INDEX 0x0\n#define MM_DATA 0x4\n#define RLC_STAT 0xC34C\n";
const std::string kCsv = "offset,name\n0,MM_INDEX\n0,BIF_MM_INDEX\n4,MM_DATA\n0xc34c,RLC_STAT\n";

class TraceNamesOutput : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    dir_ = zephon_test::make_temp_dir();
    names_ = (dir_ / (GetParam() ? "regs.csv" : "sid.h")).string();
    std::ofstream(names_) << (GetParam() ? kCsv : kHeader);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  trace_samples::TraceResult trace(std::vector<std::string> args) {
    args.push_back("--names=" + names_);
    return trace_samples::run_trace(args, kLog);
  }

  std::filesystem::path dir_;
  std::string names_;
};

TEST_P(TraceNamesOutput, SummaryHasANameColumn) {
  auto r = trace({"summary"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(r.out.find('\n') + 1),
            "index   name                   offset       reads     writes  first-write  last-write   first-read   last-read     first-time    last-time\n"
            "0x0000  MM_INDEX/BIF_MM_INDEX  0x0              0          1  0x00000010   0x00000010   -            -               0.000000     0.000000\n"
            "0x0001  MM_DATA                0x4              1          0  -            -            0x12345678   0x12345678      0.000100     0.000100\n"
            "0x30d3  RLC_STAT               0xc34c           3          0  -            -            0x00000000   0x00000000      0.000200     0.000400\n"
            "0x0002  -                      0x8              0          1  0x00000001   0x00000001   -            -               0.000500     0.000500\n");
  EXPECT_EQ(r.err, fmt::format("zephon-trace: {}: 4 names for 3 registers, {} other lines skipped, 0 lines with "
                               "problems skipped\n"
                               "zephon-trace: standard input: 6 lines: 6 register accesses, 0 other lines passed "
                               "over, 0 malformed lines skipped\n",
                               names_, GetParam() ? 1 : 0));
}

TEST_P(TraceNamesOutput, SequenceNamesFollowTheIndex) {
  auto r = trace({"sequence", "--quiet"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "write 0x0000 MM_INDEX/BIF_MM_INDEX = 0x00000010 (was 0x00000000)\n"
            "read 0x0001 MM_DATA = 0x12345678\n"
            "read 0x30d3 RLC_STAT \u00d73 = 0x00000000\n"
            "write 0x0002 = 0x00000001 (was 0x00000000)\n");
  EXPECT_EQ(r.err, "");
}

TEST_P(TraceNamesOutput, ExportsHaveANameField) {
  auto csv = trace({"export", "--quiet"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out,
            "time,op,index,offset,value,name\n"
            "2026-03-01T12:00:00.000100Z,write,0,0,16,MM_INDEX/BIF_MM_INDEX\n"
            "2026-03-01T12:00:00.000200Z,read,1,4,305419896,MM_DATA\n"
            "2026-03-01T12:00:00.000300Z,read,12499,49996,0,RLC_STAT\n"
            "2026-03-01T12:00:00.000400Z,read,12499,49996,0,RLC_STAT\n"
            "2026-03-01T12:00:00.000500Z,read,12499,49996,0,RLC_STAT\n"
            "2026-03-01T12:00:00.000600Z,write,2,8,1,\n");
  auto jsonl = trace({"export", "--quiet", "--format=jsonl"});
  ASSERT_EQ(jsonl.status, 0) << jsonl.err;
  EXPECT_TRUE(jsonl.out.starts_with("{\"time\":\"2026-03-01T12:00:00.000100Z\",\"op\":\"write\",\"index\":0,"
                                    "\"offset\":0,\"value\":16,\"name\":\"MM_INDEX/BIF_MM_INDEX\"}\n"))
      << jsonl.out;
  EXPECT_TRUE(jsonl.out.ends_with("{\"time\":\"2026-03-01T12:00:00.000600Z\",\"op\":\"write\",\"index\":2,"
                                  "\"offset\":8,\"value\":1,\"name\":null}\n"))
      << jsonl.out;
}

INSTANTIATE_TEST_SUITE_P(HeaderAndCsv, TraceNamesOutput, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Csv" : "Header"; });

TEST(TraceNamesReport, ProblemsAreSaidWithLineNumbersAndTheRestIsUsed) {
  const auto dir = zephon_test::make_temp_dir();
  const std::string names = (dir / "sid.h").string();
  std::ofstream(names) << "#define MM_INDEX 0x0\n#define ODD 0x3\n#define FAR 0x40000\n";
  auto r = trace_samples::run_trace({"sequence", "--names", names}, kLog);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.err.starts_with(fmt::format(
      "zephon-trace: {0}:2: offset 0x3 is not a multiple of 4; skipped\n"
      "zephon-trace: {0}:3: offset 0x40000 is outside BAR 2 (0x0 to 0x3fffc); skipped\n"
      "zephon-trace: {0}: 1 names for 1 registers, 0 other lines skipped, 2 lines with problems skipped\n",
      names)))
      << r.err;
  EXPECT_TRUE(r.out.starts_with("write 0x0000 MM_INDEX = ")) << r.out;

  auto missing = trace_samples::run_trace({"summary", "--names", (dir / "none.h").string()}, kLog);
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, fmt::format("zephon-trace: {}: No such file or directory\n", (dir / "none.h").string()));
  EXPECT_EQ(missing.out, "");

  auto diff = trace_samples::run_trace({"diff", "--names", names, "a", "b"}, kLog);
  EXPECT_EQ(diff.status, 2);
  EXPECT_EQ(diff.err, "zephon-trace: --names is not an option of diff\nTry 'zephon-trace --help' for more information.\n");
  std::filesystem::remove_all(dir);
}

// Returns a grid of the accesses to the given registers, one each.
PlotGrid grid_of(const std::vector<std::uint16_t>& registers) {
  PlotGrid grid;
  std::int64_t t = 0;
  for (std::uint16_t r : registers) {
    Event e;
    e.index = r;
    e.time_us = t++;
    grid.on_event(e);
  }
  return grid;
}

TEST(TraceNamesPlot, FewRegistersHaveNamedTicks) {
  RegisterNames names;
  names.add(0x30d3, "RLC_STAT");
  const PlotGrid grid = grid_of({0x30d3, 0x0004});
  const std::string script = plot_script(grid, PlotOptions{.output = "x.png", .title = "t", .names = &names}, "d");
  EXPECT_NE(script.find("set ytics ('0xc34c RLC_STAT' 49996, '0x10' 16)\n"), std::string::npos) << script;
  const std::string plain = plot_script(grid, PlotOptions{.output = "x.png", .title = "t"}, "d");
  EXPECT_NE(plain.find("set ytics ('0xc34c' 49996, '0x10' 16)\n"), std::string::npos) << plain;
}

TEST(TraceNamesPlot, ManyRegistersNameTheBusiestApartOnTheRight) {
  RegisterNames names;
  std::vector<std::uint16_t> accesses;
  for (std::uint16_t r = 0; r < 26; ++r) {
    names.add(static_cast<std::uint16_t>(r * 0x200), fmt::format("REG_{}", r));
    accesses.push_back(static_cast<std::uint16_t>(r * 0x200));
  }
  // The busiest, and one right beside it that would overlap its label.
  for (int i = 0; i < 5; ++i) accesses.push_back(0x3200);
  for (int i = 0; i < 4; ++i) accesses.push_back(0x3201);
  names.add(0x3201, "NEIGHBOUR");
  const std::string script =
      plot_script(grid_of(accesses), PlotOptions{.output = "x.png", .title = "t", .names = &names}, "d");
  const auto at = script.find("set y2tics ('REG_25' 51200, ");
  ASSERT_NE(at, std::string::npos) << script;
  const std::string tics = script.substr(at, script.find(") font", at) - at);
  EXPECT_EQ(tics.find("NEIGHBOUR"), std::string::npos) << tics;
  EXPECT_EQ(std::count(tics.begin(), tics.end(), ','), 23) << tics;  // 24 names
  EXPECT_NE(script.find("set link y2\n"), std::string::npos);
  const std::string plain = plot_script(grid_of(accesses), PlotOptions{.output = "x.png", .title = "t"}, "d");
  EXPECT_EQ(plain.find("y2tics"), std::string::npos);
}

}  // namespace
}  // namespace zephon_trace

// zephon-trace on a device script's accesses to guest memory ("Dma   read
// 0x... +N" lines), and on script lines inside a poll: the run of reads is
// not cut by what the script does beside it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "recording/line_parser.h"
#include "plot.h"
#include "plot_grid.h"
#include "sequence.h"
#include "trace_inprocess.h"
#include "trace_samples.h"

namespace zephon_trace {
namespace {

using trace_samples::colour_line;
using trace_samples::plain_line;

std::string stamp(int micros) { return fmt::format("2026-03-01T12:00:00.{:06}Z", micros); }

TEST(TraceDmaLine, ReadsAndWritesWithAddressAndLength) {
  LineParser parser;
  const std::string read = plain_line(stamp(5), "DEBUG", "zephon", "Dma   read  0x0000000000100100 +16");
  auto r = parser.parse(read);
  ASSERT_EQ(r.kind, LineKind::Register) << r.reason;
  EXPECT_EQ(r.event.op, Op::DmaRead);
  EXPECT_EQ(r.event.value, 0x100100u);
  EXPECT_EQ(r.event.length, 16u);
  const std::string write = colour_line(stamp(5), "DEBUG", "zephon", "Dma   write 0xffffffffffffffff +0");
  auto w = parser.parse(write);
  ASSERT_EQ(w.kind, LineKind::Register) << w.reason;
  EXPECT_EQ(w.event.op, Op::DmaWrite);
  EXPECT_EQ(w.event.value, 0xffffffffffffffffu);
  EXPECT_EQ(w.event.length, 0u);
  for (const auto& [message, reason] : std::vector<std::pair<std::string_view, std::string_view>>{
           {"Dma   read  0x100100 +16", "DMA address is not 0x and 16 hex digits"},
           {"Dma   read  0x0000000000100100 16", "expected \" +\" after the DMA address"},
           {"Dma   read  0x0000000000100100 +", "line ends early (cut short?)"},
           {"Dma   read  0x0000000000100100 +x", "DMA length is not a decimal number"},
           {"Dma   read  0x0000000000100100 +16 bytes", "unexpected text after the DMA length"},
           {"Dma   wri", "line ends early (cut short?)"},
           {"Dma   read 0x0000000000100100 +16", "message starts like a DMA but is not one"},
       }) {
    auto p = parser.parse(plain_line(stamp(5), "DEBUG", "zephon", message));
    EXPECT_EQ(p.kind, LineKind::Malformed) << message;
    EXPECT_EQ(p.reason, reason) << message;
  }
}

// A poll of 0x0021 answered by a script that sets 0x0020 and reads a
// descriptor from guest memory on every read, then raises an interrupt after
// the last one, writes a result back and sets the polled register.
std::string poll_log() {
  int t = 0;
  auto line = [&](std::string_view message) { return plain_line(stamp(t += 10), "DEBUG", "zephon", message) + "\n"; };
  std::string log;
  for (int i = 0; i < 4; ++i) {
    log += line("Read  regs[0x0021] (0x84) = 0x00000000");
    log += line("Set   regs[0x0020] (0x80) = 0x00000001");
    log += line("Dma   read  0x0000000000100100 +16");
  }
  log += line("Irq   vector 0 (MSI)");
  log += line("Dma   write 0x0000000000100200 +4");
  log += line("Set   regs[0x0021] (0x84) = 0x00000003");
  log += line("Read  regs[0x0021] (0x84) = 0x00000003");
  return log;
}

TEST(TraceScriptInPoll, ARunKeepsWhatTheScriptDidBesideIt) {
  auto r = trace_samples::run_trace({"sequence", "--time"}, poll_log());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "    0.000000 read 0x0021 \u00d74 = 0x00000000\n"
            "    0.000010   \u00d73:\n"
            "    0.000010     set 0x0020 = 0x00000001 (was 0x00000000)\n"
            "    0.000020     dma read 0x0000000000100100 +16\n"
            "    0.000100 set 0x0020 = 0x00000001 (was 0x00000001)\n"
            "    0.000110 dma read 0x0000000000100100 +16\n"
            "    0.000120 irq vector 0 (MSI)\n"
            "    0.000130 dma write 0x0000000000100200 +4\n"
            "    0.000140 set 0x0021 = 0x00000003 (was 0x00000000)\n"
            "    0.000150 read 0x0021 = 0x00000003\n");
  EXPECT_EQ(r.err, "zephon-trace: standard input: 16 lines: 5 register accesses, 11 device script lines, 0 other "
                   "lines passed over, 0 malformed lines skipped\n");
  // Past the bound of held lines the run is cut, and nothing is lost.
  std::string many;
  for (std::size_t i = 0; i <= Sequence::kHeldLines; ++i) {
    many += plain_line(stamp(1), "DEBUG", "zephon", "Read  regs[0x0021] (0x84) = 0x00000000") + "\n";
    many += plain_line(stamp(1), "DEBUG", "zephon", fmt::format("Set   regs[0x0020] (0x80) = {:#010x}", i)) + "\n";
  }
  auto cut = trace_samples::run_trace({"sequence", "--quiet"}, many);
  EXPECT_EQ(std::count(cut.out.begin(), cut.out.end(), '\n'), static_cast<long>(Sequence::kHeldLines) + 2);
  EXPECT_TRUE(cut.out.starts_with("read 0x0021 \u00d765 = 0x00000000\n  set 0x0020 = 0x00000000")) << cut.out;
  EXPECT_TRUE(cut.out.ends_with("\nset 0x0020 = 0x00000040 (was 0x0000003f)\n")) << cut.out;
}

TEST(TraceScriptInPoll, SummaryExportAndPlotShowTheDma) {
  auto summary = trace_samples::run_trace({"summary", "--quiet"}, poll_log());
  EXPECT_TRUE(summary.out.ends_with("# 1 interrupts raised by the device script: vector 0 (MSI) \u00d71\n"
                                    "# guest memory accessed by the device script: 4 DMA reads of 64 bytes, 1 DMA "
                                    "writes of 4 bytes\n"))
      << summary.out;
  auto csv = trace_samples::run_trace({"export", "--quiet"}, poll_log());
  EXPECT_NE(csv.out.find("\n2026-03-01T12:00:00.000030Z,dma-read,,1048832,16\n"), std::string::npos) << csv.out;
  auto json = trace_samples::run_trace({"export", "--format=jsonl", "--quiet"}, poll_log());
  EXPECT_NE(json.out.find("{\"time\":\"2026-03-01T12:00:00.000140Z\",\"op\":\"dma-write\",\"index\":null,"
                          "\"offset\":1049088,\"value\":4}\n"),
            std::string::npos)
      << json.out;
  PlotGrid grid;
  LineParser parser;
  std::istringstream in(poll_log());
  for (std::string line; std::getline(in, line);) {
    if (auto p = parser.parse(line); p.kind == LineKind::Register) grid.on_event(p.event);
  }
  EXPECT_EQ(grid.dma(), 5u);
  const std::string script = plot_script(grid, PlotOptions{.output = "x.png", .title = "t"}, "d");
  EXPECT_NE(script.find("set yrange [-8:136]"), std::string::npos) << script;
  EXPECT_NE(script.find("'d' index 3 using 1:(-6) with points pt 5 ps 0.8 lc rgb '#9467bd' title 'DMA by the script (5)'"),
            std::string::npos)
      << script;
}

}  // namespace
}  // namespace zephon_trace

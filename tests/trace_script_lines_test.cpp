// zephon-trace on the lines a device script adds to a log: registers the
// script set ("Set   regs[...]") and interrupts it raised ("Irq   vector ..."),
// parsed, reported malformed when cut or wrong, and shown by sequence,
// summary and export; and an export that rebuilds every such line.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "dump.h"
#include "recording/line_parser.h"
#include "plot.h"
#include "plot_grid.h"
#include "trace_inprocess.h"
#include "trace_samples.h"

namespace zephon_trace {
namespace {

using trace_samples::colour_line;
using trace_samples::plain_line;

constexpr std::string_view kStamp = "2026-03-01T12:00:00.000123Z";

ParsedLine parse(std::string_view line) {
  LineParser parser;
  return parser.parse(line);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class TraceSetLine : public ::testing::TestWithParam<bool> {};

TEST_P(TraceSetLine, IsARegisterEventOfItsOwnKind) {
  const std::string message = "Set   regs[0x0021] (0x84) = 0x00001234";
  const std::string line =
      GetParam() ? colour_line(kStamp, "DEBUG", "zephon", message) : plain_line(kStamp, "DEBUG", "zephon", message);
  auto p = parse(line);
  ASSERT_EQ(p.kind, LineKind::Register) << p.reason;
  EXPECT_EQ(p.event.op, Op::Set);
  EXPECT_EQ(p.event.index, 0x21);
  EXPECT_EQ(p.event.value, 0x1234u);
  EXPECT_EQ(p.event.time_text, kStamp);
}

TEST_P(TraceSetLine, AnInterruptIsAnEventWithItsVectorAndIndex) {
  struct Case {
    std::string_view message;
    std::uint32_t vector;
    IrqIndex index;
  };
  for (const Case& c : {Case{"Irq   vector 0 (MSI-X)", 0, IrqIndex::MsiX}, Case{"Irq   vector 7 (MSI)", 7, IrqIndex::Msi},
                        Case{"Irq   vector 0 (INTx)", 0, IrqIndex::IntX},
                        Case{"Irq   vector 4294967295 (other)", 4294967295u, IrqIndex::Other}}) {
    const std::string line = GetParam() ? colour_line(kStamp, "DEBUG", "zephon", c.message)
                                        : plain_line(kStamp, "DEBUG", "zephon", c.message);
    auto p = parse(line);
    ASSERT_EQ(p.kind, LineKind::Register) << c.message << ": " << p.reason;
    EXPECT_EQ(p.event.op, Op::Irq) << c.message;
    EXPECT_EQ(p.event.value, c.vector) << c.message;
    EXPECT_EQ(p.event.irq, c.index) << c.message;
    EXPECT_EQ(p.event.time_text, kStamp);
  }
}

INSTANTIATE_TEST_SUITE_P(PlainAndColoured, TraceSetLine, ::testing::Values(false, true));

TEST(TraceScriptLines, WrongOrCutVariantsAreMalformed) {
  struct Case {
    std::string_view message;
    std::string_view reason;
  };
  for (const Case& c : {
           Case{"Set   regs[0x0021] (0x88) = 0x00001234", "byte offset is not 4 times the register index"},
           Case{"Set   regs[0x21] (0x84) = 0x00001234", "register index is not 0x and 4 hex digits"},
           Case{"Set   regs[0x0021] (0x84) = 0x1234", "line ends early (cut short?)"},
           Case{"Set   regs[0x0021] (0x84) = 0x00001234 x", "unexpected text after the value"},
           Case{"Set   regs[0x00", "line ends early (cut short?)"},
           Case{"Set  ", "line ends early (cut short?)"},
           Case{"Set  regs[0x0021] (0x84) = 0x00001234", "message starts like a register set but is not one"},
           Case{"Irq   vector", "line ends early (cut short?)"},
           Case{"Irq   vector ", "line ends early (cut short?)"},
           Case{"Irq   vector x (MSI)", "interrupt vector is not a decimal number"},
           Case{"Irq   vector 4294967296 (MSI)", "interrupt vector is not a 32-bit decimal number"},
           Case{"Irq   vector 0 MSI", "expected \" (\" after the interrupt vector"},
           Case{"Irq   vector 0 (MSI-", "line ends early (cut short?)"},
           Case{"Irq   vector 0 (PCI)", "unknown interrupt index"},
           Case{"Irq   vector 0 (MSI) again", "unexpected text after the interrupt index"},
           Case{"Irq  vector 0 (MSI)", "message starts like an interrupt but is not one"},
       }) {
    auto p = parse(plain_line(kStamp, "DEBUG", "zephon", c.message));
    EXPECT_EQ(p.kind, LineKind::Malformed) << c.message;
    EXPECT_EQ(p.reason, c.reason) << c.message;
  }
  // The same words from another target or level are other lines.
  EXPECT_EQ(parse(plain_line(kStamp, " INFO", "zephon::script", "Irq   vector 0 (MSI-X)")).kind, LineKind::Other);
  EXPECT_EQ(parse(plain_line(kStamp, " WARN", "zephon::script", "irq(3) dropped: no eventfd is set up for it")).kind,
            LineKind::Other);
}

std::string stamp(int micros) { return fmt::format("2026-03-01T12:00:00.{:06}Z", micros); }

// A doorbell rung while the guest polls: a write, a poll of two, a set of the
// polled register, two more reads, a set of another register and an
// interrupt inside a poll, a second interrupt.
const std::string kLog =
    plain_line(stamp(100), "DEBUG", "zephon", "Write regs[0x0020] (0x80) = 0x00000005") + "\n" +
    plain_line(stamp(200), "DEBUG", "zephon", "Read  regs[0x0021] (0x84) = 0x00000000") + "\n" +
    plain_line(stamp(300), "DEBUG", "zephon", "Read  regs[0x0021] (0x84) = 0x00000000") + "\n" +
    plain_line(stamp(400), "DEBUG", "zephon", "Set   regs[0x0021] (0x84) = 0x00000005") + "\n" +
    plain_line(stamp(500), "DEBUG", "zephon", "Read  regs[0x0021] (0x84) = 0x00000005") + "\n" +
    plain_line(stamp(600), "DEBUG", "zephon", "Set   regs[0x0020] (0x80) = 0x00000000") + "\n" +
    plain_line(stamp(700), "DEBUG", "zephon", "Irq   vector 0 (MSI-X)") + "\n" +
    plain_line(stamp(800), "DEBUG", "zephon", "Read  regs[0x0021] (0x84) = 0x00000005") + "\n" +
    colour_line(stamp(900), "DEBUG", "zephon", "Irq   vector 2 (MSI-X)") + "\n" +
    plain_line(stamp(1000), "DEBUG", "zephon", "Irq   vector 0 (MSI-X)") + "\n" +
    plain_line(stamp(1100), " INFO", "vfio_user", "Connection closed") + "\n";

trace_samples::TraceResult trace(const std::vector<std::string>& args, std::string_view input = kLog) {
  return trace_samples::run_trace(args, input);
}

TEST(TraceScriptReport, SequenceShowsSetsAndInterruptsInOrder) {
  auto r = trace({"sequence", "--quiet"});
  EXPECT_EQ(r.status, 0) << r.err;
  // A set of the polled register ends its run; a set of another register
  // and an interrupt between two reads of 5 at 0x0021 do not: they are shown
  // under the run, indented, and what came after its last read unindented.
  // A set's "was" is what the log showed before.
  EXPECT_EQ(r.out,
            "write 0x0020 = 0x00000005 (was 0x00000000)\n"
            "read 0x0021 \u00d72 = 0x00000000\n"
            "set 0x0021 = 0x00000005 (was 0x00000000)\n"
            "read 0x0021 \u00d72 = 0x00000005\n"
            "  set 0x0020 = 0x00000000 (was 0x00000005)\n"
            "  irq vector 0 (MSI-X)\n"
            "irq vector 2 (MSI-X)\n"
            "irq vector 0 (MSI-X)\n");
  EXPECT_EQ(r.err, "");
}

TEST(TraceScriptReport, SummaryCountsSetsApartAndInterruptsPerVector) {
  auto r = trace({"summary"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "# 2 registers, 5 accesses, 2 set by the device script, from 2026-03-01T12:00:00.000100Z to "
            "2026-03-01T12:00:00.000800Z; times in seconds since the first access\n"
            "index   offset       reads     writes       sets  last-set     first-write  last-write   first-read   "
            "last-read     first-time    last-time\n"
            "0x0020  0x80             0          1          1  0x00000000   0x00000005   0x00000005   -            -"
            "               0.000000     0.000500\n"
            "0x0021  0x84             4          0          1  0x00000005   -            -            0x00000000   "
            "0x00000005      0.000100     0.000700\n"
            "# 3 interrupts raised by the device script: vector 0 (MSI-X) \u00d72, vector 2 (MSI-X) \u00d71\n");
  // The line counts on the error stream count them apart from the guest's accesses.
  EXPECT_EQ(r.err,
            "zephon-trace: standard input: 11 lines: 5 register accesses, 5 device script lines, 1 other lines "
            "passed over, 0 malformed lines skipped\n");
}

TEST(TraceScriptReport, ALogOfInterruptsAloneSaysSo) {
  auto r = trace({"summary", "--quiet"}, plain_line(stamp(1), "DEBUG", "zephon", "Irq   vector 1 (INTx)") + "\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "# no register accesses\n# 1 interrupts raised by the device script: vector 1 (INTx) \u00d71\n");
}

TEST(TraceScriptReport, ExportNamesEachKind) {
  auto csv = trace({"export", "--quiet"});
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out,
            "time,op,index,offset,value\n"
            "2026-03-01T12:00:00.000100Z,write,32,128,5\n"
            "2026-03-01T12:00:00.000200Z,read,33,132,0\n"
            "2026-03-01T12:00:00.000300Z,read,33,132,0\n"
            "2026-03-01T12:00:00.000400Z,set,33,132,5\n"
            "2026-03-01T12:00:00.000500Z,read,33,132,5\n"
            "2026-03-01T12:00:00.000600Z,set,32,128,0\n"
            "2026-03-01T12:00:00.000700Z,irq,0,,MSI-X\n"
            "2026-03-01T12:00:00.000800Z,read,33,132,5\n"
            "2026-03-01T12:00:00.000900Z,irq,2,,MSI-X\n"
            "2026-03-01T12:00:00.001000Z,irq,0,,MSI-X\n");
  auto json = trace({"export", "--format=jsonl", "--quiet"});
  EXPECT_EQ(json.status, 0) << json.err;
  auto rows = lines_of(json.out);
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(rows[3], "{\"time\":\"2026-03-01T12:00:00.000400Z\",\"op\":\"set\",\"index\":33,\"offset\":132,\"value\":5}");
  EXPECT_EQ(rows[6], "{\"time\":\"2026-03-01T12:00:00.000700Z\",\"op\":\"irq\",\"index\":0,\"offset\":null,\"value\":"
                     "\"MSI-X\"}");
}

// Every register and interrupt line of the log, rebuilt from the CSV and
// JSON Lines rows, is the line zephon wrote.
TEST(TraceScriptReport, ExportRoundTripsToTheLogLines) {
  std::vector<std::string> event_lines;
  for (const auto& line : lines_of(kLog)) {
    if (line.find("vfio_user") == std::string::npos) event_lines.push_back(line);
  }
  auto csv = lines_of(trace({"export", "--quiet"}).out);
  auto json = lines_of(trace({"export", "--format=jsonl", "--quiet"}).out);
  ASSERT_EQ(csv.size(), event_lines.size() + 1);
  ASSERT_EQ(json.size(), event_lines.size());
  for (std::size_t i = 0; i < event_lines.size(); ++i) {
    std::vector<std::string> f;
    std::istringstream row(csv[i + 1]);
    for (std::string field; std::getline(row, field, ',');) f.push_back(field);
    if (csv[i + 1].ends_with(',')) f.emplace_back();
    ASSERT_EQ(f.size(), 5u) << csv[i + 1];
    auto j = nlohmann::json::parse(json[i]);
    EXPECT_EQ(j["time"], f[0]);
    EXPECT_EQ(j["op"], f[1]);
    std::string message;
    if (f[1] == "irq") {
      EXPECT_TRUE(f[3].empty());
      EXPECT_TRUE(j["offset"].is_null());
      EXPECT_EQ(j["value"], f[4]);
      message = fmt::format("Irq   vector {} ({})", f[2], f[4]);
    } else {
      const auto index = std::stoul(f[2]), offset = std::stoul(f[3]), value = std::stoul(f[4]);
      EXPECT_EQ(j["value"], value);
      const std::string_view verb = f[1] == "read" ? "Read " : f[1] == "write" ? "Write" : "Set  ";
      message = fmt::format("{} regs[{:#06x}] ({:#x}) = {:#010x}", verb, index, offset, value);
    }
    EXPECT_EQ(j["index"], std::stoul(f[2]));
    const std::string rebuilt = fmt::format("{} DEBUG zephon: {}", f[0], message);
    // The coloured line is compared by what it says.
    LineParser a, b;
    auto want = a.parse(event_lines[i]);
    auto got = b.parse(rebuilt);
    ASSERT_EQ(got.kind, LineKind::Register) << rebuilt;
    EXPECT_EQ(got.event.op, want.event.op) << rebuilt;
    EXPECT_EQ(got.event.index, want.event.index) << rebuilt;
    EXPECT_EQ(got.event.value, want.event.value) << rebuilt;
    EXPECT_EQ(got.event.irq, want.event.irq) << rebuilt;
    if (!event_lines[i].starts_with('\x1b')) {
      EXPECT_EQ(rebuilt, event_lines[i]);
    }
  }
}

TEST(TraceScriptReport, LastValuesTakeSetsAndPassOverInterrupts) {
  // What a log compared with a dump shows last: the script's set of 0x0020
  // after the guest's write; an interrupt's vector is no register value.
  LastValues last;
  LineParser parser;
  for (const auto& line : lines_of(kLog)) {
    auto p = parser.parse(line);
    if (p.kind == LineKind::Register) last.on_event(p.event);
  }
  EXPECT_EQ(last.values()[0x20], 0u);
  EXPECT_EQ(last.values()[0x21], 5u);
  EXPECT_TRUE(last.seen()[0x20]);
  EXPECT_FALSE(last.seen()[0]);
  EXPECT_EQ(last.seen().count(), 2u);
}

TEST(TraceScriptReport, PlotMarksSetsApartAndInterruptsOnTheTimeAxis) {
  PlotGrid grid;
  LineParser parser;
  for (const auto& line : lines_of(kLog)) {
    auto p = parser.parse(line);
    if (p.kind == LineKind::Register) grid.on_event(p.event);
  }
  EXPECT_EQ(grid.reads(), 4u);
  EXPECT_EQ(grid.writes(), 1u);
  EXPECT_EQ(grid.sets(), 2u);
  EXPECT_EQ(grid.interrupts(), 3u);
  EXPECT_EQ(grid.registers(), (std::vector<std::uint16_t>{0x20, 0x21}));

  auto points = [&](auto write) {
    int fd = trace_samples::memory_file("");
    {
      Output out(fd);
      write(out);
      EXPECT_TRUE(out.finish().has_value());
    }
    std::string text = trace_samples::file_text(fd);
    ::close(fd);
    return text;
  };
  // Slices are 1 µs wide over this short log: a point per event time.
  EXPECT_EQ(points([&](Output& out) { grid.write_points(out, Op::Set); }), "0.000500 128\n0.000300 132\n");
  EXPECT_EQ(points([&](Output& out) { grid.write_points(out, Op::Write); }), "0.000000 128\n");
  EXPECT_EQ(points([&](Output& out) { grid.write_interrupts(out); }), "0.000600\n0.000800\n0.000900\n");

  const std::string script = plot_script(grid, PlotOptions{.output = "x.png", .title = "t"}, "d");
  EXPECT_NE(script.find("'d' index 2 using 1:2 with points pt 9 ps 0.9 lc rgb '#2ca02c' title 'set by the script (2)'"),
            std::string::npos)
      << script;
  EXPECT_NE(script.find("'d' index 3 using 1:(-2) with points pt 11 ps 1.2 lc rgb '#ff7f0e' title 'interrupt (3)'"),
            std::string::npos)
      << script;
}

}  // namespace
}  // namespace zephon_trace

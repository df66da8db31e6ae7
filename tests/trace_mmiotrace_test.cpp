// zephon-trace on mmiotrace text logs: the record parser, the choice of the
// register BAR among the mappings, and every command on a small trace made
// by the tests' own generator (several mappings, a remap, markers, 8-, 16-,
// 32- and 64-bit accesses, an UNKNOWN record).
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dump.h"
#include "recording/mmiotrace_line.h"
#include "run.h"
#include "trace_inprocess.h"
#include "trace_samples.h"

namespace zephon_trace {
namespace {

using trace_samples::mmio_access;
using trace_samples::mmio_map;
using trace_samples::mmio_mark;

constexpr std::uint64_t kRegs = 0xf0000000;

// A driver at work on a card with three mappings: VRAM (256 MiB), the
// registers (256 KiB) and another device's 128 KiB; the registers unmapped
// and mapped again (a new id) near the end.
std::string small_trace() {
  const std::vector<std::string> lines = {
      "VERSION 20070824",
      "PCIDEV 0008 10026780 b e0000008 0 f0000000 0 0 0 f0040000 10000000 0 40000 0 0 0 10000 radeon",
      "PCIDEV 0010 8086100e a febc0000 0 0 0 0 0 0 20000 0 0 0 0 0 0 ",
      mmio_map(1000000, 1, 0xe0000000, 0x10000000),
      mmio_map(1000010, 2, kRegs, 0x40000),
      mmio_map(1000020, 3, 0xfebc0000, 0x20000),
      mmio_mark(1000030, "driver loaded"),
      mmio_access('R', 4, 1000100, 2, kRegs + 0x5c, 0x1234),
      mmio_access('W', 4, 1000200, 3, 0xfebc0000, 0x1),
      mmio_access('R', 1, 1000300, 2, kRegs + 0x5d, 0x12),
      mmio_access('W', 2, 1000400, 2, kRegs + 0x62, 0xbeef),
      mmio_access('R', 4, 1000500, 1, 0xe0000000, 0x0),
      "UNKNOWN 1.000600 2 0xf0000100 0f,0b,00 0x0 0",
      mmio_access('R', 4, 1000700, 2, kRegs + 0xc34c, 0x0),
      mmio_access('R', 4, 1000800, 2, kRegs + 0xc34c, 0x0),
      mmio_access('R', 4, 1000900, 2, kRegs + 0xc34c, 0x6),
      mmio_mark(1001000, "X is up"),
      mmio_access('W', 8, 1001100, 2, kRegs + 0x100, 0x100000002),
      "UNMAP 1.002000 2 0x0 0",
      mmio_map(1003000, 4, kRegs, 0x40000),
      mmio_access('R', 4, 1003100, 4, kRegs + 0x4, 0xcafe),
      "UNMAP 1.004000 4 0x0 0",
  };
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  return text;
}

trace_samples::TraceResult trace(const std::vector<std::string>& args, std::string_view input = small_trace()) {
  return trace_samples::run_trace(args, input);
}

TEST(TraceMmiotraceLine, RecordsAsTheKernelPrintsThem) {
  auto r = parse_mmiotrace_line("R 2 12.000345 7 0xf000005e 0xbeef 0xffffffffc0ab1234 0");
  ASSERT_EQ(r.kind, MmioKind::Read) << r.reason;
  EXPECT_EQ(r.width, 2);
  EXPECT_EQ(r.time_us, 12000345);
  EXPECT_EQ(r.time_text, "12.000345");
  EXPECT_EQ(r.map_id, 7u);
  EXPECT_EQ(r.phys, 0xf000005eu);
  EXPECT_EQ(r.value, 0xbeefu);
  // A sign-extending byte read keeps the byte.
  EXPECT_EQ(parse_mmiotrace_line("R 1 0.000001 1 0x10 0xffffff80 0x0 0").value, 0x80u);
  auto m = parse_mmiotrace_line("MAP 3.000000 2 0xf0000000 0xffffc90000400000 0x40000 0x0 0");
  EXPECT_EQ(m.kind, MmioKind::Map);
  EXPECT_EQ(m.value, 0x40000u);
  auto mark = parse_mmiotrace_line("MARK 4.000001 the text, with  spaces");
  EXPECT_EQ(mark.kind, MmioKind::Mark);
  EXPECT_EQ(mark.text, "the text, with  spaces");
  EXPECT_EQ(parse_mmiotrace_line("UNKNOWN 1.000600 2 0xf0000100 0f,0b,00 0x0 0").kind, MmioKind::Unknown);
  EXPECT_EQ(parse_mmiotrace_line("UNMAP 1.000600 2 0x0 0").kind, MmioKind::Unmap);
  EXPECT_EQ(parse_mmiotrace_line("VERSION 20070824").text, "20070824");
  EXPECT_EQ(parse_mmiotrace_line("PCIDEV 0008 10026780 b").kind, MmioKind::Header);
  EXPECT_EQ(parse_mmiotrace_line("rw what?").kind, MmioKind::Other);
}

TEST(TraceMmiotraceLine, WrongOrCutRecordsAreMalformed) {
  const std::string read = "W 8 1.000100 2 0xf0000100 0x100000002 0x0 0";
  for (std::size_t n = 1; n < read.size(); ++n) {
    auto r = parse_mmiotrace_line(read.substr(0, n));
    EXPECT_EQ(r.kind, MmioKind::Malformed) << read.substr(0, n);
    EXPECT_EQ(r.reason, "line ends early (cut short?)") << read.substr(0, n);
  }
  for (const auto& [line, reason] : std::vector<std::pair<std::string, std::string_view>>{
           {"R 3 1.000100 2 0x10 0x1 0x0 0", "access width is not 1, 2, 4 or 8 bytes"},
           {"R 4 1.0001 2 0x10 0x1 0x0 0", "time is not SECONDS.MICROSECONDS"},
           {"R 4 1.000100 x 0x10 0x1 0x0 0", "mapping id is not a decimal number"},
           {"R 4 1.000100 2 10 0x1 0x0 0", "physical address is not 0x and hex digits"},
           {"R 4 1.000100 2 0x10 0x10000000000000000 0x0 0", "value is not 0x and hex digits"},
           {"R 4 1.000100 2 0x10 0x1 0x0 0 9", "unexpected text after the record"},
           {"R 4 1.000100 2  0x10 0x1 0x0 0", "physical address is not 0x and hex digits"},
           {"R,4 1.000100 2 0x10 0x1 0x0 0", ""},
           {"MAP 1.000000 1 0xe0000000 0x0 0x1000 0x0", "line ends early (cut short?)"},
           {"UNKNOWN 1.000600 2 0xf0000100 0f,0b 0x0 0", "instruction bytes are not three hex bytes"},
       }) {
    auto r = parse_mmiotrace_line(line);
    EXPECT_EQ(r.kind, reason.empty() ? MmioKind::Other : MmioKind::Malformed) << line;
    EXPECT_EQ(r.reason, reason) << line;
  }
}

TEST(TraceMmiotrace, SequenceKeepsWidthsAndMarkersInPlace) {
  auto r = trace({"sequence", "--time"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "    0.000000 mark driver loaded\n"
            "    0.000070 read 0x0017 = 0x00001234\n"
            "    0.000270 read8 0x0017+1 = 0x12\n"
            "    0.000370 write16 0x0018+2 = 0xbeef (was 0x0000)\n"
            "    0.000670 read 0x30d3 \u00d72 = 0x00000000\n"
            "    0.000870 read 0x30d3 = 0x00000006\n"
            "    0.000970 mark X is up\n"
            "    0.001070 write64 0x0040 = 0x0000000100000002 (was 0x0000000000000000)\n"
            "    0.003070 read 0x0001 = 0x0000cafe\n");
  // The register BAR found, and every kind of line counted.
  EXPECT_EQ(r.err,
            "zephon-trace: standard input: an mmiotrace; its register BAR: mapping 2 at 0xf0000000 (256 KiB)\n"
            "zephon-trace: standard input: 22 lines: 8 register accesses, 2 markers, 2 accesses to other mappings "
            "passed over, 1 undecoded accesses (UNKNOWN) passed over, 9 other lines passed over, 0 malformed lines "
            "skipped\n");
}

TEST(TraceMmiotrace, SummaryHasARowPerPlaceAndWidth) {
  auto r = trace({"summary", "--quiet"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "# 6 registers, 8 accesses, from 1.000100 to 1.003100; times in seconds since the first access\n"
            "index     offset   bits      reads     writes  first-write  last-write   first-read   last-read     "
            "first-time    last-time\n"
            "0x0017    0x5c       32          1          0  -            -            0x00001234   0x00001234      "
            "0.000000     0.000000\n"
            "0x0017+1  0x5d        8          1          0  -            -            0x12         0x12            "
            "0.000200     0.000200\n"
            "0x0018+2  0x62       16          0          1  0xbeef       0xbeef       -            -               "
            "0.000300     0.000300\n"
            "0x30d3    0xc34c     32          3          0  -            -            0x00000000   0x00000006      "
            "0.000600     0.000800\n"
            "0x0040    0x100      64          0          1  0x0000000100000002  0x0000000100000002  -            -  "
            "             0.001000     0.001000\n"
            "0x0001    0x4        32          1          0  -            -            0x0000cafe   0x0000cafe      "
            "0.003000     0.003000\n");
}

TEST(TraceMmiotrace, ExportNamesWidthsAndQuotesMarkers) {
  auto csv = trace({"export", "--quiet"}, small_trace() + mmio_mark(1005000, "say \"hi\", twice") + "\n");
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out,
            "time,op,index,offset,value\n"
            "1.000030,mark,,,\"driver loaded\"\n"
            "1.000100,read,23,92,4660\n"
            "1.000300,read8,23,93,18\n"
            "1.000400,write16,24,98,48879\n"
            "1.000700,read,12499,49996,0\n"
            "1.000800,read,12499,49996,0\n"
            "1.000900,read,12499,49996,6\n"
            "1.001000,mark,,,\"X is up\"\n"
            "1.001100,write64,64,256,4294967298\n"
            "1.003100,read,1,4,51966\n"
            "1.005000,mark,,,\"say \"\"hi\"\", twice\"\n");
  auto json = trace({"export", "--format=jsonl", "--quiet"},
                    "VERSION 20070824\n" + mmio_map(0, 1, kRegs, 0x40000) + "\n" + mmio_mark(0, "\xff\x01") + "\n");
  EXPECT_EQ(json.out, "{\"time\":\"0.000000\",\"op\":\"mark\",\"index\":null,\"offset\":null,\"value\":\"\xef\xbf\xbd\\u0001\"}\n");
}

TEST(TraceMmiotrace, TheRegisterBarIsChosenOrTheTraceRefused) {
  // Another mapping named by id or by address: the other device's register.
  for (const auto& choice : {std::string("--map=3"), std::string("--base=0xfebc0000")}) {
    auto r = trace({"sequence", choice});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "mark driver loaded\nwrite 0x0000 = 0x00000001 (was 0x00000000)\nmark X is up\n") << choice;
  }
  const std::string listed =
      "mappings in the trace: 1 at 0xe0000000 (256 MiB), 2 at 0xf0000000 (256 KiB), 3 at 0xfebc0000 (128 KiB)";
  auto wrong_id = trace({"summary", "--map=9"});
  EXPECT_EQ(wrong_id.status, 2);
  EXPECT_EQ(wrong_id.err, "zephon-trace: standard input: no mapping has the id 9 (" + listed + ")\n");
  auto wrong_base = trace({"summary", "--base=0x1000"});
  EXPECT_EQ(wrong_base.err, "zephon-trace: standard input: no mapping holds 0x1000 (" + listed + ")\n");
  // Without a choice: a second mapping of 256 KiB elsewhere, or none at all.
  auto two = trace({"summary", "--strict"}, small_trace() + mmio_map(1005000, 5, 0xf1000000, 0x40000) + "\n");
  EXPECT_EQ(two.status, 2);  // refused whether strict or not, and not said to be for --strict
  EXPECT_EQ(two.err, "zephon-trace: standard input: more than one mapping of 256 KiB (" + listed +
                         ", 5 at 0xf1000000 (256 KiB)); name the register BAR with --map ID or --base ADDRESS\n");
  auto none = trace({"summary"}, "VERSION 20070824\n" + mmio_map(0, 1, 0xe0000000, 0x1000) + "\n");
  EXPECT_EQ(none.err, "zephon-trace: standard input: no mapping of 256 KiB, the size of the register BAR (mappings "
                      "in the trace: 1 at 0xe0000000 (4 KiB)); name the register BAR with --map ID or --base ADDRESS\n");
  auto version = trace({"summary"}, "VERSION 20990101\n");
  EXPECT_EQ(version.err, "zephon-trace: standard input: an mmiotrace of format version '20990101'; only 20070824 is "
                         "known\n");
}

TEST(TraceMmiotrace, MalformedRecordsAreSkippedOrRefused) {
  const std::string log = small_trace() + "R 4 1.005000 2 0xf0000010\n";
  auto r = trace({"summary", "--quiet"}, log);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "zephon-trace: standard input:23: line ends early (cut short?): R 4 1.005000 2 0xf0000010\n");
  auto strict = trace({"summary", "--strict"}, log);
  EXPECT_EQ(strict.status, 2);
  EXPECT_EQ(strict.err, r.err + "zephon-trace: standard input: line 23: line ends early (cut short?) (refused: --strict)\n");
}

TEST(TraceMmiotrace, DiffAndFollowReadItToo) {
  // A dump holding what the trace last showed of register 0x0017, and
  // nothing else: the registers the trace shows otherwise differ.
  const auto dir = std::filesystem::temp_directory_path() / fmt::format("trace-mmio-{}", ::getpid());
  std::filesystem::create_directories(dir);
  std::string dump(kDumpSize, '\0');
  dump[0x5c] = 0x34, dump[0x5d] = 0x12;
  std::ofstream((dir / "regs.bin").string(), std::ios::binary) << dump;
  auto diff = trace({"diff", "--quiet", "--log=-", (dir / "regs.bin").string()});
  std::filesystem::remove_all(dir);
  EXPECT_EQ(diff.status, 1) << diff.err;
  EXPECT_NE(diff.out.find("\n0x0018  0x60     0xbeef0000  0x00000000\n0x0040  0x100    0x00000002  0x00000000\n"
                          "0x0041  0x104    0x00000001  0x00000000\n"),
            std::string::npos)
      << diff.out;
  // Followed through a pipe, as the tracer's trace_pipe is read: it ends
  // when the writer closes it.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string text = small_trace();
  ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fds[1]);
  const int out = trace_samples::memory_file(""), err = trace_samples::memory_file("");
  std::vector<std::string_view> args = {"sequence", "--follow", "--quiet"};
  EXPECT_EQ(run("zephon-trace", args, Streams{fds[0], out, err}), 0) << trace_samples::file_text(err);
  EXPECT_EQ(trace_samples::file_text(out), trace({"sequence", "--quiet"}).out);
  ::close(fds[0]), ::close(out), ::close(err);
}

TEST(TraceMmiotrace, APlotIsTitledAsAnMmiotrace) {
  // A gnuplot that keeps the commands it was given and writes a stand-in
  // picture, so the title zephon-trace chose can be read.
  const auto dir = std::filesystem::temp_directory_path() / fmt::format("trace-mmio-plot-{}", ::getpid());
  std::filesystem::create_directories(dir);
  const auto fake = dir / "gnuplot";
  std::ofstream(fake.string()) << "#!/bin/sh\ncp \"$1\" " << (dir / "plot.gp").string() << " && printf x > "
                               << (dir / "t.png").string() << "\n";
  std::filesystem::permissions(fake, std::filesystem::perms::owner_all);
  const std::string path = ::getenv("PATH") ? ::getenv("PATH") : "/usr/bin:/bin";
  ::setenv("PATH", (dir.string() + ":" + path).c_str(), 1);
  auto plot = trace({"plot", "--quiet", "-o", (dir / "t.png").string()});
  ::setenv("PATH", path.c_str(), 1);
  std::ifstream in((dir / "plot.gp").string());
  const std::string commands((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove_all(dir);
  EXPECT_EQ(plot.status, 0) << plot.err;
  EXPECT_NE(commands.find("set title 'mmiotrace register accesses: standard input'\n"), std::string::npos) << commands;
}

TEST(TraceMmiotrace, NarrowAndWideAccessesChangeOnlyTheirBytes) {
  // The last values a dump is compared with.
  LastValues last;
  auto access = [&](std::uint8_t width, std::uint8_t byte, std::uint16_t index, std::uint64_t value) {
    Event e;
    e.op = Op::Write;
    e.width = width;
    e.byte = byte;
    e.index = index;
    e.value = value;
    last.on_event(e);
  };
  access(4, 0, 0x17, 0x11223344);
  access(1, 1, 0x17, 0xaa);
  access(2, 2, 0x17, 0xbbcc);
  access(8, 0, 0x40, 0x0102030405060708);
  EXPECT_EQ(last.values()[0x17], 0xbbccaa44u);
  EXPECT_EQ(last.values()[0x40], 0x05060708u);
  EXPECT_EQ(last.values()[0x41], 0x01020304u);
  EXPECT_EQ(last.seen().count(), 3u);
}

}  // namespace
}  // namespace zephon_trace

// zephon-trace's reading of logs: the line parser on plain and coloured
// lines, the lines it passes over, the malformed lines it reports, and the
// block reader's line numbers, refusals and limits.
#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording/line_parser.h"
#include "recording/log_scanner.h"
#include "trace_samples.h"

namespace zephon_trace {
namespace {

using trace_samples::colour_line;
using trace_samples::memory_file;
using trace_samples::plain_line;

constexpr std::string_view kStamp = "2026-03-01T12:00:00.000123Z";
constexpr std::int64_t kStampMicros = 1772366400000123;

ParsedLine parse(std::string_view line) {
  LineParser parser;
  return parser.parse(line);
}

TEST(TraceLine, PlainRead) {
  // The event's time text points into the line, so the line must outlive it.
  const std::string line = plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0017] (0x5c) = 0x00000000");
  auto p = parse(line);
  ASSERT_EQ(p.kind, LineKind::Register) << p.reason;
  EXPECT_EQ(p.event.op, Op::Read);
  EXPECT_EQ(p.event.index, 0x17);
  EXPECT_EQ(p.event.value, 0u);
  EXPECT_EQ(p.event.time_us, kStampMicros);
  EXPECT_EQ(p.event.time_text, kStamp);
}

TEST(TraceLine, PlainWriteAtTheEdges) {
  auto p = parse(plain_line(kStamp, "DEBUG", "zephon", "Write regs[0xffff] (0x3fffc) = 0xffffffff"));
  ASSERT_EQ(p.kind, LineKind::Register) << p.reason;
  EXPECT_EQ(p.event.op, Op::Write);
  EXPECT_EQ(p.event.index, 0xffff);
  EXPECT_EQ(p.event.value, 0xffffffffu);
}

TEST(TraceLine, ColouredReadAndWrite) {
  const std::string read = colour_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0004] (0x10) = 0x12345678");
  auto r = parse(read);
  ASSERT_EQ(r.kind, LineKind::Register) << r.reason;
  EXPECT_EQ(r.event.op, Op::Read);
  EXPECT_EQ(r.event.index, 4);
  EXPECT_EQ(r.event.value, 0x12345678u);
  EXPECT_EQ(r.event.time_text, kStamp);
  auto w = parse(colour_line(kStamp, "DEBUG", "zephon", "Write regs[0x0000] (0x0) = 0x00000001"));
  ASSERT_EQ(w.kind, LineKind::Register) << w.reason;
  EXPECT_EQ(w.event.op, Op::Write);
  EXPECT_EQ(w.event.index, 0);
  EXPECT_EQ(w.event.value, 1u);
}

TEST(TraceLine, CarriageReturnIsIgnored) {
  EXPECT_EQ(parse(plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0001] (0x4) = 0x00000002") + "\r").kind,
            LineKind::Register);
}

TEST(TraceLine, TimestampsAcrossSecondsAndDays) {
  LineParser parser;
  auto a = parser.parse(plain_line("2024-02-29T23:59:59.999999Z", "DEBUG", "zephon", "Read  regs[0x0001] (0x4) = 0x00000000"));
  auto b = parser.parse(plain_line("2024-03-01T00:00:00.000000Z", "DEBUG", "zephon", "Read  regs[0x0001] (0x4) = 0x00000000"));
  ASSERT_EQ(a.kind, LineKind::Register);
  ASSERT_EQ(b.kind, LineKind::Register);
  EXPECT_EQ(a.event.time_us, 1709251199999999);
  EXPECT_EQ(b.event.time_us - a.event.time_us, 1);
}

TEST(TraceLine, OtherLinesArePassedOver) {
  for (const std::string& line : {
           plain_line(kStamp, " INFO", "vfio_user", "Connection closed"),
           plain_line(kStamp, " WARN", "zephon", "Invalid read of 0x2 bytes from register at offset 0x10"),
           plain_line(kStamp, " WARN", "zephon::pci", "bad PCI config word write offset 257"),
           plain_line(kStamp, "ERROR", "vfio_user", "Error handling command: 3: Unsupported"),
           colour_line(kStamp, " INFO", "vfio_user", "Connection closed"),
           colour_line(kStamp, " WARN", "zephon", "Misaligned or out-of-bounds register write at offset 0x3"),
           std::string("failed to read ROM: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"),
           std::string("Usage: zephon <SOCKET> <ROM>"),
           std::string(""),
       }) {
    auto p = parse(line);
    EXPECT_EQ(p.kind, LineKind::Other) << line << ": " << p.reason;
  }
}

TEST(TraceLine, EveryCutOfARegisterLineIsMalformed) {
  for (const std::string& line : {plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0017] (0x5c) = 0x00000000"),
                                  colour_line(kStamp, "DEBUG", "zephon", "Write regs[0x0017] (0x5c) = 0x00000000")}) {
    for (std::size_t n = 5; n < line.size(); ++n) {
      auto p = parse(line.substr(0, n));
      EXPECT_EQ(p.kind, LineKind::Malformed) << n << ": " << line.substr(0, n);
      EXPECT_EQ(p.reason, "line ends early (cut short?)") << n;
    }
  }
}

struct WrongField {
  std::string line;
  std::string_view reason;
};

TEST(TraceLine, WrongFieldsAreNamed) {
  const std::vector<WrongField> cases = {
      {plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x00g7] (0x5c) = 0x00000000"),
       "register index is not 0x and 4 hex digits"},
      {plain_line(kStamp, "DEBUG", "zephon", "Read  regs[17] (0x5c) = 0x00000000"),
       "register index is not 0x and 4 hex digits"},
      {plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0017] (0x5d) = 0x00000000"),
       "byte offset is not 4 times the register index"},
      {plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0017] (0x) = 0x00000000"), "byte offset is not a hex number"},
      {plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0017] (0x5c) = 0x0000000z"),
       "value is not 0x and 8 hex digits"},
      {plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0017] (0x5c) = 0x00000000 and more"),
       "unexpected text after the value"},
      {plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0017] (0x5c) == 0x00000000"),
       "expected \") = 0x\" after the byte offset"},
      {plain_line(kStamp, "DEBUG", "zephon", "Read regs[0x0017] (0x5c) = 0x00000000"),
       "message starts like a register access but is not one"},
      {plain_line("2026-13-01T12:00:00.000123Z", "DEBUG", "zephon", "Read  regs[0x0017] (0x5c) = 0x00000000"),
       "timestamp is not YYYY-MM-DDTHH:MM:SS.ffffffZ"},
      {plain_line("2026-02-30T12:00:00.000123Z", " INFO", "vfio_user", "Connection closed"),
       "timestamp is not YYYY-MM-DDTHH:MM:SS.ffffffZ"},
      {plain_line(kStamp, "DEBUX", "zephon", "Read  regs[0x0017] (0x5c) = 0x00000000"), "unknown level"},
      {colour_line(kStamp, "DEBUX", "zephon", "Read  regs[0x0017] (0x5c) = 0x00000000"), "unknown level"},
      {std::string(kStamp) + " DEBUG zephon Read  regs[0x0017] (0x5c) = 0x00000000", "no ': ' after the target"},
  };
  for (const auto& c : cases) {
    auto p = parse(c.line);
    EXPECT_EQ(p.kind, LineKind::Malformed) << c.line;
    EXPECT_EQ(p.reason, c.reason) << c.line;
  }
  std::string nul = plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0017] (0x5c) = 0x00000000");
  nul[40] = '\0';
  EXPECT_EQ(parse(nul).reason, "binary data (a NUL byte)");
  std::string wrong_colour = colour_line(kStamp, " WARN", "zephon", "x");
  wrong_colour.replace(wrong_colour.find("\x1b[33m"), 5, "\x1b[31m");
  EXPECT_EQ(parse(wrong_colour).reason, "level colour does not match the level");
}

// Collects the events of a scan.
struct Collect final : EventSink {
  void on_event(const Event& e) override {
    events.push_back(fmt::format("{}:{} {:#06x} {:#010x} {}", e.line, op_name(e.op), e.index, e.value, e.time_text));
  }
  std::vector<std::string> events;
};

struct ScanResult {
  std::expected<ScanStats, std::string> stats;
  std::vector<std::string> events;
  std::vector<std::string> malformed;  // "LINE: reason"
};

ScanResult scan_text(std::string_view text, ScanOptions options = {}) {
  ScanResult result;
  Collect sink;
  options.on_malformed = [&](const MalformedLine& m) {
    result.malformed.push_back(fmt::format("{}: {}{}", m.line, m.reason, m.unterminated ? " (unterminated)" : ""));
  };
  int fd = memory_file(text);
  result.stats = scan_log(fd, sink, options);
  ::close(fd);
  result.events = sink.events;
  return result;
}

const std::string kMixedLog =
    plain_line(kStamp, " INFO", "vfio_user", "Received client version: major = 0 minor = 1") + "\n" +
    plain_line(kStamp, "DEBUG", "zephon", "Write regs[0x0004] (0x10) = 0x12345678") + "\n" +
    plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0004] (0x11) = 0x12345678") + "\n" +
    colour_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0004] (0x10) = 0x12345678") + "\n" +
    "2026-03-01T12:00:0\n" +
    plain_line(kStamp, " WARN", "zephon", "Invalid read of 0x2 bytes from register at offset 0x10") + "\n" +
    plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0005] (0x14) = 0x00000000");

TEST(TraceScan, CountsLinesAndNumbersEventsAndMalformedLines) {
  auto r = scan_text(kMixedLog);
  ASSERT_TRUE(r.stats.has_value()) << r.stats.error();
  EXPECT_EQ(r.stats->lines, 7u);
  EXPECT_EQ(r.stats->events, 3u);
  EXPECT_EQ(r.stats->other, 2u);
  EXPECT_EQ(r.stats->malformed, 2u);
  EXPECT_EQ(r.events, (std::vector<std::string>{
                          fmt::format("2:write 0x0004 0x12345678 {}", kStamp),
                          fmt::format("4:read 0x0004 0x12345678 {}", kStamp),
                          fmt::format("7:read 0x0005 0x00000000 {}", kStamp),
                      }));
  EXPECT_EQ(r.malformed, (std::vector<std::string>{"3: byte offset is not 4 times the register index",
                                                   "5: line ends early (cut short?)"}));
}

TEST(TraceScan, TinyBlocksGiveTheSameResult) {
  auto whole = scan_text(kMixedLog);
  for (std::size_t block : {1u, 7u, 64u, 100u}) {
    auto r = scan_text(kMixedLog, ScanOptions{.block_size = block, .max_line = 256});
    ASSERT_TRUE(r.stats.has_value());
    EXPECT_EQ(r.events, whole.events) << block;
    EXPECT_EQ(r.malformed, whole.malformed) << block;
  }
}

TEST(TraceScan, ACutLastLineIsReportedAsUnterminated) {
  std::string log = kMixedLog + "\n" + plain_line(kStamp, "DEBUG", "zephon", "Write regs[0x0006] (0x18) = 0x0000");
  auto r = scan_text(log);
  ASSERT_TRUE(r.stats.has_value());
  EXPECT_EQ(r.malformed.back(), "8: line ends early (cut short?) (unterminated)");
  EXPECT_EQ(r.stats->lines, 8u);
}

TEST(TraceScan, OverlongLinesAreSkippedAndCountingGoesOn) {
  std::string log = plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0001] (0x4) = 0x00000000") + "\n" +
                    std::string(1000, 'x') + "\n" +
                    plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0002] (0x8) = 0x00000000") + "\n";
  auto r = scan_text(log, ScanOptions{.block_size = 64, .max_line = 128});
  ASSERT_TRUE(r.stats.has_value());
  EXPECT_EQ(r.malformed, (std::vector<std::string>{"2: line too long for a zephon log line"}));
  ASSERT_EQ(r.events.size(), 2u);
  EXPECT_TRUE(r.events[1].starts_with("3:read 0x0002")) << r.events[1];
}

TEST(TraceScan, BinaryInputIsRefused) {
  auto r = scan_text(std::string(262144, '\0'));
  ASSERT_FALSE(r.stats.has_value());
  EXPECT_EQ(r.stats.error(), "binary data, not a zephon log (a NUL byte at byte 0, line 1)");
  auto late = scan_text(kMixedLog + "\n" + std::string("\x7f" "ELF\x02\x01\x01\0\0", 9));
  ASSERT_FALSE(late.stats.has_value());
  EXPECT_EQ(late.stats.error(),
            fmt::format("binary data, not a zephon log (a NUL byte at byte {}, line 8)", kMixedLog.size() + 8));
}

TEST(TraceScan, StrictStopsAtTheFirstMalformedLine) {
  auto r = scan_text(kMixedLog, ScanOptions{.strict = true});
  ASSERT_FALSE(r.stats.has_value());
  EXPECT_EQ(r.stats.error(), "line 3: byte offset is not 4 times the register index");
  EXPECT_EQ(r.events.size(), 1u);
}

TEST(TraceScan, ReadErrorsAreValues) {
  int fd = ::open("/", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  Collect sink;
  auto r = scan_log(fd, sink);
  ::close(fd);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "cannot read: Is a directory");
}

TEST(TraceLine, OnlyTheServersConnectionClosedEndsTheLog) {
  struct Case {
    std::string line;
    bool ends;
  };
  const std::vector<Case> cases = {
      {plain_line(kStamp, " INFO", "vfio_user", "Connection closed"), true},
      {colour_line(kStamp, " INFO", "vfio_user", "Connection closed"), true},
      {plain_line(kStamp, " INFO", "vfio_user", "Connection closed by peer"), false},
      {plain_line(kStamp, " WARN", "vfio_user", "Connection closed"), false},
      {plain_line(kStamp, " INFO", "zephon", "Connection closed"), false},
      {plain_line(kStamp, "DEBUG", "zephon", "Connection closed"), false},
      {plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0017] (0x5c) = 0x00000000"), false},
  };
  for (const auto& c : cases) {
    auto p = parse(c.line);
    EXPECT_EQ(p.ends_log, c.ends) << c.line;
    EXPECT_NE(p.kind, LineKind::Malformed) << c.line;
  }
}

TEST(TraceScan, PiecesHandedOverOneByOneGiveTheSameResult) {
  auto whole = scan_text(kMixedLog);
  for (std::size_t piece : {1u, 13u, 80u}) {
    Collect sink;
    std::vector<std::string> malformed;
    ScanOptions options;
    options.on_malformed = [&](const MalformedLine& m) { malformed.push_back(fmt::format("{}: {}", m.line, m.reason)); };
    LogScanner scanner(sink, options);
    for (std::size_t at = 0; at < kMixedLog.size(); at += piece) {
      const std::string_view part = std::string_view(kMixedLog).substr(at, piece);
      const std::span<char> room = scanner.space();
      ASSERT_GE(room.size(), part.size());
      std::copy(part.begin(), part.end(), room.begin());
      ASSERT_TRUE(scanner.take(part.size()).has_value());
    }
    EXPECT_EQ(scanner.stats().lines, 6u) << piece;  // the last line is unterminated
    auto stats = scanner.finish();
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(stats->lines, whole.stats->lines);
    EXPECT_EQ(sink.events, whole.events) << piece;
    EXPECT_EQ(malformed.size(), whole.malformed.size()) << piece;
  }
}

TEST(TraceScan, TheServersLastLineIsNoted) {
  auto without = scan_text(kMixedLog);
  ASSERT_TRUE(without.stats.has_value());
  EXPECT_FALSE(without.stats->closed);
  auto with = scan_text(kMixedLog + "\n" + plain_line(kStamp, " INFO", "vfio_user", "Connection closed") + "\n");
  ASSERT_TRUE(with.stats.has_value());
  EXPECT_TRUE(with.stats->closed);
  EXPECT_EQ(with.stats->other, without.stats->other + 1);
}

TEST(TraceScan, AScanEndingAtCloseReadsNothingAfterIt) {
  const std::string closed = plain_line(kStamp, " INFO", "vfio_user", "Connection closed") + "\n";
  const std::string next = plain_line(kStamp, "DEBUG", "zephon", "Read  regs[0x0009] (0x24) = 0x00000000");
  const std::string log = kMixedLog + "\n" + closed + next + "\n" + next.substr(0, 20);
  auto r = scan_text(log, ScanOptions{.end_at_close = true});
  ASSERT_TRUE(r.stats.has_value());
  EXPECT_EQ(r.stats->lines, 8u);
  EXPECT_EQ(r.events.size(), 3u);
  EXPECT_EQ(r.malformed.size(), 2u);  // those of kMixedLog only
  auto all = scan_text(log);
  ASSERT_TRUE(all.stats.has_value());
  EXPECT_EQ(all.stats->lines, 10u);
}

TEST(TraceScan, EmptyInputHasNoLines) {
  auto r = scan_text("");
  ASSERT_TRUE(r.stats.has_value());
  EXPECT_EQ(r.stats->lines, 0u);
}

}  // namespace
}  // namespace zephon_trace

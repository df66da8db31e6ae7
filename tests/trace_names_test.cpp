// zephon-trace's names files: the C header and CSV forms, the lines each
// skips and counts, the problems reported with their line numbers, names
// joined for one register, and the bounds on what a file can make it keep.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "names.h"
#include "server_fixture.h"

namespace zephon_trace {
namespace {

struct Parsed {
  RegisterNames names;
  NamesCounts counts;
  std::vector<std::string> problems;  // "LINE: text"
};

Parsed parse(std::string_view text, NamesFormat format) {
  Parsed p;
  p.counts = parse_names(text, format, p.names,
                         [&](const NameProblem& problem) { p.problems.push_back(fmt::format("{}: {}", problem.line, problem.text)); });
  return p;
}

// One names file and what must come of it.
struct NamesCase {
  std::string label;
  NamesFormat format;
  std::string text;
  std::vector<std::pair<std::uint16_t, std::string>> named;  // index and name(s), all that must be named
  NamesCounts counts;
  std::vector<std::string> problems;
};

void PrintTo(const NamesCase& c, std::ostream* os) { *os << c.label; }

class TraceNamesFile : public ::testing::TestWithParam<NamesCase> {};

TEST_P(TraceNamesFile, NamesCountsAndProblems) {
  const NamesCase& c = GetParam();
  Parsed p = parse(c.text, c.format);
  EXPECT_EQ(p.problems, c.problems);
  EXPECT_EQ(p.counts.names, c.counts.names);
  EXPECT_EQ(p.counts.skipped, c.counts.skipped);
  EXPECT_EQ(p.counts.problems, c.counts.problems);
  EXPECT_EQ(p.names.registers(), c.named.size());
  for (const auto& [index, name] : c.named) EXPECT_EQ(p.names.name(index), name) << fmt::format("{:#06x}", index);
}

const NamesCase kNamesCases[] = {
    {"HeaderAsDriversWriteThem", NamesFormat::Header,
     "/* registers */\n"
     "#ifndef SID_H\n"
     "#define SID_H\n"
     "#define RLC_STAT                                  0xC34C\n"
     "#define     RLC_BUSY_STATUS                       (1 << 0)\n"
     "\t#  define CP_ME_CNTL\t0x86d8 /* halts */\n"
     "#define DB_DEPTH_INFO 0x2803CUL // the last one\n"
     "#define MM_INDEX (0x0)\n"
     "#define SI_MAX_SH_GPRS 256\n"
     "#define GET_REG(x) 0x10\n"
     "#define SUM 0x10 + 4\n"
     "#endif\n",
     {{0x30d3, "RLC_STAT"}, {0x21b6, "CP_ME_CNTL"}, {0xa00f, "DB_DEPTH_INFO"}, {0, "MM_INDEX"}},
     {.names = 4, .skipped = 8, .problems = 0},
     {}},
    {"HeaderOffsetsOutsideOrMisaligned", NamesFormat::Header,
     "#define GOOD 0x3fffc\n"
     "#define PAST_THE_END 0x40000\n"
     "#define HALF 0x6\n"
     "#define HUGE 0x123456789abcdef01\n"
     "#define MASK 0xffffffff\n",
     {{0xffff, "GOOD"}},
     {.names = 1, .skipped = 0, .problems = 4},
     {"2: offset 0x40000 is outside BAR 2 (0x0 to 0x3fffc); skipped",
      "3: offset 0x6 is not a multiple of 4; skipped",
      "4: offset 0x123456789abcdef01 is outside BAR 2 (0x0 to 0x3fffc); skipped",
      "5: offset 0xffffffff is outside BAR 2 (0x0 to 0x3fffc); skipped"}},
    {"SeveralNamesForOneRegisterAreJoined", NamesFormat::Header,
     "#define MM_INDEX 0x0\n"
     "#define BIF_MM_INDEX 0x0\n"
     "#define MM_INDEX 0x0\n"
     "#define SRBM_STATUS 0xE50\n",
     {{0, "MM_INDEX/BIF_MM_INDEX"}, {0x394, "SRBM_STATUS"}},
     {.names = 4, .skipped = 0, .problems = 0},
     {}},
    {"CsvWithHeadingHexAndDecimal", NamesFormat::Csv,
     "offset,name\n"
     "0xc34c,RLC_STAT\n"
     "\n"
     "# a comment\n"
     "16, \"MM_PORT\"\n"
     "0x86D8,CP_ME_CNTL,halts the engines\r\n",
     {{0x30d3, "RLC_STAT"}, {4, "MM_PORT"}, {0x21b6, "CP_ME_CNTL"}},
     {.names = 3, .skipped = 3, .problems = 0},
     {}},
    {"CsvProblems", NamesFormat::Csv,
     "0x10,GOOD\n"
     "offset,name\n"
     "0x40000,PAST\n"
     "18,HALF\n"
     "0x20\n"
     "0x24,\n"
     "0x28,has space\n"
     "0x2c," + std::string(65, 'N') + "\n"
     "0x10,OTHER\n",
     {{4, "GOOD/OTHER"}},
     {.names = 2, .skipped = 0, .problems = 7},
     {"2: not OFFSET,NAME; skipped", "3: offset 0x40000 is outside BAR 2 (0x0 to 0x3fffc); skipped",
      "4: offset 18 is not a multiple of 4; skipped", "5: not OFFSET,NAME; skipped",
      "6: no name after the offset; skipped",
      "7: name has characters other than letters, digits and _.:[]-; skipped",
      "8: name longer than 64 characters; skipped"}},
    {"AHeaderReadAsCsvNamesNothing", NamesFormat::Csv, "#define RLC_STAT 0xC34C\n",
     {}, {.names = 0, .skipped = 1, .problems = 0}, {}},
};

INSTANTIATE_TEST_SUITE_P(Forms, TraceNamesFile, ::testing::ValuesIn(kNamesCases),
                         [](const auto& info) { return info.param.label; });

TEST(TraceNames, JoinedNamesAreBounded) {
  std::string text;
  for (int i = 0; i < 20; ++i) text += fmt::format("#define ALIAS_NUMBER_{:02} 0x40\n", i);
  Parsed p = parse(text, NamesFormat::Header);
  const std::string_view joined = p.names.name(0x10);
  EXPECT_LE(joined.size(), kMaxJoinedNames);
  EXPECT_TRUE(joined.starts_with("ALIAS_NUMBER_00/ALIAS_NUMBER_01/")) << joined;
  EXPECT_EQ(p.counts.names + p.counts.problems, 20u);
  ASSERT_FALSE(p.problems.empty());
  EXPECT_TRUE(p.problems[0].find("too many names for offset 0x40 (already ALIAS_NUMBER_00/") != std::string::npos)
      << p.problems[0];
}

TEST(TraceNames, FormatFollowsTheFileName) {
  EXPECT_EQ(names_format("regs.csv"), NamesFormat::Csv);
  EXPECT_EQ(names_format("/x/REGS.CSV"), NamesFormat::Csv);
  EXPECT_EQ(names_format("sid.h"), NamesFormat::Header);
  EXPECT_EQ(names_format("csv"), NamesFormat::Header);
  EXPECT_EQ(names_format("names.csv.h"), NamesFormat::Header);
}

TEST(TraceNames, UnnamedRegistersHaveNoName) {
  RegisterNames names;
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(names.name(0x1234), "");
  EXPECT_EQ(names.add(0x1234, "A"), "");
  EXPECT_EQ(names.name(0x1234), "A");
  EXPECT_EQ(names.name(0x1235), "");
  EXPECT_EQ(names.registers(), 1u);
}

TEST(TraceNames, FilesAreReadWholeUpToALimit) {
  const auto dir = zephon_test::make_temp_dir();
  std::ofstream(dir / "sid.h") << "#define RLC_STAT 0xC34C\n";
  auto text = read_names_file((dir / "sid.h").string());
  ASSERT_TRUE(text.has_value()) << text.error();
  EXPECT_EQ(*text, "#define RLC_STAT 0xC34C\n");
  {
    std::ofstream big(dir / "big.h");
    const std::string line(1 << 20, '/');
    for (std::size_t i = 0; i <= kMaxNamesFile >> 20; ++i) big << line;
  }
  auto big = read_names_file((dir / "big.h").string());
  ASSERT_FALSE(big.has_value());
  EXPECT_EQ(big.error(), "larger than 64 MiB, too large for a names file");
  auto missing = read_names_file((dir / "missing.h").string());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), "No such file or directory");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zephon_trace

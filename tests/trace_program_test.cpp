// zephon-trace end to end: the real zephon driven over its socket by the
// project's client with known accesses, then the real zephon-trace run on the
// log and the dump zephon wrote.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <thread>

#include "client.h"
#include "server_fixture.h"
#include "trace_process.h"
#include "zephon_process.h"

namespace zephon_test {
namespace {

using vfio_user_client::Client;

struct Recording {
  std::filesystem::path log;
  std::filesystem::path dump;
};

class TraceProgram : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs zephon in dir_/name, lets drive() act as its client, and returns
  // where its log and dump are once it has exited.
  template <typename Drive>
  Recording record(const std::string& name, bool colour, Drive drive) {
    const auto where = dir_ / name;
    std::filesystem::create_directory(where);
    const auto socket = (where / "zephon.sock").string();
    const auto rom = (where / "rom.bin").string();
    std::ofstream(rom, std::ios::binary) << std::string("\x55\xaa", 2) << std::string(510, '\0');
    ZephonProcess process(where, {.args = {socket, rom}, .no_color = !colour});
    EXPECT_TRUE(ZephonProcess::wait_for_path(socket)) << process.err();
    // The socket file appears at bind, a moment before zephon listens.
    auto client = Client::connect(socket, 10000);
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         !client && std::chrono::steady_clock::now() < deadline;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      client = Client::connect(socket, 10000);
    }
    EXPECT_TRUE(client.has_value()) << (client ? "" : client.error());
    if (client) {
      EXPECT_TRUE(client->version().has_value());
      drive(*client);
      client->close();
    }
    EXPECT_EQ(process.wait(), 0) << process.err();
    return {where / "stderr", where / "stdout"};
  }

  TraceRun trace(const std::vector<std::string>& args, const std::filesystem::path& input = "/dev/null",
                 const std::vector<std::pair<std::string, std::string>>& env = {}) {
    return run_trace_binary(dir_, args, input, env);
  }

  std::filesystem::path dir_;
};

// The accesses of a short bring-up: a write read back, a status register
// polled 50 times, the last register, an access zephon refuses, a second
// write, a short poll.
void known_accesses(Client& c) {
  auto ok = [](const auto& r) { EXPECT_TRUE(r.has_value()) << r.error(); };
  ok(c.write32(2, 0x10, 0x12345678));
  ASSERT_EQ(c.read32(2, 0x10).value_or(0), 0x12345678u);
  for (int i = 0; i < 50; ++i) ok(c.read32(2, 0x3940));
  ok(c.region_read(2, 0x10, 2));
  ok(c.write32(2, 0x3fffc, 0x1));
  ASSERT_EQ(c.read32(2, 0x3fffc).value_or(0), 1u);
  ok(c.read32(2, 0x5c));
  ok(c.write32(2, 0x10, 0xdeadbeef));
  for (int i = 0; i < 3; ++i) ok(c.read32(2, 0x3940));
}

const char* const kSequence =
    "write 0x0004 = 0x12345678 (was 0x00000000)\n"
    "read 0x0004 = 0x12345678\n"
    "read 0x0e50 \u00d750 = 0x00000000\n"
    "write 0xffff = 0x00000001 (was 0x00000000)\n"
    "read 0xffff = 0x00000001\n"
    "read 0x0017 = 0x00000000\n"
    "write 0x0004 = 0xdeadbeef (was 0x12345678)\n"
    "read 0x0e50 \u00d73 = 0x00000000\n";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class TraceProgramColour : public TraceProgram, public ::testing::WithParamInterface<bool> {};

TEST_P(TraceProgramColour, KnownAccessesGiveExactRows) {
  const bool colour = GetParam();
  auto rec = record("run", colour, known_accesses);
  const std::string log_text = read_file(rec.log);
  ASSERT_EQ(log_text.find('\x1b') != std::string::npos, colour);

  auto summary = trace({"summary", rec.log.string()});
  ASSERT_EQ(summary.status, 0) << summary.err;
  EXPECT_EQ(summary.err, fmt::format("zephon-trace: {}: 63 lines: 59 register accesses, 4 other lines passed over, "
                                     "0 malformed lines skipped\n",
                                     rec.log.string()));
  auto rows = lines_of(summary.out);
  ASSERT_EQ(rows.size(), 6u) << summary.out;
  EXPECT_TRUE(rows[0].starts_with("# 4 registers, 59 accesses, from ")) << rows[0];
  // Each row without its two time columns, which depend on the clock.
  const std::size_t kTimes = 26;
  const std::vector<std::string> expected = {
      "0x0004  0x10             1          2  0x12345678   0xdeadbeef   0x12345678   0x12345678 ",
      "0x0e50  0x3940          53          0  -            -            0x00000000   0x00000000 ",
      "0xffff  0x3fffc          1          1  0x00000001   0x00000001   0x00000001   0x00000001 ",
      "0x0017  0x5c             1          0  -            -            0x00000000   0x00000000 ",
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_GT(rows[i + 2].size(), kTimes);
    EXPECT_EQ(rows[i + 2].substr(0, rows[i + 2].size() - kTimes), expected[i]) << rows[i + 2];
  }
  EXPECT_EQ(rows[2].substr(rows[2].size() - kTimes, 13), "     0.000000");

  auto by_count = trace({"summary", "--order=count", "--quiet", rec.log.string()});
  EXPECT_TRUE(lines_of(by_count.out)[2].starts_with("0x0e50  0x3940          53")) << by_count.out;

  auto sequence = trace({"sequence", "--quiet"}, rec.log);
  ASSERT_EQ(sequence.status, 0) << sequence.err;
  EXPECT_EQ(sequence.out, kSequence);
  EXPECT_EQ(sequence.err, "");
}

INSTANTIATE_TEST_SUITE_P(PlainAndColoured, TraceProgramColour, ::testing::Values(false, true));

TEST_F(TraceProgram, ExportRoundTripsToTheLogLines) {
  auto rec = record("run", false, known_accesses);
  std::vector<std::string> register_lines;
  for (const auto& line : lines_of(read_file(rec.log))) {
    if (line.find(" DEBUG zephon: ") != std::string::npos) register_lines.push_back(line);
  }
  ASSERT_EQ(register_lines.size(), 59u);

  auto csv = trace({"export", "--format=csv", "--quiet", rec.log.string()});
  auto jsonl = trace({"export", "--format=jsonl", "--quiet", rec.log.string()});
  ASSERT_EQ(csv.status, 0) << csv.err;
  ASSERT_EQ(jsonl.status, 0) << jsonl.err;
  auto csv_rows = lines_of(csv.out);
  auto json_rows = lines_of(jsonl.out);
  ASSERT_EQ(csv_rows.size(), 60u);
  ASSERT_EQ(json_rows.size(), 59u);
  EXPECT_EQ(csv_rows[0], "time,op,index,offset,value");
  for (std::size_t i = 0; i < register_lines.size(); ++i) {
    std::vector<std::string> f;
    std::istringstream row(csv_rows[i + 1]);
    for (std::string field; std::getline(row, field, ',');) f.push_back(field);
    ASSERT_EQ(f.size(), 5u) << csv_rows[i + 1];
    const auto index = std::stoul(f[2]), offset = std::stoul(f[3]), value = std::stoul(f[4]);
    EXPECT_EQ(offset, 4 * index);
    // The line zephon wrote, rebuilt from the exported fields.
    EXPECT_EQ(fmt::format("{} DEBUG zephon: {} regs[{:#06x}] ({:#x}) = {:#010x}", f[0], f[1] == "read" ? "Read " : "Write",
                          index, offset, value),
              register_lines[i]);
    auto j = nlohmann::json::parse(json_rows[i]);
    EXPECT_EQ(j.size(), 5u);
    EXPECT_EQ(j["time"], f[0]);
    EXPECT_EQ(j["op"], f[1]);
    EXPECT_EQ(j["index"], index);
    EXPECT_EQ(j["offset"], offset);
    EXPECT_EQ(j["value"], value);
  }
}

TEST_F(TraceProgram, DumpDiffs) {
  auto plain = record("plain", false, known_accesses);
  auto same = trace({"diff", "--log", plain.log.string(), plain.dump.string()});
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_EQ(same.out, "");
  EXPECT_TRUE(same.err.ends_with("zephon-trace: no register differs\n")) << same.err;

  // A reset is not logged, so the log still shows what it cleared.
  auto reset = record("reset", false, [](Client& c) {
    EXPECT_TRUE(c.write32(2, 0x0, 0xaaaaaaaa).has_value());
    EXPECT_TRUE(c.reset().has_value());
    EXPECT_TRUE(c.write32(2, 0x8, 0x1).has_value());
  });
  auto after_reset = trace({"diff", "--quiet", "--log=" + reset.log.string(), reset.dump.string()});
  EXPECT_EQ(after_reset.status, 1) << after_reset.err;
  EXPECT_EQ(after_reset.out, fmt::format("# left: the last values in {} (zero where it shows none)\n# right: {}\n"
                                         "index   offset   left        right\n"
                                         "0x0000  0x0      0xaaaaaaaa  0x00000000\n",
                                         reset.log.string(), reset.dump.string()));

  auto dumps = trace({"diff", "--quiet", plain.dump.string(), reset.dump.string()});
  EXPECT_EQ(dumps.status, 1);
  EXPECT_EQ(dumps.out, fmt::format("# left: {}\n# right: {}\n"
                                   "index   offset   left        right\n"
                                   "0x0002  0x8      0x00000000  0x00000001\n"
                                   "0x0004  0x10     0xdeadbeef  0x00000000\n"
                                   "0xffff  0x3fffc  0x00000001  0x00000000\n",
                                   plain.dump.string(), reset.dump.string()));
}

TEST_F(TraceProgram, ACutRecordingAndADumpGivenAsALog) {
  auto rec = record("run", false, known_accesses);
  std::string log = read_file(rec.log);
  // Cut inside the last register line, as a log copied while zephon wrote.
  const auto last = log.rfind("DEBUG zephon: Read  regs[0x0e50]");
  std::ofstream(dir_ / "cut.log") << log.substr(0, last + 30);
  auto cut = trace({"sequence"}, dir_ / "cut.log");
  EXPECT_EQ(cut.status, 0);
  EXPECT_EQ(cut.out, std::string(kSequence).replace(std::string(kSequence).rfind("\u00d73"), 3, "\u00d72"));
  EXPECT_NE(cut.err.find("zephon-trace: standard input:62: line ends early (cut short?) (the input ends inside "
                         "this line): "),
            std::string::npos)
      << cut.err;
  EXPECT_NE(cut.err.find(": 62 lines: 58 register accesses, 3 other lines passed over, 1 malformed lines skipped"),
            std::string::npos)
      << cut.err;

  auto binary = trace({"summary", rec.dump.string()});
  EXPECT_EQ(binary.status, 2);
  EXPECT_EQ(binary.err, fmt::format("zephon-trace: {}: binary data, not a zephon log (a NUL byte at byte 0, line 1)\n",
                                    rec.dump.string()));
}

TEST_F(TraceProgram, PlotOfARecording) {
  auto rec = record("run", true, known_accesses);
  auto missing = trace({"plot", "-o", (dir_ / "none.png").string(), rec.log.string()}, "/dev/null",
                       {{"PATH", "/nonexistent"}});
  EXPECT_EQ(missing.status, 2);
  EXPECT_TRUE(missing.err.ends_with(
      "zephon-trace: plot needs gnuplot, which is not on PATH (on Debian: apt-get install gnuplot-nox)\n"))
      << missing.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "none.png"));

  if (std::system("command -v gnuplot >/dev/null 2>&1") != 0) GTEST_SKIP() << "gnuplot is not installed";
  const auto png = dir_ / "accesses.png";
  auto plot = trace({"plot", "--quiet", "--output=" + png.string(), "--title=known accesses", rec.log.string()});
  ASSERT_EQ(plot.status, 0) << plot.err;
  EXPECT_EQ(plot.err, "");
  EXPECT_EQ(read_file(png).substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}

}  // namespace
}  // namespace zephon_test

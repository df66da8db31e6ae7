// zephon-trace on real recordings: zephon serving QEMU while a Linux guest
// loaded a display driver that failed its init and, on the way out, polled a
// status register 100 000 times, three times over (the probe); and the same
// driver's whole bring-up with a video BIOS and a device script. The
// recordings, the names file made for the probe and the reports expected of
// both are in tests/data. The probe also goes through an mmiotrace and back.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "server_fixture.h"
#include "trace_process.h"
#include "zephon_process.h"

namespace zephon_test {
namespace {

const std::string kData = ZEPHON_TEST_DATA_DIR;
const std::string kNames = kData + "/display-driver-probe.names.h";

class TraceRecording : public ::testing::Test {
 protected:
  // The recording is decompressed once for the suite.
  static void SetUpTestSuite() {
    dir_ = new std::filesystem::path(make_temp_dir());
    log_ = (*dir_ / "display-driver-probe.log").string();
    bringup_ = (*dir_ / "display-driver-bringup.log").string();
    gunzip_status_ = std::system(fmt::format("gzip -dc '{0}/display-driver-probe.log.gz' > '{1}' && "
                                             "gzip -dc '{0}/display-driver-bringup.log.gz' > '{2}' && "
                                             "gzip -dc '{0}/display-driver-bringup.sequence.txt.gz' > '{3}'",
                                             kData, log_, bringup_, bringup_sequence())
                                     .c_str());
  }
  static std::string bringup_sequence() { return (*dir_ / "display-driver-bringup.sequence.txt").string(); }
  static void TearDownTestSuite() {
    std::filesystem::remove_all(*dir_);
    delete dir_;
  }
  void SetUp() override { ASSERT_EQ(gunzip_status_, 0) << "gzip -dc failed"; }

  TraceRun trace(const std::vector<std::string>& args) { return run_trace_binary(*dir_, args); }

  static std::filesystem::path* dir_;
  static std::string log_;
  static std::string bringup_;
  static int gunzip_status_;
};

std::filesystem::path* TraceRecording::dir_ = nullptr;
std::string TraceRecording::log_;
std::string TraceRecording::bringup_;
int TraceRecording::gunzip_status_ = -1;

TEST_F(TraceRecording, NamedSummary) {
  auto r = trace({"summary", "--names=" + kNames, log_});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, read_file(kData + "/display-driver-probe.summary.txt"));
  EXPECT_EQ(r.err, fmt::format("zephon-trace: {}: 117 names for 117 registers, 54 other lines skipped, 0 lines with "
                               "problems skipped\n"
                               "zephon-trace: {}: 300177 lines: 300174 register accesses, 3 other lines passed over, "
                               "0 malformed lines skipped\n",
                               kNames, log_));
  // Beside the file: the waited-on register, and only the shell's accesses unnamed.
  EXPECT_NE(r.out.find("\n0x30d3  RLC_STAT                           0xc34c      300000          0  "),
            std::string::npos);
  std::vector<std::string> unnamed;
  for (std::size_t at = 0; (at = r.out.find("\n0x", at)) != std::string::npos; ++at) {
    if (r.out.compare(at + 7, 5, "  -  ") == 0) unnamed.push_back(r.out.substr(at + 1, 6));
  }
  EXPECT_EQ(unnamed, (std::vector<std::string>{"0x0002", "0x0003", "0x0004"}));
}

TEST_F(TraceRecording, SequenceCollapsesTheWaits) {
  auto r = trace({"sequence", "--time", "--quiet", "--names", kNames, log_});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, read_file(kData + "/display-driver-probe.sequence.txt"));
  for (std::string_view wait : {"    0.927400 read 0x30d3 RLC_STAT \u00d7100000 = 0x00000000\n",
                                "   13.795805 read 0x30d3 RLC_STAT \u00d7100000 = 0x00000000\n",
                                "   27.055273 read 0x30d3 RLC_STAT \u00d7100000 = 0x00000000\n"}) {
    EXPECT_NE(r.out.find(wait), std::string::npos) << wait;
  }
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 174);
  // Without names, the same lines with the names taken out.
  auto plain = trace({"sequence", "--time", "--quiet", log_});
  EXPECT_NE(plain.out.find("    0.927400 read 0x30d3 \u00d7100000 = 0x00000000\n"), std::string::npos);
  EXPECT_EQ(std::count(plain.out.begin(), plain.out.end(), '\n'), 174);
}

TEST_F(TraceRecording, UnnamedSummaryCountsEveryAccess) {
  auto r = trace({"summary", "--order=count", "--quiet", log_});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with("# 119 registers, 300174 accesses, from 2026-12-08T21:15:19.492583Z to "
                                "2026-12-08T21:16:04.596792Z; times in seconds since the first access\n"))
      << r.out;
  const std::string first_row = r.out.substr(r.out.find("\n0x") + 1, 34);
  EXPECT_EQ(first_row, "0x30d3  0xc34c      300000        ");
}

// Returns the report with its first line (which names the time span) cut off.
std::string after_first_line(const std::string& text) { return text.substr(text.find('\n') + 1); }

TEST_F(TraceRecording, AsAnMmiotraceItReadsTheSame) {
  auto converted = trace({"export", "--format=mmiotrace", "--quiet", log_});
  ASSERT_EQ(converted.status, 0) << converted.err;
  EXPECT_TRUE(converted.out.starts_with("VERSION 20070824\n"
                                        "PCIDEV 0000 10026780 0 0 0 f0000000 0 0 0 0 0 0 40000 0 0 0 0 \n"
                                        "MAP 0.000000 1 0xf0000000 0x0 0x40000 0x0 0\n"
                                        "MARK 0.000000 zephon log from 2026-12-08T21:15:19.492583Z\n"
                                        "R 4 0.000000 1 0xf0000000 0x0 0x0 0\n"))
      << converted.out.substr(0, 400);
  EXPECT_TRUE(converted.out.ends_with("W 4 45.104209 1 0xf0001408 0x100000 0x0 0\nUNMAP 45.104209 1 0x0 0\n"));
  const std::string mmio = (*dir_ / "display-driver-probe.mmiotrace").string();
  std::ofstream(mmio, std::ios::binary) << converted.out;
  auto summary = trace({"summary", "--names=" + kNames, mmio});
  ASSERT_EQ(summary.status, 0) << summary.err;
  const std::string want = read_file(kData + "/display-driver-probe.summary.txt");
  EXPECT_EQ(after_first_line(summary.out), after_first_line(want));
  EXPECT_TRUE(summary.out.starts_with("# 119 registers, 300174 accesses, from 0.000000 to 45.104209; ")) << summary.out;
  EXPECT_TRUE(summary.err.ends_with(
      "zephon-trace: " + mmio + ": an mmiotrace; its register BAR: mapping 1 at 0xf0000000 (256 KiB)\n"
      "zephon-trace: " + mmio + ": 300179 lines: 300174 register accesses, 1 markers, 4 other lines passed over, "
      "0 malformed lines skipped\n")) << summary.err;
  // The recording and its conversion are the same sequence, in either order.
  auto same = trace({"compare", "--quiet", mmio, log_});
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_TRUE(same.out.ends_with("same sequence: 174 steps, 300174 register accesses in A and 300174 in B\n"));
}

TEST_F(TraceRecording, TheWholeBringUp) {
  auto summary = trace({"summary", "--names=" + kNames, bringup_});
  ASSERT_EQ(summary.status, 0) << summary.err;
  EXPECT_EQ(summary.out, read_file(kData + "/display-driver-bringup.summary.txt"));
  EXPECT_TRUE(summary.err.ends_with(": 20260 lines: 20250 register accesses, 3 device script lines, 7 other lines "
                                    "passed over, 0 malformed lines skipped\n"))
      << summary.err;
  auto sequence = trace({"sequence", "--time", "--quiet", "--names", kNames, bringup_});
  ASSERT_EQ(sequence.status, 0) << sequence.err;
  EXPECT_EQ(sequence.out, read_file(bringup_sequence()));
  // The ring tests: the driver's write of the ring's pointer answered by the
  // script's set of the scratch register, which the driver then reads.
  EXPECT_NE(sequence.out.find("    2.193960 set 0x2143 = 0xdeadbeef (was 0xcafedead)\n"), std::string::npos);
}

}  // namespace
}  // namespace zephon_test

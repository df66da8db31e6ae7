// zephon-trace on a real recording: zephon serving QEMU while a Linux guest
// loaded a display driver that failed its init and, on the way out, polled a
// status register 100 000 times, three times over. The recording, the names
// file made for it and the reports expected of it are in tests/data.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cstdlib>
#include <filesystem>
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
    gunzip_status_ = std::system(fmt::format("gzip -dc '{}/display-driver-probe.log.gz' > '{}'", kData, log_).c_str());
  }
  static void TearDownTestSuite() {
    std::filesystem::remove_all(*dir_);
    delete dir_;
  }
  void SetUp() override { ASSERT_EQ(gunzip_status_, 0) << "gzip -dc failed"; }

  TraceRun trace(const std::vector<std::string>& args) { return run_trace_binary(*dir_, args); }

  static std::filesystem::path* dir_;
  static std::string log_;
  static int gunzip_status_;
};

std::filesystem::path* TraceRecording::dir_ = nullptr;
std::string TraceRecording::log_;
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

}  // namespace
}  // namespace zephon_test

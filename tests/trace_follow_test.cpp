// sequence --follow: a log fed through a pipe in pieces (lines and polls cut
// across reads), a file that grows until zephon's last line, the open run
// redrawn on a terminal at a bounded rate, and, end to end, Ctrl-C and the
// memory of following a whole recording.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "run.h"
#include "server_fixture.h"
#include "trace_process.h"
#include "trace_samples.h"
#include "zephon_process.h"

namespace zephon_trace {
namespace {

using namespace std::chrono_literals;
using trace_samples::plain_line;

std::string reg(int micros, std::string_view message) {
  return plain_line(fmt::format("2026-03-01T12:00:00.{:06}Z", micros), "DEBUG", "zephon", message) + "\n";
}

// A write, a poll of five identical reads, a second write, and the server's
// last line.
const std::string kWrite = reg(1, "Write regs[0x0004] (0x10) = 0x12345678");
std::string poll_lines() {
  std::string s;
  for (int i = 0; i < 5; ++i) s += reg(10 + i, "Read  regs[0x0e50] (0x3940) = 0x00000000");
  return s;
}
const std::string kSecondWrite = reg(20, "Write regs[0x0004] (0x10) = 0x00000001");
const std::string kClosed = plain_line("2026-03-01T12:00:01.000000Z", " INFO", "vfio_user", "Connection closed") + "\n";

// Returns everything readable from fd until it holds needle or the deadline.
bool read_until(int fd, std::string& got, std::string_view needle, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (got.find(needle) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

// zephon-trace run in-process on a thread, its log a pipe the test feeds and
// its output a pipe (or terminal) the test reads.
class FollowInProcess {
 public:
  // out_fd is where the output goes; -1 for a pipe made here.
  FollowInProcess(std::vector<std::string> args, int out_fd = -1) : args_(std::move(args)) {
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    log_read_ = in[0], log_write_ = in[1];
    if (out_fd < 0) {
      EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
      out_read_ = out[0], out_write_ = out[1];
    } else {
      out_write_ = out_fd;
    }
    err_ = trace_samples::memory_file("");
    std::vector<std::string_view> views(args_.begin(), args_.end());
    done_ = std::async(std::launch::async, [this, views] {
      return run("zephon-trace", views, Streams{log_read_, out_write_, err_});
    });
  }
  ~FollowInProcess() {
    close_log();
    if (done_.valid()) done_.wait();
    for (int fd : {log_read_, out_read_, err_}) {
      if (fd >= 0) ::close(fd);
    }
    if (out_read_ >= 0) ::close(out_write_);
  }

  // Returns true once text is in the pipe, after a pause so that the reader
  // takes it in a read of its own.
  bool feed(std::string_view text, std::chrono::milliseconds pause = 20ms) {
    const bool ok = ::write(log_write_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    std::this_thread::sleep_for(pause);
    return ok;
  }
  void close_log() {
    if (log_write_ >= 0) ::close(log_write_);
    log_write_ = -1;
  }
  // Returns true when the output holds needle before the deadline.
  bool output_has(std::string_view needle) { return read_until(out_read_, out_, needle); }
  // Returns the exit status once the run ended, or -1 when it did not in time
  // (the log is then closed, which ends it).
  int status(std::chrono::milliseconds limit = 10s) {
    if (done_.wait_for(limit) != std::future_status::ready) {
      close_log();
      return -1;
    }
    return done_.get();
  }
  std::string& out() { return out_; }
  std::string err() const { return trace_samples::file_text(err_); }

 private:
  std::vector<std::string> args_;
  int log_read_ = -1, log_write_ = -1, out_read_ = -1, out_write_ = -1, err_ = -1;
  std::string out_;
  std::future<int> done_;
};

// Where a piece of the log is cut: after this many bytes of each line.
class TraceFollowPieces : public ::testing::TestWithParam<std::size_t> {};

TEST_P(TraceFollowPieces, EachAccessArrivesAndAPollCutAcrossReadsCollapses) {
  FollowInProcess follow({"sequence", "--follow", "-"});
  ASSERT_TRUE(follow.feed(kWrite));
  // The write is out before anything more is fed: it was not held back.
  ASSERT_TRUE(follow.output_has("write 0x0004 = 0x12345678 (was 0x00000000)\n")) << follow.out();
  const std::string polls = poll_lines();
  const std::size_t cut = GetParam();
  for (std::size_t at = 0; at < polls.size();) {
    const std::size_t line_end = polls.find('\n', at) + 1;
    const std::size_t piece = std::min(cut, line_end - at);
    ASSERT_TRUE(follow.feed(std::string_view(polls).substr(at, piece)));
    at += piece;
  }
  // Still polling, so nothing is printed for the run yet (not a terminal).
  EXPECT_EQ(follow.out(), "write 0x0004 = 0x12345678 (was 0x00000000)\n");
  ASSERT_TRUE(follow.feed(kSecondWrite));
  ASSERT_TRUE(follow.output_has("(was 0x12345678)\n")) << follow.out();
  follow.close_log();
  EXPECT_EQ(follow.status(), 0);
  EXPECT_EQ(follow.out(),
            "write 0x0004 = 0x12345678 (was 0x00000000)\n"
            "read 0x0e50 \u00d75 = 0x00000000\n"
            "write 0x0004 = 0x00000001 (was 0x12345678)\n");
  EXPECT_EQ(follow.err(), "zephon-trace: standard input: 7 lines: 7 register accesses, 0 other lines passed over, "
                          "0 malformed lines skipped\n");
}

// 1 byte: every read a byte; 30: inside the timestamp; 55: inside the
// register index; a whole line per read.
INSTANTIATE_TEST_SUITE_P(Cuts, TraceFollowPieces, ::testing::Values(1, 30, 55, 1000));

TEST(TraceFollow, ALogEndingInsideARunPrintsItAtTheEnd) {
  FollowInProcess follow({"sequence", "--follow", "--time", "-"});
  ASSERT_TRUE(follow.feed(poll_lines()));
  follow.close_log();
  EXPECT_EQ(follow.status(), 0);
  ASSERT_TRUE(follow.output_has("\n"));
  EXPECT_EQ(follow.out(), "    0.000000 read 0x0e50 \u00d75 = 0x00000000\n");
}

TEST(TraceFollow, AGrowingFileIsFollowedUntilTheConnectionCloses) {
  const auto dir = zephon_test::make_temp_dir();
  const auto log = dir / "driver.log";
  std::ofstream(log) << kWrite;
  FollowInProcess follow({"sequence", "--follow", log.string()});
  ASSERT_TRUE(follow.output_has("(was 0x00000000)\n")) << follow.out();
  {
    std::ofstream append(log, std::ios::app);
    append << poll_lines() << kSecondWrite.substr(0, 40);
  }
  std::this_thread::sleep_for(150ms);
  // The end of the file is not the end of the log.
  EXPECT_EQ(follow.status(200ms), -1);
  // A next run appended at once, cut short: not this run's, so not read.
  std::ofstream(log, std::ios::app) << kSecondWrite.substr(40) << kClosed << kWrite << kWrite.substr(0, 30);
  ASSERT_TRUE(follow.output_has("(was 0x12345678)\n")) << follow.out();
  EXPECT_EQ(follow.status(), 0);
  EXPECT_EQ(follow.err(), fmt::format("zephon-trace: {}: 8 lines: 7 register accesses, 1 other lines passed over, "
                                      "0 malformed lines skipped\n",
                                      log.string()));
  std::filesystem::remove_all(dir);
}

TEST(TraceFollow, OnATerminalTheOpenRunIsRedrawnAFewTimesASecond) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  termios raw{};
  ASSERT_EQ(::tcgetattr(terminal, &raw), 0);
  ::cfmakeraw(&raw);
  ASSERT_EQ(::tcsetattr(terminal, TCSANOW, &raw), 0);
  std::string shown;
  {
    FollowInProcess follow({"sequence", "--follow", "-"}, terminal);
    // A poll that lasts a second and a half, a read every 10 ms.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 150; ++i) {
      ASSERT_TRUE(follow.feed(reg(i, "Read  regs[0x30d3] (0xc34c) = 0x00000000"), 10ms));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(follow.feed(kWrite));
    ASSERT_TRUE(read_until(master, shown, "(was 0x00000000)\n")) << shown;
    follow.close_log();
    EXPECT_EQ(follow.status(), 0);
    // Redrawn while it lasted, but at most four times a second (and once at once).
    const auto redraws = static_cast<double>(std::count(shown.begin(), shown.end(), '\r'));
    EXPECT_GE(redraws, 3) << shown;
    EXPECT_LE(redraws, 4 * seconds + 2) << shown;
    // The last thing before the write is the whole run, the drawn line erased.
    EXPECT_NE(shown.find("\r\x1b[Kread 0x30d3 \u00d7150 = 0x00000000\n"), std::string::npos) << shown;
  }
  ::close(terminal);
  ::close(master);
}

class TraceFollowProgram : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = zephon_test::make_temp_dir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(TraceFollowProgram, CtrlCEndsItWithTheOpenRunAndASummaryLine) {
  zephon_test::TraceChild child(dir_, {"sequence", "--follow", "-"});
  ASSERT_TRUE(child.feed(kWrite + poll_lines()));
  ASSERT_TRUE(child.wait_for_out("(was 0x00000000)\n")) << child.out();
  std::this_thread::sleep_for(100ms);  // the poll taken in too
  child.signal(SIGINT);
  auto run = child.wait(10s);
  EXPECT_EQ(run.status, 128 + SIGINT) << run.err;
  EXPECT_EQ(run.out, "write 0x0004 = 0x12345678 (was 0x00000000)\nread 0x0e50 \u00d75 = 0x00000000\n");
  EXPECT_EQ(run.err, "zephon-trace: standard input: stopped by SIGINT after 6 lines: 6 register accesses, 0 other "
                     "lines passed over, 0 malformed lines skipped\n");
}

TEST_F(TraceFollowProgram, TheRecordingFedInPiecesGivesTheWholeSequenceInBoundedMemory) {
  const auto log = dir_ / "probe.log";
  ASSERT_EQ(std::system(fmt::format("gzip -dc '{}' > '{}'", ZEPHON_TEST_DATA_DIR "/display-driver-probe.log.gz",
                                    log.string()).c_str()),
            0);
  const std::string text = zephon_test::read_file(log);
  ASSERT_GT(text.size(), 20u << 20);
  auto whole = zephon_test::run_trace_binary(dir_, {"sequence", "--quiet", log.string()});
  ASSERT_EQ(whole.status, 0) << whole.err;

  zephon_test::TraceChild child(dir_, {"sequence", "--follow", "--quiet", "-"});
  // Pieces of a prime size, so that they cut lines (and polls) everywhere.
  constexpr std::size_t kPiece = 65521;
  long early_peak = -1;
  for (std::size_t at = 0; at < text.size(); at += kPiece) {
    ASSERT_TRUE(child.feed(std::string_view(text).substr(at, kPiece)));
    if (early_peak < 0 && at >= text.size() / 10) early_peak = child.peak_rss_kib();
  }
  // The log is 24 MiB; following it keeps a block and the state of the
  // registers, so its memory does not grow with what has been read.
  // (Measured while it runs, with all but the pipe's last bytes read.)
  const long peak = child.peak_rss_kib();
  EXPECT_GT(early_peak, 0);
  EXPECT_LT(peak - early_peak, 4 * 1024) << "KiB, from " << early_peak;
  EXPECT_LT(peak, 64 * 1024) << "KiB";
  child.close_input();
  auto run = child.wait(60s);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, whole.out);
  EXPECT_NE(run.out.find("read 0x30d3 \u00d7100000 = 0x00000000\n"), std::string::npos);
}

}  // namespace
}  // namespace zephon_trace

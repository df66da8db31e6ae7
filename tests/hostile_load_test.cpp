// The real zephon binary under load and held by a client: a burst of
// requests whose replies are read only afterwards, clients that hold the
// server when a termination signal comes, and the server's peak resident
// memory over a million requests and under hostile ones (measured and
// printed).
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "hostile_client.h"
#include "hostile_messages.h"
#include "vfio_user/message.h"
#include "vfio_user/wire.h"

namespace zephon_test {
namespace {

namespace wire = vfio_user::wire;
using vfio_user_client::Client;

// ---------------------------------------------------------------------------
// Thousands of requests in one burst, replies read only afterwards.

TEST_F(HostileClient, BurstOfThousandsIsAnsweredInOrder) {
  constexpr int kPairs = 2500;  // a write then a read of the same register
  const int room = 1 << 20;
  ::setsockopt(client().fd(), SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  std::vector<std::uint8_t> burst;
  for (int i = 0; i < kPairs; ++i) {
    const std::uint64_t offset = 0x400 + 4 * static_cast<std::uint64_t>(i % 256);
    auto write = message(10, write_access(offset, 2, 0x10000u + static_cast<std::uint32_t>(i)), 0, std::nullopt,
                         static_cast<std::uint16_t>(2 * i));
    auto read = message(9, access(offset, 2, 4), 0, std::nullopt,
                        static_cast<std::uint16_t>(2 * i + 1));
    burst.insert(burst.end(), write.begin(), write.end());
    burst.insert(burst.end(), read.begin(), read.end());
  }
  send(burst);
  for (int i = 0; i < kPairs; ++i) {
    expect_reply(static_cast<std::uint16_t>(2 * i), 10, std::nullopt, 32);
    auto read = expect_reply(static_cast<std::uint16_t>(2 * i + 1), 9, std::nullopt, 36);
    ASSERT_EQ(read.payload.size(), 20u);
    ASSERT_EQ(wire::load32(read.payload.data() + vfio_user::RegionAccess::kSize), 0x10000u + i);
  }
  expect_serving();
}

// A client can hold the server: by not reading its replies, which leaves the
// server blocked writing one, or by announcing more than it sends, which
// leaves it waiting to discard the rest. A termination signal must still end
// the run with the dump written: the recording would otherwise be lost to the
// SIGKILL that follows.
class HeldServer : public HostileClient, public ::testing::WithParamInterface<int> {
 protected:
  void expect_stopped() {
    process_->signal(GetParam());
    auto exited = process_->wait(std::chrono::seconds(10));
    ASSERT_TRUE(exited.has_value()) << "the server did not end after the signal";
    EXPECT_EQ(*exited, 128 + GetParam());
    const std::string err = process_->err();
    EXPECT_NE(err.find(fmt::format("stopped by SIG{}", ::sigabbrev_np(GetParam()))), std::string::npos) << err;
    const std::string dump = process_->out();
    ASSERT_EQ(dump.size(), kDumpBytes);
    EXPECT_EQ(wire::load32(reinterpret_cast<const std::uint8_t*>(dump.data()) + kMarkOffset), kMark);
    EXPECT_FALSE(std::filesystem::exists(socket_));
  }
};

TEST_P(HeldServer, ByAClientThatStoppedReadingStillStopsOnASignal) {
  // A reply far larger than the socket can hold, never read.
  send(message(9, access(0, VFIO_PCI_ROM_REGION_INDEX, kMaxTransfer)));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  expect_stopped();
}

TEST_P(HeldServer, ByAFourGibAnnouncementStillStopsOnASignal) {
  send(message(1, version_payload(100), 0, 0xFFFFFFFF));
  expect_reply(kCaseId, 1, 22u);
  expect_stopped();
}

INSTANTIATE_TEST_SUITE_P(Signals, HeldServer, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string("SIG") + ::sigabbrev_np(info.param);
                         });

// ---------------------------------------------------------------------------
// Memory: the server's peak resident size does not grow with the number of
// requests, nor with what hostile requests announce.

// AddressSanitizer keeps freed memory in quarantine, which would show as
// growth that the program itself does not have: the server under test is
// started without it. Other children keep the caller's options.
class Memory : public HostileClient {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    const char* old = std::getenv("ASAN_OPTIONS");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("ASAN_OPTIONS",
             ((saved ? *saved + ":" : std::string()) + "quarantine_size_mb=0:thread_local_quarantine_size_kb=0").c_str(),
             1);
    HostileClient::SetUp();
    if (saved) {
      ::setenv("ASAN_OPTIONS", saved->c_str(), 1);
    } else {
      ::unsetenv("ASAN_OPTIONS");
    }
#else
    HostileClient::SetUp();
#endif
  }

  // Sends n requests in batches, replies read after each batch. Every 64th
  // request touches BAR 2 (and so the log); the rest read BAR 0 and the
  // configuration space.
  void run_requests(int n) {
    constexpr int kBatch = 1000;
    std::vector<std::uint8_t> batch;
    for (int done = 0; done < n; done += kBatch) {
      batch.clear();
      const int count = std::min(kBatch, n - done);
      for (int i = 0; i < count; ++i) {
        const auto id = static_cast<std::uint16_t>(i);
        const int k = done + i;
        std::vector<std::uint8_t> m;
        if (k % 64 == 0) {
          m = message(10, write_access(0x800, 2, static_cast<std::uint32_t>(k)), 0, std::nullopt, id);
        } else if (k % 2 == 0) {
          m = message(9, access(static_cast<std::uint64_t>(k % 64) * 4, 7, 4), 0, std::nullopt, id);
        } else {
          m = message(9, access(static_cast<std::uint64_t>(k) * 8, 0, 8), 0, std::nullopt, id);
        }
        batch.insert(batch.end(), m.begin(), m.end());
      }
      send(batch);
      for (int i = 0; i < count; ++i) {
        auto reply = client().receive();
        ASSERT_TRUE(reply.has_value()) << reply.error();
        ASSERT_EQ(reply->header.message_id, static_cast<std::uint16_t>(i));
        ASSERT_EQ(reply->header.flags, vfio_user::FLAG_REPLY);
      }
    }
  }

  void report(const std::string& what, std::uint64_t before, std::uint64_t after) {
    const std::string line =
        fmt::format("{}: server peak RSS {} KiB before, {} KiB after ({:+} KiB)", what, before, after,
                    static_cast<std::int64_t>(after) - static_cast<std::int64_t>(before));
    std::cout << line << std::endl;
    RecordProperty("peak_rss", line);
  }
};

TEST_F(Memory, PeakRssIsFlatOverAMillionRequests) {
  run_requests(20000);
  const std::uint64_t before = peak_rss_kib(pid());
  const auto start = std::chrono::steady_clock::now();
  run_requests(1000000);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::uint64_t after = peak_rss_kib(pid());
  report(fmt::format("1000000 requests in {:.1f} s", seconds), before, after);
  EXPECT_LE(after, before + 2048) << "peak RSS grew by more than 2 MiB over a million requests";
  expect_serving();
}

TEST_F(Memory, PeakRssIsFlatUnderHostileRequests) {
  // One round of everything the hostile cases do that makes the server read,
  // reserve or skip much: the largest accepted transfers and text, counts and
  // sizes past the bounds, refused commands with payloads, descriptors.
  auto round = [&] {
    send(message(9, access(0, VFIO_PCI_ROM_REGION_INDEX, kMaxTransfer)));
    expect_reply(kCaseId, 9, std::nullopt, 32 + kMaxTransfer);
    send(region_write_count(kMaxTransfer));
    expect_reply(kCaseId, 10, std::nullopt, 32);
    send(region_write_count(kMaxTransfer + 1));
    expect_reply(kCaseId, 10, 22u);
    send(message(9, access(0, VFIO_PCI_ROM_REGION_INDEX, 0xFFFFFFFF)));
    expect_reply(kCaseId, 9, 22u);
    send(message(1, version_payload(kMaxTransfer - 1)));
    expect_reply(kCaseId, 1, std::nullopt, served_command("Version").reply_size);
    send(message(1, version_payload(kMaxTransfer)));
    expect_reply(kCaseId, 1, 22u);
    std::vector<std::uint8_t> skipped = message(6, {}, 0, kLargestMessage);
    skipped.resize(kLargestMessage, 0xee);
    send(skipped, repeated(pipe_[0], 16));
    expect_reply(kCaseId, 6, 0u);
    send(message(8, served_command("SetIrqs").payload), repeated(pipe_[0], 16));
    expect_reply(kCaseId, 8, std::nullopt, 16);
  };
  const std::uint64_t start = peak_rss_kib(pid());
  round();
  const std::uint64_t after_one = peak_rss_kib(pid());
  for (int i = 0; i < 20; ++i) round();
  const std::uint64_t after_many = peak_rss_kib(pid());
  report("one round of hostile requests", start, after_one);
  report("twenty more rounds", after_one, after_many);
  // One round reserves what the largest accepted request needs; repeating
  // it must not add to that.
  EXPECT_LE(after_one, start + 8192);
  EXPECT_LE(after_many, after_one + 1024);
  expect_serving();
}

}  // namespace
}  // namespace zephon_test

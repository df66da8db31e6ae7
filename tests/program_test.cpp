// The zephon program end to end: the real binary as a child process, driven
// over its socket by the project's client.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <string_view>

#include "client.h"
#include "server_fixture.h"
#include "vfio_user/wire.h"
#include "zephon_process.h"

namespace zephon_test {
namespace {

using vfio_user_client::Client;
namespace wire = vfio_user::wire;

constexpr std::size_t kDumpSize = 262144;

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    socket_ = (dir_ / "zephon.sock").string();
    rom_ = (dir_ / "rom.bin").string();
    write_rom(4096);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void write_rom(std::size_t size) {
    std::ofstream out(rom_, std::ios::binary | std::ios::trunc);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(i == 0 ? 0x55 : i == 1 ? 0xaa : i & 0xff));
  }
  std::unique_ptr<ZephonProcess> launch(ProcessOptions options = {}) {
    if (options.args.empty()) options.args = {socket_, rom_};
    return std::make_unique<ZephonProcess>(dir_, std::move(options));
  }
  // Starts zephon and returns it with a connected client.
  std::pair<std::unique_ptr<ZephonProcess>, std::optional<Client>> serve(ProcessOptions options = {}) {
    auto process = launch(std::move(options));
    EXPECT_TRUE(ZephonProcess::wait_for_path(socket_)) << process->err();
    auto client = connect_when_listening(socket_);
    EXPECT_TRUE(client.has_value()) << (client ? "" : client.error());
    if (!client) return {std::move(process), std::nullopt};
    return {std::move(process), std::move(*client)};
  }
  std::uint32_t dump_word(const std::string& dump, std::size_t reg) {
    return wire::load32(reinterpret_cast<const std::uint8_t*>(dump.data()) + 4 * reg);
  }

  std::filesystem::path dir_;
  std::string socket_;
  std::string rom_;
};

TEST_F(Program, HelpGoesToStandardOutput) {
  auto p = launch({.args = {"--help"}, .argv0 = "zephon"});
  EXPECT_EQ(p->wait(), 0);
  EXPECT_EQ(p->out(),
            "Usage: zephon <SOCKET> <ROM>\n\nArguments:\n  <SOCKET>  UNIX socket to bind to\n  <ROM>     ROM to serve\n\n"
            "Options:\n  -h, --help  Print help\n");
  EXPECT_EQ(p->err(), "");
}

TEST_F(Program, CommandLineErrorsExitWithTwo) {
  auto p = launch({.args = {socket_}, .argv0 = "/usr/local/bin/zephon"});
  EXPECT_EQ(p->wait(), 2);
  EXPECT_EQ(p->err(),
            "error: the following required arguments were not provided:\n  <ROM>\n\nUsage: zephon <SOCKET> <ROM>\n\n"
            "For more information, try '--help'.\n");
  EXPECT_EQ(p->out(), "");
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

TEST_F(Program, AWriteShowsInTheDump) {
  auto [process, client] = serve();
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->version().has_value());
  ASSERT_TRUE(client->write32(2, 0x10, 0x12345678).has_value());
  auto value = client->read32(2, 0x10);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, 0x12345678u);
  client->close();
  EXPECT_EQ(process->wait(), 0) << process->err();
  std::string dump = process->out();
  ASSERT_EQ(dump.size(), kDumpSize);
  EXPECT_EQ(dump.substr(16, 4), std::string("\x78\x56\x34\x12", 4));
  EXPECT_EQ(std::count(dump.begin(), dump.end(), '\0'), static_cast<long>(kDumpSize - 4));
  EXPECT_FALSE(std::filesystem::exists(socket_));
  std::string err = process->err();
  EXPECT_NE(err.find(" DEBUG zephon: Write regs[0x0004] (0x10) = 0x12345678\n"), std::string::npos) << err;
  EXPECT_NE(err.find(" DEBUG zephon: Read  regs[0x0004] (0x10) = 0x12345678\n"), std::string::npos) << err;
  EXPECT_NE(err.find("  INFO vfio_user: Connection closed\n"), std::string::npos) << err;
  EXPECT_EQ(err.find('\x1b'), std::string::npos);
}

TEST_F(Program, ResetClearsEarlierWrites) {
  auto [process, client] = serve();
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0x0, 0xaaaaaaaa).has_value());
  ASSERT_TRUE(client->reset().has_value());
  ASSERT_TRUE(client->write32(2, 0x3fffc, 0x1, /*posted=*/true).has_value());
  client->close();
  EXPECT_EQ(process->wait(), 0);
  std::string dump = process->out();
  ASSERT_EQ(dump.size(), kDumpSize);
  EXPECT_EQ(dump_word(dump, 0), 0u);
  EXPECT_EQ(dump_word(dump, 65535), 1u);
}

TEST_F(Program, ColourIsOnUnlessNoColorIsSet) {
  auto [process, client] = serve({.no_color = false});
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0, 1).has_value());
  client->close();
  EXPECT_EQ(process->wait(), 0);
  EXPECT_NE(process->err().find("\x1b[34mDEBUG\x1b[0m"), std::string::npos);
}

class RomSize : public Program, public ::testing::WithParamInterface<std::pair<std::size_t, std::uint64_t>> {};

TEST_P(RomSize, SetsRegionSixAndTheRomBar) {
  auto [len, size] = GetParam();
  write_rom(len);
  auto [process, client] = serve();
  ASSERT_TRUE(client);
  auto info = client->region_info(6);
  ASSERT_TRUE(info.has_value()) << info.error();
  EXPECT_EQ(info->size, size);
  EXPECT_EQ(info->flags, 1u);
  ASSERT_TRUE(client->write32(7, 0x30, 0xffffffff).has_value());
  auto bar = client->read32(7, 0x30);
  ASSERT_TRUE(bar.has_value());
  EXPECT_EQ(*bar, static_cast<std::uint32_t>(~(size - 1)) | 1u);
  // The image comes back as it is in the file, zeros after it.
  auto bytes = client->region_read(6, 0, static_cast<std::uint32_t>(size));
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + static_cast<long>(len)), read_file(rom_));
  EXPECT_TRUE(std::all_of(bytes->begin() + static_cast<long>(len), bytes->end(), [](auto b) { return b == 0; }));
  client->close();
  EXPECT_EQ(process->wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Lengths, RomSize,
                         ::testing::Values(std::pair{std::size_t{0}, std::uint64_t{2048}},
                                           std::pair{std::size_t{2049}, std::uint64_t{4096}},
                                           std::pair{std::size_t{4096}, std::uint64_t{4096}},
                                           std::pair{std::size_t{65537}, std::uint64_t{131072}}));

TEST_F(Program, MissingRomIsFatalAndCreatesNoSocket) {
  auto p = launch({.args = {socket_, (dir_ / "missing.rom").string()}});
  EXPECT_EQ(p->wait(), 101);
  EXPECT_NE(p->err().find("\nfailed to read ROM: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }\n"),
            std::string::npos)
      << p->err();
  EXPECT_EQ(p->out(), "");
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

// Returns whether line is `zephon: fatal error at src/main.cpp:LINE:`, the
// source named relative to the repository whatever directory it was built in.
bool is_relative_fatal_line(std::string_view line) {
  constexpr std::string_view kPrefix = "zephon: fatal error at src/main.cpp:";
  if (!line.starts_with(kPrefix) || !line.ends_with(':')) return false;
  const std::string_view number = line.substr(kPrefix.size(), line.size() - kPrefix.size() - 1);
  return !number.empty() && number.find_first_not_of("0123456789") == std::string_view::npos;
}

TEST(FatalLine, MatchesOnlyTheRelativeForm) {
  EXPECT_TRUE(is_relative_fatal_line("zephon: fatal error at src/main.cpp:84:"));
  EXPECT_FALSE(is_relative_fatal_line("zephon: fatal error at /home/me/zephon/src/main.cpp:84:"));
  EXPECT_FALSE(is_relative_fatal_line("zephon: fatal error at ./src/main.cpp:84:"));
  EXPECT_FALSE(is_relative_fatal_line("zephon: fatal error at src/main.cpp::"));
  EXPECT_FALSE(is_relative_fatal_line("zephon: fatal error at src/main.cpp:84"));
  EXPECT_FALSE(is_relative_fatal_line("zephon: fatal error at src/main.cpp:8x:"));
}

TEST_F(Program, FatalReportNamesTheSourceRelativeToTheRepository) {
  auto missing_rom = launch({.args = {socket_, (dir_ / "missing.rom").string()}});
  EXPECT_EQ(missing_rom->wait(), 101);
  const std::string first = missing_rom->err().substr(0, missing_rom->err().find('\n'));
  EXPECT_TRUE(is_relative_fatal_line(first)) << missing_rom->err();

  std::ofstream(socket_) << "mine";
  auto taken_path = launch();
  EXPECT_EQ(taken_path->wait(), 101);
  const std::string second = taken_path->err().substr(0, taken_path->err().find('\n'));
  EXPECT_TRUE(is_relative_fatal_line(second)) << taken_path->err();
  EXPECT_NE(first, second);
}

TEST_F(Program, ExistingSocketPathIsLeftAlone) {
  std::ofstream(socket_) << "mine";
  auto p = launch();
  EXPECT_EQ(p->wait(), 101);
  EXPECT_NE(p->err().find("\nfailed to create server: SocketPathExists\n"), std::string::npos) << p->err();
  EXPECT_EQ(read_file(socket_), "mine");
  EXPECT_EQ(p->out(), "");
}

TEST_F(Program, FailedRunStillWritesTheWholeDumpFirst) {
  auto [process, client] = serve();
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0x8, 0xfeedface).has_value());
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  std::vector<int> fds(17, pipe_fds[0]);
  ASSERT_TRUE(client->send(Client::frame(1, 4, std::vector<std::uint8_t>(16)), fds).has_value());
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  EXPECT_EQ(process->wait(), 101);
  std::string dump = process->out();
  ASSERT_EQ(dump.size(), kDumpSize);
  EXPECT_EQ(dump_word(dump, 2), 0xfeedfaceu);
  EXPECT_NE(process->err().find("\nserver exited with an error: ReceiveWithFd(ENOBUFS)\n"), std::string::npos)
      << process->err();
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

TEST_F(Program, DumpToAVanishedReaderIsFatalAndTheSocketIsGone) {
  int pipe_fds[2];
  // The child must not hold the read end, or its writes would just block.
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  auto [process, client] = serve({.stdout_fd = pipe_fds[1]});
  ::close(pipe_fds[1]);
  ::close(pipe_fds[0]);
  ASSERT_TRUE(client);
  client->close();
  EXPECT_EQ(process->wait(), 101);
  EXPECT_NE(process->err().find("\nfailed to dump state: Os { code: 32, kind: BrokenPipe, message: \"Broken pipe\" }\n"),
            std::string::npos)
      << process->err();
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

TEST_F(Program, ClosedStandardErrorLosesOnlyTheLog) {
  // A child whose standard error is closed must neither crash nor send log
  // lines anywhere else (such as the client's socket).
  int saved = ::dup(2);
  ::close(2);
  auto p = launch();
  ::dup2(saved, 2);
  ::close(saved);
  ASSERT_TRUE(ZephonProcess::wait_for_path(socket_));
  auto client = connect_when_listening(socket_);
  ASSERT_TRUE(client.has_value());
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(client->write32(2, 4 * i, i + 1).has_value());
  auto value = client->read32(2, 4);
  ASSERT_TRUE(value.has_value()) << value.error();
  EXPECT_EQ(*value, 2u);
  client->close();
  EXPECT_EQ(p->wait(), 0);
  EXPECT_EQ(p->out().size(), kDumpSize);
}

struct SignalCase {
  int signal;
  std::string name;
};

class TerminationSignal : public Program, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(TerminationSignal, WhileWaitingForAClient) {
  auto p = launch();
  ASSERT_TRUE(ZephonProcess::wait_for_path(socket_));
  p->signal(GetParam().signal);
  EXPECT_EQ(p->wait(), 128 + GetParam().signal);
  EXPECT_EQ(p->out().size(), kDumpSize);
  EXPECT_FALSE(std::filesystem::exists(socket_));
  EXPECT_NE(p->err().find("SIG" + GetParam().name), std::string::npos) << p->err();
}

TEST_P(TerminationSignal, WhileServing) {
  auto [process, client] = serve();
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0x40, 0x0badcafe).has_value());
  process->signal(GetParam().signal);
  EXPECT_TRUE(client->wait_closed());
  EXPECT_EQ(process->wait(), 128 + GetParam().signal);
  std::string dump = process->out();
  ASSERT_EQ(dump.size(), kDumpSize);
  EXPECT_EQ(dump_word(dump, 0x10), 0x0badcafeu);
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

TEST_P(TerminationSignal, WhileAClientIsMidMessage) {
  auto [process, client] = serve();
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write32(2, 0x44, 7).has_value());
  auto bytes = Client::frame(9, 10, std::vector<std::uint8_t>(20));
  ASSERT_TRUE(client->send(std::span(bytes).first(24)).has_value());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  process->signal(GetParam().signal);
  EXPECT_EQ(process->wait(), 128 + GetParam().signal);
  std::string dump = process->out();
  ASSERT_EQ(dump.size(), kDumpSize);
  EXPECT_EQ(dump_word(dump, 0x11), 7u);
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationSignal,
                         ::testing::Values(SignalCase{SIGINT, "INT"}, SignalCase{SIGTERM, "TERM"},
                                           SignalCase{SIGHUP, "HUP"}));

}  // namespace
}  // namespace zephon_test

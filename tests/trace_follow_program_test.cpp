// sequence --follow on the log of a real zephon while it runs: each access
// the client makes shows up before the next is made, and the follow ends by
// itself when zephon logs the end of its connection.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "client.h"
#include "server_fixture.h"
#include "trace_process.h"
#include "zephon_process.h"

namespace zephon_test {
namespace {

using namespace std::chrono_literals;

TEST(TraceFollowZephon, AccessesShowWhileZephonRunsAndTheFollowEndsWithIt) {
  const auto dir = make_temp_dir();
  const auto socket = (dir / "zephon.sock").string();
  const auto rom = (dir / "rom.bin").string();
  std::ofstream(rom, std::ios::binary) << std::string("\x55\xaa", 2) << std::string(510, '\0');
  {
    ZephonProcess zephon(dir, {.args = {socket, rom}});
    ASSERT_TRUE(ZephonProcess::wait_for_path(socket)) << zephon.err();
    TraceChild follow(dir, {"sequence", "--follow", (dir / "stderr").string()});
    auto client = connect_when_listening(socket);
    ASSERT_TRUE(client.has_value()) << client.error();
    ASSERT_TRUE(client->version().has_value());

    ASSERT_TRUE(client->write32(2, 0x10, 0x1234).has_value());
    // Shown while zephon still serves: the accesses below come after it.
    EXPECT_TRUE(follow.wait_for_out("write 0x0004 = 0x00001234 (was 0x00000000)\n")) << follow.out();
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(client->read32(2, 0x10).has_value());
    ASSERT_TRUE(client->write32(2, 0x3fffc, 0x1).has_value());
    EXPECT_TRUE(follow.wait_for_out("write 0xffff = 0x00000001 (was 0x00000000)\n")) << follow.out();

    client->close();
    EXPECT_EQ(zephon.wait(), 0) << zephon.err();
    auto run = follow.wait(10s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "write 0x0004 = 0x00001234 (was 0x00000000)\n"
              "read 0x0004 \u00d750 = 0x00001234\n"
              "write 0xffff = 0x00000001 (was 0x00000000)\n");
    EXPECT_TRUE(run.err.ends_with(": 55 lines: 52 register accesses, 3 other lines passed over, 0 malformed lines "
                                  "skipped\n"))
        << run.err;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zephon_test

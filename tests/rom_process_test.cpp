// The real zephon-rom binary: its exit statuses and messages, its reading
// of images agreeing with Debian's romheaders (fcode-utils), and a built
// image served by the real zephon and read back over its socket.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "pci_rom.h"
#include "rom_builder.h"
#include "rom_reader.h"
#include "rom_samples.h"
#include "server_fixture.h"
#include "tool_run.h"
#include "zephon_process.h"

namespace zephon_test {
namespace {

using zephon_rom::kBlockSize;

ToolRun rom_tool(const std::filesystem::path& dir, const std::vector<std::string>& args) {
  return run_tool(ZEPHON_ROM_BINARY, args, dir);
}

void write_bytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class RomTool : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

TEST_F(RomTool, ExitStatusesAndMessages) {
  const std::string good = path("good.rom"), broken = path("broken.rom"), missing = path("missing.rom");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // a part of standard output
    std::string err;  // all of standard error
  };
  const std::string try_help = "Try 'zephon-rom --help' for more information.\n";
  const Case cases[] = {
      {{"build", "--video-bios", "-o", good}, 0, "", ""},
      {{"inspect", good}, 0, good + ": valid\n", ""},
      {{"--help"}, 0, "Usage: zephon-rom inspect FILE\n       zephon-rom build [--size BYTES]", ""},
      {{}, 2, "", "zephon-rom: a command is required\n" + try_help},
      {{"dump", good}, 2, "", "zephon-rom: unknown command 'dump'\n" + try_help},
      {{"inspect", "--video-bios", good}, 2, "", "zephon-rom: --video-bios is not an option of inspect\n" + try_help},
      {{"inspect", good, good}, 2, "", "zephon-rom: inspect reads one FILE at a time\n" + try_help},
      {{"build", "--size=big"}, 2, "", "zephon-rom: --size must be a number of bytes, not 'big'\n" + try_help},
      {{"build", "--size", "1000", "-o", broken}, 2, "", "zephon-rom: --size 1000 is not a multiple of 512\n"},
      {{"inspect", missing}, 2, "", "zephon-rom: " + missing + ": No such file or directory\n"},
      {{"build", "-o", (dir_ / "no" / "such").string()}, 2, "",
       "zephon-rom: " + (dir_ / "no" / "such").string() + ": No such file or directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ToolRun run = rom_tool(dir_, c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    EXPECT_EQ(run.err, c.err);
  }
  // The image on standard output is the one -o writes; one byte off, and
  // inspect finds a problem.
  const ToolRun to_stdout = rom_tool(dir_, {"build", "--video-bios"});
  EXPECT_EQ(to_stdout.status, 0);
  std::string image = read_file(good);
  EXPECT_EQ(to_stdout.out, image);
  image[0x3F0] = '\x01';  // in the padding before the checksum byte
  std::ofstream(broken, std::ios::binary) << image;
  const ToolRun inspected = rom_tool(dir_, {"inspect", broken});
  EXPECT_EQ(inspected.status, 1);
  EXPECT_NE(inspected.out.find("  problem: checksum: the bytes sum to 0x01, not 0\n" + broken + ": 1 problem\n"),
            std::string::npos)
      << inspected.out;
}

// The fields both tools show, per image, as numbers keyed by a common name.
using Fields = std::vector<std::map<std::string, unsigned long>>;

// Returns the fields of each image of a report, found by patterns whose
// first group is the number (base 16 unless named in decimal).
Fields fields(const std::string& text, const std::string& image_start,
              const std::vector<std::tuple<std::string, std::string, int>>& patterns) {
  Fields out;
  std::size_t at = text.find(image_start);
  while (at != std::string::npos) {
    const std::size_t next = text.find(image_start, at + 1);
    const std::string section = text.substr(at, next == std::string::npos ? std::string::npos : next - at);
    auto& image = out.emplace_back();
    for (const auto& [name, pattern, base] : patterns) {
      std::smatch m;
      if (std::regex_search(section, m, std::regex(pattern))) image[name] = std::stoul(m[1].str(), nullptr, base);
    }
    at = next;
  }
  return out;
}

TEST_F(RomTool, RomheadersReadsTheSameImages) {
  if (std::system("command -v romheaders >/dev/null 2>&1") != 0) GTEST_SKIP() << "romheaders (fcode-utils) absent";
  write_bytes(dir_ / "two.rom", zephon_rom::two_images());
  write_bytes(dir_ / "plain.rom", *zephon_rom::build_rom({}));
  write_bytes(dir_ / "video40k.rom", *zephon_rom::build_rom({.size = 40 * 1024, .video_bios = true}));

  const std::vector<std::tuple<std::string, std::string, int>> romheaders = {
      {"pci", R"(Pointer to PCI Data Structure: 0x([0-9a-f]+))", 16},
      {"vendor", R"(Vendor ID: 0x([0-9a-f]+))", 16},
      {"device", R"(Device ID: 0x([0-9a-f]+))", 16},
      {"length", R"(PCI Data Structure Length: 0x[0-9a-f]+ \((\d+) bytes\))", 10},
      {"revision", R"(PCI Data Structure Revision: 0x([0-9a-f]+))", 16},
      {"class", R"(Class Code: 0x([0-9a-f]+))", 16},
      {"image", R"(Image Length: 0x[0-9a-f]+ blocks \((\d+) bytes\))", 10},
      {"code revision", R"(Revision Level of Code/Data: 0x([0-9a-f]+))", 16},
      {"code type", R"(Code Type: 0x([0-9a-f]+))", 16},
      {"indicator", R"(Last-Image Flag: 0x([0-9a-f]+))", 16},
      {"init", R"(Initialization Size: 0x[0-9a-f]+ \((\d+) bytes\))", 10},
      {"entry", R"(Entry point for INIT function: 0x([0-9a-f]+))", 16}};
  const std::vector<std::tuple<std::string, std::string, int>> inspect = {
      {"pci", R"(\n  PCI data structure +at 0x([0-9a-f]+))", 16},
      {"vendor", R"(\n    vendor +0x([0-9a-f]+))", 16},
      {"device", R"(\n    device +0x([0-9a-f]+))", 16},
      {"length", R"(\n    structure length +(\d+) bytes)", 10},
      {"revision", R"(\n    structure revision +(\d+))", 16},
      {"class", R"(\n    class code +0x([0-9a-f]+))", 16},
      {"image", R"(\n    image length +\d+ blocks? \((\d+) bytes\))", 10},
      {"code revision", R"(\n    code revision +0x([0-9a-f]+))", 16},
      {"code type", R"(\n    code type +0x([0-9a-f]+))", 16},
      {"indicator", R"(\n    last image +\w+ \(indicator 0x([0-9a-f]+)\))", 16},
      {"init", R"(\n  initialization size +\d+ blocks? \((\d+) bytes\))", 10},
      {"entry", R"(\n  entry +.*\(jump to 0x([0-9a-f]+)\))", 16}};
  for (const char* name : {"plain.rom", "video40k.rom", "two.rom"}) {
    SCOPED_TRACE(name);
    const ToolRun theirs = run_tool("/bin/sh", {"-c", "romheaders \"$0\"", path(name)}, dir_);
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    const ToolRun ours = rom_tool(dir_, {"inspect", path(name)});
    ASSERT_EQ(ours.status, 0) << ours.out;
    const Fields expected = fields(theirs.out, "\nImage ", romheaders);
    EXPECT_EQ(fields(ours.out, "\nimage ", inspect), expected) << theirs.out << ours.out;
    EXPECT_EQ(expected.size(), std::string(name) == "two.rom" ? 2u : 1u);
    EXPECT_EQ(expected.front().size(), romheaders.size()) << "every field found: " << theirs.out;
  }
}

TEST_F(RomTool, ZephonServesABuiltVideoBios) {
  const std::string rom = path("vbios.rom"), socket = path("zephon.sock");
  ASSERT_EQ(rom_tool(dir_, {"build", "--video-bios", "--size", "40K", "-o", rom}).status, 0);
  ZephonProcess zephon(dir_, {.args = {socket, rom}});
  ASSERT_TRUE(ZephonProcess::wait_for_path(socket)) << zephon.err();
  auto client = connect_when_listening(socket);
  ASSERT_TRUE(client) << client.error();
  auto info = client->region_info(6);
  ASSERT_TRUE(info) << info.error();
  EXPECT_EQ(info->size, 65536u);
  auto bytes = client->region_read(6, 0, 40 * 1024);
  ASSERT_TRUE(bytes) << bytes.error();
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), read_file(rom));
  const zephon_rom::RomReport report = zephon_rom::inspect_rom(*bytes);
  EXPECT_EQ(report.problem_count(), 0u);
  ASSERT_EQ(report.images.size(), 1u);
  ASSERT_TRUE(report.images[0].atom);
  EXPECT_EQ(report.images[0].length(), 80 * kBlockSize);
  client->close();
  EXPECT_EQ(zephon.wait(), 0) << zephon.err();
}

}  // namespace
}  // namespace zephon_test

// zephon-rom's image format in-process: built images read back field by
// field, the video BIOS where the display driver looks for it, every
// problem of a broken image, and a file of two images (x86 and EFI).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "atom_builder.h"
#include "atom_tables.h"
#include "report.h"
#include "rom_builder.h"
#include "rom_reader.h"
#include "rom_samples.h"

namespace zephon_rom {
namespace {

// Returns every problem of the report, the video BIOS's included.
std::vector<std::string> all_problems(const RomReport& r) {
  std::vector<std::string> out = r.problems;
  for (const ImageReport& i : r.images) {
    out.insert(out.end(), i.problems.begin(), i.problems.end());
    if (i.atom) out.insert(out.end(), i.atom->problems.begin(), i.atom->problems.end());
  }
  return out;
}

TEST(RomBuild, ImagesReadBackAsBuilt) {
  for (const BuildOptions options : {BuildOptions{}, BuildOptions{.video_bios = true},
                                     BuildOptions{.size = 40 * 1024, .video_bios = true}}) {
    const auto image = built(options);
    const RomReport r = inspect_rom(image);
    SCOPED_TRACE(format_report("image", r));
    ASSERT_EQ(r.images.size(), 1u);
    EXPECT_EQ(r.problem_count(), 0u);
    const ImageReport& i = r.images[0];
    EXPECT_EQ(image.size(), options.size.value_or(options.video_bios ? 1024 : 512));
    ASSERT_TRUE(i.pci && i.x86 && i.checksum);
    EXPECT_EQ(i.pci->vendor, 0x1002);
    EXPECT_EQ(i.pci->device, 0x6780);
    EXPECT_EQ(i.pci->class_code, 0x038000u);
    EXPECT_EQ(i.pci->code_type, kCodeX86);
    EXPECT_TRUE(i.pci->last_image());
    EXPECT_EQ(i.length(), image.size());
    EXPECT_EQ(i.x86->init_blocks * kBlockSize, image.size());
    EXPECT_EQ(*i.checksum, 0);
    // The entry jumps to a far return.
    ASSERT_EQ(i.x86->entry_target(), kReturnOffset);
    EXPECT_EQ(image[kReturnOffset], 0xCB);
    EXPECT_EQ(i.atom.has_value(), options.video_bios);
  }
}

TEST(RomBuild, SizesItCannotBuildAreRefused) {
  const std::pair<BuildOptions, std::string> cases[] = {
      {{.size = 1000}, "--size 1000 is not a multiple of 512"},
      {{.size = 512, .video_bios = true}, "--size 512 is too small: the image needs 1024 bytes"},
      {{.size = 131072}, "--size 131072 is larger than 130560"},
  };
  for (const auto& [options, message] : cases) {
    auto image = build_rom(options);
    ASSERT_FALSE(image);
    EXPECT_TRUE(image.error().starts_with(message)) << image.error();
  }
  EXPECT_TRUE(build_rom({.size = 130560}));
}

TEST(RomBuild, VideoBiosTablesReadBack) {
  const RomReport r = inspect_rom(built({.video_bios = true}));
  ASSERT_EQ(r.images.size(), 1u);
  ASSERT_TRUE(r.images[0].atom);
  const AtomReport& a = *r.images[0].atom;
  EXPECT_TRUE(a.magic_ok);
  ASSERT_TRUE(a.rom_header && a.master_command && a.master_data);
  EXPECT_EQ(a.boot_message, kBootMessage);
  EXPECT_EQ(a.rom_header->pci_info_offset, kPciDataOffset);
  EXPECT_EQ(a.master_command->offsets.size(), 81u);
  EXPECT_EQ(a.master_data->offsets.size(), 34u);
  ASSERT_EQ(a.commands.size(), 2u);
  EXPECT_EQ(a.commands[0].index, kAsicInit);
  EXPECT_EQ(a.commands[1].index, kDacLoadDetection);
  using Op = Instruction::Op;
  EXPECT_EQ(a.commands[0].code.instructions,
            (std::vector<Instruction>{{Op::MoveToRegister, 0x150A, 256}, {Op::EndOfTable, 0, 0}}));
  EXPECT_EQ(a.commands[1].code.instructions,
            (std::vector<Instruction>{{Op::MoveToRegister, 0x05C9, 0x2}, {Op::EndOfTable, 0, 0}}));
  ASSERT_EQ(a.data.size(), 3u);
  EXPECT_EQ(a.data[0].index, kFirmwareInfo);
  EXPECT_EQ(a.data[1].index, kSupportedDevicesInfo);
  EXPECT_EQ(a.data[2].index, kIndirectIoAccess);
  ASSERT_TRUE(a.firmware && a.devices && a.iio);
  EXPECT_TRUE(a.firmware->is_v2_1());
  EXPECT_EQ(a.firmware->default_engine_clock, 92500u);
  EXPECT_EQ(a.firmware->default_memory_clock, 137500u);
  EXPECT_EQ(a.firmware->core_reference_clock, 2700);
  EXPECT_EQ(a.firmware->memory_reference_clock, 2700);
  EXPECT_LT(a.firmware->min_pixel_pll_output, a.firmware->max_pixel_pll_output);
  EXPECT_EQ(a.devices->header.format_revision, 1);
  EXPECT_EQ(a.devices->header.content_revision, 1);
  EXPECT_EQ(a.devices->device_support, 1u);
  ASSERT_EQ(a.devices->connectors.size(), 10u);
  EXPECT_EQ(a.devices->connectors[0], (ConnectorInfo{.type = 1, .dac = 1, .i2c_id = 0}));
  EXPECT_TRUE(a.iio->ids.empty());
}

// The offsets the display driver (radeon, atom.c and radeon_bios.c) reads,
// followed by hand rather than through the codecs under test.
TEST(RomBuild, TheDriverFindsItsTablesWhereItLooks) {
  const auto b = built({.video_bios = true});
  auto u16 = [&b](std::size_t off) { return get16(b, off); };
  auto u32 = [&b](std::size_t off) { return get32(b, off); };
  EXPECT_EQ(u16(0), 0xAA55);
  EXPECT_EQ(b[u16(0x18) + 0x14], 0) << "code type x86";
  EXPECT_TRUE(has_text(b, 0x30, " 761295520"));
  const std::size_t header = u16(0x48);
  EXPECT_TRUE(has_text(b, header + 4, "ATOM"));
  EXPECT_TRUE(has_text(b, u16(header + 0x10), "ZEPHON_SYNTHETIC_TAHITI"));
  const std::size_t commands = u16(header + 0x1E), data = u16(header + 0x20);
  EXPECT_NE(b[u16(data + 0x32) + 4], 1) << "no indirect I/O sequence";
  const std::size_t firmware = u16(data + 0x0C);
  EXPECT_NE(u32(firmware + 8), 0u);
  EXPECT_NE(u32(firmware + 0x0C), 0u);
  EXPECT_EQ(u16(firmware + 0x52), 2700) << "reference clock";
  const std::size_t init = u16(commands + 4);
  const std::vector<std::uint8_t> init_code(b.begin() + static_cast<long>(init) + 6,
                                            b.begin() + static_cast<long>(init) + u16(init));
  EXPECT_EQ(init_code, (std::vector<std::uint8_t>{0x01, 0x05, 0x0A, 0x15, 0x00, 0x01, 0x00, 0x00, 0x5B}));
  const std::size_t devices = u16(data + 4 + 2 * 9);
  EXPECT_EQ(u16(devices + 4), 1) << "CRT1";
  EXPECT_EQ(b[devices + 6], 0x11) << "VGA on DAC A";
}

// One broken field each, the checksum fixed again unless it is the point:
// each gives exactly its own problem.
struct Breakage {
  std::string name;
  std::function<void(std::vector<std::uint8_t>&)> damage;
  std::string problem;
  bool keep_checksum = false;
};

TEST(RomInspect, EachProblemOfABrokenImageIsReported) {
  const auto header = [](const std::vector<std::uint8_t>& b) { return get16(b, kRomHeaderPointerOffset); };
  const auto master_data = [&](const std::vector<std::uint8_t>& b) { return get16(b, header(b) + 0x20); };
  const auto data_table = [&](const std::vector<std::uint8_t>& b, std::size_t i) {
    return get16(b, master_data(b) + 4 + 2 * i);
  };
  const std::vector<Breakage> cases = {
      {"signature", [](auto& b) { b[0] = 0x00; }, "signature 00 aa, not 55 AA"},
      {"PCI signature", [](auto& b) { b[kPciDataOffset] = 'X'; }, "signature \"XCIR\", not \"PCIR\""},
      {"PCI pointer", [](auto& b) { put16(b, 0x18, 0x3F0); }, "PCI data structure pointer 0x3f0 points past"},
      {"length", [](auto& b) { put16(b, kPciDataOffset + 0x10, 4); },
       "image length 2048 bytes runs past the end of the file (1024 bytes left)"},
      {"zero length", [](auto& b) { put16(b, kPciDataOffset + 0x10, 0); }, "image length is 0"},
      {"last image", [](auto& b) { b[kPciDataOffset + 0x15] = 0; },
       "no last-image indicator: the file ends after image 1"},
      {"checksum", [](auto& b) { b[0x3F0] = 0x5A; }, "checksum: the bytes sum to 0x5a, not 0", true},
      {"vendor", [](auto& b) { put16(b, kPciDataOffset + 4, 0x8086); }, "vendor 0x8086, not the device's 0x1002"},
      {"device", [](auto& b) { put16(b, kPciDataOffset + 6, 0x6798); }, "device 0x6798, not the device's 0x6780"},
      {"ATI string", [](auto& b) { b[0x31] = '8'; }, "no \" 761295520\" at 0x30"},
      {"ROM header", [](auto& b) { put16(b, kRomHeaderPointerOffset, 0x3FE); },
       "ROM header at 0x3fe lies outside the image (1024 bytes)"},
      {"boot message", [&](auto& b) { put16(b, header(b) + 0x10, 0x400); }, "boot message at 0x400 lies outside"},
      {"master data", [&](auto& b) { put16(b, header(b) + 0x20, 0x3FE); },
       "master data table at 0x3fe lies outside the image"},
      {"command table", [&](auto& b) { put16(b, get16(b, header(b) + 0x1E) + 4 + 2 * 21, 0x3FE); },
       "DAC_LoadDetection at 0x3fe lies outside the image"},
      {"data table size", [&](auto& b) { put16(b, data_table(b, kFirmwareInfo), 0x400); },
       "(1024 bytes) ends past the image (1024 bytes)"},
      {"clocks", [&](auto& b) { put32(b, data_table(b, kFirmwareInfo) + 8, 0); },
       "FirmwareInfo's default engine or memory clock is 0"},
      {"ASIC_Init", [&](auto& b) { put16(b, get16(b, header(b) + 0x1E) + 4, 0); }, "no ASIC_Init command table"},
      {"IndirectIOAccess", [&](auto& b) { b[data_table(b, kIndirectIoAccess) + 4] = kIioStart; },
       ": a sequence does not end inside the table"},
  };
  const auto good = built({.video_bios = true});
  for (const Breakage& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = good;
    c.damage(image);
    if (!c.keep_checksum) fix_checksum(image);
    const RomReport r = inspect_rom(image);
    const auto problems = all_problems(r);
    ASSERT_EQ(problems.size(), 1u) << format_report("image", r);
    EXPECT_NE(problems[0].find(c.problem), std::string::npos) << problems[0];
    EXPECT_NE(format_report("image", r).find("image: 1 problem\n"), std::string::npos);
  }
}

TEST(RomInspect, ImagesFollowOneAnother) {
  const RomReport r = inspect_rom(two_images());
  SCOPED_TRACE(format_report("two", r));
  ASSERT_EQ(r.images.size(), 2u);
  EXPECT_EQ(r.problem_count(), 0u);
  EXPECT_EQ(r.images[1].offset, 1024u);
  ASSERT_TRUE(r.images[1].efi);
  EXPECT_FALSE(r.images[1].x86 || r.images[1].checksum || r.images[1].atom);
  EXPECT_EQ(r.images[1].efi->efi_signature, EfiHeader::kEfiSignature);
  EXPECT_EQ(r.images[1].efi->machine, 0x8664);
  EXPECT_EQ(r.images[1].device_list, (std::vector<std::uint16_t>{0x6780}));
  const std::string text = format_report("two", r);
  EXPECT_NE(text.find("    device list                 at 0x1c: 0x6780\n"), std::string::npos);
  EXPECT_NE(text.find("    machine type                0x8664 (x64)\n"), std::string::npos);
  EXPECT_NE(text.find("    subsystem                   11 (EFI boot service driver)\n"), std::string::npos);
}

TEST(RomInspect, FilesTooShortOrPaddedAreToldApart) {
  EXPECT_EQ(all_problems(inspect_rom(std::vector<std::uint8_t>(10, 0))),
            std::vector<std::string>{"the file is 10 bytes long, too short for an image"});
  auto padded = built({});
  padded.resize(2048, 0xFF);
  const RomReport r = inspect_rom(padded);
  EXPECT_EQ(r.problem_count(), 0u);
  EXPECT_EQ(r.trailing, 1536u);
}

}  // namespace
}  // namespace zephon_rom

#include "cli.h"

#include <fmt/format.h>

#include <charconv>
#include <vector>

#include "option_scan.h"

namespace zephon_rom {

namespace {

// Sizes past this are refused while parsing, long before any allocation.
constexpr std::size_t kLargestSize = std::size_t{1} << 32;

constexpr zephon_args::Option kBuildOptions[] = {{"--size", true}, {"--video-bios", false}, {"--output", true}};

std::expected<void, std::string> apply(Invocation& inv, std::string_view name, std::string_view value) {
  if (name == "--video-bios") {
    inv.build.video_bios = true;
  } else if (name == "--output") {
    if (value.empty()) return std::unexpected("--output needs a file");
    inv.output = value;
  } else if (name == "--size") {
    auto size = parse_size(value);
    if (!size) return std::unexpected(fmt::format("--size must be a number of bytes, not '{}'", value));
    inv.build.size = *size;
  }
  return {};
}

}  // namespace

std::optional<std::size_t> parse_size(std::string_view text) {
  std::size_t scale = 1;
  for (std::string_view suffix : {"KiB", "K"}) {
    if (text.ends_with(suffix)) {
      text.remove_suffix(suffix.size());
      scale = 1024;
      break;
    }
  }
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  std::size_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > kLargestSize / scale) {
    return std::nullopt;
  }
  return value * scale;
}

std::expected<Invocation, std::string> parse_arguments(std::span<const std::string_view> args) {
  Invocation inv;
  if (args.empty()) return std::unexpected("a command is required");
  if (args[0] == "-h" || args[0] == "--help") {
    inv.help = true;
    return inv;
  }
  if (args[0] == "inspect") inv.command = Command::Inspect;
  else if (args[0] == "build") inv.command = Command::Build;
  else return std::unexpected(fmt::format("unknown command '{}'", args[0]));
  const std::string_view command = args[0];
  const zephon_args::ScanRules rules{
      .options = kBuildOptions,
      .check = [&](std::string_view name) -> std::expected<void, std::string> {
        if (inv.command == Command::Build) return {};
        return std::unexpected(fmt::format("{} is not an option of {}", name, command));
      },
      .apply = [&](std::string_view name, std::string_view value) { return apply(inv, name, value); },
  };
  auto scanned = zephon_args::scan_arguments(args.subspan(1), rules);
  if (!scanned) return std::unexpected(scanned.error());
  inv.help = scanned->help;
  if (inv.help) return inv;
  const std::vector<std::string_view>& positional = scanned->operands;
  if (inv.command == Command::Build) {
    if (!positional.empty()) {
      return std::unexpected(fmt::format("build takes no file: '{}' (name the output with -o FILE)", positional[0]));
    }
    return inv;
  }
  if (positional.empty()) return std::unexpected("inspect needs a FILE");
  if (positional.size() > 1) return std::unexpected("inspect reads one FILE at a time");
  if (positional[0].empty()) return std::unexpected("inspect needs a FILE, not an empty name");
  inv.file = positional[0];
  return inv;
}

std::string usage_text(std::string_view program) {
  return fmt::format(
      "Usage: {0} inspect FILE\n"
      "       {0} build [--size BYTES] [--video-bios] [-o FILE]\n"
      "\n"
      "Reads and makes PCI expansion ROM images for zephon's device (vendor\n"
      "0x1002, device 0x6780, class 03/80), the file zephon serves as the ROM.\n"
      "\n"
      "Commands:\n"
      "  inspect FILE\n"
      "      every image in FILE: offset, signature, length, checksum, the PCI data\n"
      "      structure, the EFI header of EFI images and the ATOM video BIOS of\n"
      "      x86 images (ROM header, boot message, command and data tables,\n"
      "      FirmwareInfo's clocks, the connectors), then the problems found:\n"
      "      bad signatures, lengths past the file, no last-image indicator, a bad\n"
      "      checksum, IDs other than the device's, tables outside the image\n"
      "  build [--size BYTES] [--video-bios] [-o FILE]\n"
      "      one valid x86 image for the device, whose entry returns at once;\n"
      "      with --video-bios it also holds the smallest ATOM video BIOS the\n"
      "      Linux display driver (radeon) accepts for the device\n"
      "\n"
      "Options:\n"
      "  --size BYTES      the image's size: a multiple of 512 up to 130560, in\n"
      "                    bytes (decimal, or hexadecimal with 0x) or with a K\n"
      "                    suffix (KiB); the smallest that holds the image by default\n"
      "  --video-bios      include the video BIOS\n"
      "  -o, --output=FILE write the image to FILE, not to standard output\n"
      "  -h, --help        print this help\n"
      "\n"
      "Exit status: 0 on success (for inspect: a valid image), 1 when inspect\n"
      "finds problems, 2 on errors (a bad command line, a file that cannot be\n"
      "read or written).\n",
      program);
}

}  // namespace zephon_rom

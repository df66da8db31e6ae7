#include "run.h"

#include <unistd.h>

#include <fmt/format.h>

#include "cli.h"
#include "file_io.h"
#include "report.h"
#include "rom_builder.h"
#include "rom_reader.h"

namespace zephon_rom {

namespace {

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Returns kExitTrouble after saying "PROGRAM: TEXT".
int trouble(std::string_view program, const Streams& streams, std::string_view text) {
  (void)write_all(streams.err, as_bytes(fmt::format("{}: {}\n", program, text)));
  return kExitTrouble;
}

int inspect(std::string_view program, const Invocation& inv, const Streams& streams) {
  auto file = read_whole_file(inv.file, kMaxRomFile);
  if (!file) return trouble(program, streams, fmt::format("{}: {}", inv.file, file.error()));
  const RomReport report = inspect_rom(*file);
  if (auto w = write_all(streams.out, as_bytes(format_report(inv.file, report))); !w) {
    return trouble(program, streams, fmt::format("standard output: {}", w.error()));
  }
  return report.problem_count() == 0 ? 0 : kExitProblems;
}

int build(std::string_view program, const Invocation& inv, const Streams& streams) {
  auto image = build_rom(inv.build);
  if (!image) return trouble(program, streams, image.error());
  if (!inv.output.empty()) {
    if (auto w = write_whole_file(inv.output, *image); !w) {
      return trouble(program, streams, fmt::format("{}: {}", inv.output, w.error()));
    }
    return 0;
  }
  if (::isatty(streams.out) == 1) {
    return trouble(program, streams, "standard output is a terminal; name a file with -o FILE or redirect it");
  }
  if (auto w = write_all(streams.out, *image); !w) {
    return trouble(program, streams, fmt::format("standard output: {}", w.error()));
  }
  return 0;
}

}  // namespace

int run(std::string_view program, std::span<const std::string_view> args, const Streams& streams) {
  auto inv = parse_arguments(args);
  if (!inv) {
    (void)write_all(streams.err,
                    as_bytes(fmt::format("{0}: {1}\nTry '{0} --help' for more information.\n", program, inv.error())));
    return kExitTrouble;
  }
  if (inv->help) {
    if (auto w = write_all(streams.out, as_bytes(usage_text(program))); !w) {
      return trouble(program, streams, fmt::format("standard output: {}", w.error()));
    }
    return 0;
  }
  return inv->command == Command::Inspect ? inspect(program, *inv, streams) : build(program, *inv, streams);
}

}  // namespace zephon_rom

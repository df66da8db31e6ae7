// zephon-probe: connects to a vfio-user server's socket, runs the commands
// given on the command line in order on that one connection, prints what
// the server answered, and disconnects.
#include <unistd.h>

#include <fmt/format.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "commands.h"
#include "report.h"
#include "session.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

std::string program_name(const char* argv0) {
  std::string_view name = argv0 != nullptr ? argv0 : "zephon-probe";
  if (auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  return name.empty() ? "zephon-probe" : std::string(name);
}

// Returns the text to print for one step, or why the server refused it.
std::expected<std::string, std::string> run_step(zephon_probe::Session& session, const zephon_probe::Step& step) {
  using namespace zephon_probe;
  return std::visit(
      [&](const auto& s) -> std::expected<std::string, std::string> {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, InfoStep>) {
          auto report = session.info();
          if (!report) return std::unexpected(fmt::format("info: {}", report.error()));
          return format_info(session.server_version(), *report);
        } else if constexpr (std::is_same_v<T, ReadStep>) {
          auto bytes = session.read(s.region.index, s.offset, s.count);
          if (!bytes) return std::unexpected(fmt::format("read {} {:#x}: {}", s.region.label, s.offset, bytes.error()));
          return format_read(s, *bytes);
        } else if constexpr (std::is_same_v<T, WriteStep>) {
          if (auto w = session.write(s.region.index, s.offset, s.value, s.posted); !w) {
            return std::unexpected(fmt::format("write {} {:#x}: {}", s.region.label, s.offset, w.error()));
          }
          return format_write(s);
        } else if constexpr (std::is_same_v<T, ResetStep>) {
          if (auto r = session.reset(); !r) return std::unexpected(fmt::format("reset: {}", r.error()));
          return format_reset();
        } else {
          auto rom = session.read_rom();
          if (!rom) return std::unexpected(fmt::format("rom: {}", rom.error()));
          return format_rom(rom->first, rom->second);
        }
      },
      step);
}

int run(int argc, char** argv) {
  const std::string program = program_name(argc > 0 ? argv[0] : nullptr);
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto invocation = zephon_probe::parse_arguments(args);
  if (!invocation) {
    fmt::print(stderr, "{}: {}\n{}\nTry '{} --help' for more information.\n", program, invocation.error(),
               zephon_probe::usage_line(program), program);
    return kExitUsage;
  }
  if (invocation->help) {
    fmt::print("{}", zephon_probe::usage_text(program));
    return 0;
  }

  auto session = zephon_probe::Session::open(invocation->socket);
  if (!session) {
    fmt::print(stderr, "{}: {}\n", program, session.error());
    return kExitFailure;
  }
  for (const zephon_probe::Step& step : invocation->steps) {
    auto text = run_step(*session, step);
    if (!text) {
      std::fflush(stdout);
      fmt::print(stderr, "{}: {}\n", program, text.error());
      return kExitFailure;
    }
    fmt::print("{}", *text);
    // Flushed per step so that, interleaved with a server's log, output
    // appears in the order things happened.
    std::fflush(stdout);
  }
  if (auto finished = session->finish(); !finished) {
    fmt::print(stderr, "{}: {}\n", program, finished.error());
    return kExitFailure;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }

// zephon: presents one emulated PCI display device to a virtual machine
// monitor over vfio-user, logs what the guest's driver does to its registers,
// and writes the register file to standard output when the monitor leaves.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <source_location>
#include <string>
#include <vector>

#include "backend.h"
#include "cli.h"
#include "device.h"
#include "emergency_exit.h"
#include "log.h"
#include "pci.h"
#include "rom_file.h"
#include "termination.h"
#include "vfio_user/server.h"

namespace {

constexpr int kExitFatal = 101;

// Writes a fatal error report and returns the exit status that goes with it.
// The caller returns it, so that what it holds (a created server removes its
// socket file) is released on the way out.
int fatal(std::string_view message, std::string_view detail,
          std::source_location where = std::source_location::current()) {
  // Whatever the log holds back came before the failure.
  zephon::log::flush();
  std::string report = fmt::format("zephon: fatal error at {}:{}:\n{}: {}\n", where.file_name(), where.line(),
                                   message, detail);
  ssize_t ignored = ::write(STDERR_FILENO, report.data(), report.size());
  (void)ignored;
  return kExitFatal;
}

// Standard streams that are closed would otherwise be handed out to the
// socket or the ROM file, and log lines or the dump would go there. A
// read-only /dev/null keeps each slot taken and makes writes to it fail.
void hold_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    int held = ::open("/dev/null", O_RDONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

// Returns success once the whole dump was written and flushed.
std::expected<void, vfio_user::IoError> write_dump(const zephon::Backend& backend) {
  std::vector<std::uint8_t> dump(zephon::Backend::kDumpBytes);
  backend.dump(std::span<std::uint8_t, zephon::Backend::kDumpBytes>(dump.data(), dump.size()));
  std::size_t done = 0;
  while (done < dump.size()) {
    ssize_t n = ::write(STDOUT_FILENO, dump.data() + done, dump.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(vfio_user::IoError::os(errno));
    if (n == 0) return std::unexpected(vfio_user::IoError::os(EIO));
    done += static_cast<std::size_t>(n);
  }
  return {};
}

int run(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  hold_standard_streams();
  if (auto installed = zephon::log::install(zephon::log::default_options()); !installed) {
    return fatal("Unable to install global subscriber", installed.error());
  }
  const zephon::Cli cli = zephon::parse_command_line(argc, argv);

  auto rom = zephon::read_rom(cli.rom);
  if (!rom) return fatal("failed to read ROM", rom.error().debug());
  const std::uint64_t rom_size = zephon::device::rom_size(rom->length);

  // A device script is the only thing that can raise an interrupt, so only a
  // scripted device shows a monitor interrupts to set up.
  const char* script = std::getenv("ZEPHON_SCRIPT");
  const auto interrupts = script != nullptr && *script != '\0' ? zephon::device::Interrupts::Offered
                                                                : zephon::device::Interrupts::Absent;
  auto config = zephon::device::configuration(rom_size, interrupts);
  if (!config) return fatal("Invalid PCI configuration", to_string(config.error()));

  auto backend = std::make_unique<zephon::Backend>(*config, std::move(rom->bytes));
  if (auto loaded = backend->load_script(script); !loaded) {
    return fatal("failed to load device script", loaded.error());
  }
  // From here on a termination signal must not lose the recording or leave
  // the socket file behind.
  zephon::termination::install_handlers();
  // The region table comes after the script, which may have given BAR 0
  // memory to offer the monitor; the backend owns that descriptor and
  // outlives the server.
  auto server = vfio_user::Server::create(cli.socket, true, zephon::device::interrupt_table(interrupts),
                                          zephon::device::region_table(rom_size, backend->bar0_fd()));
  if (!server) return fatal("failed to create server", server.error().debug());

  std::expected<void, vfio_user::Error> result;
  zephon::emergency::keep(backend->regs(), server->socket_path());
  {
    zephon::termination::StopOnSignal stop_on_signal(*server);
    result = server->run(*backend);
  }
  zephon::emergency::run_ended();

  // The recording is written whatever the run's outcome.
  if (auto dumped = write_dump(*backend); !dumped) return fatal("failed to dump state", dumped.error().debug());
  if (std::fflush(stdout) != 0) return fatal("failed to flush output", vfio_user::IoError::os(errno).debug());
  zephon::emergency::dump_written();
  if (!result) return fatal("server exited with an error", result.error().debug());

  if (int signal = zephon::termination::received(); signal != 0) {
    zephon::termination::report(signal);
    zephon::emergency::stand_down();
    return 128 + signal;
  }
  zephon::emergency::stand_down();
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }

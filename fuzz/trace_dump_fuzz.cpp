// Fuzz target: zephon-trace's register dump reader and the comparison it
// feeds, given any file in place of a dump.
//
// Input: a shape byte, then the file's bytes. Shape 0 hands the bytes over as
// they are; 1, 2 and 3 repeat them to one byte less than a dump, exactly a
// dump and one byte more, so that the fuzzer reaches whole dumps without
// writing 256 KiB inputs. The file is read through a descriptor, as
// zephon-trace reads it.
//
// The run aborts (a finding) when a file is taken as a dump although it is not
// one's size, or refused although it is, when the refusal does not say why,
// when the registers are not the file's little-endian words, or when a
// comparison lists registers that do not differ, misses one, leaves index
// order or cannot be written.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dump.h"
#include "finding.h"
#include "output.h"
#include "vfio_user/unique_fd.h"

namespace {

using vfio_user::UniqueFd;
using zephon_fuzz::finding;
using zephon_trace::kDumpSize;

// Holds the file the reader is given; reused by every run.
UniqueFd& dump_file() {
  static UniqueFd file(::memfd_create("dump", MFD_CLOEXEC));
  if (!file) finding("cannot create the dump file");
  return file;
}

// Holds where comparisons are written: nowhere.
UniqueFd& null_output() {
  static UniqueFd file(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!file) finding("cannot open /dev/null");
  return file;
}

std::string shaped(std::string_view input) {
  if (input.empty()) return {};
  const unsigned shape = static_cast<unsigned char>(input.front()) % 4;
  const std::string_view body = input.substr(1);
  if (shape == 0 || body.empty()) return std::string(body);
  const std::size_t size = kDumpSize + shape - 2;
  std::string file(body);
  file.reserve(size);
  while (file.size() * 2 <= size) file.append(file);
  file.append(file, 0, size - file.size());
  return file;
}

void put_file(std::string_view bytes) {
  const int fd = dump_file().get();
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
      ::lseek(fd, 0, SEEK_SET) != 0) {
    finding("cannot write the dump file");
  }
}

void check_registers(std::string_view bytes, const zephon_trace::RegisterFile& registers) {
  if (registers.size() != zephon_trace::kRegisterCount) finding("a dump with the wrong number of registers");
  for (std::size_t i = 0; i < registers.size(); ++i) {
    std::uint32_t word = 0;
    for (int b = 3; b >= 0; --b) word = word << 8 | static_cast<unsigned char>(bytes[4 * i + b]);
    if (registers[i] != word) finding("a register that is not the file's little-endian word");
  }
}

// Compares the dump with a copy that differs in 16 registers, one in each
// 4096, at a place the dump's first register picks: a comparison with a
// dump of zeros would list nearly every register of a random file, and cost
// milliseconds a run in the growth of the list alone.
void check_comparison(const zephon_trace::RegisterFile& registers) {
  constexpr std::uint32_t kFlip = 0x80000001;
  zephon_trace::RegisterFile changed = registers;
  const std::size_t first = registers[0] & 0xfff;
  for (std::size_t i = first; i < changed.size(); i += 4096) changed[i] ^= kFlip;
  const std::vector<zephon_trace::Difference> diffs = zephon_trace::differences(registers, changed);
  if (diffs.size() != 16) finding("a comparison that lists other registers than those that differ");
  for (std::size_t i = 0; i < diffs.size(); ++i) {
    const zephon_trace::Difference& d = diffs[i];
    if (d.index != first + 4096 * i) finding("a comparison out of index order, or of the wrong registers");
    if (d.left != registers[d.index] || d.right != (registers[d.index] ^ kFlip)) {
      finding("a difference with wrong values");
    }
  }
  if (!zephon_trace::differences(registers, registers).empty()) finding("a dump differs from itself");
  const zephon_trace::LastValues log;  // a log without events: every row is marked as not in it
  zephon_trace::Output out(null_output().get());
  zephon_trace::write_differences(out, "log", "dump", diffs, &log.seen());
  if (!out.finish()) finding("the comparison could not be written");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes = shaped(std::string_view(reinterpret_cast<const char*>(data), size));
  put_file(bytes);
  auto loaded = zephon_trace::load_dump(dump_file().get());
  if (bytes.size() != kDumpSize) {
    if (loaded) finding("a file that is not a dump's size was taken as a dump");
    if (!loaded.error().starts_with("not a zephon register dump: ")) finding("a refusal that does not say why");
    return 0;
  }
  if (!loaded) finding("a dump was refused");
  check_registers(bytes, *loaded);
  check_comparison(*loaded);
  return 0;
}

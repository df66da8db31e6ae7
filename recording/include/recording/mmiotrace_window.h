// RegisterWindow picks, among the mappings an mmiotrace records, the one that
// is the device's register BAR, and turns the records of a trace into the
// events of that BAR: its reads and writes at their byte offsets, with their
// widths, and the markers.
//
// Contract: by default the register BAR is the mapping of 256 KiB (the size
// of zephon's BAR 2); MapChoice names another by its id or by its physical
// address. The BAR is known by its physical address, so accesses through any
// mapping of it count (a driver that unmaps and maps it again gets a new
// id); accesses elsewhere, and before the BAR's mapping is seen, are outside.
// Two mappings of 256 KiB at different addresses (without a choice) refuse
// the trace at the second; finish() refuses a trace in which the BAR was not
// found. Both refusals list the mappings seen. Memory is bounded: at most
// kListedMappings mappings are remembered for those lists.
#ifndef RECORDING_MMIOTRACE_WINDOW_H_
#define RECORDING_MMIOTRACE_WINDOW_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recording/line_parser.h"
#include "recording/mmiotrace_line.h"

namespace zephon_trace {

// How the register BAR of an mmiotrace is named (zephon-trace's --map and
// --base; a device script's replay options).
struct MapChoice {
  std::optional<std::uint64_t> map_id;  // --map ID: the mapping with that id
  std::optional<std::uint64_t> base;    // --base ADDRESS: the BAR at that physical address
  // What a refusal tells a person to do when the BAR is not clear; static.
  std::string_view how_to_name = "name the register BAR with --map ID or --base ADDRESS";
};

class RegisterWindow {
 public:
  static constexpr std::size_t kListedMappings = 32;

  explicit RegisterWindow(const MapChoice& choice);

  // Returns what the record is for the register BAR: an event (line number
  // left 0), another line, an access outside it, an undecoded access to it,
  // a malformed line, or the refusal of a trace whose BAR is ambiguous.
  ParsedLine take(const MmioRecord& record);
  // Returns success once the register BAR was found, or why not.
  std::expected<void, std::string> finish() const;
  // Returns what the register BAR is ("mapping 3 at 0xf0000000 (256 KiB)"),
  // or empty while it is not known.
  std::string description() const;

 private:
  struct Mapping {
    std::uint64_t id = 0;
    std::uint64_t phys = 0;
    std::uint64_t length = 0;
  };
  void map(const MmioRecord& record);
  // Returns the mappings seen, for a refusal.
  std::string listing() const;
  // Returns the byte offset of an access of width bytes in the BAR, if it lies inside.
  std::optional<std::uint32_t> offset_of(std::uint64_t phys, std::uint64_t width) const;

  MapChoice choice_;
  std::optional<std::uint64_t> base_;      // the BAR's physical address once known
  std::optional<Mapping> chosen_;          // the mapping that named it, when one did
  bool base_mapped_ = false;               // with --base: a mapping holds the address
  std::uint64_t inside_ = 0;               // accesses found in the BAR
  std::vector<Mapping> mappings_;          // distinct by address and length, in order seen
  std::uint64_t unlisted_ = 0;             // more mappings than kListedMappings
  std::string refusal_;                    // the reason a Refused line points at
};

// Returns a length as people write it: "256 KiB", "256 MiB", "4100 bytes".
std::string size_text(std::uint64_t bytes);

}  // namespace zephon_trace

#endif  // RECORDING_MMIOTRACE_WINDOW_H_

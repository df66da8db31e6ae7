// The text `zephon-rom inspect` prints: for each image its offset, header,
// checksum, PCI data structure, EFI header and video BIOS, field by field,
// then its problems, and a last line that says whether the file is valid.
//
// Contract: pure; every line ends with a newline. Field names start their
// lines (after indentation) and values follow at a fixed column, so that
// scripts can pick fields out.
#ifndef ZEPHON_TOOLS_ROM_REPORT_H_
#define ZEPHON_TOOLS_ROM_REPORT_H_

#include <string>
#include <string_view>

#include "rom_reader.h"

namespace zephon_rom {

// Returns the report of the file called name.
std::string format_report(std::string_view name, const RomReport& report);

}  // namespace zephon_rom

#endif  // ZEPHON_TOOLS_ROM_REPORT_H_

// The names the ATOM headers give to the entries of the master command and
// data tables, to the devices of SupportedDevicesInfo and to its connector
// and DAC numbers, for reports.
//
// Contract: pure; an index or number without a name gets a made-up one
// ("table 90", "connector type 12").
#ifndef ZEPHON_TOOLS_ROM_ATOM_NAMES_H_
#define ZEPHON_TOOLS_ROM_ATOM_NAMES_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace zephon_rom {

// Returns the name of the command table at index in the master list.
std::string command_table_name(std::size_t index);
// Returns the name of the data table at index in the master list.
std::string data_table_name(std::size_t index);
// Returns the name of the device of bit index in SupportedDevicesInfo.
std::string device_name(std::size_t index);
// Returns the name of a connector type as the driver reads it.
std::string connector_type_name(std::uint8_t type);
// Returns the name of a DAC number as the driver reads it.
std::string dac_name(std::uint8_t dac);

}  // namespace zephon_rom

#endif  // ZEPHON_TOOLS_ROM_ATOM_NAMES_H_

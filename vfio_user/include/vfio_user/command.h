// Command is the vfio-user command code carried in every message header.
#ifndef VFIO_USER_COMMAND_H_
#define VFIO_USER_COMMAND_H_

#include <cstdint>
#include <string_view>

namespace vfio_user {

enum class Command : std::uint16_t {
  Unknown = 0,
  Version = 1,
  DmaMap = 2,
  DmaUnmap = 3,
  DeviceGetInfo = 4,
  DeviceGetRegionInfo = 5,
  GetRegionIoFds = 6,
  GetIrqInfo = 7,
  SetIrqs = 8,
  RegionRead = 9,
  RegionWrite = 10,
  DmaRead = 11,
  DmaWrite = 12,
  DeviceReset = 13,
  UserDirtyPages = 14,
};

// Returns the highest command code that has a name.
constexpr std::uint16_t kLastCommand = 14;

// Returns the command's name as it appears in log and error texts.
std::string_view command_name(Command command);

}  // namespace vfio_user

#endif  // VFIO_USER_COMMAND_H_

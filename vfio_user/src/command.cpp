#include "vfio_user/command.h"

namespace vfio_user {

std::string_view command_name(Command command) {
  switch (command) {
    case Command::Unknown: return "Unknown";
    case Command::Version: return "Version";
    case Command::DmaMap: return "DmaMap";
    case Command::DmaUnmap: return "DmaUnmap";
    case Command::DeviceGetInfo: return "DeviceGetInfo";
    case Command::DeviceGetRegionInfo: return "DeviceGetRegionInfo";
    case Command::GetRegionIoFds: return "GetRegionIoFds";
    case Command::GetIrqInfo: return "GetIrqInfo";
    case Command::SetIrqs: return "SetIrqs";
    case Command::RegionRead: return "RegionRead";
    case Command::RegionWrite: return "RegionWrite";
    case Command::DmaRead: return "DmaRead";
    case Command::DmaWrite: return "DmaWrite";
    case Command::DeviceReset: return "DeviceReset";
    case Command::UserDirtyPages: return "UserDirtyPages";
  }
  return "Unknown";
}

}  // namespace vfio_user

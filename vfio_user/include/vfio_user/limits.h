// The sizes and bounds shared by the server, its handlers, the device model,
// the client and the tools: each number of the wire format or of the
// emulated device that more than one place depends on, named once here.
//
// Contract: these are compile-time constants; changing one changes what the
// server accepts and advertises, and what every client built with it sends.
#ifndef VFIO_USER_LIMITS_H_
#define VFIO_USER_LIMITS_H_

#include <cstddef>
#include <cstdint>

namespace vfio_user {

// The largest data transfer (and capabilities text) the server takes in one
// message; advertised to clients as max_data_xfer_size.
inline constexpr std::uint32_t kMaxDataTransfer = 1048576;

// Fixed payload sizes, in bytes after the 16-byte message header.
//
// RegionRead / RegionWrite fixed part: offset, region, count.
inline constexpr std::size_t kRegionAccessSize = 16;
// DmaMap request: argsz, flags, file offset, address, size.
inline constexpr std::size_t kDmaMapSize = 32;
// DmaUnmap request, echoed whole in the reply: argsz, flags, address, size.
inline constexpr std::size_t kDmaUnmapSize = 24;
// DeviceGetInfo request and reply: argsz, flags, num_regions, num_irqs.
inline constexpr std::size_t kDeviceInfoSize = 16;
// DeviceGetRegionInfo request and reply, capabilities excluded.
inline constexpr std::size_t kRegionInfoSize = 32;
// The sparse-mmap capability before its areas: header, nr_areas, reserved.
inline constexpr std::size_t kSparseMmapHeaderSize = 16;
// One area of the sparse-mmap capability: offset, size.
inline constexpr std::size_t kSparseMmapAreaSize = 16;
// GetIrqInfo request and reply: argsz, flags, index, count.
inline constexpr std::size_t kIrqInfoSize = 16;
// SetIrqs request before its data: argsz, flags, index, start, count.
inline constexpr std::size_t kIrqSetSize = 20;

// The PCI configuration space of a conventional PCI function.
inline constexpr std::uint64_t kConfigSpaceSize = 256;

// The smallest size a ROM BAR is given, whatever the image's length.
inline constexpr std::uint64_t kMinRomSize = 2048;
// The largest ROM a 32-bit ROM BAR can decode: its size must be a power of
// two below 4 GiB. Larger images are refused without being read.
inline constexpr std::uint64_t kMaxRomSize = std::uint64_t{1} << 31;

}  // namespace vfio_user

#endif  // VFIO_USER_LIMITS_H_

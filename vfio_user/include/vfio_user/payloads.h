// The payloads of the vfio-user commands that carry fixed structures, one
// type per payload, each with its encoder and decoder. The layouts are the
// Linux VFIO structures the protocol carries unchanged (vfio_region_info,
// vfio_irq_set, ...), little-endian whatever the host. Server, client, tools
// and tests all go through these types instead of byte offsets of their own.
//
// Contract: encode writes exactly kSize bytes, into a span of that extent
// (the sparse-mmap capability size() bytes, into a span it checks); decode reads the fields from the first bytes
// it is given, ignores any bytes after them, and refuses with ShortPayload
// only when fewer bytes than the fixed size are given. Nothing is checked
// beyond length: what a field's value means is the caller's business.
#ifndef VFIO_USER_PAYLOADS_H_
#define VFIO_USER_PAYLOADS_H_

#include <linux/vfio.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "vfio_user/limits.h"

namespace vfio_user {

// Why a payload could not be decoded (or encoded): fewer bytes than its size.
struct ShortPayload {
  std::size_t needed = 0;  // the payload's fixed size
  std::size_t got = 0;     // the bytes given

  bool operator==(const ShortPayload&) const = default;
};

template <typename T>
using Decoded = std::expected<T, ShortPayload>;

// RegionRead and RegionWrite: the fixed part of the request, echoed as the
// start of the reply; a RegionWrite request and a RegionRead reply go on
// with count data bytes.
struct RegionAccess {
  static constexpr std::size_t kSize = kRegionAccessSize;
  std::uint64_t offset = 0;  // within the region
  std::uint32_t region = 0;  // region index
  std::uint32_t count = 0;   // data bytes

  // Writes the payload's bytes to out.
  void encode(std::span<std::uint8_t, kSize> out) const;
  // Returns the payload's bytes.
  std::array<std::uint8_t, kSize> encode() const;
  // Returns the payload at the start of bytes, or ShortPayload.
  static Decoded<RegionAccess> decode(std::span<const std::uint8_t> bytes);
  bool operator==(const RegionAccess&) const = default;
};

// DmaMap request: the layout of vfio_iommu_type1_dma_map, with the offset
// into the file that comes with the request where the kernel has vaddr.
struct DmaMap {
  static constexpr std::size_t kSize = kDmaMapSize;
  std::uint32_t argsz = kSize;
  std::uint32_t flags = 0;
  std::uint64_t offset = 0;   // into the request's file
  std::uint64_t address = 0;  // DMA address (iova)
  std::uint64_t size = 0;

  // Writes the payload's bytes to out.
  void encode(std::span<std::uint8_t, kSize> out) const;
  // Returns the payload's bytes.
  std::array<std::uint8_t, kSize> encode() const;
  // Returns the payload at the start of bytes, or ShortPayload.
  static Decoded<DmaMap> decode(std::span<const std::uint8_t> bytes);
  bool operator==(const DmaMap&) const = default;
};

// DmaUnmap request, sent back whole as the reply: the fixed part of
// vfio_iommu_type1_dma_unmap.
struct DmaUnmap {
  static constexpr std::size_t kSize = kDmaUnmapSize;
  std::uint32_t argsz = kSize;
  std::uint32_t flags = 0;
  std::uint64_t address = 0;  // DMA address (iova)
  std::uint64_t size = 0;

  // Writes the payload's bytes to out.
  void encode(std::span<std::uint8_t, kSize> out) const;
  // Returns the payload's bytes.
  std::array<std::uint8_t, kSize> encode() const;
  // Returns the payload at the start of bytes, or ShortPayload.
  static Decoded<DmaUnmap> decode(std::span<const std::uint8_t> bytes);
  bool operator==(const DmaUnmap&) const = default;
};

// DeviceGetInfo request and reply: the first four fields of
// vfio_device_info (the kernel's later cap_offset is not carried).
struct DeviceInfo {
  static constexpr std::size_t kSize = kDeviceInfoSize;
  std::uint32_t argsz = kSize;
  std::uint32_t flags = 0;  // VFIO_DEVICE_FLAGS_*
  std::uint32_t num_regions = 0;
  std::uint32_t num_irqs = 0;

  // Writes the payload's bytes to out.
  void encode(std::span<std::uint8_t, kSize> out) const;
  // Returns the payload's bytes.
  std::array<std::uint8_t, kSize> encode() const;
  // Returns the payload at the start of bytes, or ShortPayload.
  static Decoded<DeviceInfo> decode(std::span<const std::uint8_t> bytes);
  bool operator==(const DeviceInfo&) const = default;
};

// DeviceGetRegionInfo request and reply: vfio_region_info. In a reply with
// VFIO_REGION_INFO_FLAG_CAPS set, a capability follows at cap_offset.
struct RegionInfo {
  static constexpr std::size_t kSize = kRegionInfoSize;
  std::uint32_t argsz = kSize;  // request: the room the client has for the reply
  std::uint32_t flags = 0;      // VFIO_REGION_INFO_FLAG_*
  std::uint32_t index = 0;
  std::uint32_t cap_offset = 0;
  std::uint64_t size = 0;
  std::uint64_t offset = 0;

  // Returns the payload holding the kernel structure's values.
  static RegionInfo of(const vfio_region_info& info);
  // Writes the payload's bytes to out.
  void encode(std::span<std::uint8_t, kSize> out) const;
  // Returns the payload's bytes.
  std::array<std::uint8_t, kSize> encode() const;
  // Returns the payload at the start of bytes, or ShortPayload.
  static Decoded<RegionInfo> decode(std::span<const std::uint8_t> bytes);
  bool operator==(const RegionInfo&) const = default;
};

// The sparse-mmap capability of a region (vfio_region_info_cap_sparse_mmap):
// the parts of the region a client may map.
struct SparseMmapCapability {
  static constexpr std::size_t kHeaderSize = kSparseMmapHeaderSize;
  static constexpr std::size_t kAreaSize = kSparseMmapAreaSize;
  std::uint16_t id = VFIO_REGION_INFO_CAP_SPARSE_MMAP;
  std::uint16_t version = 1;
  std::uint32_t next = 0;  // offset of the next capability; 0 for none
  std::vector<vfio_region_sparse_mmap_area> areas;

  // Returns the encoded length: the header and every area.
  std::size_t size() const { return kHeaderSize + kAreaSize * areas.size(); }
  // Writes the size() bytes of the capability to the start of out; returns
  // ShortPayload, having written nothing, when out holds fewer.
  std::expected<void, ShortPayload> encode(std::span<std::uint8_t> out) const;
  // Returns the capability's bytes.
  std::vector<std::uint8_t> encode() const;
  // Returns the capability at the start of bytes with as many areas as its
  // nr_areas announces, or ShortPayload when bytes do not hold them all (so
  // what is reserved is bounded by what was received).
  static Decoded<SparseMmapCapability> decode(std::span<const std::uint8_t> bytes);
  bool operator==(const SparseMmapCapability& other) const;
};

// GetIrqInfo request and reply: vfio_irq_info.
struct IrqInfo {
  static constexpr std::size_t kSize = kIrqInfoSize;
  std::uint32_t argsz = kSize;
  std::uint32_t flags = 0;  // VFIO_IRQ_INFO_*
  std::uint32_t index = 0;
  std::uint32_t count = 0;

  // Writes the payload's bytes to out.
  void encode(std::span<std::uint8_t, kSize> out) const;
  // Returns the payload's bytes.
  std::array<std::uint8_t, kSize> encode() const;
  // Returns the payload at the start of bytes, or ShortPayload.
  static Decoded<IrqInfo> decode(std::span<const std::uint8_t> bytes);
  bool operator==(const IrqInfo&) const = default;
};

// SetIrqs request: the fixed part of vfio_irq_set; its data, if any,
// follows it.
struct IrqSet {
  static constexpr std::size_t kSize = kIrqSetSize;
  std::uint32_t argsz = kSize;
  std::uint32_t flags = 0;  // VFIO_IRQ_SET_DATA_* | VFIO_IRQ_SET_ACTION_*
  std::uint32_t index = 0;
  std::uint32_t start = 0;  // first vector
  std::uint32_t count = 0;  // vectors

  // Writes the payload's bytes to out.
  void encode(std::span<std::uint8_t, kSize> out) const;
  // Returns the payload's bytes.
  std::array<std::uint8_t, kSize> encode() const;
  // Returns the payload at the start of bytes, or ShortPayload.
  static Decoded<IrqSet> decode(std::span<const std::uint8_t> bytes);
  bool operator==(const IrqSet&) const = default;
};

}  // namespace vfio_user

#endif  // VFIO_USER_PAYLOADS_H_

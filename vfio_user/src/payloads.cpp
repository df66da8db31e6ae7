// The field layouts of the fixed payloads. Offsets are from the first byte
// after the message header; every field is little-endian.
#include "vfio_user/payloads.h"

#include <algorithm>

#include "vfio_user/wire.h"

namespace vfio_user {

namespace {

// Returns ShortPayload unless bytes hold at least needed of them.
std::expected<void, ShortPayload> require(std::span<const std::uint8_t> bytes, std::size_t needed) {
  if (bytes.size() < needed) return std::unexpected(ShortPayload{needed, bytes.size()});
  return {};
}

// Returns the fixed-size encoding of payload, through its span encoder.
template <typename Payload>
std::array<std::uint8_t, Payload::kSize> encoded(const Payload& payload) {
  std::array<std::uint8_t, Payload::kSize> out;
  payload.encode(std::span<std::uint8_t, Payload::kSize>(out));
  return out;
}

}  // namespace

void RegionAccess::encode(std::span<std::uint8_t, kSize> out) const {
  wire::store64(out.data(), offset);
  wire::store32(out.data() + 8, region);
  wire::store32(out.data() + 12, count);
}

std::array<std::uint8_t, RegionAccess::kSize> RegionAccess::encode() const { return encoded(*this); }

Decoded<RegionAccess> RegionAccess::decode(std::span<const std::uint8_t> bytes) {
  if (auto r = require(bytes, kSize); !r) return std::unexpected(r.error());
  const std::uint8_t* p = bytes.data();
  return RegionAccess{.offset = wire::load64(p), .region = wire::load32(p + 8), .count = wire::load32(p + 12)};
}

void DmaMap::encode(std::span<std::uint8_t, kSize> out) const {
  wire::store32(out.data(), argsz);
  wire::store32(out.data() + 4, flags);
  wire::store64(out.data() + 8, offset);
  wire::store64(out.data() + 16, address);
  wire::store64(out.data() + 24, size);
}

std::array<std::uint8_t, DmaMap::kSize> DmaMap::encode() const { return encoded(*this); }

Decoded<DmaMap> DmaMap::decode(std::span<const std::uint8_t> bytes) {
  if (auto r = require(bytes, kSize); !r) return std::unexpected(r.error());
  const std::uint8_t* p = bytes.data();
  return DmaMap{.argsz = wire::load32(p),
                .flags = wire::load32(p + 4),
                .offset = wire::load64(p + 8),
                .address = wire::load64(p + 16),
                .size = wire::load64(p + 24)};
}

void DmaUnmap::encode(std::span<std::uint8_t, kSize> out) const {
  wire::store32(out.data(), argsz);
  wire::store32(out.data() + 4, flags);
  wire::store64(out.data() + 8, address);
  wire::store64(out.data() + 16, size);
}

std::array<std::uint8_t, DmaUnmap::kSize> DmaUnmap::encode() const { return encoded(*this); }

Decoded<DmaUnmap> DmaUnmap::decode(std::span<const std::uint8_t> bytes) {
  if (auto r = require(bytes, kSize); !r) return std::unexpected(r.error());
  const std::uint8_t* p = bytes.data();
  return DmaUnmap{.argsz = wire::load32(p),
                  .flags = wire::load32(p + 4),
                  .address = wire::load64(p + 8),
                  .size = wire::load64(p + 16)};
}

void DeviceInfo::encode(std::span<std::uint8_t, kSize> out) const {
  wire::store32(out.data(), argsz);
  wire::store32(out.data() + 4, flags);
  wire::store32(out.data() + 8, num_regions);
  wire::store32(out.data() + 12, num_irqs);
}

std::array<std::uint8_t, DeviceInfo::kSize> DeviceInfo::encode() const { return encoded(*this); }

Decoded<DeviceInfo> DeviceInfo::decode(std::span<const std::uint8_t> bytes) {
  if (auto r = require(bytes, kSize); !r) return std::unexpected(r.error());
  const std::uint8_t* p = bytes.data();
  return DeviceInfo{.argsz = wire::load32(p),
                    .flags = wire::load32(p + 4),
                    .num_regions = wire::load32(p + 8),
                    .num_irqs = wire::load32(p + 12)};
}

RegionInfo RegionInfo::of(const vfio_region_info& info) {
  return RegionInfo{.argsz = info.argsz,
                    .flags = info.flags,
                    .index = info.index,
                    .cap_offset = info.cap_offset,
                    .size = info.size,
                    .offset = info.offset};
}

void RegionInfo::encode(std::span<std::uint8_t, kSize> out) const {
  wire::store32(out.data(), argsz);
  wire::store32(out.data() + 4, flags);
  wire::store32(out.data() + 8, index);
  wire::store32(out.data() + 12, cap_offset);
  wire::store64(out.data() + 16, size);
  wire::store64(out.data() + 24, offset);
}

std::array<std::uint8_t, RegionInfo::kSize> RegionInfo::encode() const { return encoded(*this); }

Decoded<RegionInfo> RegionInfo::decode(std::span<const std::uint8_t> bytes) {
  if (auto r = require(bytes, kSize); !r) return std::unexpected(r.error());
  const std::uint8_t* p = bytes.data();
  return RegionInfo{.argsz = wire::load32(p),
                    .flags = wire::load32(p + 4),
                    .index = wire::load32(p + 8),
                    .cap_offset = wire::load32(p + 12),
                    .size = wire::load64(p + 16),
                    .offset = wire::load64(p + 24)};
}

std::expected<void, ShortPayload> SparseMmapCapability::encode(std::span<std::uint8_t> out) const {
  if (out.size() < size()) return std::unexpected(ShortPayload{size(), out.size()});
  std::uint8_t* p = out.data();
  wire::store16(p, id);
  wire::store16(p + 2, version);
  wire::store32(p + 4, next);
  wire::store32(p + 8, static_cast<std::uint32_t>(areas.size()));
  wire::store32(p + 12, 0);  // reserved
  p += kHeaderSize;
  for (const vfio_region_sparse_mmap_area& area : areas) {
    wire::store64(p, area.offset);
    wire::store64(p + 8, area.size);
    p += kAreaSize;
  }
  return {};
}

std::vector<std::uint8_t> SparseMmapCapability::encode() const {
  std::vector<std::uint8_t> out(size());
  (void)encode(std::span(out));  // sized to fit
  return out;
}

Decoded<SparseMmapCapability> SparseMmapCapability::decode(std::span<const std::uint8_t> bytes) {
  if (auto r = require(bytes, kHeaderSize); !r) return std::unexpected(r.error());
  const std::uint8_t* p = bytes.data();
  const std::uint32_t nr_areas = wire::load32(p + 8);
  // Checked before anything is reserved: nr_areas comes from the peer.
  const std::size_t needed = kHeaderSize + kAreaSize * std::size_t{nr_areas};
  if (auto r = require(bytes, needed); !r) return std::unexpected(r.error());
  SparseMmapCapability cap{.id = wire::load16(p), .version = wire::load16(p + 2), .next = wire::load32(p + 4),
                           .areas = {}};
  cap.areas.reserve(nr_areas);
  for (const std::uint8_t* area = p + kHeaderSize; area < p + needed; area += kAreaSize) {
    cap.areas.push_back({.offset = wire::load64(area), .size = wire::load64(area + 8)});
  }
  return cap;
}

bool SparseMmapCapability::operator==(const SparseMmapCapability& other) const {
  auto same_area = [](const vfio_region_sparse_mmap_area& a, const vfio_region_sparse_mmap_area& b) {
    return a.offset == b.offset && a.size == b.size;
  };
  return id == other.id && version == other.version && next == other.next &&
         std::ranges::equal(areas, other.areas, same_area);
}

void IrqInfo::encode(std::span<std::uint8_t, kSize> out) const {
  wire::store32(out.data(), argsz);
  wire::store32(out.data() + 4, flags);
  wire::store32(out.data() + 8, index);
  wire::store32(out.data() + 12, count);
}

std::array<std::uint8_t, IrqInfo::kSize> IrqInfo::encode() const { return encoded(*this); }

Decoded<IrqInfo> IrqInfo::decode(std::span<const std::uint8_t> bytes) {
  if (auto r = require(bytes, kSize); !r) return std::unexpected(r.error());
  const std::uint8_t* p = bytes.data();
  return IrqInfo{.argsz = wire::load32(p), .flags = wire::load32(p + 4), .index = wire::load32(p + 8),
                 .count = wire::load32(p + 12)};
}

void IrqSet::encode(std::span<std::uint8_t, kSize> out) const {
  wire::store32(out.data(), argsz);
  wire::store32(out.data() + 4, flags);
  wire::store32(out.data() + 8, index);
  wire::store32(out.data() + 12, start);
  wire::store32(out.data() + 16, count);
}

std::array<std::uint8_t, IrqSet::kSize> IrqSet::encode() const { return encoded(*this); }

Decoded<IrqSet> IrqSet::decode(std::span<const std::uint8_t> bytes) {
  if (auto r = require(bytes, kSize); !r) return std::unexpected(r.error());
  const std::uint8_t* p = bytes.data();
  return IrqSet{.argsz = wire::load32(p),
                .flags = wire::load32(p + 4),
                .index = wire::load32(p + 8),
                .start = wire::load32(p + 12),
                .count = wire::load32(p + 16)};
}

}  // namespace vfio_user

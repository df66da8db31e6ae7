// Little-endian loads and stores for the vfio-user wire format, which is
// little-endian whatever the host.
#ifndef VFIO_USER_WIRE_H_
#define VFIO_USER_WIRE_H_

#include <bit>
#include <cstdint>
#include <cstring>

namespace vfio_user::wire {

template <typename T>
inline T load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
}

template <typename T>
inline void store(std::uint8_t* p, T v) {
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  std::memcpy(p, &v, sizeof v);
}

// Returns the u16 at p.
inline std::uint16_t load16(const std::uint8_t* p) { return load<std::uint16_t>(p); }
// Returns the u32 at p.
inline std::uint32_t load32(const std::uint8_t* p) { return load<std::uint32_t>(p); }
// Returns the u64 at p.
inline std::uint64_t load64(const std::uint8_t* p) { return load<std::uint64_t>(p); }
inline void store16(std::uint8_t* p, std::uint16_t v) { store(p, v); }
inline void store32(std::uint8_t* p, std::uint32_t v) { store(p, v); }
inline void store64(std::uint8_t* p, std::uint64_t v) { store(p, v); }

}  // namespace vfio_user::wire

#endif  // VFIO_USER_WIRE_H_

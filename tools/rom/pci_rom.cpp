#include "pci_rom.h"

#include <fmt/format.h>

namespace zephon_rom {

namespace {

// Where the x86 fields and the EFI header's fields sit in an image.
constexpr std::size_t kInitSizeOffset = 0x02;
constexpr std::size_t kEntryOffset = 0x03;
constexpr std::size_t kPciDataPointerOffset = 0x18;
constexpr std::size_t kEfiSignatureOffset = 0x04;
constexpr std::size_t kEfiSubsystemOffset = 0x08;
constexpr std::size_t kEfiMachineOffset = 0x0A;
constexpr std::size_t kEfiCompressionOffset = 0x0C;
constexpr std::size_t kEfiImageOffset = 0x16;

constexpr std::uint8_t kJumpShort = 0xEB;
constexpr std::uint8_t kJumpNear = 0xE9;

}  // namespace

void ImageHeader::encode(std::span<std::uint8_t> image) const {
  put16(image, 0, signature);
  put16(image, kPciDataPointerOffset, pci_data_offset);
}

ImageHeader ImageHeader::decode(Bytes image) {
  return ImageHeader{.signature = get16(image, 0), .pci_data_offset = get16(image, kPciDataPointerOffset)};
}

std::optional<std::size_t> X86Header::entry_target() const {
  // Relative to the next instruction, within the 64 KiB segment the BIOS
  // calls the image in.
  if (entry[0] == kJumpShort) {
    return (kEntryOffset + 2 + static_cast<std::size_t>(static_cast<std::int8_t>(entry[1]))) & 0xFFFF;
  }
  if (entry[0] == kJumpNear) {
    const auto rel = static_cast<std::int16_t>(entry[1] | (entry[2] << 8));
    return (kEntryOffset + 3 + static_cast<std::size_t>(rel)) & 0xFFFF;
  }
  return std::nullopt;
}

void X86Header::encode(std::span<std::uint8_t> image) const {
  put8(image, kInitSizeOffset, init_blocks);
  for (std::size_t i = 0; i < entry.size(); ++i) put8(image, kEntryOffset + i, entry[i]);
}

X86Header X86Header::decode(Bytes image) {
  return X86Header{.init_blocks = get8(image, kInitSizeOffset),
                   .entry = {get8(image, kEntryOffset), get8(image, kEntryOffset + 1), get8(image, kEntryOffset + 2)}};
}

void EfiHeader::encode(std::span<std::uint8_t> image) const {
  put16(image, kInitSizeOffset, init_blocks);
  put32(image, kEfiSignatureOffset, efi_signature);
  put16(image, kEfiSubsystemOffset, subsystem);
  put16(image, kEfiMachineOffset, machine);
  put16(image, kEfiCompressionOffset, compression);
  put16(image, kEfiImageOffset, image_offset);
}

EfiHeader EfiHeader::decode(Bytes image) {
  return EfiHeader{.init_blocks = get16(image, kInitSizeOffset),
                   .efi_signature = get32(image, kEfiSignatureOffset),
                   .subsystem = get16(image, kEfiSubsystemOffset),
                   .machine = get16(image, kEfiMachineOffset),
                   .compression = get16(image, kEfiCompressionOffset),
                   .image_offset = get16(image, kEfiImageOffset)};
}

void PciDataStructure::encode(std::span<std::uint8_t> image, std::size_t off) const {
  auto s = image.subspan(off, kSize);
  put_text(s, 0x00, std::string_view(signature.data(), signature.size()));
  put16(s, 0x04, vendor);
  put16(s, 0x06, device);
  put16(s, 0x08, device_list_offset);
  put16(s, 0x0A, length);
  put8(s, 0x0C, revision);
  put8(s, 0x0D, static_cast<std::uint8_t>(class_code));
  put8(s, 0x0E, static_cast<std::uint8_t>(class_code >> 8));
  put8(s, 0x0F, static_cast<std::uint8_t>(class_code >> 16));
  put16(s, 0x10, image_blocks);
  put16(s, 0x12, code_revision);
  put8(s, 0x14, code_type);
  put8(s, 0x15, indicator);
  put16(s, 0x16, max_runtime_blocks);
  put16(s, 0x18, config_utility_offset);
  put16(s, 0x1A, clp_entry_offset);
}

PciDataStructure PciDataStructure::decode(Bytes image, std::size_t off) {
  const auto s = image.subspan(off, kSize);
  PciDataStructure p;
  for (std::size_t i = 0; i < p.signature.size(); ++i) p.signature[i] = static_cast<char>(s[i]);
  p.vendor = get16(s, 0x04);
  p.device = get16(s, 0x06);
  p.device_list_offset = get16(s, 0x08);
  p.length = get16(s, 0x0A);
  p.revision = get8(s, 0x0C);
  p.class_code = get8(s, 0x0D) | (get8(s, 0x0E) << 8) | (static_cast<std::uint32_t>(get8(s, 0x0F)) << 16);
  p.image_blocks = get16(s, 0x10);
  p.code_revision = get16(s, 0x12);
  p.code_type = get8(s, 0x14);
  p.indicator = get8(s, 0x15);
  p.max_runtime_blocks = get16(s, 0x16);
  p.config_utility_offset = get16(s, 0x18);
  p.clp_entry_offset = get16(s, 0x1A);
  return p;
}

std::vector<std::uint16_t> decode_device_list(Bytes image, std::size_t off, std::size_t max) {
  std::vector<std::uint16_t> ids;
  for (std::size_t at = off; at + 2 <= image.size() && ids.size() < max; at += 2) {
    const std::uint16_t id = get16(image, at);
    if (id == 0) break;
    ids.push_back(id);
  }
  return ids;
}

std::string_view code_type_name(std::uint8_t code_type) {
  switch (code_type) {
    case kCodeX86: return "x86";
    case kCodeOpenFirmware: return "Open Firmware";
    case kCodePaRisc: return "PA-RISC";
    case kCodeEfi: return "EFI";
    default: return "unknown";
  }
}

std::string class_code_name(std::uint32_t class_code) {
  const unsigned base = (class_code >> 16) & 0xFF, sub = (class_code >> 8) & 0xFF;
  if (base != 0x03) return base == 0x02 ? "network controller" : base == 0x01 ? "mass storage controller" : "unknown";
  switch (sub) {
    case 0x00: return "display controller, VGA compatible";
    case 0x01: return "display controller, XGA";
    case 0x02: return "display controller, 3D";
    case 0x80: return "display controller, other";
    default: return fmt::format("display controller, subclass {:#04x}", sub);
  }
}

std::string_view efi_subsystem_name(std::uint16_t subsystem) {
  switch (subsystem) {
    case 10: return "EFI application";
    case 11: return "EFI boot service driver";
    case 12: return "EFI runtime driver";
    default: return "unknown";
  }
}

std::string_view efi_machine_name(std::uint16_t machine) {
  switch (machine) {
    case 0x014C: return "IA-32";
    case 0x0200: return "Itanium";
    case 0x0EBC: return "EFI byte code";
    case 0x8664: return "x64";
    case 0x01C2: return "ARM Thumb";
    case 0xAA64: return "AArch64";
    case 0x5064: return "RISC-V 64";
    case 0x6264: return "LoongArch 64";
    default: return "unknown";
  }
}

}  // namespace zephon_rom

// The structures of a PCI expansion ROM image, each with its one encoder
// and decoder: the header every image starts with, the x86 initialization
// fields, the EFI image header, and the PCI data structure ("PCIR") that
// says whose image it is, how long it is and whether another follows.
//
// Contract: encode() writes a structure at its place in an image span that
// the caller has made large enough (image offset 0 for the headers, the
// given offset for the PCI data structure); decode() reads it back from an
// image span that holds it whole (kSize bytes from the same place), checking
// nothing: judging the values is the reader's job.
#ifndef ZEPHON_TOOLS_ROM_PCI_ROM_H_
#define ZEPHON_TOOLS_ROM_PCI_ROM_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"

namespace zephon_rom {

// Image lengths are counted in blocks of this many bytes.
inline constexpr std::size_t kBlockSize = 512;
// The bytes 55 AA read as one little-endian word.
inline constexpr std::uint16_t kImageSignature = 0xAA55;

// The device zephon presents, whose driver reads the image.
inline constexpr std::uint16_t kDeviceVendor = 0x1002;
inline constexpr std::uint16_t kDeviceId = 0x6780;
inline constexpr std::uint32_t kDeviceClass = 0x038000;  // display controller, other

enum CodeType : std::uint8_t { kCodeX86 = 0, kCodeOpenFirmware = 1, kCodePaRisc = 2, kCodeEfi = 3 };

// Offsets 0x00 and 0x18 of every image, whatever its code type.
struct ImageHeader {
  static constexpr std::size_t kSize = 0x1A;
  std::uint16_t signature = kImageSignature;
  std::uint16_t pci_data_offset = 0;  // from the image's start

  // Returns nothing; writes both fields.
  void encode(std::span<std::uint8_t> image) const;
  // Returns the fields as they are in image.
  static ImageHeader decode(Bytes image);
};

// The x86 fields at offsets 2 to 5: the size the BIOS copies and checks,
// and the initialization entry point it calls.
struct X86Header {
  static constexpr std::size_t kSize = 6;
  std::uint8_t init_blocks = 0;
  std::array<std::uint8_t, 3> entry{};  // the first instruction

  // Returns the image offset a short or near jump at the entry lands on, or
  // nothing when the entry is not such a jump.
  std::optional<std::size_t> entry_target() const;

  // Returns nothing; writes the size byte and the entry.
  void encode(std::span<std::uint8_t> image) const;
  // Returns the fields as they are in image.
  static X86Header decode(Bytes image);
};

// The EFI image header, in place of the x86 fields when the code type is EFI.
struct EfiHeader {
  static constexpr std::size_t kSize = 0x18;
  static constexpr std::uint32_t kEfiSignature = 0x0EF1;
  std::uint16_t init_blocks = 0;
  std::uint32_t efi_signature = kEfiSignature;
  std::uint16_t subsystem = 0;
  std::uint16_t machine = 0;
  std::uint16_t compression = 0;   // 0 uncompressed, 1 compressed
  std::uint16_t image_offset = 0;  // of the EFI executable, from the image's start

  // Returns nothing; writes the fields after the image signature.
  void encode(std::span<std::uint8_t> image) const;
  // Returns the fields as they are in image.
  static EfiHeader decode(Bytes image);
};

// The PCI data structure. Revision 3 adds the device list (the word at
// offset 8, earlier a pointer to vital product data) and three trailing
// fields; older revisions are 0x18 bytes long.
struct PciDataStructure {
  static constexpr std::size_t kSize = 0x1C;
  static constexpr std::size_t kSizeBeforeRevision3 = 0x18;
  static constexpr std::uint8_t kLastImage = 0x80;
  std::array<char, 4> signature{'P', 'C', 'I', 'R'};
  std::uint16_t vendor = 0;
  std::uint16_t device = 0;
  std::uint16_t device_list_offset = 0;  // from the structure's start; 0 for none
  std::uint16_t length = kSize;          // of the structure, in bytes
  std::uint8_t revision = 3;
  std::uint32_t class_code = 0;  // class, subclass, programming interface
  std::uint16_t image_blocks = 0;
  std::uint16_t code_revision = 0;
  std::uint8_t code_type = kCodeX86;
  std::uint8_t indicator = 0;  // bit 7: the last image
  // Revision 3 only.
  std::uint16_t max_runtime_blocks = 0;
  std::uint16_t config_utility_offset = 0;
  std::uint16_t clp_entry_offset = 0;

  // Returns whether the three fields after the indicator are meaningful: a
  // revision-3 structure long enough to hold them.
  bool has_revision3_fields() const { return revision >= 3 && length >= kSize; }
  // Returns whether no image follows this one.
  bool last_image() const { return (indicator & kLastImage) != 0; }
  // Returns whether the signature reads "PCIR".
  bool signature_ok() const { return std::string_view(signature.data(), 4) == "PCIR"; }

  // Returns nothing; writes kSize bytes at off.
  void encode(std::span<std::uint8_t> image, std::size_t off) const;
  // Returns the kSize bytes at off read as fields, the trailing ones
  // whatever the revision.
  static PciDataStructure decode(Bytes image, std::size_t off);
};

// Returns the device IDs of a revision-3 device list at off: words up to a
// zero word, at most max of them, none past the end of image.
std::vector<std::uint16_t> decode_device_list(Bytes image, std::size_t off, std::size_t max);

// Returns "x86", "Open Firmware", "PA-RISC", "EFI" or "unknown".
std::string_view code_type_name(std::uint8_t code_type);
// Returns the name of a class code's class and subclass, or "unknown".
std::string class_code_name(std::uint32_t class_code);
// Returns the name of an EFI subsystem value, or "unknown".
std::string_view efi_subsystem_name(std::uint16_t subsystem);
// Returns the name of an EFI machine type, or "unknown".
std::string_view efi_machine_name(std::uint16_t machine);

}  // namespace zephon_rom

#endif  // ZEPHON_TOOLS_ROM_PCI_ROM_H_

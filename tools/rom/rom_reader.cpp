#include "rom_reader.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <numeric>

namespace zephon_rom {

namespace {

// Device lists longer than this are shown cut short.
constexpr std::size_t kMaxDeviceList = 64;

// Returns the PCI data structure at off, whose first kSizeBeforeRevision3
// bytes image holds; trailing fields past the image's end read as 0.
PciDataStructure read_pci_data(Bytes image, std::size_t off) {
  std::array<std::uint8_t, PciDataStructure::kSize> copy{};
  std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(off), std::min(copy.size(), image.size() - off),
              copy.begin());
  return PciDataStructure::decode(copy, 0);
}

// Returns the low byte of the sum of bytes.
std::uint8_t byte_sum(Bytes bytes) {
  return static_cast<std::uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

// Returns the image at the start of rest, and whether the walk can go on
// to the next one.
std::pair<ImageReport, bool> read_image(Bytes rest, std::size_t offset) {
  ImageReport r;
  r.offset = offset;
  r.header = ImageHeader::decode(rest);
  auto problem = [&r](std::string text) { r.problems.push_back(std::move(text)); };
  if (r.header.signature != kImageSignature) {
    problem(fmt::format("signature {:02x} {:02x}, not 55 AA", rest[0], rest[1]));
    return {std::move(r), false};
  }
  const std::size_t pci_at = r.header.pci_data_offset;
  if (pci_at + PciDataStructure::kSizeBeforeRevision3 > rest.size()) {
    problem(fmt::format("PCI data structure pointer {:#x} points past the end of the file", pci_at));
    return {std::move(r), false};
  }
  const PciDataStructure& pci = r.pci.emplace(read_pci_data(rest, pci_at));
  if (!pci.signature_ok()) {
    problem(fmt::format("PCI data structure at {:#x}: signature \"{}\", not \"PCIR\"", pci_at,
                        std::string_view(pci.signature.data(), pci.signature.size())));
    return {std::move(r), false};
  }
  if (pci.revision >= 3 && pci.device_list_offset != 0 && pci_at + pci.device_list_offset < rest.size()) {
    r.device_list = decode_device_list(rest, pci_at + pci.device_list_offset, kMaxDeviceList);
  }
  if (pci.vendor != kDeviceVendor) {
    problem(fmt::format("vendor {:#06x}, not the device's {:#06x}", pci.vendor, kDeviceVendor));
  }
  if (pci.device != kDeviceId && std::ranges::find(r.device_list, kDeviceId) == r.device_list.end()) {
    problem(fmt::format("device {:#06x}, not the device's {:#06x}{}", pci.device, kDeviceId,
                        r.device_list.empty() ? "" : " (nor in the device list)"));
  }
  const std::size_t length = r.length();
  bool whole = true;
  if (length == 0) {
    problem("image length is 0");
    whole = false;
  } else if (length > rest.size()) {
    problem(fmt::format("image length {} bytes runs past the end of the file ({} bytes left)", length, rest.size()));
    whole = false;
  }
  const Bytes image = rest.first(std::min(length, rest.size()));
  if (pci.code_type == kCodeX86) {
    const X86Header& x86 = r.x86.emplace(X86Header::decode(rest));
    const std::size_t init = x86.init_blocks * kBlockSize;
    if (init == 0) problem("initialization size is 0");
    else if (init > rest.size()) problem(fmt::format("initialization size {} bytes runs past the end of the file", init));
    else r.checksum = byte_sum(rest.first(init));
    if (r.checksum && *r.checksum != 0) problem(fmt::format("checksum: the bytes sum to {:#04x}, not 0", *r.checksum));
    r.atom = read_atom(image);
  } else if (pci.code_type == kCodeEfi) {
    const EfiHeader& efi = r.efi.emplace(EfiHeader::decode(rest));
    if (efi.efi_signature != EfiHeader::kEfiSignature) {
      problem(fmt::format("EFI signature {:#x}, not {:#x}", efi.efi_signature, EfiHeader::kEfiSignature));
    }
  }
  return {std::move(r), whole};
}

}  // namespace

std::size_t RomReport::problem_count() const {
  std::size_t n = problems.size();
  for (const ImageReport& i : images) n += i.problems.size() + (i.atom ? i.atom->problems.size() : 0);
  return n;
}

RomReport inspect_rom(Bytes file) {
  RomReport report;
  report.file_size = file.size();
  std::size_t offset = 0;
  for (;;) {
    const Bytes rest = file.subspan(offset);
    if (rest.size() < ImageHeader::kSize || (!report.images.empty() && get16(rest, 0) != kImageSignature)) {
      // A walk that ends here has passed an image without the indicator.
      if (report.images.empty()) {
        report.problems.push_back(fmt::format("the file is {} bytes long, too short for an image", file.size()));
      } else if (rest.empty()) {
        report.problems.push_back(fmt::format("no last-image indicator: the file ends after image {}",
                                              report.images.size()));
      } else {
        report.problems.push_back(fmt::format("no last-image indicator: image {} is not the last, but no image "
                                              "follows it at {:#x}",
                                              report.images.size(), offset));
      }
      break;
    }
    auto [image, whole] = read_image(rest, offset);
    const bool last = image.pci && image.pci->last_image();
    const std::size_t length = image.length();
    report.images.push_back(std::move(image));
    if (!whole) break;
    if (last) {
      report.trailing = rest.size() - length;
      break;
    }
    offset += length;
  }
  return report;
}

}  // namespace zephon_rom

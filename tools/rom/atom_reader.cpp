#include "atom_reader.h"

#include <fmt/format.h>

#include <string_view>

#include "atom_names.h"

namespace zephon_rom {

namespace {

// The boot message is shown up to its NUL, but no further than this.
constexpr std::size_t kBootMessageMax = 128;

// Returns text with bytes outside printable ASCII escaped.
std::string escaped(Bytes bytes) {
  std::string out;
  for (const std::uint8_t c : bytes) {
    if (c == '"' || c == '\\') out += fmt::format("\\{}", static_cast<char>(c));
    else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
    else if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += fmt::format("\\x{:02x}", c);
  }
  return out;
}

// One reading of one image: the report grows as the pointers are followed.
class Reader {
 public:
  explicit Reader(Bytes image) : image_(image) {}

  AtomReport read(AtomReport r) {
    r_ = std::move(r);
    if (!r_.magic_ok) problem(fmt::format("no \"{}\" at {:#x}: the display driver refuses the BIOS", kAtiMagic,
                                          kAtiMagicOffset));
    if (r_.rom_header_offset == 0) {
      problem(fmt::format("no ROM header: the word at {:#x} is 0", kRomHeaderPointerOffset));
      return std::move(r_);
    }
    if (!table("ROM header", r_.rom_header_offset, AtomRomHeader::kSize)) return std::move(r_);
    const AtomRomHeader h = AtomRomHeader::decode(image_, r_.rom_header_offset);
    r_.rom_header = h;
    if (!h.signature_ok()) {
      problem(fmt::format("ROM header at {:#x}: signature \"{}\", not \"ATOM\"", r_.rom_header_offset,
                          escaped(image_.subspan(r_.rom_header_offset + 4, 4))));
    }
    read_boot_message(h.boot_message_offset);
    if (h.pci_info_offset >= image_.size()) {
      problem(fmt::format("PCI data structure pointer {:#x} of the ROM header lies outside the image ({} bytes)",
                          h.pci_info_offset, image_.size()));
    }
    read_commands(h.master_command_offset);
    read_data(h.master_data_offset);
    return std::move(r_);
  }

 private:
  void problem(std::string text) { r_.problems.push_back(std::move(text)); }

  // Returns the header of the table at off after checking that the table
  // lies inside the image and is at least min_size bytes; nothing after
  // saying why not.
  std::optional<TableHeader> table(std::string_view what, std::size_t off, std::size_t min_size) {
    if (off + TableHeader::kSize > image_.size()) {
      problem(fmt::format("{} at {:#x} lies outside the image ({} bytes)", what, off, image_.size()));
      return std::nullopt;
    }
    const TableHeader h = TableHeader::decode(image_, off);
    if (h.size < min_size) {
      problem(fmt::format("{} at {:#x}: size {} is smaller than its {} bytes", what, off, h.size, min_size));
      return std::nullopt;
    }
    if (off + h.size > image_.size()) {
      problem(fmt::format("{} at {:#x} ({} bytes) ends past the image ({} bytes)", what, off, h.size, image_.size()));
      return std::nullopt;
    }
    return h;
  }

  void read_boot_message(std::uint16_t off) {
    if (off == 0) return;
    if (off >= image_.size()) {
      problem(fmt::format("boot message at {:#x} lies outside the image ({} bytes)", off, image_.size()));
      return;
    }
    Bytes rest = image_.subspan(off, std::min(kBootMessageMax, image_.size() - off));
    std::size_t n = 0;
    while (n < rest.size() && rest[n] != 0) ++n;
    r_.boot_message = escaped(rest.first(n));
  }

  // Returns the master list at off, or nothing after saying why not.
  std::optional<MasterTable> master(std::string_view what, std::uint16_t off, std::size_t expected) {
    if (off == 0) {
      problem(fmt::format("no {}: its offset in the ROM header is 0", what));
      return std::nullopt;
    }
    if (!table(what, off, TableHeader::kSize)) return std::nullopt;
    MasterTable m = MasterTable::decode(image_, off);
    if (m.offsets.size() < expected) {
      problem(fmt::format("{} at {:#x} has {} entries; the driver reads {}", what, off, m.offsets.size(), expected));
    }
    return m;
  }

  void read_commands(std::uint16_t off) {
    r_.master_command = master("master command table", off, kCommandTableCount);
    if (!r_.master_command) return;
    const auto& offsets = r_.master_command->offsets;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
      if (offsets[i] == 0) continue;
      CommandEntry e;
      e.index = i;
      e.offset = offsets[i];
      if (table(command_table_name(i), e.offset, CommandTable::kHeaderSize)) {
        e.table = CommandTable::decode_header(image_, e.offset);
        e.code_size = e.table->header.size - CommandTable::kHeaderSize;
        e.code = decode_code(image_.subspan(e.offset + CommandTable::kHeaderSize, e.code_size));
      }
      r_.commands.push_back(std::move(e));
    }
    if (kAsicInit >= offsets.size() || offsets[kAsicInit] == 0) {
      problem("no ASIC_Init command table: the display driver cannot post the card");
    }
  }

  // Returns the offset of data table index when it is present and inside
  // the image with at least min_size bytes, or nothing.
  std::optional<std::uint16_t> data_table(std::size_t index, std::size_t min_size) {
    for (DataEntry& e : r_.data) {
      if (e.index != index || !e.header) continue;
      if (e.header->size < min_size) {
        problem(fmt::format("{} at {:#x}: size {} is smaller than its {} bytes", data_table_name(index), e.offset,
                            e.header->size, min_size));
        return std::nullopt;
      }
      return e.offset;
    }
    return std::nullopt;
  }

  void read_data(std::uint16_t off) {
    r_.master_data = master("master data table", off, kDataTableCount);
    if (!r_.master_data) return;
    const auto& offsets = r_.master_data->offsets;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
      if (offsets[i] == 0) continue;
      r_.data.push_back(DataEntry{i, offsets[i], table(data_table_name(i), offsets[i], TableHeader::kSize)});
    }
    read_firmware_info();
    read_supported_devices();
    read_indirect_io();
  }

  bool data_present(std::size_t index) const {
    const auto& offsets = r_.master_data->offsets;
    return index < offsets.size() && offsets[index] != 0;
  }

  void read_firmware_info() {
    if (!data_present(kFirmwareInfo)) {
      problem("no FirmwareInfo table: the display driver cannot post the card");
      return;
    }
    const auto at = data_table(kFirmwareInfo, FirmwareInfo::kDefaultClocksEnd);
    if (!at) return;
    // Only the table's own bytes: the fields a shorter revision lacks stay 0.
    r_.firmware = FirmwareInfo::decode(image_.first(*at + TableHeader::decode(image_, *at).size), *at);
    if (r_.firmware->default_engine_clock == 0 || r_.firmware->default_memory_clock == 0) {
      problem("FirmwareInfo's default engine or memory clock is 0: the display driver will not post the card");
    }
  }

  void read_supported_devices() {
    if (auto at = data_table(kSupportedDevicesInfo, 6)) r_.devices = SupportedDevicesInfo::decode(image_, *at);
  }

  void read_indirect_io() {
    if (!data_present(kIndirectIoAccess)) {
      problem("no IndirectIOAccess table: the display driver reads its sequences from image offset 4");
      return;
    }
    const auto at = data_table(kIndirectIoAccess, TableHeader::kSize);
    if (!at) return;
    const std::size_t end = *at + TableHeader::decode(image_, *at).size;
    r_.iio = scan_iio(image_.subspan(*at + TableHeader::kSize, end - *at - TableHeader::kSize));
    // The driver walks on for as long as it finds sequences, past the
    // table's end if nothing inside it stops the walk.
    if (r_.iio->overrun) {
      problem(fmt::format("IndirectIOAccess at {:#x}: a sequence does not end inside the table", *at));
    } else if (r_.iio->end == end - *at - TableHeader::kSize && end < image_.size() && image_[end] == kIioStart) {
      problem(fmt::format("IndirectIOAccess at {:#x}: nothing ends the list inside the table, and the byte after "
                          "it starts a sequence",
                          *at));
    }
  }

  Bytes image_;
  AtomReport r_;  // what has been found so far
};

}  // namespace

std::optional<AtomReport> read_atom(Bytes image) {
  AtomReport r;
  r.magic_ok = has_text(image, kAtiMagicOffset, kAtiMagic);
  if (image.size() >= kRomHeaderPointerOffset + 2) r.rom_header_offset = get16(image, kRomHeaderPointerOffset);
  const bool atom_signature = r.rom_header_offset != 0 && has_text(image, r.rom_header_offset + 4, "ATOM");
  if (!r.magic_ok && !atom_signature) return std::nullopt;
  if (image.size() > kAtiMagicOffset) {
    r.magic = escaped(image.subspan(kAtiMagicOffset, std::min(kAtiMagic.size(), image.size() - kAtiMagicOffset)));
  }
  return Reader(image).read(std::move(r));
}

}  // namespace zephon_rom

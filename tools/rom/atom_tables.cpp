#include "atom_tables.h"

#include <algorithm>

namespace zephon_rom {

namespace {

// Bytes taken by each indirect I/O operation, by opcode (IIO_NOP to IIO_END).
constexpr std::array<std::size_t, 10> kIioLength = {1, 2, 3, 3, 3, 3, 4, 4, 4, 3};
constexpr std::size_t kMoveLength = 8;  // opcode, attribute, register, immediate

// Returns an encoded table's header size field, the table being bytes long.
std::uint16_t table_size(std::size_t bytes) { return static_cast<std::uint16_t>(bytes); }

}  // namespace

void TableHeader::encode(std::span<std::uint8_t> b, std::size_t off) const {
  put16(b, off, size);
  put8(b, off + 2, format_revision);
  put8(b, off + 3, content_revision);
}

TableHeader TableHeader::decode(Bytes b, std::size_t off) {
  return TableHeader{get16(b, off), get8(b, off + 2), get8(b, off + 3)};
}

bool AtomRomHeader::signature_ok() const { return std::string_view(signature.data(), 4) == "ATOM"; }

void AtomRomHeader::encode(std::span<std::uint8_t> b, std::size_t off) const {
  header.encode(b, off);
  put_text(b, off + 4, std::string_view(signature.data(), signature.size()));
  put16(b, off + 0x10, boot_message_offset);
  put16(b, off + 0x18, subsystem_vendor);
  put16(b, off + 0x1A, subsystem_id);
  put16(b, off + 0x1C, pci_info_offset);
  put16(b, off + 0x1E, master_command_offset);
  put16(b, off + 0x20, master_data_offset);
}

AtomRomHeader AtomRomHeader::decode(Bytes b, std::size_t off) {
  AtomRomHeader h;
  h.header = TableHeader::decode(b, off);
  for (std::size_t i = 0; i < h.signature.size(); ++i) h.signature[i] = static_cast<char>(b[off + 4 + i]);
  h.boot_message_offset = get16(b, off + 0x10);
  h.subsystem_vendor = get16(b, off + 0x18);
  h.subsystem_id = get16(b, off + 0x1A);
  h.pci_info_offset = get16(b, off + 0x1C);
  h.master_command_offset = get16(b, off + 0x1E);
  h.master_data_offset = get16(b, off + 0x20);
  return h;
}

MasterTable MasterTable::empty(std::size_t count) {
  return MasterTable{TableHeader{table_size(TableHeader::kSize + 2 * count), 1, 1},
                     std::vector<std::uint16_t>(count, 0)};
}

std::vector<std::uint8_t> MasterTable::encode() const {
  std::vector<std::uint8_t> out(TableHeader::kSize + 2 * offsets.size());
  TableHeader{table_size(out.size()), header.format_revision, header.content_revision}.encode(out, 0);
  for (std::size_t i = 0; i < offsets.size(); ++i) put16(out, TableHeader::kSize + 2 * i, offsets[i]);
  return out;
}

MasterTable MasterTable::decode(Bytes b, std::size_t off) {
  MasterTable m;
  m.header = TableHeader::decode(b, off);
  const std::size_t declared = m.header.size >= TableHeader::kSize ? (m.header.size - TableHeader::kSize) / 2 : 0;
  for (std::size_t i = 0; i < declared; ++i) {
    const std::size_t at = off + TableHeader::kSize + 2 * i;
    if (at + 2 > b.size()) break;
    m.offsets.push_back(get16(b, at));
  }
  return m;
}

std::vector<std::uint8_t> CommandTable::encode() const {
  std::vector<std::uint8_t> out(kHeaderSize);
  for (const Instruction& i : code) {
    const std::size_t at = out.size();
    if (i.op == Instruction::Op::EndOfTable) {
      out.push_back(kOpEndOfTable);
      continue;
    }
    out.resize(at + kMoveLength);
    put8(out, at, kOpMoveToRegister);
    put8(out, at + 1, kAttrDwordImmediate);
    put16(out, at + 2, i.reg);
    put32(out, at + 4, i.value);
  }
  TableHeader{table_size(out.size()), header.format_revision, header.content_revision}.encode(out, 0);
  put8(out, 4, work_space);
  put8(out, 5, parameter_space);
  return out;
}

CommandTable CommandTable::decode_header(Bytes b, std::size_t off) {
  CommandTable t;
  t.header = TableHeader::decode(b, off);
  t.work_space = get8(b, off + 4);
  t.parameter_space = get8(b, off + 5);
  return t;
}

DecodedCode decode_code(Bytes code) {
  DecodedCode d;
  while (d.length < code.size()) {
    const std::uint8_t op = code[d.length];
    if (op == kOpEndOfTable) {
      d.instructions.push_back(Instruction{});
      d.length += 1;
      d.ended = true;
      break;
    }
    const bool move = op == kOpMoveToRegister && d.length + kMoveLength <= code.size() &&
                      code[d.length + 1] == kAttrDwordImmediate;
    if (!move) break;
    d.instructions.push_back(Instruction{Instruction::Op::MoveToRegister, get16(code, d.length + 2),
                                         get32(code, d.length + 4)});
    d.length += kMoveLength;
  }
  return d;
}

std::vector<std::uint8_t> FirmwareInfo::encode() const {
  std::vector<std::uint8_t> out(kSize);
  TableHeader{table_size(kSize), header.format_revision, header.content_revision}.encode(out, 0);
  put32(out, 0x04, firmware_revision);
  put32(out, 0x08, default_engine_clock);
  put32(out, 0x0C, default_memory_clock);
  put32(out, 0x18, max_engine_pll_output);
  put32(out, 0x1C, max_memory_pll_output);
  put32(out, 0x20, max_pixel_pll_output);
  put32(out, 0x28, default_display_clock);
  put32(out, 0x38, min_pixel_pll_output);
  put16(out, 0x3C, min_engine_pll_input);
  put16(out, 0x3E, max_engine_pll_input);
  put16(out, 0x40, min_engine_pll_output);
  put16(out, 0x42, min_memory_pll_input);
  put16(out, 0x44, max_memory_pll_input);
  put16(out, 0x46, min_memory_pll_output);
  put16(out, 0x48, max_pixel_clock);
  put16(out, 0x4A, min_pixel_pll_input);
  put16(out, 0x4C, max_pixel_pll_input);
  // The low half of the minimum pixel PLL output again, where revision 1
  // drivers read it.
  put16(out, 0x4E, static_cast<std::uint16_t>(min_pixel_pll_output));
  put16(out, 0x50, firmware_capability);
  put16(out, 0x52, core_reference_clock);
  put16(out, 0x54, memory_reference_clock);
  return out;
}

FirmwareInfo FirmwareInfo::decode(Bytes b, std::size_t off) {
  FirmwareInfo f;
  f.header = TableHeader::decode(b, off);
  f.firmware_revision = get32(b, off + 0x04);
  f.default_engine_clock = get32(b, off + 0x08);
  f.default_memory_clock = get32(b, off + 0x0C);
  if (b.size() < off + kSize) return f;
  f.max_engine_pll_output = get32(b, off + 0x18);
  f.max_memory_pll_output = get32(b, off + 0x1C);
  f.max_pixel_pll_output = get32(b, off + 0x20);
  f.default_display_clock = get32(b, off + 0x28);
  f.min_pixel_pll_output = get32(b, off + 0x38);
  f.min_engine_pll_input = get16(b, off + 0x3C);
  f.max_engine_pll_input = get16(b, off + 0x3E);
  f.min_engine_pll_output = get16(b, off + 0x40);
  f.min_memory_pll_input = get16(b, off + 0x42);
  f.max_memory_pll_input = get16(b, off + 0x44);
  f.min_memory_pll_output = get16(b, off + 0x46);
  f.max_pixel_clock = get16(b, off + 0x48);
  f.min_pixel_pll_input = get16(b, off + 0x4A);
  f.max_pixel_pll_input = get16(b, off + 0x4C);
  f.firmware_capability = get16(b, off + 0x50);
  f.core_reference_clock = get16(b, off + 0x52);
  f.memory_reference_clock = get16(b, off + 0x54);
  return f;
}

std::vector<std::uint8_t> SupportedDevicesInfo::encode() const {
  std::vector<std::uint8_t> out(6 + 2 * connectors.size());
  TableHeader{table_size(out.size()), header.format_revision, header.content_revision}.encode(out, 0);
  put16(out, 4, device_support);
  for (std::size_t i = 0; i < connectors.size(); ++i) {
    put8(out, 6 + 2 * i, static_cast<std::uint8_t>((connectors[i].type << 4) | (connectors[i].dac & 0x0F)));
    put8(out, 7 + 2 * i, connectors[i].i2c_id);
  }
  return out;
}

SupportedDevicesInfo SupportedDevicesInfo::decode(Bytes b, std::size_t off) {
  SupportedDevicesInfo s;
  s.header = TableHeader::decode(b, off);
  s.device_support = get16(b, off + 4);
  const std::size_t devices = s.header.format_revision > 1 ? kDevicesV2 : kDevicesV1;
  for (std::size_t i = 0; i < devices; ++i) {
    const std::size_t at = off + 6 + 2 * i;
    if (at + 2 > off + s.header.size || at + 2 > b.size()) break;
    s.connectors.push_back(ConnectorInfo{static_cast<std::uint8_t>(b[at] >> 4),
                                         static_cast<std::uint8_t>(b[at] & 0x0F), b[at + 1]});
  }
  return s;
}

std::vector<std::uint8_t> IndirectIoAccess::encode() const {
  std::vector<std::uint8_t> out(TableHeader::kSize + sequences.size());
  std::ranges::copy(sequences, out.begin() + TableHeader::kSize);
  TableHeader{table_size(out.size()), header.format_revision, header.content_revision}.encode(out, 0);
  return out;
}

IioScan scan_iio(Bytes body) {
  IioScan scan;
  std::size_t at = 0;
  while (at < body.size() && body[at] == kIioStart) {
    if (at + 2 > body.size()) {
      scan.overrun = true;
      break;
    }
    scan.ids.push_back(body[at + 1]);
    at += 2;
    while (at < body.size() && body[at] != kIioEnd && body[at] < kIioLength.size()) at += kIioLength[body[at]];
    if (at >= body.size() || body[at] != kIioEnd) {
      scan.overrun = true;
      break;
    }
    at += kIioLength[kIioEnd];
  }
  scan.end = at;
  return scan;
}

}  // namespace zephon_rom

#include "capabilities.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <exception>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "json_syntax.h"

namespace vfio_user {

namespace {

using Json = nlohmann::json;

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

bool is_json_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Returns the index just past the character that starts at index.
std::size_t past_char(std::string_view text, std::size_t index) {
  if (index >= text.size()) return text.size();
  ++index;
  while (index < text.size() && is_continuation(static_cast<unsigned char>(text[index]))) ++index;
  return index;
}

// Positions are byte counts of the text read so far; columns count characters,
// so a multi-byte character moves the column by one.
JsonError error_at(std::string_view text, std::size_t end, std::string message) {
  end = std::min(end, text.size());
  std::uint64_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::uint64_t column = 0;
  for (std::size_t i = line_start; i < end; ++i) {
    if (!is_continuation(static_cast<unsigned char>(text[i]))) ++column;
  }
  return JsonError{std::move(message), line, column};
}

// Hands the text to the library byte by byte and counts what it has taken, so
// that the handler knows how far the library has read when it is called back.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* at, std::size_t* taken) : at_(at), taken_(taken) {}

  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    ++*taken_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return at_ == other.at_; }

 private:
  const char* at_;
  std::size_t* taken_;  // shared by the copies the library makes
};

// What a value in the text stands for.
enum class Slot {
  kNone,
  kData,
  kCapabilities,
  kMigration,
  kMaxMsgFds,
  kMaxDataXferSize,
  kPgsize,
  kIgnored,
};

struct Field {
  Slot owner;
  std::string_view name;
  Slot slot;
};

constexpr std::array<Field, 5> kFields = {{
    {Slot::kData, "capabilities", Slot::kCapabilities},
    {Slot::kCapabilities, "max_msg_fds", Slot::kMaxMsgFds},
    {Slot::kCapabilities, "max_data_xfer_size", Slot::kMaxDataXferSize},
    {Slot::kCapabilities, "migration", Slot::kMigration},
    {Slot::kMigration, "pgsize", Slot::kPgsize},
}};

bool is_struct(Slot slot) { return slot == Slot::kData || slot == Slot::kCapabilities || slot == Slot::kMigration; }

std::string_view expected(Slot slot) {
  switch (slot) {
    case Slot::kData: return "struct CapabilitiesData";
    case Slot::kCapabilities: return "struct Capabilities";
    case Slot::kMigration: return "struct MigrationCapabilities";
    default: return "u32";
  }
}

unsigned bit(Slot slot) { return 1U << static_cast<unsigned>(slot); }

// A string as it appears in an error: quoted, with escapes for what would
// otherwise be unreadable or ambiguous.
std::string debug_string(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          out += fmt::format("\\u{{{:x}}}", static_cast<unsigned>(c));
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

// Follows the library's events through the three known objects. Of the
// containers inside an unknown key's value only their kind is kept, one bit
// each, so that a syntax error in them can be explained; the text holds at
// least a byte for each, and the library keeps as much itself.
class Reader final : public nlohmann::json_sax<Json> {
 public:
  Reader(std::string_view text, const std::size_t* taken, std::uint32_t page_size)
      : text_(text), taken_(taken), caps_(default_capabilities(page_size)) {}

  const Capabilities& capabilities() const { return caps_; }
  bool failed() const { return error_.has_value(); }
  JsonError take_error() { return std::move(*error_); }
  void fail_now(std::string message) { fail(*taken_, std::move(message)); }

  bool null() override {
    mark(JsonLast::kValue, *taken_);
    return other("null", *taken_);
  }
  bool boolean(bool value) override {
    mark(JsonLast::kValue, *taken_);
    return other(fmt::format("boolean `{}`", value), *taken_);
  }
  bool number_integer(number_integer_t value) override {
    mark(JsonLast::kValue, number_end());
    // "-0" is an integer too, and a valid zero.
    if (value >= 0) return number_unsigned(static_cast<number_unsigned_t>(value));
    return integer(fmt::to_string(value));
  }
  bool number_unsigned(number_unsigned_t value) override {
    mark(JsonLast::kValue, number_end());
    const Slot slot = target();
    if (slot == Slot::kIgnored || is_struct(slot) || value > 0xFFFFFFFFU) return integer(fmt::to_string(value));
    store(slot, static_cast<std::uint32_t>(value));
    return true;
  }
  bool number_float(number_float_t, const string_t& raw) override {
    mark(JsonLast::kValue, number_end());
    // The library falls back to a double for integers beyond 64 bits.
    if (raw.find_first_of(".eE") == string_t::npos) return integer(raw);
    return other(fmt::format("floating point `{}`", raw), number_end());
  }
  bool string(string_t& value) override {
    mark(JsonLast::kValue, *taken_);
    return other("string " + debug_string(value), *taken_);
  }
  bool binary(binary_t&) override { return other("byte array", *taken_); }

  bool start_object(std::size_t) override {
    mark(JsonLast::kOpenObject, *taken_);
    const Slot slot = target();
    if (slot == Slot::kIgnored) {
      skipped_.push_back(true);
      return true;
    }
    if (!is_struct(slot)) return fail(*taken_, fmt::format("invalid type: map, expected {}", expected(slot)));
    frames_[depth_++] = Frame{slot, 0, Slot::kNone};
    return true;
  }
  bool end_object() override {
    mark(JsonLast::kValue, *taken_);
    if (!skipped_.empty()) {
      skipped_.pop_back();
      return true;
    }
    const Frame& frame = frames_[--depth_];
    // The closing brace is where a required key is known to be absent.
    if (frame.object == Slot::kData && (frame.seen & bit(Slot::kCapabilities)) == 0) {
      return fail(*taken_, "missing field `capabilities`");
    }
    if (frame.object == Slot::kMigration && (frame.seen & bit(Slot::kPgsize)) == 0) {
      return fail(*taken_, "missing field `pgsize`");
    }
    return true;
  }
  bool start_array(std::size_t) override {
    mark(JsonLast::kOpenArray, *taken_);
    const Slot slot = target();
    if (slot == Slot::kIgnored) {
      skipped_.push_back(false);
      return true;
    }
    return fail(*taken_, fmt::format("invalid type: sequence, expected {}", expected(slot)));
  }
  bool end_array() override {
    mark(JsonLast::kValue, *taken_);
    skipped_.pop_back();
    return true;
  }
  bool key(string_t& name) override {
    mark(JsonLast::kKey, *taken_);
    if (!skipped_.empty()) return true;
    Frame& frame = frames_[depth_ - 1];
    frame.pending = Slot::kIgnored;
    for (const Field& field : kFields) {
      if (field.owner != frame.object || field.name != name) continue;
      if ((frame.seen & bit(field.slot)) != 0) {
        // Counted like the other errors found after a token: one character on.
        return fail(past_char(text_, *taken_), fmt::format("duplicate field `{}`", name));
      }
      frame.seen |= bit(field.slot);
      frame.pending = field.slot;
    }
    return true;
  }
  // Only the error's number is read: 406 is a number beyond the range of a
  // double, every other is a syntax error (101 in nlohmann-json 3.11.2),
  // explained from the text. position is the count of bytes the library had
  // read, the refused one included.
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) override {
    if (ex.id == 406) return fail(position, "number out of range");
    const bool in_object = skipped_.empty() ? depth_ > 0 : static_cast<bool>(skipped_.back());
    return fail(position, std::string(json_syntax_message(text_, JsonStop{after_, last_, in_object})));
  }

 private:
  struct Frame {
    Slot object;
    unsigned seen;  // bits of the known keys met so far
    Slot pending;   // what the value after the last key fills
  };

  Slot target() const {
    if (!skipped_.empty()) return Slot::kIgnored;
    if (depth_ == 0) return Slot::kData;
    return frames_[depth_ - 1].pending;
  }

  // The library reads one byte past a number unless the text ends with it,
  // so while text remains the number ended a byte before. When the library
  // has read everything, the last byte may be the number's own or the one
  // it read past (the "1" of "01"): the number is measured from its start,
  // which follows a byte no number contains.
  std::size_t number_end() const {
    const std::size_t taken = *taken_;
    if (taken < text_.size()) return taken - 1;
    if (taken == 0) return 0;
    std::size_t start = taken - 1;
    while (start > 0 && std::string_view("0123456789+-.eE").find(text_[start - 1]) != std::string_view::npos) --start;
    return json_number_end(text_, start);
  }

  bool integer(std::string_view digits) {
    const Slot slot = target();
    if (slot == Slot::kIgnored) return true;
    if (is_struct(slot)) {
      return fail(number_end(), fmt::format("invalid type: integer `{}`, expected {}", digits, expected(slot)));
    }
    return fail(number_end(), fmt::format("invalid value: integer `{}`, expected u32", digits));
  }

  bool other(const std::string& unexpected, std::size_t end) {
    const Slot slot = target();
    if (slot == Slot::kIgnored) return true;
    return fail(end, fmt::format("invalid type: {}, expected {}", unexpected, expected(slot)));
  }

  void store(Slot slot, std::uint32_t value) {
    if (slot == Slot::kMaxMsgFds) caps_.max_msg_fds = value;
    if (slot == Slot::kMaxDataXferSize) caps_.max_data_xfer_size = value;
    if (slot == Slot::kPgsize) caps_.migration.pgsize = value;
  }

  void mark(JsonLast last, std::size_t end) {
    last_ = last;
    after_ = end;
  }

  bool fail(std::size_t end, std::string message) {
    if (!error_) error_ = error_at(text_, end, std::move(message));
    return false;
  }

  std::string_view text_;
  const std::size_t* taken_;  // bytes the library has read
  Capabilities caps_;
  std::array<Frame, 3> frames_{};
  std::size_t depth_ = 0;       // open known objects
  std::vector<bool> skipped_;   // open containers inside an unknown key's value, true for an object
  JsonLast last_ = JsonLast::kNothing;  // the last token the library accepted
  std::size_t after_ = 0;               // and where it ended
  std::optional<JsonError> error_;
};

}  // namespace

Capabilities default_capabilities(std::uint32_t page_size) {
  Capabilities caps;
  caps.migration.pgsize = page_size;
  return caps;
}

std::expected<Capabilities, JsonError> parse_capabilities(std::string_view text, std::uint32_t page_size) {
  // The library would skip a byte order mark silently; a client's text has none.
  if (text.starts_with("\xEF\xBB\xBF")) return std::unexpected(error_at(text, past_char(text, 0), "expected value"));

  std::size_t taken = 0;
  Reader reader(text, &taken, page_size);
  bool complete = false;
  try {
    const CountingIterator first(text.data(), &taken);
    const CountingIterator last(text.data() + text.size(), &taken);
    complete = Json::sax_parse(first, last, &reader, Json::input_format_t::json, /*strict=*/false);
  } catch (const std::bad_alloc&) {
    reader.fail_now("out of memory");
  } catch (const nlohmann::json::exception& ex) {
    reader.fail_now(fmt::format("unreadable text (JSON library error {})", ex.id));
  } catch (...) {
    reader.fail_now("unreadable text");
  }
  if (reader.failed()) return std::unexpected(reader.take_error());
  if (!complete) return std::unexpected(error_at(text, taken, "expected value"));

  // The library stops at the outer value's closing brace.
  for (std::size_t i = taken; i < text.size(); ++i) {
    if (!is_json_whitespace(text[i])) {
      return std::unexpected(error_at(text, past_char(text, i), "trailing characters"));
    }
  }
  return reader.capabilities();
}

std::string capabilities_json(const Capabilities& caps) {
  nlohmann::ordered_json migration = nlohmann::ordered_json::object();
  migration["pgsize"] = caps.migration.pgsize;
  nlohmann::ordered_json inner = nlohmann::ordered_json::object();
  inner["max_msg_fds"] = caps.max_msg_fds;
  inner["max_data_xfer_size"] = caps.max_data_xfer_size;
  inner["migration"] = std::move(migration);
  nlohmann::ordered_json data = nlohmann::ordered_json::object();
  data["capabilities"] = std::move(inner);
  // Only ASCII keys and numbers: the replace handler just rules out a throw.
  return data.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string capabilities_debug(const Capabilities& caps) {
  return fmt::format(
      "Capabilities {{ max_msg_fds: {}, max_data_xfer_size: {}, migration: MigrationCapabilities {{ pgsize: {} }} }}",
      caps.max_msg_fds, caps.max_data_xfer_size, caps.migration.pgsize);
}

}  // namespace vfio_user

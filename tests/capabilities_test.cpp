#include "capabilities.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vfio_user {
namespace {

constexpr std::uint32_t kPageSize = 4096;

std::string repeat(char c, std::size_t count) { return std::string(count, c); }

// Names a parameter after the case's label so a failure points at the row.
template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

struct Accepted {
  std::string name;
  std::string text;
  std::uint32_t max_msg_fds;
  std::uint32_t max_data_xfer_size;
  std::uint32_t pgsize;
};

std::vector<Accepted> accepted_cases() {
  const std::string deep = repeat('[', 100000) + repeat(']', 100000);
  std::string deep_objects;
  for (int i = 0; i < 100000; ++i) deep_objects += "{\"a\":";
  // Two appends, not "0" + repeat(...): GCC 12 at -O3 takes that for an
  // overlapping copy (-Wrestrict).
  deep_objects += '0';
  deep_objects.append(100000, '}');
  return {
      {"Defaults", R"({"capabilities":{}})", 1, kMaxDataTransfer, kPageSize},
      {"AllKeys", R"({"capabilities":{"max_msg_fds":8,"max_data_xfer_size":4096,"migration":{"pgsize":65536}}})", 8,
       4096, 65536},
      {"OtherOrder", R"({"capabilities":{"migration":{"pgsize":8192},"max_msg_fds":2}})", 2, kMaxDataTransfer, 8192},
      {"ExtraOuterKey", R"({"capabilities":{"max_msg_fds":1},"extra":[1,2,3]})", 1, kMaxDataTransfer, kPageSize},
      {"ExtraKeyFirst", R"({"extra":{"capabilities":5},"capabilities":{"max_msg_fds":3}})", 3, kMaxDataTransfer,
       kPageSize},
      {"ExtraKeysAtEachLevel",
       R"({"a":{"b":[1,{"c":null}]},"capabilities":{"x":true,"migration":{"pgsize":1,"y":"z","pgsize2":[]}}})", 1,
       kMaxDataTransfer, 1},
      {"RepeatedUnknownKey", R"({"capabilities":{},"x":1,"x":2})", 1, kMaxDataTransfer, kPageSize},
      {"KeysMatchCase", R"({"Capabilities":null,"capabilities":{"Max_msg_fds":-5,"MIGRATION":{}}})", 1,
       kMaxDataTransfer, kPageSize},
      {"LargestU32", R"({"capabilities":{"max_msg_fds":4294967295,"max_data_xfer_size":4294967295}})", 4294967295U,
       4294967295U, kPageSize},
      {"Zero", R"({"capabilities":{"max_msg_fds":0,"migration":{"pgsize":0}}})", 0, kMaxDataTransfer, 0},
      {"MinusZero", R"({"capabilities":{"max_msg_fds":-0}})", 0, kMaxDataTransfer, kPageSize},
      {"Whitespace", " \t\r\n{ \"capabilities\" :\n{ \"max_msg_fds\" : 3 ,\t\"migration\":{\"pgsize\"\r:\n7}} } \n\t",
       3, kMaxDataTransfer, 7},
      {"NonAsciiIgnored", R"({"é":"日本語 😀","capabilities":{}})", 1, kMaxDataTransfer, kPageSize},
      {"EscapedStringsIgnored", R"({"x":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00","capabilities":{}})", 1, kMaxDataTransfer,
       kPageSize},
      {"DeepArraysIgnored", R"({"capabilities":{"deep":)" + deep + "}}", 1, kMaxDataTransfer, kPageSize},
      {"DeepObjectsIgnored", R"({"deep":)" + deep_objects + R"(,"capabilities":{}})", 1, kMaxDataTransfer, kPageSize},
  };
}

class AcceptedTest : public testing::TestWithParam<Accepted> {};

TEST_P(AcceptedTest, Parses) {
  const Accepted& c = GetParam();
  const auto caps = parse_capabilities(c.text, kPageSize);
  ASSERT_TRUE(caps.has_value()) << caps.error().display();
  EXPECT_EQ(caps->max_msg_fds, c.max_msg_fds);
  EXPECT_EQ(caps->max_data_xfer_size, c.max_data_xfer_size);
  EXPECT_EQ(caps->migration.pgsize, c.pgsize);
}

INSTANTIATE_TEST_SUITE_P(Capabilities, AcceptedTest, testing::ValuesIn(accepted_cases()), case_name<Accepted>);

struct Refused {
  std::string name;
  std::string text;
  std::string error;
};

std::vector<Refused> refused_cases() {
  const std::string mib = repeat('[', 1 << 20);
  return {
      // Required keys.
      {"EmptyOuter", "{}", "missing field `capabilities` at line 1 column 2"},
      {"OnlyOtherKeys", R"({"x":1})", "missing field `capabilities` at line 1 column 7"},
      {"EmptyMigration", R"({"capabilities":{"migration":{}}})", "missing field `pgsize` at line 1 column 31"},
      // Repeated keys: counted through the key and the character after it.
      {"DuplicateCapabilities", R"({"capabilities":{},"capabilities":{}})",
       "duplicate field `capabilities` at line 1 column 34"},
      {"DuplicateMaxMsgFds", R"({"capabilities":{"max_msg_fds":1,"max_msg_fds":1}})",
       "duplicate field `max_msg_fds` at line 1 column 47"},
      {"DuplicateMaxDataXferSize", R"({"capabilities":{"max_data_xfer_size":1,"max_data_xfer_size":1}})",
       "duplicate field `max_data_xfer_size` at line 1 column 61"},
      {"DuplicateMigration", R"({"capabilities":{"migration":{"pgsize":1},"migration":{"pgsize":1}}})",
       "duplicate field `migration` at line 1 column 54"},
      {"DuplicatePgsize", R"({"capabilities":{"migration":{"pgsize":1,"pgsize":2}}})",
       "duplicate field `pgsize` at line 1 column 50"},
      {"DuplicateAtEnd", R"({"capabilities":{},"capabilities")", "duplicate field `capabilities` at line 1 column 33"},
      {"DuplicateBeforeNewline", "{\"capabilities\":{},\"capabilities\"\n:{}}",
       "duplicate field `capabilities` at line 2 column 0"},
      // Numbers.
      {"Negative", R"({"capabilities":{"max_msg_fds":-1}})",
       "invalid value: integer `-1`, expected u32 at line 1 column 33"},
      {"AboveU32", R"({"capabilities":{"max_msg_fds":4294967296}})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 41"},
      {"PgsizeAboveU32", R"({"capabilities":{"migration":{"pgsize":4294967296}}})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 49"},
      {"AboveU64", R"({"capabilities":{"pgsize":0,"max_msg_fds":18446744073709551616}})",
       "invalid value: integer `18446744073709551616`, expected u32 at line 1 column 62"},
      {"Fraction", R"({"capabilities":{"max_msg_fds":1.5}})",
       "invalid type: floating point `1.5`, expected u32 at line 1 column 34"},
      {"Exponent", R"({"capabilities":{"max_msg_fds":1e3}})",
       "invalid type: floating point `1e3`, expected u32 at line 1 column 34"},
      {"NumberAtEnd", R"({"capabilities":{"max_msg_fds":1.5)",
       "invalid type: floating point `1.5`, expected u32 at line 1 column 34"},
      {"Overflow", R"({"capabilities":{"max_msg_fds":1e999}})", "number out of range at line 1 column 36"},
      // Types.
      {"StringForU32", R"({"capabilities":{"max_msg_fds":"x"}})",
       "invalid type: string \"x\", expected u32 at line 1 column 34"},
      {"MapForU32", R"({"capabilities":{"max_msg_fds":{}}})", "invalid type: map, expected u32 at line 1 column 32"},
      {"BooleanForU32", R"({"capabilities":{"max_data_xfer_size":true}})",
       "invalid type: boolean `true`, expected u32 at line 1 column 42"},
      {"NullForMigration", R"({"capabilities":{"migration":null}})",
       "invalid type: null, expected struct MigrationCapabilities at line 1 column 33"},
      {"IntegerForCapabilities", R"({"capabilities":5})",
       "invalid type: integer `5`, expected struct Capabilities at line 1 column 17"},
      {"OuterString", R"("x\"y")",
       "invalid type: string \"x\\\"y\", expected struct CapabilitiesData at line 1 column 6"},
      {"OuterNull", "null", "invalid type: null, expected struct CapabilitiesData at line 1 column 4"},
      // The array form of the three objects.
      {"ArrayOuter", "[[1,1048576,[4096]]]",
       "invalid type: sequence, expected struct CapabilitiesData at line 1 column 1"},
      {"ArrayCapabilities", R"({"capabilities":[1,1048576,[4096]]})",
       "invalid type: sequence, expected struct Capabilities at line 1 column 17"},
      {"ArrayMigration", R"({"capabilities":{"migration":[4096]}})",
       "invalid type: sequence, expected struct MigrationCapabilities at line 1 column 30"},
      // After the outer value.
      {"TrailingCharacter", R"({"capabilities":{}}x)", "trailing characters at line 1 column 20"},
      {"TrailingValue", R"({"capabilities":{}} {})", "trailing characters at line 1 column 21"},
      {"TrailingAfterNewlines", "{\"capabilities\":{}}\n\n  x", "trailing characters at line 3 column 3"},
      {"TrailingNonAscii", R"({"capabilities":{}} é)", "trailing characters at line 1 column 21"},
      {"TrailingNul", std::string("{\"capabilities\":{}}\0", 20), "trailing characters at line 1 column 20"},
      // Lines and characters.
      {"ErrorOnLineThree", "{\n  \"capabilities\": {\n    \"max_msg_fds\": 1.5\n  }\n}",
       "invalid type: floating point `1.5`, expected u32 at line 3 column 22"},
      {"NonAsciiCountsOnce", R"({"é":"日本語","capabilities":{"max_msg_fds":-1}})",
       "invalid value: integer `-1`, expected u32 at line 1 column 43"},
      // Syntax.
      {"Empty", "", "EOF while parsing a value at line 1 column 0"},
      {"OnlyWhitespace", " \n ", "EOF while parsing a value at line 2 column 1"},
      {"ByteOrderMark", "\xEF\xBB\xBF{\"capabilities\":{}}", "expected value at line 1 column 1"},
      {"Unclosed", R"({"capabilities":{})", "EOF while parsing an object at line 1 column 18"},
      {"MissingColon", R"({"capabilities" {}})", "expected `:` at line 1 column 17"},
      {"BareKey", "{capabilities:{}}", "key must be a string at line 1 column 2"},
      {"TrailingComma", R"({"capabilities":{},})", "key must be a string at line 1 column 20"},
      {"MissingValue", R"({"capabilities":})", "expected value at line 1 column 17"},
      {"MissingComma", R"({"capabilities":{}"x":1})", "expected `,` or `}` at line 1 column 21"},
      {"BadIgnoredArray", R"({"capabilities":{},"x":[1,2,]})", "expected value at line 1 column 29"},
      {"IgnoredArrayMissingComma", R"({"capabilities":{},"x":[1 2]})", "expected `,` or `]` at line 1 column 27"},
      {"UnterminatedIgnoredString", R"({"capabilities":{},"x":"abc)", "EOF while parsing a string at line 1 column 27"},
      {"ControlCharacterInString", "{\"capabilities\":{},\"x\":\"a\t\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 26"},
      {"BadLiteral", R"({"capabilities":{},"x":tru})", "expected value at line 1 column 27"},
      {"Comment", "/**/{\"capabilities\":{}}", "expected value at line 1 column 1"},
      // Each reason a syntax error can have, in each place the parser can be.
      {"BadEscape", R"({"capabilities":{},"x":"\q"})", "invalid escape at line 1 column 26"},
      {"ShortUnicodeEscape", R"({"capabilities":{},"x":"\u12"})", "invalid escape at line 1 column 29"},
      {"LoneHighSurrogate", R"({"capabilities":{},"x":"\ud800x"})", "lone surrogate in hex escape at line 1 column 31"},
      {"HighSurrogateThenNotLow", R"({"capabilities":{},"x":"\ud800\u0041"})",
       "lone surrogate in hex escape at line 1 column 36"},
      {"LoneLowSurrogate", R"({"capabilities":{},"x":"\udc00"})", "lone surrogate in hex escape at line 1 column 30"},
      {"IllFormedUtf8", "{\"capabilities\":{},\"x\":\"a\xFF\"}", "invalid unicode code point at line 1 column 26"},
      {"TruncatedUtf8", "{\"capabilities\":{},\"x\":\"\xE6\x97\"}", "invalid unicode code point at line 1 column 26"},
      {"MinusWithoutDigit", R"({"capabilities":{},"x":-a})", "invalid number at line 1 column 25"},
      {"FractionWithoutDigit", R"({"capabilities":{},"x":1.})", "invalid number at line 1 column 26"},
      {"ExponentWithoutDigit", R"({"capabilities":{},"x":1e+})", "invalid number at line 1 column 27"},
      {"NumberAsKey", "{1:2}", "key must be a string at line 1 column 2"},
      {"BadNumberAsKey", R"({"capabilities":{},-x})", "key must be a string at line 1 column 21"},
      {"BadLiteralAsKey", "{tru", "key must be a string at line 1 column 4"},
      {"UnclosedIgnoredArray", R"({"capabilities":{},"x":[1)", "EOF while parsing a list at line 1 column 25"},
      {"UnclosedIgnoredArrayAfterComma", R"({"capabilities":{},"x":[1,)",
       "EOF while parsing a value at line 1 column 26"},
      {"NulEndsTheText", std::string("{\"capabilities\":{}\0}", 20), "EOF while parsing an object at line 1 column 19"},
      {"KeyThenEnd", R"({"capabilities")", "EOF while parsing an object at line 1 column 15"},
      {"ColonThenEnd", R"({"capabilities":)", "EOF while parsing a value at line 1 column 16"},
      {"ArrayInIgnoredObject", R"({"x":{"y":[1})", "expected `,` or `]` at line 1 column 13"},
      {"ObjectInIgnoredArray", R"({"x":[{"a":1])", "expected `,` or `}` at line 1 column 13"},
      {"TruncatedByteOrderMark", "\xEF\xBB{}", "expected value at line 1 column 2"},
      // The library reads the "1" after the "0" before it knows the number
      // ended; the number is still only "0".
      {"LeadingZeroThenDigitAtEnd", R"({"capabilities":01)",
       "invalid type: integer `0`, expected struct Capabilities at line 1 column 17"},
      // Unterminated nesting a mebibyte deep, where the library and the
      // reader must neither recurse nor give up early.
      {"DeepUnterminatedIgnored", R"({"capabilities":{},"x":)" + mib,
       "EOF while parsing a value at line 1 column " + std::to_string(23 + mib.size())},
      {"DeepUnterminatedOuter", mib, "invalid type: sequence, expected struct CapabilitiesData at line 1 column 1"},
      {"DeepUnterminatedCapabilities", R"({"capabilities":)" + mib,
       "invalid type: sequence, expected struct Capabilities at line 1 column 17"},
  };
}

class RefusedTest : public testing::TestWithParam<Refused> {};

TEST_P(RefusedTest, ReportsWhereAndWhy) {
  const Refused& c = GetParam();
  const auto caps = parse_capabilities(c.text, kPageSize);
  ASSERT_FALSE(caps.has_value()) << capabilities_debug(*caps);
  EXPECT_EQ(caps.error().display(), c.error);
}

INSTANTIATE_TEST_SUITE_P(Capabilities, RefusedTest, testing::ValuesIn(refused_cases()), case_name<Refused>);

struct Replacement {
  std::string name;
  std::string bytes;
  std::string text;
};

constexpr const char* kFffd = "\xEF\xBF\xBD";

std::vector<Replacement> replacement_cases() {
  const std::string r = kFffd;
  return {
      {"Ascii", "{\"a\":1}", "{\"a\":1}"},
      {"ValidMultiByte", "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF",
       "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      {"Empty", "", ""},
      {"LeadThenAscii", "\xC3(", r + "("},
      {"OverlongTwoBytes", "\xC0\xAF", r + r},
      {"OverlongThreeBytes", "\xE0\x80\xAF", r + r + r},
      {"OverlongFourBytes", "\xF0\x80\x80\xAF", r + r + r + r},
      {"Surrogate", "\xED\xA0\x80", r + r + r},
      {"TruncatedAtEnd", "\xE2\x82", r},
      {"TruncatedBeforeAscii", "\xE2\x82(", r + "("},
      {"TruncatedFourBytes", "\xF0\x9F\x98", r},
      {"AboveMaximum", "\xF4\x90\x80\x80", r + r + r + r},
      {"LoneContinuation", "a\x80z", "a" + r + "z"},
      {"InvalidLeads", "\xF5\xFF\xFE", r + r + r},
      {"TruncatedThenValid", "\xE2\x82\xC3\xA9", r + "\xC3\xA9"},
  };
}

class ReplaceInvalidUtf8Test : public testing::TestWithParam<Replacement> {};

TEST_P(ReplaceInvalidUtf8Test, ReplacesMaximalSubparts) {
  EXPECT_EQ(replace_invalid_utf8(GetParam().bytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Capabilities, ReplaceInvalidUtf8Test, testing::ValuesIn(replacement_cases()),
                         case_name<Replacement>);

TEST(CapabilitiesTest, InvalidUtf8InIgnoredStringIsAcceptedOnceReplaced) {
  const std::string bytes = "{\"capabilities\":{\"max_msg_fds\":4},\"name\":\"a\xFF\xC3(b\"}";
  EXPECT_FALSE(parse_capabilities(bytes, kPageSize).has_value());
  const auto caps = parse_capabilities(replace_invalid_utf8(bytes), kPageSize);
  ASSERT_TRUE(caps.has_value()) << caps.error().display();
  EXPECT_EQ(caps->max_msg_fds, 4U);
}

TEST(CapabilitiesTest, DefaultsTakeThePageSize) {
  const auto caps = parse_capabilities(R"({"capabilities":{}})", 65536);
  ASSERT_TRUE(caps.has_value());
  EXPECT_EQ(caps->migration.pgsize, 65536U);
  EXPECT_EQ(default_capabilities(16384).migration.pgsize, 16384U);
  EXPECT_EQ(default_capabilities(16384).max_msg_fds, 1U);
  EXPECT_EQ(default_capabilities(16384).max_data_xfer_size, kMaxDataTransfer);
}

struct ServerText {
  std::string name;
  std::uint32_t page_size;
  std::string text;
};

class ServerTextTest : public testing::TestWithParam<ServerText> {};

TEST_P(ServerTextTest, IsCompactAndOrdered) {
  const ServerText& c = GetParam();
  const std::string text = capabilities_json(default_capabilities(c.page_size));
  EXPECT_EQ(text, c.text);
  const auto back = parse_capabilities(text, 1);
  ASSERT_TRUE(back.has_value()) << back.error().display();
  EXPECT_EQ(back->migration.pgsize, c.page_size);
}

INSTANTIATE_TEST_SUITE_P(
    Capabilities, ServerTextTest,
    testing::Values(
        ServerText{"Page4096", 4096,
                   R"({"capabilities":{"max_msg_fds":1,"max_data_xfer_size":1048576,"migration":{"pgsize":4096}}})"},
        ServerText{"Page65536", 65536,
                   R"({"capabilities":{"max_msg_fds":1,"max_data_xfer_size":1048576,"migration":{"pgsize":65536}}})"}),
    case_name<ServerText>);

TEST(CapabilitiesTest, ServerTextLength) {
  EXPECT_EQ(capabilities_json(default_capabilities(4096)).size(), 91U);
}

TEST(CapabilitiesTest, NonDefaultValuesAreWritten) {
  Capabilities caps;
  caps.max_msg_fds = 16;
  caps.max_data_xfer_size = 4294967295U;
  caps.migration.pgsize = 0;
  EXPECT_EQ(capabilities_json(caps),
            R"({"capabilities":{"max_msg_fds":16,"max_data_xfer_size":4294967295,"migration":{"pgsize":0}}})");
}

TEST(CapabilitiesTest, DiagnosticForm) {
  EXPECT_EQ(capabilities_debug(default_capabilities(4096)),
            "Capabilities { max_msg_fds: 1, max_data_xfer_size: 1048576, migration: MigrationCapabilities { pgsize: "
            "4096 } }");
  Capabilities caps;
  caps.max_msg_fds = 7;
  caps.max_data_xfer_size = 8;
  caps.migration.pgsize = 9;
  EXPECT_EQ(capabilities_debug(caps),
            "Capabilities { max_msg_fds: 7, max_data_xfer_size: 8, migration: MigrationCapabilities { pgsize: 9 } }");
}

TEST(CapabilitiesTest, ErrorDebugForm) {
  const auto caps = parse_capabilities("{}", kPageSize);
  ASSERT_FALSE(caps.has_value());
  EXPECT_EQ(caps.error().debug(), "Error(\"missing field `capabilities`\", line: 1, column: 2)");
}

}  // namespace
}  // namespace vfio_user

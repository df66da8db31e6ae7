#include "cli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli_texts.h"

namespace zephon {
namespace {

using namespace std::string_literals;

const CliStyle kPlain{.out = false, .err = false};
const CliStyle kStyled{.out = true, .err = true};

// Parses `program` followed by `args`.
CliOutcome parse_as(std::string_view program, const std::vector<std::string>& args, CliStyle style = kPlain) {
  std::vector<std::string_view> views{program};
  views.insert(views.end(), args.begin(), args.end());
  return parse_cli(views, style);
}

CliOutcome parse(const std::vector<std::string>& args, CliStyle style = kPlain) {
  return parse_as("zephon", args, style);
}

std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += "[" + arg + "]";
  return text;
}

// --- Errors -----------------------------------------------------------------

struct ErrorCase {
  std::string name;
  std::vector<std::string> args;
  std::string err;  // complete standard error, plain
};

// Failures name the case rather than dump its bytes.
void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class ErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorTest, PrintsErrorAndExitsWithTwo) {
  const ErrorCase& c = GetParam();
  const CliOutcome outcome = parse(c.args);
  const CliExit* request = std::get_if<CliExit>(&outcome);
  ASSERT_NE(request, nullptr) << joined(c.args) << " was accepted";
  EXPECT_EQ(request->status, 2);
  EXPECT_EQ(request->out, "");
  EXPECT_EQ(request->err, c.err);
  EXPECT_FALSE(has_escape(request->err));
}

TEST_P(ErrorTest, StyledErrorDiffersOnlyByEscapes) {
  const ErrorCase& c = GetParam();
  const CliOutcome outcome = parse(c.args, kStyled);
  const CliExit* request = std::get_if<CliExit>(&outcome);
  ASSERT_NE(request, nullptr) << joined(c.args) << " was accepted";
  EXPECT_EQ(request->status, 2);
  EXPECT_EQ(request->out, "");
  EXPECT_TRUE(request->err.starts_with("\x1b[")) << request->err;
  EXPECT_EQ(strip_escapes(request->err), c.err);
}

std::string similar_to_help(std::string_view arg) {
  return unexpected(arg) + "\n  tip: a similar argument exists: '--help'\n" + kErrorTail;
}

std::string value_required(std::string_view placeholder) {
  return "error: a value is required for '"s + std::string(placeholder) + "' but none was supplied\n" + kErrorTail;
}

std::string no_value_expected(std::string_view value, std::string_view flag) {
  return "error: unexpected value '"s + std::string(value) + "' for '" + std::string(flag) +
         "' found; no more were expected\n" + kErrorTail;
}

const std::string kMissingRom =
    "error: the following required arguments were not provided:\n"
    "  <ROM>\n" +
    kErrorTail;

INSTANTIATE_TEST_SUITE_P(
    Cli, ErrorTest,
    testing::Values(
        ErrorCase{"NoArguments", {}, kMissingBoth},
        ErrorCase{"OnlySeparator", {"--"}, kMissingBoth},
        ErrorCase{"OnlySocket", {"sock"}, kMissingRom},
        ErrorCase{"OnlySocketAfterSeparator", {"--", "sock"}, kMissingRom},
        ErrorCase{"ThirdPositional", {"sock", "rom", "extra"}, unexpected("extra") + kErrorTail},
        ErrorCase{"ThirdPositionalAfterSeparator", {"--", "sock", "rom", "extra"}, unexpected("extra") + kErrorTail},
        ErrorCase{"ThirdPositionalBeforeHelp", {"sock", "rom", "extra", "--help"}, unexpected("extra") + kErrorTail},
        ErrorCase{"EmptyThirdPositional", {"sock", "rom", ""}, unexpected("") + kErrorTail},
        ErrorCase{"UnknownLongOption", {"--verbose"}, pass_as_value("--verbose", "--verbose")},
        ErrorCase{"VersionIsUnknown", {"--version"}, pass_as_value("--version", "--version")},
        ErrorCase{"UnknownOptionAfterSocket", {"sock", "--verbose"}, pass_as_value("--verbose", "--verbose")},
        ErrorCase{"UnknownOptionBeforeHelp", {"--verbose", "--help"}, pass_as_value("--verbose", "--verbose")},
        ErrorCase{"UnknownShortOption", {"-x"}, pass_as_value("-x", "-x")},
        ErrorCase{"UnknownShortBeforeHelpInCluster", {"-xh"}, pass_as_value("-x", "-xh")},
        ErrorCase{"UnknownNonUtf8ShortOption", {"-\xff"}, pass_as_value("-\xff", "-\xff")},
        ErrorCase{"SimilarHel", {"--hel"}, similar_to_help("--hel")},
        ErrorCase{"SimilarHlp", {"--hlp"}, similar_to_help("--hlp")},
        ErrorCase{"SimilarHelo", {"--helo"}, similar_to_help("--helo")},
        ErrorCase{"SimilarHepl", {"--hepl"}, similar_to_help("--hepl")},
        ErrorCase{"SimilarHalp", {"--halp"}, similar_to_help("--halp")},
        ErrorCase{"SimilarWithValue", {"--hel=1"}, similar_to_help("--hel=1")},
        ErrorCase{"UnknownWithValue", {"--foo=bar"}, pass_as_value("--foo=bar", "--foo=bar")},
        ErrorCase{"HelpWithValue", {"--help=1"}, no_value_expected("1", "--help")},
        ErrorCase{"HelpWithEmptyValue", {"--help="}, no_value_expected("", "--help")},
        ErrorCase{"ShortHelpWithValue", {"-h=1"}, no_value_expected("1", "-h")},
        ErrorCase{"EmptySocket", {"", "rom"}, value_required("<SOCKET>")},
        ErrorCase{"EmptySocketAlone", {""}, value_required("<SOCKET>")},
        ErrorCase{"EmptySocketBeforeHelp", {"", "--help"}, value_required("<SOCKET>")},
        ErrorCase{"EmptySocketAfterSeparator", {"--", ""}, value_required("<SOCKET>")},
        ErrorCase{"EmptyRom", {"sock", ""}, value_required("<ROM>")}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return info.param.name; });

// --- Help -------------------------------------------------------------------

struct HelpCase {
  std::string name;
  std::vector<std::string> args;
};

void PrintTo(const HelpCase& c, std::ostream* os) { *os << c.name; }

class HelpTest : public testing::TestWithParam<HelpCase> {};

TEST_P(HelpTest, PrintsHelpAndExitsWithZero) {
  const HelpCase& c = GetParam();
  const CliOutcome outcome = parse(c.args);
  const CliExit* request = std::get_if<CliExit>(&outcome);
  ASSERT_NE(request, nullptr) << joined(c.args) << " was accepted";
  EXPECT_EQ(request->status, 0);
  EXPECT_EQ(request->out, kHelp);
  EXPECT_EQ(request->err, "");
}

TEST_P(HelpTest, StyledHelpDiffersOnlyByEscapes) {
  const HelpCase& c = GetParam();
  const CliOutcome outcome = parse(c.args, kStyled);
  const CliExit* request = std::get_if<CliExit>(&outcome);
  ASSERT_NE(request, nullptr) << joined(c.args) << " was accepted";
  EXPECT_EQ(request->status, 0);
  EXPECT_TRUE(has_escape(request->out));
  EXPECT_EQ(strip_escapes(request->out), kHelp);
  EXPECT_EQ(request->err, "");
}

INSTANTIATE_TEST_SUITE_P(Cli, HelpTest,
                         testing::Values(HelpCase{"Short", {"-h"}}, HelpCase{"Long", {"--help"}},
                                         HelpCase{"LongAfterTwoPaths", {"sock", "rom", "--help"}},
                                         HelpCase{"ShortAfterTwoPaths", {"sock", "rom", "-h"}},
                                         HelpCase{"AfterSocket", {"sock", "-h"}},
                                         HelpCase{"AfterLoneDash", {"-", "--help"}},
                                         HelpCase{"BeforeUnknownOption", {"--help", "--verbose"}},
                                         HelpCase{"BeforeSurplusPositional", {"--help", "a", "b", "c"}},
                                         HelpCase{"BeforeEmptyPath", {"-h", ""}},
                                         HelpCase{"FirstInCluster", {"-hx"}}),
                         [](const testing::TestParamInfo<HelpCase>& info) { return info.param.name; });

TEST(CliStyling, StylesOnlyTheStreamThatAllowsIt) {
  const CliOutcome help = parse({"--help"}, CliStyle{.out = false, .err = true});
  ASSERT_TRUE(std::holds_alternative<CliExit>(help));
  EXPECT_EQ(std::get<CliExit>(help).out, kHelp);

  const CliOutcome error = parse({}, CliStyle{.out = true, .err = false});
  ASSERT_TRUE(std::holds_alternative<CliExit>(error));
  EXPECT_EQ(std::get<CliExit>(error).err, kMissingBoth);
}

// --- Success ----------------------------------------------------------------

struct SuccessCase {
  std::string name;
  std::vector<std::string> args;
  std::string socket;
  std::string rom;
};

void PrintTo(const SuccessCase& c, std::ostream* os) { *os << c.name; }

class SuccessTest : public testing::TestWithParam<SuccessCase> {};

TEST_P(SuccessTest, ReturnsPathsUnchanged) {
  const SuccessCase& c = GetParam();
  for (const CliStyle& style : {kPlain, kStyled}) {
    const CliOutcome outcome = parse(c.args, style);
    const Cli* cli = std::get_if<Cli>(&outcome);
    ASSERT_NE(cli, nullptr) << joined(c.args) << " was refused: " << std::get<CliExit>(outcome).err;
    EXPECT_EQ(cli->socket, c.socket);
    EXPECT_EQ(cli->rom, c.rom);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cli, SuccessTest,
    testing::Values(SuccessCase{"TwoPaths", {"/run/zephon.sock", "rom.bin"}, "/run/zephon.sock", "rom.bin"},
                    SuccessCase{"SeparatorMakesOptionsPositional", {"--", "-s", "rom.bin"}, "-s", "rom.bin"},
                    SuccessCase{"SeparatorBetweenPaths", {"sock", "--", "-r"}, "sock", "-r"},
                    SuccessCase{"HelpAfterSeparator", {"--", "--help", "-h"}, "--help", "-h"},
                    SuccessCase{"SecondSeparatorIsPositional", {"--", "--", "rom"}, "--", "rom"},
                    SuccessCase{"LoneDashIsPositional", {"-", "-"}, "-", "-"},
                    SuccessCase{"NonUtf8Bytes", {"so\xff\xfe" "ck", "\x80rom\xc0\xaf"}, "so\xff\xfe" "ck",
                                "\x80rom\xc0\xaf"},
                    SuccessCase{"Utf8Text", {"/tmp/\xe3\x82\xbd\xe3\x82\xb1", "r\xc3\xb6m"},
                                "/tmp/\xe3\x82\xbd\xe3\x82\xb1", "r\xc3\xb6m"},
                    SuccessCase{"SpacesAndEquals", {" a b ", "x=y"}, " a b ", "x=y"}),
    [](const testing::TestParamInfo<SuccessCase>& info) { return info.param.name; });

// --- Usage name -------------------------------------------------------------

struct NameCase {
  std::string name;
  std::string program;
  std::string shown;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class UsageNameTest : public testing::TestWithParam<NameCase> {};

TEST_P(UsageNameTest, NamesTheProgram) {
  const NameCase& c = GetParam();
  EXPECT_EQ(usage_name(c.program), c.shown);
}

TEST_P(UsageNameTest, AppearsInHelpAndErrors) {
  const NameCase& c = GetParam();
  const std::string usage = "Usage: " + c.shown + " <SOCKET> <ROM>\n";

  const CliOutcome help = parse_as(c.program, {"-h"});
  ASSERT_TRUE(std::holds_alternative<CliExit>(help));
  EXPECT_EQ(std::get<CliExit>(help).out, usage + kHelp.substr(kHelp.find('\n') + 1));

  const CliOutcome error = parse_as(c.program, {"a", "b", "c"});
  ASSERT_TRUE(std::holds_alternative<CliExit>(error));
  EXPECT_EQ(std::get<CliExit>(error).err,
            "error: unexpected argument 'c' found\n\n" + usage + "\nFor more information, try '--help'.\n");
}

INSTANTIATE_TEST_SUITE_P(Cli, UsageNameTest,
                         testing::Values(NameCase{"FinalComponent", "/usr/bin/zephon-x", "zephon-x"},
                                         NameCase{"BareName", "zephon-x", "zephon-x"},
                                         NameCase{"Relative", "./build/zeph", "zeph"},
                                         NameCase{"NonUtf8FinalComponent", "/usr/bin/zeph\xffon", "zephon"},
                                         NameCase{"NonUtf8Directory", "/opt/\xff/tool", "tool"},
                                         NameCase{"OverlongSlash", "\xc0\xaf", "zephon"},
                                         NameCase{"Surrogate", "\xed\xa0\x80", "zephon"},
                                         NameCase{"TruncatedSequence", "abc\xe3\x82", "zephon"},
                                         NameCase{"FourByteCharacter", "z\xf0\x9f\x98\x80", "z\xf0\x9f\x98\x80"},
                                         NameCase{"Empty", "", "zephon"},
                                         NameCase{"Root", "/", "zephon"},
                                         NameCase{"CurrentDirectory", ".", "zephon"},
                                         NameCase{"ParentDirectory", "../..", "zephon"}),
                         [](const testing::TestParamInfo<NameCase>& info) { return info.param.name; });

TEST(UsageName, MissingProgramNameUsesCommandName) {
  const CliOutcome outcome = parse_cli({}, kPlain);
  ASSERT_TRUE(std::holds_alternative<CliExit>(outcome));
  EXPECT_EQ(std::get<CliExit>(outcome).status, 2);
  EXPECT_EQ(std::get<CliExit>(outcome).err, kMissingBoth);
}

// --- Similarity -------------------------------------------------------------

TEST(JaroWinkler, MatchesKnownValues) {
  EXPECT_DOUBLE_EQ(jaro_winkler("help", "help"), 1.0);
  EXPECT_DOUBLE_EQ(jaro_winkler("", ""), 1.0);
  EXPECT_DOUBLE_EQ(jaro_winkler("", "help"), 0.0);
  EXPECT_DOUBLE_EQ(jaro_winkler("x", "help"), 0.0);
  EXPECT_NEAR(jaro_winkler("MARTHA", "MARHTA"), 0.9611, 1e-4);
  EXPECT_NEAR(jaro_winkler("DIXON", "DICKSONX"), 0.8133, 1e-4);
  EXPECT_NEAR(jaro_winkler("DWAYNE", "DUANE"), 0.84, 1e-4);
}

TEST(JaroWinkler, SeparatesSlipsFromOtherWords) {
  for (const char* slip : {"hel", "hlp", "helo", "hepl", "halp"}) {
    EXPECT_GT(jaro_winkler(slip, "help"), 0.7) << slip;
  }
  for (const char* other : {"version", "verbose", "x", "foo"}) {
    EXPECT_LE(jaro_winkler(other, "help"), 0.7) << other;
  }
}

// --- Style decision ---------------------------------------------------------

struct StyleCase {
  std::string name;
  bool out_tty;
  bool err_tty;
  const char* no_color;
  bool out;
  bool err;
};

void PrintTo(const StyleCase& c, std::ostream* os) { *os << c.name; }

class CliStyleTest : public testing::TestWithParam<StyleCase> {};

TEST_P(CliStyleTest, StylesTerminalsUnlessNoColor) {
  const StyleCase& c = GetParam();
  const CliStyle style = cli_style(c.out_tty, c.err_tty, c.no_color);
  EXPECT_EQ(style.out, c.out);
  EXPECT_EQ(style.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Cli, CliStyleTest,
                         testing::Values(StyleCase{"BothTerminals", true, true, nullptr, true, true},
                                         StyleCase{"OnlyStdout", true, false, nullptr, true, false},
                                         StyleCase{"OnlyStderr", false, true, nullptr, false, true},
                                         StyleCase{"NoTerminal", false, false, nullptr, false, false},
                                         StyleCase{"EmptyNoColor", true, true, "", true, true},
                                         StyleCase{"NoColorSet", true, true, "1", false, false},
                                         StyleCase{"NoColorZero", true, true, "0", false, false}),
                         [](const testing::TestParamInfo<StyleCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zephon

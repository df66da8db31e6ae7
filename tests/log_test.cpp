// The diagnostic log's line form, colour and installation rules.
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>

#include "log.h"
#include "vfio_user/log.h"

namespace {

using zephon::log::Level;

struct LineCase {
  Level level;
  std::string plain;
  std::string coloured;
};

class LogLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(LogLine, HasTheExactForm) {
  const auto& c = GetParam();
  const std::string ts = "2026-03-01T12:00:00.000123Z";
  EXPECT_EQ(zephon::log::format_line(false, ts, c.level, "zephon", "hello"), c.plain);
  EXPECT_EQ(zephon::log::format_line(true, ts, c.level, "zephon", "hello"), c.coloured);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, LogLine,
    ::testing::Values(
        LineCase{Level::Trace, "2026-03-01T12:00:00.000123Z TRACE zephon: hello\n",
                 "\x1b[2m2026-03-01T12:00:00.000123Z\x1b[0m \x1b[35mTRACE\x1b[0m \x1b[2mzephon\x1b[0m\x1b[2m:\x1b[0m hello\n"},
        LineCase{Level::Debug, "2026-03-01T12:00:00.000123Z DEBUG zephon: hello\n",
                 "\x1b[2m2026-03-01T12:00:00.000123Z\x1b[0m \x1b[34mDEBUG\x1b[0m \x1b[2mzephon\x1b[0m\x1b[2m:\x1b[0m hello\n"},
        LineCase{Level::Info, "2026-03-01T12:00:00.000123Z  INFO zephon: hello\n",
                 "\x1b[2m2026-03-01T12:00:00.000123Z\x1b[0m \x1b[32m INFO\x1b[0m \x1b[2mzephon\x1b[0m\x1b[2m:\x1b[0m hello\n"},
        LineCase{Level::Warn, "2026-03-01T12:00:00.000123Z  WARN zephon: hello\n",
                 "\x1b[2m2026-03-01T12:00:00.000123Z\x1b[0m \x1b[33m WARN\x1b[0m \x1b[2mzephon\x1b[0m\x1b[2m:\x1b[0m hello\n"},
        LineCase{Level::Error, "2026-03-01T12:00:00.000123Z ERROR zephon: hello\n",
                 "\x1b[2m2026-03-01T12:00:00.000123Z\x1b[0m \x1b[31mERROR\x1b[0m \x1b[2mzephon\x1b[0m\x1b[2m:\x1b[0m hello\n"}));

std::string read_all(int fd) {
  std::string text(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(::pread(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  return text;
}

// One test owns installation, since it happens once per process.
TEST(LogInstall, WritesEnabledEventsOnlyAndJoinsTheServerChannel) {
  int fd = ::memfd_create("log", MFD_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(zephon::log::install({.fd = fd, .colour = false}).has_value());
  EXPECT_FALSE(zephon::log::install({.fd = fd, .colour = false}).has_value());

  zephon::log::emit(Level::Debug, "zephon", "Read  regs[{:#06x}] ({:#x}) = {:#010x}", 0x17, 0x5c, 0);
  zephon::log::emit(Level::Trace, "zephon", "never {}", 1);
  zephon::log::emit(Level::Debug, "zephon", "Read  regs[{:#06x}] ({:#x}) = {:#010x}", 0xffff, 0x3fffc, 1);
  ASSERT_NE(vfio_user::log::sink(), nullptr);
  EXPECT_FALSE(vfio_user::log::enabled(vfio_user::log::Level::Trace));
  EXPECT_TRUE(vfio_user::log::enabled(vfio_user::log::Level::Debug));
  vfio_user::log::sink()->write(vfio_user::log::Level::Info, "vfio_user", "Connection closed");
  // Lines are gathered until the server's channel asks for them.
  EXPECT_TRUE(vfio_user::log::holds_back());
  EXPECT_EQ(read_all(fd), "");
  vfio_user::log::flush();
  EXPECT_FALSE(vfio_user::log::holds_back());

  std::string text = read_all(fd);
  std::regex form(
      R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6}Z DEBUG zephon: Read  regs\[0x0017\] \(0x5c\) = 0x00000000
\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6}Z DEBUG zephon: Read  regs\[0xffff\] \(0x3fffc\) = 0x00000001
\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6}Z  INFO vfio_user: Connection closed
)");
  EXPECT_TRUE(std::regex_match(text, form)) << text;
  ::close(fd);
}

TEST(LogOptions, NoColorDecidesColourWhateverTheStream) {
  ::setenv("NO_COLOR", "1", 1);
  EXPECT_FALSE(zephon::log::default_options().colour);
  ::setenv("NO_COLOR", "", 1);
  EXPECT_TRUE(zephon::log::default_options().colour);
  ::unsetenv("NO_COLOR");
  EXPECT_TRUE(zephon::log::default_options().colour);
  EXPECT_EQ(zephon::log::default_options().fd, 2);
}

}  // namespace

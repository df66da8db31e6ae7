// Captures what the process log writes to standard error while a test acts,
// for tests that assert exact log lines. Including this header installs the
// log once for the test binary, writing plain lines to fd 2.
#ifndef ZEPHON_TESTS_LOG_CAPTURE_H_
#define ZEPHON_TESTS_LOG_CAPTURE_H_

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "log.h"

namespace zephon_test {

// The log writes to fd 2, which CaptureStderr redirects while a test looks.
class LogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(zephon::log::install(zephon::log::Options{.fd = 2, .colour = false})); }
};
[[maybe_unused]] inline ::testing::Environment* const kLogEnvironment =
    ::testing::AddGlobalTestEnvironment(new LogEnvironment);

// Returns text with the timestamp (which varies) dropped from every log line,
// keeping level, target and message; lines of another shape are kept whole
// so they show up.
inline std::string strip_timestamps(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    const bool stamped = line.size() >= 28 && line[10] == 'T' && line[26] == 'Z' && line[27] == ' ';
    out += stamped ? line.substr(28) : line;
    out += '\n';
  }
  return out;
}

// Returns the log lines, without timestamps, that action wrote.
template <typename F>
std::string logged_by(F&& action) {
  zephon::log::flush();  // what came before is not the action's
  ::testing::internal::CaptureStderr();
  action();
  // The log gathers lines until the server's next reply or wait; here there
  // is no server, so they are written out by hand.
  zephon::log::flush();
  return strip_timestamps(::testing::internal::GetCapturedStderr());
}

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_LOG_CAPTURE_H_

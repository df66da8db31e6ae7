// The process-wide diagnostic log: one line per event on standard error, in
// the form "2026-03-01T12:00:00.000123Z DEBUG zephon: message", optionally
// wrapped in terminal colour escapes.
//
// Contract: install() once, first thing in main; it also joins the vfio-user
// server's log channel, whose records come out in the same form. Events below
// DEBUG are discarded before anything is formatted. Lines are gathered in one
// buffer and written together: when 64 KiB are waiting, when flush() is
// called (the server does before every reply, before it waits for input and
// when a run ends; the program before its own reports), and at exit. Lines
// that cannot be written are dropped after one attempt to say so; logging
// never changes what the program does.
#ifndef ZEPHON_LOG_H_
#define ZEPHON_LOG_H_

#include <fmt/format.h>

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "vfio_user/log.h"

namespace zephon::log {

using Level = vfio_user::log::Level;

// The target of the device's own lines (register accesses, interrupts, guest
// memory) and of a device script's (its log() lines, its faults).
inline constexpr std::string_view kDeviceTarget = "zephon";
inline constexpr std::string_view kScriptTarget = "zephon::script";

// The most verbose level written; TRACE is below it.
inline constexpr Level kMaxLevel = Level::Debug;

struct Options {
  int fd = 2;           // where lines go
  bool colour = true;   // wrap parts of each line in escapes
};

// Returns the options the program uses: standard error, colour unless the
// environment variable NO_COLOR is set to a non-empty value.
Options default_options();

// Returns success, or a description of why the log is already installed.
std::expected<void, std::string> install(Options options);

// Returns whether events of this level are written.
inline bool enabled(Level level) { return level >= kMaxLevel; }

// Formats and writes one line; callers have already tested enabled().
void write_event(Level level, std::string_view target, fmt::string_view format, fmt::format_args args);

// Writes one line whose message is already made; callers have already tested
// enabled().
void write_text(Level level, std::string_view target, std::string_view message);

// Writes out every line held back.
void flush();

// The lines held back and not yet written, and where they go.
struct HeldBack {
  int fd = -1;
  const char* data = nullptr;
  std::size_t size = 0;
};
// Returns what is held back; async-signal-safe, for a handler that must
// write the log out while the program is stuck. A line being made, or being
// held back at that moment, is not among it.
HeldBack held_back();

// Emits one event: nothing is formatted unless the level is enabled.
template <typename... Args>
inline void emit(Level level, std::string_view target, fmt::format_string<Args...> format, Args&&... args) {
  if (!zephon::log::enabled(level)) return;
  write_event(level, target, format, fmt::make_format_args(args...));
}

// Returns one complete line (newline included) for the given parts; exposed
// so the exact form can be tested without a clock.
std::string format_line(bool colour, std::string_view timestamp, Level level, std::string_view target,
                        std::string_view message);

}  // namespace zephon::log

#endif  // ZEPHON_LOG_H_

// The server's log channel: records with a level, a target (always
// "vfio_user" for the server's own records) and a message. The program joins
// it to its own log by installing a Sink; without one, records are dropped.
//
// Contract: the sink is installed once, before any server runs, and is called
// from the server's thread only. Callers test enabled() before formatting.
#ifndef VFIO_USER_LOG_H_
#define VFIO_USER_LOG_H_

#include <cstdint>
#include <string_view>

namespace vfio_user::log {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };

class Sink {
 public:
  virtual ~Sink() = default;
  // Returns whether records of this level are written.
  virtual bool enabled(Level level) const = 0;
  // Writes one record, or holds it back; never fails visibly.
  virtual void write(Level level, std::string_view target, std::string_view message) = 0;
  // Writes out the records held back. The server calls it before it sends
  // anything, before it waits for input and when a run ends, so a record
  // never comes out later than the reply that follows it.
  virtual void flush() {}
  // Returns whether any record is held back, waiting for flush().
  virtual bool holds_back() const { return false; }
};

// Returns false, changing nothing, when a sink is already installed.
bool set_sink(Sink* sink);
// Returns the installed sink, or nullptr.
Sink* sink();

// Returns whether the installed sink holds records back.
inline bool holds_back() {
  Sink* s = sink();
  return s != nullptr && s->holds_back();
}

// Writes out what the installed sink holds back.
inline void flush() {
  if (Sink* s = sink()) s->flush();
}

// Returns whether the installed sink admits level.
inline bool enabled(Level level) {
  Sink* s = sink();
  return s != nullptr && s->enabled(level);
}

}  // namespace vfio_user::log

#endif  // VFIO_USER_LOG_H_

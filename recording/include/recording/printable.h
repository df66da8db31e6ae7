// How text taken from a log is shown: control bytes written as \xNN, so that
// a marker's text or a refused version cannot move the cursor of the
// terminal it is shown on.
#ifndef RECORDING_PRINTABLE_H_
#define RECORDING_PRINTABLE_H_

#include <fmt/format.h>

#include <string_view>

namespace zephon_trace {

// Returns nothing; appends text with control bytes written as \xNN.
void append_printable(fmt::memory_buffer& out, std::string_view text);

}  // namespace zephon_trace

#endif  // RECORDING_PRINTABLE_H_

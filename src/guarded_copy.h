// guarded_copy copies bytes to or from memory that another process can take
// away: a file mapping whose file the other side shrinks raises SIGBUS on
// the next touch of a page past the new end, which would end the process.
// Within a guarded copy that signal ends the copy instead.
//
// Contract: the first call installs a SIGBUS handler for the process
// (SA_NODEFER, so that leaving it by a jump leaves the signal unblocked); a
// SIGBUS outside a guarded copy gets the action that was installed before,
// so it still ends the process. Not reentrant: one thread, no copy from a
// signal handler. A failed copy may have copied part of the bytes.
#ifndef ZEPHON_GUARDED_COPY_H_
#define ZEPHON_GUARDED_COPY_H_

#include <cstddef>

namespace zephon {

// Returns whether all size bytes were copied from `from` to `to`; false if
// touching either raised SIGBUS.
bool guarded_copy(void* to, const void* from, std::size_t size);

}  // namespace zephon

#endif  // ZEPHON_GUARDED_COPY_H_

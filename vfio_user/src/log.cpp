#include "vfio_user/log.h"

namespace vfio_user::log {

namespace {
Sink* g_sink = nullptr;  // set once by the program before any server runs
}  // namespace

bool set_sink(Sink* sink) {
  if (g_sink != nullptr) return false;
  g_sink = sink;
  return true;
}

Sink* sink() { return g_sink; }

}  // namespace vfio_user::log

// The request cycle on one accepted connection: receive a header with its
// descriptors, dispatch to the command's handler or refuse the command,
// close what was not handed on, report a failure with an error reply; and
// between requests, whatever of the backend's own time has fallen due
// (ServerBackend::next_deadline), a request already waiting first.
#ifndef VFIO_USER_REQUEST_LOOP_H_
#define VFIO_USER_REQUEST_LOOP_H_

#include <atomic>
#include <csignal>
#include <expected>

#include "handlers.h"

namespace vfio_user {

// Returns success when the client closed the connection (or stop became
// set), else ReceiveWithFd or StreamWrite.
std::expected<void, Error> serve_connection(Connection& connection, const DeviceTables& device,
                                            ServerBackend& backend, const volatile std::sig_atomic_t& stop);

}  // namespace vfio_user

#endif  // VFIO_USER_REQUEST_LOOP_H_

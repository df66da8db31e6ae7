// The vfio-user server library: include this for everything it offers.
#ifndef VFIO_USER_VFIO_USER_H_
#define VFIO_USER_VFIO_USER_H_

#include "vfio_user/command.h"
#include "vfio_user/error.h"
#include "vfio_user/io_error.h"
#include "vfio_user/limits.h"
#include "vfio_user/log.h"
#include "vfio_user/payloads.h"
#include "vfio_user/server.h"
#include "vfio_user/server_backend.h"
#include "vfio_user/unique_fd.h"

#endif  // VFIO_USER_VFIO_USER_H_

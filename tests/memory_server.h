// MemoryServer runs the real request loop and handlers over the library's
// in-memory transport against a RecordingBackend, for the handler tests: no
// socket and no thread. MemoryClient talks to it the way the socket client
// talks to a server.
//
// Contract: what a client sends is queued; receive() (and every call that
// waits for a reply) runs the loop over all that is queued, until it has
// taken it all, and hands back the replies in order. One transport and one
// connection serve the whole test, so a request the loop misframes shows in
// the next exchange as it would on a socket. Each run of the loop ends as a
// client's close would, so log() leaves out "Connection closed".
#ifndef ZEPHON_TESTS_MEMORY_SERVER_H_
#define ZEPHON_TESTS_MEMORY_SERVER_H_

#include <gtest/gtest.h>

#include <csignal>
#include <deque>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "client.h"
#include "connection.h"
#include "memory_transport.h"
#include "server_fixture.h"
#include "test_backend.h"
#include "vfio_user/payloads.h"

namespace zephon_test {

class MemoryServer;

class MemoryClient {
 public:
  explicit MemoryClient(MemoryServer& server) : server_(&server) {}

  // Returns success once bytes are queued, with duplicates of fds.
  std::expected<void, std::string> send(std::span<const std::uint8_t> bytes, std::span<const int> fds = {});
  // Returns the next reply, running the loop over what is queued if needed.
  std::expected<vfio_user_client::Reply, std::string> receive();
  // Returns the successful reply to one request, checked to carry its id
  // and command.
  std::expected<vfio_user_client::Reply, std::string> call(vfio_user::Command command,
                                                           std::span<const std::uint8_t> payload,
                                                           std::uint32_t flags = 0, std::span<const int> fds = {});
  // Returns the device information.
  std::expected<vfio_user::DeviceInfo, std::string> device_info();
  // Returns the interrupt information of interrupt index.
  std::expected<vfio_user::IrqInfo, std::string> irq_info(std::uint32_t index);
  // Returns the 32-bit little-endian word read at offset.
  std::expected<std::uint32_t, std::string> read32(std::uint32_t region, std::uint64_t offset);

 private:
  MemoryServer* server_;
  std::uint16_t next_id_ = 1;  // message_id of the next request
};

class MemoryServer : public ::testing::Test {
 protected:
  void SetUp() override;

  // Sets the server's tables (the program's device by default).
  void start(bool reset_supported = true, std::vector<vfio_user::ServerRegion> regions = device_regions(),
             std::vector<vfio_user::InterruptEntry> interrupts = device_interrupts());
  // Returns a client of this server.
  MemoryClient connect() { return MemoryClient(*this); }
  // Returns the log lines written since the test started, without the
  // "Connection closed" that ends each run of the loop.
  std::vector<std::string> log() const;

  RecordingBackend backend_;

 private:
  friend class MemoryClient;

  // Runs the loop over all queued input and collects what it sent.
  void serve();

  std::vector<vfio_user::InterruptEntry> interrupts_;
  std::vector<vfio_user::ServerRegion> regions_;
  bool reset_supported_ = true;
  vfio_user::MemoryTransport transport_;
  vfio_user::Connection connection_{transport_};
  volatile std::sig_atomic_t stop_ = 0;
  std::deque<vfio_user_client::Reply> replies_;  // sent by the server, not yet received
  std::size_t log_start_ = 0;
};

}  // namespace zephon_test

#endif  // ZEPHON_TESTS_MEMORY_SERVER_H_

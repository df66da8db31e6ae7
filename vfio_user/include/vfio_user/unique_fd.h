// UniqueFd owns one file descriptor and closes it when destroyed; FdList is a
// fixed-capacity list of owned descriptors, the most one request can carry.
//
// Contract: a UniqueFd holds -1 or a descriptor nobody else closes. Moving
// transfers ownership; the moved-from object holds -1. FdList never allocates.
#ifndef VFIO_USER_UNIQUE_FD_H_
#define VFIO_USER_UNIQUE_FD_H_

#include <unistd.h>

#include <array>
#include <cstddef>
#include <utility>

namespace vfio_user {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  // Returns the descriptor, still owned by this object.
  int get() const { return fd_; }
  // Returns whether a descriptor is held.
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  // Returns the descriptor and gives up ownership of it.
  int release() { return std::exchange(fd_, -1); }
  // Closes the held descriptor, if any, and takes ownership of fd.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;  // -1 when empty
};

// The descriptors that came with one request, in arrival order.
class FdList {
 public:
  static constexpr std::size_t kCapacity = 16;

  FdList() = default;
  FdList(FdList&& other) noexcept : fds_(std::move(other.fds_)), size_(std::exchange(other.size_, 0)) {}
  FdList& operator=(FdList&& other) noexcept {
    if (this != &other) {
      clear();
      fds_ = std::move(other.fds_);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  FdList(const FdList&) = delete;
  FdList& operator=(const FdList&) = delete;
  ~FdList() = default;

  // Returns the number of descriptors held.
  std::size_t size() const { return size_; }
  // Returns whether no descriptor is held.
  bool empty() const { return size_ == 0; }
  // Returns descriptor i (i < size()), still owned by the list.
  int operator[](std::size_t i) const { return fds_[i].get(); }
  // Appends fd, taking ownership; returns false (and closes fd) when full.
  bool push(UniqueFd fd) {
    if (size_ == kCapacity) return false;
    fds_[size_++] = std::move(fd);
    return true;
  }
  // Removes and returns descriptor i, shifting later ones down.
  UniqueFd take(std::size_t i) {
    UniqueFd out = std::move(fds_[i]);
    for (std::size_t k = i + 1; k < size_; ++k) fds_[k - 1] = std::move(fds_[k]);
    --size_;
    return out;
  }
  // Closes every descriptor held.
  void clear() {
    for (std::size_t k = 0; k < size_; ++k) fds_[k].reset();
    size_ = 0;
  }

 private:
  std::array<UniqueFd, kCapacity> fds_;  // slots [0, size_) are held
  std::size_t size_ = 0;
};

}  // namespace vfio_user

#endif  // VFIO_USER_UNIQUE_FD_H_

#pragma once
// An open file descriptor, closed when it goes out of scope.
#include <cerrno>
#include <utility>

#include <unistd.h>

namespace hobrin::ann {

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Descriptor() { reset(); }
  int get() const noexcept { return fd_; }
  // Closes now, reporting the error that a deferred write may surface here.
  int close() noexcept {
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 || errno == EINTR ? 0 : errno;  // after EINTR the descriptor is closed on Linux
  }

 private:
  void reset() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }
  int fd_;
};

}  // namespace hobrin::ann

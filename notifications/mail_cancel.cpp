#include "notifications/mail_cancel.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace parlevo {

TMailCancel::TMailCancel() : wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (wake_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

TMailCancel::~TMailCancel() {
  ::close(wake_fd_);
}

void TMailCancel::Cancel() {
  std::lock_guard lock(lock_);
  if (!cancelled_) {
    // Nobody reads the counter: the descriptor stays readable for every later poll.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
  }
  cancelled_ = true;
  for (int fd : sockets_) ::shutdown(fd, SHUT_RDWR);
}

bool TMailCancel::Cancelled() const {
  std::lock_guard lock(lock_);
  return cancelled_;
}

bool TMailCancel::Watch(int fd) {
  std::lock_guard lock(lock_);
  if (cancelled_) return false;
  sockets_.push_back(fd);
  return true;
}

void TMailCancel::ForgetAndClose(int fd) {
  std::lock_guard lock(lock_);
  std::erase(sockets_, fd);
  ::close(fd);
}

}  // namespace parlevo

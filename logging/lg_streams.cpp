#include "logging/lg_streams.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "logging/lg_exceptions.h"

namespace parlevo::logging {
namespace {

[[noreturn]] void RaiseSystemError(int error) {
  throw ELogCenterError(LgSysErrorMessage(error));
}

int Whence(TLgSeekOrigin origin) {
  switch (origin) {
    case TLgSeekOrigin::Begin:
      return SEEK_SET;
    case TLgSeekOrigin::Current:
      return SEEK_CUR;
    case TLgSeekOrigin::End:
      return SEEK_END;
  }
  return SEEK_SET;
}

}  // namespace

TLgFileStream::TLgFileStream(const std::string& file_name, TLgCreationDisposition disposition,
                             TLgFileAccess access) {
  int error = 0;
  handle_ = LgCreateFile(file_name, access, disposition, error);
  if (!handle_.Valid()) RaiseSystemError(error);
}

size_t TLgFileStream::Write(const void* data, size_t count) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(handle_.Get(), bytes + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseSystemError(errno);
    }
    done += static_cast<size_t>(n);
  }
  committed_ += static_cast<int64_t>(count);
  return count;
}

void TLgFileStream::TruncateToCommitted() {
  const off_t end = ::lseek(handle_.Get(), 0, SEEK_END);
  if (end < 0) RaiseSystemError(errno);
  if (end > committed_) {
    int result;
    do {
      result = ::ftruncate(handle_.Get(), committed_);
    } while (result != 0 && errno == EINTR);
    if (result != 0) RaiseSystemError(errno);
  }
  if (::lseek(handle_.Get(), committed_, SEEK_SET) < 0) RaiseSystemError(errno);
}

size_t TLgFileStream::Read(void* data, size_t count) {
  for (;;) {
    const ssize_t n = ::read(handle_.Get(), data, count);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) RaiseSystemError(errno);
  }
}

int64_t TLgFileStream::Seek(int64_t offset, TLgSeekOrigin origin) {
  const off_t position = ::lseek(handle_.Get(), offset, Whence(origin));
  if (position < 0) RaiseSystemError(errno);
  committed_ = position;
  return position;
}

int64_t TLgFileStream::Size() {
  const off_t here = ::lseek(handle_.Get(), 0, SEEK_CUR);
  const off_t end = ::lseek(handle_.Get(), 0, SEEK_END);
  if (here < 0 || end < 0 || ::lseek(handle_.Get(), here, SEEK_SET) < 0) RaiseSystemError(errno);
  return end;
}

TLgBufferedStream::TLgBufferedStream(TLgByteStream* target, size_t buffer_size)
    : target_(target), buffer_(std::max<size_t>(buffer_size, 1)) {}

TLgBufferedStream::~TLgBufferedStream() {
  try {
    Flush();
  } catch (...) {
    // Whoever needs to know about a failed final write calls Flush before letting go.
  }
}

size_t TLgBufferedStream::Write(const void* data, size_t count) {
  if (count < buffer_.size()) {
    if (count > buffer_.size() - count_) Flush();
    std::memcpy(buffer_.data() + count_, data, count);
    count_ += count;
  } else {
    Flush();
    if (target_->Write(data, count) != count) throw ELogCenterError("Stream write error");
  }
  return count;
}

size_t TLgBufferedStream::Read(void* data, size_t count) {
  return target_->Read(data, count);
}

int64_t TLgBufferedStream::Seek(int64_t offset, TLgSeekOrigin origin) {
  Flush();
  return target_->Seek(offset, origin);
}

void TLgBufferedStream::Flush() {
  if (count_ == 0) return;
  const size_t held = count_;
  count_ = 0;  // dropped whether or not the target takes them
  if (target_->Write(buffer_.data(), held) != held) throw ELogCenterError("Stream write error");
}

size_t TLgMemoryStream::Write(const void* data, size_t count) {
  const auto* bytes = static_cast<const char*>(data);
  if (position_ == bytes_.size()) {
    bytes_.append(bytes, count);
  } else {
    if (position_ + count > bytes_.size()) bytes_.resize(position_ + count);
    std::memcpy(bytes_.data() + position_, bytes, count);
  }
  position_ += count;
  return count;
}

size_t TLgMemoryStream::Read(void* data, size_t count) {
  const size_t n = std::min(count, bytes_.size() - std::min(position_, bytes_.size()));
  std::memcpy(data, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

int64_t TLgMemoryStream::Seek(int64_t offset, TLgSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TLgSeekOrigin::Current) base = static_cast<int64_t>(position_);
  if (origin == TLgSeekOrigin::End) base = static_cast<int64_t>(bytes_.size());
  position_ = static_cast<size_t>(std::max<int64_t>(0, base + offset));
  return static_cast<int64_t>(position_);
}

void TLgMemoryStream::Clear(bool keep_memory) {
  bytes_.clear();
  if (!keep_memory) bytes_.shrink_to_fit();
  position_ = 0;
}

TLgWaitLimit::TLgWaitLimit()
    : deadline_(std::numeric_limits<int64_t>::max()),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_.Valid()) RaiseSystemError(errno);
}

void TLgWaitLimit::Limit(Clock::time_point deadline) noexcept {
  const int64_t wanted = deadline.time_since_epoch().count();
  int64_t current = deadline_.load(std::memory_order_acquire);
  while (wanted < current &&
         !deadline_.compare_exchange_weak(current, wanted, std::memory_order_acq_rel)) {
  }
  const uint64_t one = 1;
  while (::write(wake_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void TLgWaitLimit::Clear() noexcept {
  deadline_.store(std::numeric_limits<int64_t>::max(), std::memory_order_release);
  uint64_t count;
  while (::read(wake_.Get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
}

TLgWaitLimit::Clock::time_point TLgWaitLimit::Deadline() const noexcept {
  const int64_t value = deadline_.load(std::memory_order_acquire);
  if (value == std::numeric_limits<int64_t>::max()) return Clock::time_point::max();
  return Clock::time_point(Clock::duration(value));
}

void TLgWaitLimit::Wait(int fd, short events, Clock::time_point deadline) const {
  for (;;) {
    const Clock::time_point limit = Deadline();
    const Clock::time_point until = std::min(deadline, limit);
    const Clock::time_point now = Clock::now();
    if (now >= until) {
      if (limit <= deadline) throw ELogCenterError(kLgStoppedMessage);
      RaiseSystemError(ETIMEDOUT);
    }
    int timeout = -1;
    if (until != Clock::time_point::max()) {
      // Rounded up, so a wait never ends just short of its deadline and spins.
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
      timeout = static_cast<int>(std::min<int64_t>(left, std::numeric_limits<int>::max()));
    }
    pollfd fds[2] = {{fd, events, 0}, {wake_.Get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      RaiseSystemError(errno);
    }
    if (fds[1].revents != 0) {
      // A new limit: take the signal and measure again.
      uint64_t count;
      while (::read(wake_.Get(), &count, sizeof count) < 0 && errno == EINTR) {
      }
    }
    if (fds[0].revents != 0) return;  // ready, or an error the next call reports
  }
}

namespace {

void WaitForSocket(int fd, short events, std::chrono::steady_clock::time_point deadline,
                   const TLgWaitLimit* limit) {
  if (limit) {
    limit->Wait(fd, events, deadline);
    return;
  }
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) RaiseSystemError(ETIMEDOUT);
    int timeout = -1;
    if (deadline != std::chrono::steady_clock::time_point::max()) {
      timeout = static_cast<int>(
          std::min<int64_t>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count(),
                            std::numeric_limits<int>::max()));
    }
    pollfd poll_fd{fd, events, 0};
    const int ready = ::poll(&poll_fd, 1, timeout);
    if (ready < 0 && errno != EINTR) RaiseSystemError(errno);
    if (ready > 0) return;
  }
}

}  // namespace

void TLgSocketIo::SendAll(const void* data, size_t count, Clock::time_point deadline) const {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::send(fd_, bytes + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) RaiseSystemError(errno);
    WaitForSocket(fd_, POLLOUT, deadline, limit_);
  }
}

size_t TLgSocketIo::ReceiveSome(void* data, size_t count, Clock::time_point deadline) const {
  if (count == 0) return 0;
  for (;;) {
    const ssize_t n = ::recv(fd_, data, count, MSG_DONTWAIT);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) RaiseSystemError(errno);
    WaitForSocket(fd_, POLLIN, deadline, limit_);
  }
}

size_t TLgSocketIo::ReceiveAll(void* data, size_t count, Clock::time_point deadline) const {
  auto* bytes = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < count) {
    const size_t n = ReceiveSome(bytes + done, count - done, deadline);
    if (n == 0) break;
    done += n;
  }
  return done;
}

std::string TLgSocketIo::ReceiveLine(Clock::time_point deadline,
                                     const std::string& closed_message) const {
  // One byte at a time: what follows the line belongs to whoever reads next.
  std::string line;
  for (;;) {
    char c = 0;
    if (ReceiveSome(&c, 1, deadline) != 1) throw ELogCenterError(closed_message);
    if (c == '\n') return line;
    if (c == '\r') continue;
    if (line.size() >= kLgMaxLineLength) throw ELogCenterError("Line too long");
    line += c;
  }
}

std::chrono::steady_clock::time_point LgDeadlineAfter(int milliseconds) {
  if (milliseconds < 1) return std::chrono::steady_clock::time_point::max();
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

TLgSocketStream::TLgSocketStream(TLgFileHandle socket, int timeout_ms, const TLgWaitLimit* limit)
    : socket_(std::move(socket)), timeout_ms_(timeout_ms), limit_(limit) {
  LgSetNonBlocking(socket_.Get(), true);
}

size_t TLgSocketStream::Write(const void* data, size_t count) {
  TLgSocketIo(socket_.Get(), limit_).SendAll(data, count, LgDeadlineAfter(timeout_ms_));
  return count;
}

size_t TLgSocketStream::Read(void* data, size_t count) {
  return TLgSocketIo(socket_.Get(), limit_).ReceiveSome(data, count, LgDeadlineAfter(timeout_ms_));
}

std::string TLgSocketStream::ReadLine(const std::string& closed_message) {
  return TLgSocketIo(socket_.Get(), limit_)
      .ReceiveLine(LgDeadlineAfter(timeout_ms_), closed_message);
}

void TLgSocketStream::Close() {
  if (socket_.Valid()) ::shutdown(socket_.Get(), SHUT_WR);
  socket_.Close();
}

void LgSetNonBlocking(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) RaiseSystemError(errno);
  const int wanted = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
  if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) != 0) RaiseSystemError(errno);
}

void LgSetSocketTimeouts(int socket, int milliseconds) {
  timeval tv{};
  if (milliseconds > 0) {
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
  }
  if (::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
    RaiseSystemError(errno);
  }
}

}  // namespace parlevo::logging

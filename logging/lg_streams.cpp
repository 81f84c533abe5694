#include "logging/lg_streams.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
  return count;
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

size_t TLgSocketStream::Write(const void* data, size_t count) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::send(socket_.Get(), bytes + done, count - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseSystemError(errno);
    }
    done += static_cast<size_t>(n);
  }
  return count;
}

size_t TLgSocketStream::Read(void* data, size_t count) {
  if (count == 0) return 0;
  for (;;) {
    const ssize_t n = ::recv(socket_.Get(), data, count, 0);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) RaiseSystemError(errno);
  }
}

size_t TLgSocketStream::ReadFully(void* data, size_t count) {
  auto* bytes = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < count) {
    const size_t n = Read(bytes + done, count - done);
    if (n == 0) break;
    done += n;
  }
  return done;
}

std::string TLgSocketStream::ReadLine(const std::string& closed_message) {
  std::string line;
  for (;;) {
    char c = 0;
    if (Read(&c, 1) != 1) throw ELogCenterError(closed_message);
    if (c == '\n') return line;
    if (c != '\r') line += c;
  }
}

void TLgSocketStream::SetTimeouts(int milliseconds) {
  LgSetSocketTimeouts(socket_.Get(), milliseconds);
}

void TLgSocketStream::Close() {
  if (socket_.Valid()) ::shutdown(socket_.Get(), SHUT_WR);
  socket_.Close();
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

// The byte streams the output protocols stack on one another: a file, a fixed-size write buffer
// in front of any stream, a growable memory buffer, and a connected socket (Unix or TCP) whose
// sends never raise SIGPIPE.
//
// Thread safety: a stream is used by one thread at a time; the owning protocol serializes it.
// Destructors never throw.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "logging/lg_crypto_stream.h"
#include "logging/lg_platform.h"

namespace parlevo::logging {

// A file opened through LgCreateFile. The protocols open it for writing with CreateAlways or
// OpenAlways; readers with OpenExisting.
class TLgFileStream final : public TLgByteStream {
 public:
  // Raises ELogCenterError with the system's message when the file cannot be opened.
  TLgFileStream(const std::string& file_name, TLgCreationDisposition disposition,
                TLgFileAccess access);

  // Writes everything or raises ELogCenterError with the system's message.
  size_t Write(const void* data, size_t count) override;
  size_t Read(void* data, size_t count) override;
  int64_t Seek(int64_t offset, TLgSeekOrigin origin) override;
  int64_t Size();
  // Closes the file; later writes raise.
  void Close() { handle_.Close(); }
  // The file position after the last Write that went through whole (or the last Seek): what a
  // failed write left behind it is a torn piece.
  int64_t CommittedPosition() const { return committed_; }
  // Cuts the file back to CommittedPosition() when a failed write left bytes behind it.
  void TruncateToCommitted();

 private:
  TLgFileHandle handle_;
  int64_t committed_ = 0;
};

// Collects small writes and hands them to the target in large pieces. The target is not owned
// and must outlive the buffer.
//
// Failures: when the target fails during a flush, the held bytes are dropped (they can no
// longer be delivered in order) and the error propagates.
class TLgBufferedStream final : public TLgByteStream {
 public:
  TLgBufferedStream(TLgByteStream* target, size_t buffer_size);
  // Flushes what is held; a failure here is swallowed, so call Flush first to see it.
  ~TLgBufferedStream() override;
  TLgBufferedStream(const TLgBufferedStream&) = delete;
  TLgBufferedStream& operator=(const TLgBufferedStream&) = delete;

  size_t Write(const void* data, size_t count) override;
  // Passes straight to the target.
  size_t Read(void* data, size_t count) override;
  // Flushes, then seeks the target.
  int64_t Seek(int64_t offset, TLgSeekOrigin origin) override;
  // Writes the held bytes to the target; a short write raises ELogCenterError.
  void Flush();
  // Forgets the held bytes without writing them.
  void Discard() { count_ = 0; }
  size_t Held() const { return count_; }

 private:
  TLgByteStream* target_;
  std::vector<uint8_t> buffer_;
  size_t count_ = 0;
};

// A growable in-memory stream (the compiled body of a packet, a memory dump).
class TLgMemoryStream final : public TLgByteStream {
 public:
  size_t Write(const void* data, size_t count) override;
  size_t Read(void* data, size_t count) override;
  int64_t Seek(int64_t offset, TLgSeekOrigin origin) override;
  const std::string& Bytes() const { return bytes_; }
  // Empties the stream; keep_memory false also gives the memory back.
  void Clear(bool keep_memory);

 private:
  std::string bytes_;
  size_t position_ = 0;
};

// Lets another thread bound the waits of an output's socket calls: once Limit has been called,
// no wait of a call that uses this object lasts beyond its deadline, including a wait already in
// progress (it is woken). A call that need not wait (the peer reads, the buffer has room) still
// goes through after the deadline.
//
// Thread safety: Limit and Deadline may be called from any thread. Waits are made by one thread
// at a time (the owning output serializes its calls).
class TLgWaitLimit {
 public:
  using Clock = std::chrono::steady_clock;

  TLgWaitLimit();
  TLgWaitLimit(const TLgWaitLimit&) = delete;
  TLgWaitLimit& operator=(const TLgWaitLimit&) = delete;

  // Waits end by deadline from now on (an earlier limit set before stays in force).
  void Limit(Clock::time_point deadline) noexcept;
  // Lifts the limit (a new connection of the output).
  void Clear() noexcept;
  // Clock::time_point::max() when there is no limit.
  Clock::time_point Deadline() const noexcept;

  // Waits until fd is ready for events (POLLIN or POLLOUT), at most until deadline and the
  // limit. Raises ELogCenterError "Connection timed out" when deadline passes first and
  // kLgStoppedMessage when the limit does.
  void Wait(int fd, short events, Clock::time_point deadline) const;

 private:
  std::atomic<int64_t> deadline_;  // nanoseconds of Clock; max when there is no limit
  TLgFileHandle wake_;             // an eventfd, readable after a Limit
};

// The error text of a socket call that a wait limit ended.
inline constexpr const char* kLgStoppedMessage = "The output has been stopped";

// The longest line a peer may send where a line is expected (a viewer's greeting).
inline constexpr size_t kLgMaxLineLength = 4096;

// The calls of an output on a connected, non-blocking stream socket. Every call waits at most
// until its deadline (and the wait limit, when one is given); sends use MSG_NOSIGNAL, so a peer
// that has gone away is an error, never a signal. Failures raise ELogCenterError.
class TLgSocketIo {
 public:
  using Clock = std::chrono::steady_clock;

  // limit may be null; it must outlive this object.
  TLgSocketIo(int fd, const TLgWaitLimit* limit) : fd_(fd), limit_(limit) {}

  // Sends every byte by deadline.
  void SendAll(const void* data, size_t count, Clock::time_point deadline) const;
  // What one receive delivered (at least one byte), waiting until deadline; 0 when the peer
  // closed.
  size_t ReceiveSome(void* data, size_t count, Clock::time_point deadline) const;
  // Receives until count bytes came or the peer closed; returns the number received.
  size_t ReceiveAll(void* data, size_t count, Clock::time_point deadline) const;
  // One line without CR and LF, ended by LF, read whole by deadline: a line longer than
  // kLgMaxLineLength raises "Line too long", a peer that closes first raises closed_message.
  std::string ReceiveLine(Clock::time_point deadline, const std::string& closed_message) const;

 private:
  int fd_;
  const TLgWaitLimit* limit_;
};

// The deadline of an operation that may take milliseconds (below 1: no limit).
std::chrono::steady_clock::time_point LgDeadlineAfter(int milliseconds);

// A connected stream socket (the pipe output's), switched to non-blocking calls. Each Write and
// each Read may take up to the stream's time limit; ReadLine reads a whole line within it.
class TLgSocketStream final : public TLgByteStream {
 public:
  // Takes ownership of the connected descriptor. limit may be null and must outlive the stream.
  TLgSocketStream(TLgFileHandle socket, int timeout_ms, const TLgWaitLimit* limit);

  // Raises ELogCenterError with the system's message on failure.
  size_t Write(const void* data, size_t count) override;
  // Returns what one receive call delivered: 0 when the peer closed. Raises on failure.
  size_t Read(void* data, size_t count) override;
  int64_t Seek(int64_t offset, TLgSeekOrigin origin) override { return -1; }

  // See TLgSocketIo::ReceiveLine.
  std::string ReadLine(const std::string& closed_message);
  // Shuts the sending side down and closes.
  void Close();

 private:
  TLgFileHandle socket_;
  int timeout_ms_;
  const TLgWaitLimit* limit_;
};

// Switches a descriptor's non-blocking mode; raises ELogCenterError on failure.
void LgSetNonBlocking(int fd, bool on);

// Sets both socket time limits of a descriptor; raises ELogCenterError on failure.
void LgSetSocketTimeouts(int socket, int milliseconds);

}  // namespace parlevo::logging

// The byte streams the output protocols stack on one another: a file, a fixed-size write buffer
// in front of any stream, a growable memory buffer, and a connected socket (Unix or TCP) whose
// sends never raise SIGPIPE.
//
// Thread safety: a stream is used by one thread at a time; the owning protocol serializes it.
// Destructors never throw.
#pragma once

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

 private:
  TLgFileHandle handle_;
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

// A connected stream socket. Sends loop until everything is gone and use MSG_NOSIGNAL, so a
// peer that has gone away is an error, never a signal. Receive and send time limits are the
// socket's own (SO_RCVTIMEO, SO_SNDTIMEO); a timed-out call raises.
class TLgSocketStream final : public TLgByteStream {
 public:
  // Takes ownership of the connected descriptor.
  explicit TLgSocketStream(TLgFileHandle socket) : socket_(std::move(socket)) {}

  // Raises ELogCenterError with the system's message on failure.
  size_t Write(const void* data, size_t count) override;
  // Returns what one receive call delivered: 0 when the peer closed. Raises on failure.
  size_t Read(void* data, size_t count) override;
  int64_t Seek(int64_t offset, TLgSeekOrigin origin) override { return -1; }

  // Receives until count bytes came or the peer closed; returns the number received.
  size_t ReadFully(void* data, size_t count);
  // Reads one byte at a time up to and including LF; the line without CR and LF. Raises
  // ELogCenterError(closed_message) when the peer closes first.
  std::string ReadLine(const std::string& closed_message);
  // Sets SO_RCVTIMEO and SO_SNDTIMEO (milliseconds; 0 means no limit).
  void SetTimeouts(int milliseconds);
  int Descriptor() const { return socket_.Get(); }
  // Shuts the sending side down and closes.
  void Close();

 private:
  TLgFileHandle socket_;
};

// Sets both socket time limits of a descriptor; raises ELogCenterError on failure.
void LgSetSocketTimeouts(int socket, int milliseconds);

}  // namespace parlevo::logging

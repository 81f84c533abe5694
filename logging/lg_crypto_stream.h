// Writing encrypted log files: a write-only stream that encrypts everything written through it
// with a block cipher in CBC mode and pads the end as PKCS #7 does, the clear header of such a
// file ("LOGE" and the 16-byte initialisation vector) and a fresh vector per file.
//
// An encrypted log file is "LOGE", the vector, then the AES-128-CBC cipher text of the plain log
// stream with PKCS #7 padding; any standard AES implementation decrypts it.
//
// Thread safety: a stream is used by one thread at a time (the file protocol's lock guards it).
// NewEncryptionVector may be called from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "logging/lg_rijndael.h"

namespace parlevo::logging {

enum class TLgSeekOrigin : uint8_t { Begin, Current, End };

// A sequence of bytes the log streams write to and stack on one another (file, buffer, cipher).
class TLgByteStream {
 public:
  virtual ~TLgByteStream() = default;
  // Takes count bytes and returns how many were taken; a failure throws.
  virtual size_t Write(const void* data, size_t count) = 0;
  virtual size_t Read(void* data, size_t count) = 0;
  // Returns the new position.
  virtual int64_t Seek(int64_t offset, TLgSeekOrigin origin) = 0;
};

using TLgEncryptionVector = std::array<uint8_t, 16>;

inline constexpr std::string_view kLgEncryptedSignature = "LOGE";

// A vector from the operating system's random source, so that no two files share one under the
// same key (a clock-derived vector repeats for files opened within the same tick). Throws
// std::system_error when the system cannot supply random bytes.
TLgEncryptionVector NewEncryptionVector();

// Writes the clear start of an encrypted log file: "LOGE" and the vector (20 bytes). Throws
// std::runtime_error "Stream write error" when the target takes fewer bytes.
void WriteEncryptedFileHeader(TLgByteStream& target, const TLgEncryptionVector& vector);

// Encrypts what is written through it and passes the cipher text on to the target. With a block
// cipher only whole blocks reach the target; the rest waits for the next Write or for Finish,
// which pads the last block (1 to 16 bytes of value n, as PKCS #7). The cipher must be set up
// (key, CBC mode, vector) before the first Write.
//
// Failures: when the target throws or takes fewer bytes than offered, the bytes not sent are
// dropped, the error propagates, and every later Write throws that same first error again
// (the cipher chain is broken, so nothing more can be appended in a decryptable way). Finish
// after such a failure writes nothing and does not throw: the error was reported by the write
// that failed.
class TEncryptStream final : public TLgByteStream {
 public:
  // target and cipher are not owned and must outlive this stream; either may be null (no target:
  // nothing is written; no cipher: data passes unchanged).
  TEncryptStream(TLgByteStream* target, TCipher* cipher);
  // Wipes the pending bytes. Does not write the final block: call Finish first.
  ~TEncryptStream() override;
  TEncryptStream(const TEncryptStream&) = delete;
  TEncryptStream& operator=(const TEncryptStream&) = delete;

  // Returns count (0 without a target). Throws std::logic_error after Finish.
  size_t Write(const void* data, size_t count) override;
  // Write-only: always 0.
  size_t Read(void* data, size_t count) override { return 0; }
  // Passed to the target (0 without one).
  int64_t Seek(int64_t offset, TLgSeekOrigin origin) override;

  // Writes the final padded block. Runs once: later calls do nothing.
  void Finish();
  bool Finished() const { return finished_; }
  // True once a write to the target has failed.
  bool Failed() const { return static_cast<bool>(first_error_); }

 private:
  // Encrypts len bytes of chunk in place and hands them to the target.
  void Send(uint8_t* chunk, size_t len);
  void DropPending();

  TLgByteStream* target_;
  TCipher* cipher_;
  size_t block_size_ = 0;  // 0 when the cipher has no blocks (or there is no cipher)
  std::array<uint8_t, 32> pending_{};
  size_t pending_count_ = 0;
  bool finished_ = false;
  std::exception_ptr first_error_;
};

}  // namespace parlevo::logging

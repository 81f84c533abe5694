// The hash family of the log-file encryption: an abstract hash, a base with the byte count, block
// buffer and state shared by block hashes, and MD5 (RFC 1321).
//
// Thread safety: a hash object accumulates state from call to call; one thread at a time per
// object. Distinct objects are independent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace parlevo::logging {

class THash {
 public:
  virtual ~THash() = default;
  THash(const THash&) = delete;
  THash& operator=(const THash&) = delete;

  virtual int DigestSize() const = 0;
  virtual int BlockSize() const = 0;
  // Back to the starting state.
  virtual void Init() = 0;
  virtual void Update(const void* data, size_t len) = 0;
  // Pads, processes the last block and copies the digest into digest (DigestSize bytes) when it
  // is not null. The digest stays readable through GetDigest until the next Init or Update.
  virtual void Final(uint8_t* digest) = 0;
  // Finishes like Final and returns the digest as a string of DigestSize bytes.
  std::string GetDigest();
  // Wipes the buffered input and the state.
  virtual void Burn() = 0;

 protected:
  THash() = default;
};

// Byte count, a block buffer of up to 128 bytes and a state of up to 64 bytes whose first
// DigestSize bytes are the digest once Final has run.
class TBaseHash : public THash {
 public:
  ~TBaseHash() override;
  void Update(const void* data, size_t len) override;
  void Burn() override;

 protected:
  TBaseHash() = default;
  // Processes one full block of BlockSize bytes into the state.
  virtual void Compress(const uint8_t* block) = 0;

  uint64_t count_ = 0;  // bytes hashed since Init
  std::array<uint8_t, 128> buffer_{};
  std::array<uint8_t, 64> state_{};
};

class TMD5 final : public TBaseHash {
 public:
  static constexpr int kDigestSize = 16;
  static constexpr int kBlockSize = 64;

  TMD5();
  // Initialises, then hashes the given bytes.
  TMD5(const void* data, size_t len);
  ~TMD5() override;

  int DigestSize() const override { return kDigestSize; }
  int BlockSize() const override { return kBlockSize; }
  void Init() override;
  void Final(uint8_t* digest) override;
  // The DER prefix of an MD5 DigestInfo, which a signature puts before the digest.
  static std::array<uint8_t, 18> DerPrefix();

 protected:
  void Compress(const uint8_t* block) override;
};

}  // namespace parlevo::logging

// The block cipher family behind encrypted log files: an abstract cipher, a block cipher with its
// chaining modes and the AES block cipher (Rijndael with 128-bit blocks, FIPS-197) with keys of
// 1 to 32 bytes.
//
// Thread safety: a cipher object carries its chaining state (the vector) from call to call, so
// one object must be used by one thread at a time. Distinct objects are independent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace parlevo::logging {

// Chaining modes. Values outside 0-5 are programming errors: using one throws std::logic_error
// "Cipher mode not supported".
enum class TCipherMode : uint8_t {
  ECB = 0,  // each whole block on its own
  CFB = 1,  // cipher feedback in segments of FeedbackSize bytes
  CBC = 2,  // cipher block chaining; what encrypted log files use
  OFB = 3,  // output feedback, continuing byte by byte across calls
  IGE = 4,  // infinite garble extension: two vector blocks (previous cipher and plain block)
  CTR = 5,  // counter: the vector block, encrypted, is the keystream; then +1 (big-endian)
};

// Something that encrypts and decrypts bytes in place under a key set at construction.
class TCipher {
 public:
  virtual ~TCipher() = default;
  TCipher(const TCipher&) = delete;
  TCipher& operator=(const TCipher&) = delete;

  // Forgets the key and the vector; the object is unusable until SetKey is called again.
  virtual void Burn() = 0;
  // The vector as bytes in a string.
  virtual std::string GetIV() const = 0;
  virtual void SetIV(std::string_view iv) = 0;
  // Copies up to size bytes of the vector into buffer; returns how many were copied.
  virtual size_t GetIV(uint8_t* buffer, size_t size) const;
  virtual void SetIV(const uint8_t* buffer, size_t size);

  // Block size in bytes; -1 for a cipher without blocks.
  virtual int GetBlockSize() const { return -1; }
  virtual bool IsBlockCipher() const { return false; }
  virtual std::string GetAlgorithmName() const = 0;

  virtual void SetKey(std::span<const uint8_t> key) = 0;

  virtual void Encrypt(uint8_t* buffer, size_t len) = 0;
  virtual void Decrypt(uint8_t* buffer, size_t len) = 0;
  // Copies source to dest (which may be the same buffer), then works on dest in place.
  void Encrypt(const uint8_t* source, uint8_t* dest, size_t len);
  void Decrypt(const uint8_t* source, uint8_t* dest, size_t len);

 protected:
  TCipher() = default;
};

// A cipher on fixed-size blocks, chained by Mode. The vector storage belongs to the concrete
// cipher (it must hold 3 blocks) and is handed in by its constructor.
class TBlockCipher : public TCipher {
 public:
  TCipherMode Mode() const { return mode_; }
  // Takes effect for the next Encrypt/Decrypt; set the vector after choosing the mode, since the
  // number of vector bytes depends on it.
  void SetMode(TCipherMode mode) { mode_ = mode; }
  int FeedbackSize() const { return feedback_size_; }
  // Sizes from 1 to block size - 1 are taken; anything else selects the block size.
  void SetFeedbackSize(int size);

  // Wipes the vector storage.
  void Burn() override;
  using TCipher::GetIV;
  using TCipher::SetIV;
  // The vector is block size x the mode's vector blocks long (ECB 0, IGE 2, the others 1).
  std::string GetIV() const override;
  // A longer vector is cut to the mode's length; a shorter one is filled up with zero bytes.
  void SetIV(std::string_view iv) override;
  size_t GetIV(uint8_t* buffer, size_t size) const override;
  void SetIV(const uint8_t* buffer, size_t size) override;
  bool IsBlockCipher() const override { return true; }

  using TCipher::Decrypt;
  using TCipher::Encrypt;
  // Works in the current mode and advances the vector, so that consecutive calls continue one
  // chain. ECB and IGE need whole blocks (std::invalid_argument otherwise); CBC encrypts a
  // trailing partial block by XOR with the encrypted vector.
  void Encrypt(uint8_t* buffer, size_t len) override;
  void Decrypt(uint8_t* buffer, size_t len) override;

  // One block, source and dest may be the same buffer.
  virtual void EncryptBlock(const uint8_t* source, uint8_t* dest) = 0;
  virtual void DecryptBlock(const uint8_t* source, uint8_t* dest) = 0;
  void EncryptBlock(uint8_t* block) { EncryptBlock(block, block); }
  void DecryptBlock(uint8_t* block) { DecryptBlock(block, block); }

  virtual int MaxKeySize() const { return -1; }
  virtual int DefaultKeySize() const { return -1; }

 protected:
  // vector must stay valid for the life of this object and hold 3 blocks.
  explicit TBlockCipher(std::span<uint8_t> vector);
  // Vector length of the current mode in bytes.
  size_t VectorSize() const;

 private:
  void CheckWholeBlocks(size_t len) const;

  TCipherMode mode_ = TCipherMode::ECB;
  int feedback_size_ = 0;
  std::span<uint8_t> vector_;
  size_t position_ = 0;  // offset inside the current OFB keystream block
};

// AES: 128-bit blocks; keys of 1 to 32 bytes are padded with zero bytes to 16, 24 or 32 bytes
// (10, 12 or 14 rounds). Memory of the object is locked against swapping where the system allows.
class TRijndael final : public TBlockCipher {
 public:
  static constexpr int kBlockSize = 16;
  static constexpr int kMaxKeySize = 32;

  // Throws std::invalid_argument "Rijndael: Invalid key size - <n>" for an empty key or one
  // longer than 32 bytes. Mode starts as ECB, the vector as zero bytes.
  explicit TRijndael(std::span<const uint8_t> key);
  ~TRijndael() override;

  void Burn() override;
  int GetBlockSize() const override { return kBlockSize; }
  std::string GetAlgorithmName() const override { return "Rijndael"; }
  // Burns first, then expands the key; same errors as the constructor.
  void SetKey(std::span<const uint8_t> key) override;
  using TBlockCipher::DecryptBlock;
  using TBlockCipher::EncryptBlock;
  void EncryptBlock(const uint8_t* source, uint8_t* dest) override;
  void DecryptBlock(const uint8_t* source, uint8_t* dest) override;
  int MaxKeySize() const override { return kMaxKeySize; }
  int DefaultKeySize() const override { return 16; }
  int Rounds() const { return rounds_; }

 private:
  std::array<uint8_t, 3 * kBlockSize> vector_buffer_{};
  int rounds_ = 0;
  std::array<uint32_t, 60> encrypt_keys_{};
  std::array<uint32_t, 60> decrypt_keys_{};
  bool locked_ = false;
};

}  // namespace parlevo::logging

#include "logging/lg_rijndael.h"

#include <sys/mman.h>

#include <algorithm>
#include <stdexcept>

#include "logging/lg_crypto_wipe.h"

namespace parlevo::logging {

namespace {

// ---- Tables, computed at compile time from the field arithmetic of GF(2^8) ----

constexpr uint8_t XTime(uint8_t x) {
  return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1B : 0x00));
}

constexpr uint8_t GMul(uint8_t a, uint8_t b) {
  uint8_t p = 0;
  while (b != 0) {
    if ((b & 1) != 0) p ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return p;
}

constexpr uint8_t Rotl8(uint8_t x, int n) {
  return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr uint32_t Rotr32(uint32_t x, int n) {
  return n == 0 ? x : (x >> n) | (x << (32 - n));
}

constexpr std::array<uint8_t, 256> MakeSbox() {
  // Walk the multiplicative group with generator 3 to pair every element with its inverse.
  std::array<uint8_t, 256> inverse{};
  std::array<uint8_t, 256> power{};
  uint8_t x = 1;
  for (int i = 0; i < 255; ++i) {
    power[i] = x;
    x = GMul(x, 3);
  }
  for (int i = 0; i < 255; ++i) inverse[power[i]] = power[(255 - i) % 255];
  std::array<uint8_t, 256> sbox{};
  for (int i = 0; i < 256; ++i) {
    uint8_t b = inverse[i];
    sbox[i] =
        static_cast<uint8_t>(b ^ Rotl8(b, 1) ^ Rotl8(b, 2) ^ Rotl8(b, 3) ^ Rotl8(b, 4) ^ 0x63);
  }
  return sbox;
}

constexpr std::array<uint8_t, 256> kSbox = MakeSbox();

constexpr std::array<uint8_t, 256> MakeInverseSbox() {
  std::array<uint8_t, 256> inv{};
  for (int i = 0; i < 256; ++i) inv[kSbox[i]] = static_cast<uint8_t>(i);
  return inv;
}

constexpr std::array<uint8_t, 256> kInverseSbox = MakeInverseSbox();

// Round tables: one column of SubBytes + MixColumns (encryption) or InvSubBytes +
// InvMixColumns (decryption), rotated for each of the four rows.
struct RoundTables {
  std::array<std::array<uint32_t, 256>, 4> te{};
  std::array<std::array<uint32_t, 256>, 4> td{};
};

constexpr RoundTables MakeRoundTables() {
  RoundTables t;
  for (int i = 0; i < 256; ++i) {
    uint8_t s = kSbox[i];
    uint32_t e = (uint32_t{GMul(s, 2)} << 24) | (uint32_t{s} << 16) | (uint32_t{s} << 8) |
                 uint32_t{GMul(s, 3)};
    uint8_t v = kInverseSbox[i];
    uint32_t d = (uint32_t{GMul(v, 14)} << 24) | (uint32_t{GMul(v, 9)} << 16) |
                 (uint32_t{GMul(v, 13)} << 8) | uint32_t{GMul(v, 11)};
    for (int r = 0; r < 4; ++r) {
      t.te[r][i] = Rotr32(e, 8 * r);
      t.td[r][i] = Rotr32(d, 8 * r);
    }
  }
  return t;
}

constexpr RoundTables kTables = MakeRoundTables();
const auto& Te0 = kTables.te[0];
const auto& Te1 = kTables.te[1];
const auto& Te2 = kTables.te[2];
const auto& Te3 = kTables.te[3];
const auto& Td0 = kTables.td[0];
const auto& Td1 = kTables.td[1];
const auto& Td2 = kTables.td[2];
const auto& Td3 = kTables.td[3];

uint32_t LoadBE(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void StoreBE(uint32_t v, uint8_t* p) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t SubWord(uint32_t w) {
  return (uint32_t{kSbox[w >> 24]} << 24) | (uint32_t{kSbox[(w >> 16) & 0xFF]} << 16) |
         (uint32_t{kSbox[(w >> 8) & 0xFF]} << 8) | uint32_t{kSbox[w & 0xFF]};
}

uint8_t B(uint32_t w, int shift) {
  return static_cast<uint8_t>(w >> shift);
}

[[noreturn]] void ThrowModeNotSupported() {
  throw std::logic_error("Cipher mode not supported");
}

void XorBytes(uint8_t* dest, const uint8_t* with, size_t len) {
  for (size_t i = 0; i < len; ++i) dest[i] ^= with[i];
}

// Adds 1 to the block as one big-endian number.
void Increment(uint8_t* block, size_t size) {
  for (size_t i = size; i-- > 0;) {
    if (++block[i] != 0) break;
  }
}

}  // namespace

// ---- TCipher ----

size_t TCipher::GetIV(uint8_t* buffer, size_t size) const {
  std::string iv = GetIV();
  size_t n = std::min(size, iv.size());
  std::copy_n(iv.data(), n, buffer);
  LgWipe(iv);
  return n;
}

void TCipher::SetIV(const uint8_t* buffer, size_t size) {
  std::string iv(reinterpret_cast<const char*>(buffer), size);
  SetIV(std::string_view(iv));
  LgWipe(iv);
}

void TCipher::Encrypt(const uint8_t* source, uint8_t* dest, size_t len) {
  if (source != dest) std::copy_n(source, len, dest);
  Encrypt(dest, len);
}

void TCipher::Decrypt(const uint8_t* source, uint8_t* dest, size_t len) {
  if (source != dest) std::copy_n(source, len, dest);
  Decrypt(dest, len);
}

// ---- TBlockCipher ----

TBlockCipher::TBlockCipher(std::span<uint8_t> vector)
    : feedback_size_(static_cast<int>(vector.size() / 3)), vector_(vector) {}

void TBlockCipher::SetFeedbackSize(int size) {
  int block = static_cast<int>(vector_.size() / 3);
  feedback_size_ = (size >= 1 && size < block) ? size : block;
}

size_t TBlockCipher::VectorSize() const {
  size_t block = vector_.size() / 3;
  switch (mode_) {
    case TCipherMode::ECB:
      return 0;
    case TCipherMode::CFB:
    case TCipherMode::CBC:
    case TCipherMode::OFB:
    case TCipherMode::CTR:
      return block;
    case TCipherMode::IGE:
      return 2 * block;
  }
  ThrowModeNotSupported();
}

void TBlockCipher::Burn() {
  LgWipe(vector_.data(), vector_.size());
  position_ = 0;
}

std::string TBlockCipher::GetIV() const {
  return std::string(reinterpret_cast<const char*>(vector_.data()), VectorSize());
}

void TBlockCipher::SetIV(std::string_view iv) {
  SetIV(reinterpret_cast<const uint8_t*>(iv.data()), iv.size());
}

size_t TBlockCipher::GetIV(uint8_t* buffer, size_t size) const {
  size_t n = std::min(size, VectorSize());
  std::copy_n(vector_.data(), n, buffer);
  return n;
}

void TBlockCipher::SetIV(const uint8_t* buffer, size_t size) {
  size_t want = VectorSize();
  LgWipe(vector_.data(), vector_.size());
  std::copy_n(buffer, std::min(size, want), vector_.data());
  position_ = 0;
}

void TBlockCipher::CheckWholeBlocks(size_t len) const {
  if (len % (vector_.size() / 3) != 0) {
    throw std::invalid_argument("Cipher mode needs whole blocks");
  }
}

void TBlockCipher::Encrypt(uint8_t* buffer, size_t len) {
  const size_t bs = vector_.size() / 3;
  uint8_t* chain = vector_.data();        // first vector block
  uint8_t* second = vector_.data() + bs;  // second vector block (IGE)
  uint8_t* scratch = vector_.data() + 2 * bs;
  switch (mode_) {
    case TCipherMode::ECB:
      CheckWholeBlocks(len);
      for (size_t i = 0; i < len; i += bs) EncryptBlock(buffer + i, buffer + i);
      return;
    case TCipherMode::CBC: {
      size_t whole = len - len % bs;
      for (size_t i = 0; i < whole; i += bs) {
        XorBytes(buffer + i, chain, bs);
        EncryptBlock(buffer + i, buffer + i);
        std::copy_n(buffer + i, bs, chain);
      }
      if (whole < len) {
        EncryptBlock(chain, scratch);
        XorBytes(buffer + whole, scratch, len - whole);
        LgWipe(scratch, bs);
      }
      return;
    }
    case TCipherMode::CFB: {
      const size_t seg = static_cast<size_t>(feedback_size_);
      for (size_t i = 0; i < len; i += seg) {
        size_t n = std::min(seg, len - i);
        EncryptBlock(chain, scratch);
        XorBytes(buffer + i, scratch, n);
        // Shift the register left by n bytes and feed in the cipher text.
        std::copy(chain + n, chain + bs, chain);
        std::copy_n(buffer + i, n, chain + bs - n);
      }
      LgWipe(scratch, bs);
      return;
    }
    case TCipherMode::OFB:
      for (size_t i = 0; i < len; ++i) {
        if (position_ == 0) EncryptBlock(chain, chain);
        buffer[i] ^= chain[position_];
        position_ = (position_ + 1) % bs;
      }
      return;
    case TCipherMode::IGE:
      CheckWholeBlocks(len);
      for (size_t i = 0; i < len; i += bs) {
        uint8_t* block = buffer + i;
        std::copy_n(block, bs, scratch);  // plain block, becomes the next "previous plain"
        XorBytes(block, chain, bs);
        EncryptBlock(block, block);
        XorBytes(block, second, bs);
        std::copy_n(scratch, bs, second);
        std::copy_n(block, bs, chain);
      }
      LgWipe(scratch, bs);
      return;
    case TCipherMode::CTR:
      for (size_t i = 0; i < len; i += bs) {
        size_t n = std::min(bs, len - i);
        EncryptBlock(chain, scratch);
        XorBytes(buffer + i, scratch, n);
        Increment(chain, bs);
      }
      LgWipe(scratch, bs);
      return;
  }
  ThrowModeNotSupported();
}

void TBlockCipher::Decrypt(uint8_t* buffer, size_t len) {
  const size_t bs = vector_.size() / 3;
  uint8_t* chain = vector_.data();
  uint8_t* second = vector_.data() + bs;
  uint8_t* scratch = vector_.data() + 2 * bs;
  switch (mode_) {
    case TCipherMode::ECB:
      CheckWholeBlocks(len);
      for (size_t i = 0; i < len; i += bs) DecryptBlock(buffer + i, buffer + i);
      return;
    case TCipherMode::CBC: {
      size_t whole = len - len % bs;
      for (size_t i = 0; i < whole; i += bs) {
        std::copy_n(buffer + i, bs, scratch);  // cipher block, the next chaining value
        DecryptBlock(buffer + i, buffer + i);
        XorBytes(buffer + i, chain, bs);
        std::copy_n(scratch, bs, chain);
      }
      if (whole < len) {
        EncryptBlock(chain, scratch);
        XorBytes(buffer + whole, scratch, len - whole);
      }
      LgWipe(scratch, bs);
      return;
    }
    case TCipherMode::CFB: {
      const size_t seg = static_cast<size_t>(feedback_size_);
      std::array<uint8_t, 32> cipher_text{};
      for (size_t i = 0; i < len; i += seg) {
        size_t n = std::min(seg, len - i);
        std::copy_n(buffer + i, n, cipher_text.data());
        EncryptBlock(chain, scratch);
        XorBytes(buffer + i, scratch, n);
        std::copy(chain + n, chain + bs, chain);
        std::copy_n(cipher_text.data(), n, chain + bs - n);
      }
      LgWipe(scratch, bs);
      return;
    }
    case TCipherMode::OFB:
    case TCipherMode::CTR:
      // Both XOR with a keystream that does not depend on the data.
      Encrypt(buffer, len);
      return;
    case TCipherMode::IGE:
      CheckWholeBlocks(len);
      for (size_t i = 0; i < len; i += bs) {
        uint8_t* block = buffer + i;
        std::copy_n(block, bs, scratch);  // cipher block, the next "previous cipher"
        XorBytes(block, second, bs);
        DecryptBlock(block, block);
        XorBytes(block, chain, bs);
        std::copy_n(scratch, bs, chain);
        std::copy_n(block, bs, second);
      }
      LgWipe(scratch, bs);
      return;
  }
  ThrowModeNotSupported();
}

// ---- TRijndael ----

TRijndael::TRijndael(std::span<const uint8_t> key) : TBlockCipher(vector_buffer_) {
  // Keep the key schedule out of swap; without the privilege the cipher still works.
  locked_ = mlock(this, sizeof(*this)) == 0;
  SetKey(key);
}

TRijndael::~TRijndael() {
  Burn();
  if (locked_) munlock(this, sizeof(*this));
}

void TRijndael::Burn() {
  LgWipe(encrypt_keys_.data(), sizeof(encrypt_keys_));
  LgWipe(decrypt_keys_.data(), sizeof(decrypt_keys_));
  TBlockCipher::Burn();
  rounds_ = 0;
}

void TRijndael::SetKey(std::span<const uint8_t> key) {
  Burn();
  if (key.empty() || key.size() > static_cast<size_t>(kMaxKeySize)) {
    throw std::invalid_argument("Rijndael: Invalid key size - " + std::to_string(key.size()));
  }
  std::array<uint8_t, kMaxKeySize> padded{};
  std::copy(key.begin(), key.end(), padded.begin());
  const int nk = key.size() <= 16 ? 4 : key.size() <= 24 ? 6 : 8;
  rounds_ = nk + 6;
  const int total = 4 * (rounds_ + 1);

  uint32_t* w = encrypt_keys_.data();
  for (int i = 0; i < nk; ++i) w[i] = LoadBE(padded.data() + 4 * i);
  uint8_t rcon = 1;
  for (int i = nk; i < total; ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = SubWord((t << 8) | (t >> 24)) ^ (uint32_t{rcon} << 24);
      rcon = XTime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      t = SubWord(t);
    }
    w[i] = w[i - nk] ^ t;
  }
  LgWipe(padded.data(), padded.size());

  // Decryption keys: the rounds in reverse order, the inner ones passed through InvMixColumns
  // (Td of S-box of a byte is InvMixColumns of that byte's column contribution).
  uint32_t* d = decrypt_keys_.data();
  for (int r = 0; r <= rounds_; ++r) {
    for (int j = 0; j < 4; ++j) {
      uint32_t k = w[4 * (rounds_ - r) + j];
      if (r != 0 && r != rounds_) {
        k = Td0[kSbox[B(k, 24)]] ^ Td1[kSbox[B(k, 16)]] ^ Td2[kSbox[B(k, 8)]] ^ Td3[kSbox[B(k, 0)]];
      }
      d[4 * r + j] = k;
    }
  }
}

void TRijndael::EncryptBlock(const uint8_t* source, uint8_t* dest) {
  if (rounds_ == 0) throw std::logic_error("Rijndael: no key set");
  const uint32_t* rk = encrypt_keys_.data();
  uint32_t s0 = LoadBE(source) ^ rk[0];
  uint32_t s1 = LoadBE(source + 4) ^ rk[1];
  uint32_t s2 = LoadBE(source + 8) ^ rk[2];
  uint32_t s3 = LoadBE(source + 12) ^ rk[3];
  for (int r = 1; r < rounds_; ++r) {
    rk += 4;
    uint32_t t0 = Te0[B(s0, 24)] ^ Te1[B(s1, 16)] ^ Te2[B(s2, 8)] ^ Te3[B(s3, 0)] ^ rk[0];
    uint32_t t1 = Te0[B(s1, 24)] ^ Te1[B(s2, 16)] ^ Te2[B(s3, 8)] ^ Te3[B(s0, 0)] ^ rk[1];
    uint32_t t2 = Te0[B(s2, 24)] ^ Te1[B(s3, 16)] ^ Te2[B(s0, 8)] ^ Te3[B(s1, 0)] ^ rk[2];
    uint32_t t3 = Te0[B(s3, 24)] ^ Te1[B(s0, 16)] ^ Te2[B(s1, 8)] ^ Te3[B(s2, 0)] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return ((uint32_t{kSbox[B(a, 24)]} << 24) | (uint32_t{kSbox[B(b, 16)]} << 16) |
            (uint32_t{kSbox[B(c, 8)]} << 8) | uint32_t{kSbox[B(d, 0)]}) ^
           k;
  };
  StoreBE(last(s0, s1, s2, s3, rk[0]), dest);
  StoreBE(last(s1, s2, s3, s0, rk[1]), dest + 4);
  StoreBE(last(s2, s3, s0, s1, rk[2]), dest + 8);
  StoreBE(last(s3, s0, s1, s2, rk[3]), dest + 12);
}

// The mirror of EncryptBlock with the inverse tables and the opposite column rotation. The two are
// kept apart on purpose: each reads as the cipher's textbook round, and a shared template over
// tables and rotation would hide which direction a line belongs to.
void TRijndael::DecryptBlock(const uint8_t* source, uint8_t* dest) {
  if (rounds_ == 0) throw std::logic_error("Rijndael: no key set");
  const uint32_t* rk = decrypt_keys_.data();
  uint32_t s0 = LoadBE(source) ^ rk[0];
  uint32_t s1 = LoadBE(source + 4) ^ rk[1];
  uint32_t s2 = LoadBE(source + 8) ^ rk[2];
  uint32_t s3 = LoadBE(source + 12) ^ rk[3];
  for (int r = 1; r < rounds_; ++r) {
    rk += 4;
    uint32_t t0 = Td0[B(s0, 24)] ^ Td1[B(s3, 16)] ^ Td2[B(s2, 8)] ^ Td3[B(s1, 0)] ^ rk[0];
    uint32_t t1 = Td0[B(s1, 24)] ^ Td1[B(s0, 16)] ^ Td2[B(s3, 8)] ^ Td3[B(s2, 0)] ^ rk[1];
    uint32_t t2 = Td0[B(s2, 24)] ^ Td1[B(s1, 16)] ^ Td2[B(s0, 8)] ^ Td3[B(s3, 0)] ^ rk[2];
    uint32_t t3 = Td0[B(s3, 24)] ^ Td1[B(s2, 16)] ^ Td2[B(s1, 8)] ^ Td3[B(s0, 0)] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return ((uint32_t{kInverseSbox[B(a, 24)]} << 24) | (uint32_t{kInverseSbox[B(b, 16)]} << 16) |
            (uint32_t{kInverseSbox[B(c, 8)]} << 8) | uint32_t{kInverseSbox[B(d, 0)]}) ^
           k;
  };
  StoreBE(last(s0, s3, s2, s1, rk[0]), dest);
  StoreBE(last(s1, s0, s3, s2, rk[1]), dest + 4);
  StoreBE(last(s2, s1, s0, s3, rk[2]), dest + 8);
  StoreBE(last(s3, s2, s1, s0, rk[3]), dest + 12);
}

}  // namespace parlevo::logging

#include "logging/lg_md5.h"

#include <algorithm>
#include <cstring>

#include "logging/lg_crypto_wipe.h"

namespace parlevo::logging {

namespace {

uint32_t Load32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void Store32(uint32_t v, uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Rotl(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

// Per-step shift amounts and sine-derived constants of RFC 1321.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

}  // namespace

std::string THash::GetDigest() {
  std::string digest(static_cast<size_t>(DigestSize()), '\0');
  Final(reinterpret_cast<uint8_t*>(digest.data()));
  return digest;
}

TBaseHash::~TBaseHash() {
  LgWipe(buffer_.data(), buffer_.size());
}

void TBaseHash::Update(const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  const size_t block = static_cast<size_t>(BlockSize());
  size_t held = static_cast<size_t>(count_ % block);
  count_ += len;
  if (held > 0) {
    size_t take = std::min(len, block - held);
    std::copy_n(p, take, buffer_.data() + held);
    p += take;
    len -= take;
    if (held + take < block) return;
    Compress(buffer_.data());
  }
  for (; len >= block; p += block, len -= block) Compress(p);
  std::copy_n(p, len, buffer_.data());
}

void TBaseHash::Burn() {
  LgWipe(buffer_.data(), buffer_.size());
  LgWipe(state_.data(), state_.size());
  count_ = 0;
}

TMD5::TMD5() {
  Init();
}

TMD5::TMD5(const void* data, size_t len) {
  Init();
  Update(data, len);
}

TMD5::~TMD5() {
  Burn();
}

void TMD5::Init() {
  Burn();
  Store32(0x67452301, state_.data());
  Store32(0xefcdab89, state_.data() + 4);
  Store32(0x98badcfe, state_.data() + 8);
  Store32(0x10325476, state_.data() + 12);
}

void TMD5::Final(uint8_t* digest) {
  const uint64_t bits = count_ * 8;
  size_t held = static_cast<size_t>(count_ % kBlockSize);
  buffer_[held++] = 0x80;
  if (held > kBlockSize - 8) {
    std::fill(buffer_.begin() + static_cast<ptrdiff_t>(held), buffer_.begin() + kBlockSize, 0);
    Compress(buffer_.data());
    held = 0;
  }
  std::fill(buffer_.begin() + static_cast<ptrdiff_t>(held), buffer_.begin() + kBlockSize - 8, 0);
  for (int i = 0; i < 8; ++i) buffer_[kBlockSize - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
  Compress(buffer_.data());
  LgWipe(buffer_.data(), buffer_.size());
  if (digest != nullptr) std::copy_n(state_.data(), kDigestSize, digest);
  count_ = 0;
}

std::array<uint8_t, 18> TMD5::DerPrefix() {
  return {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
          0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
}

void TMD5::Compress(const uint8_t* block) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = Load32(block + 4 * i);
  uint32_t a0 = Load32(state_.data()), b0 = Load32(state_.data() + 4);
  uint32_t c0 = Load32(state_.data() + 8), d0 = Load32(state_.data() + 12);
  uint32_t a = a0, b = b0, c = c0, d = d0;
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    uint32_t next = b + Rotl(a + f + kSine[i] + m[g], kShift[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  Store32(a0 + a, state_.data());
  Store32(b0 + b, state_.data() + 4);
  Store32(c0 + c, state_.data() + 8);
  Store32(d0 + d, state_.data() + 12);
  LgWipe(m, sizeof(m));
}

}  // namespace parlevo::logging

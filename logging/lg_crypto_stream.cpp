#include "logging/lg_crypto_stream.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "logging/lg_crypto_wipe.h"

namespace parlevo::logging {

namespace {

// Chunks handed to the cipher and the target at once.
constexpr size_t kChunkSize = 1024;

void WriteAll(TLgByteStream& target, const void* data, size_t count) {
  if (target.Write(data, count) != count) throw std::runtime_error("Stream write error");
}

}  // namespace

TLgEncryptionVector NewEncryptionVector() {
  TLgEncryptionVector vector{};
  size_t filled = 0;
  while (filled < vector.size()) {
    ssize_t n = getrandom(vector.data() + filled, vector.size() - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    filled += static_cast<size_t>(n);
  }
  return vector;
}

void WriteEncryptedFileHeader(TLgByteStream& target, const TLgEncryptionVector& vector) {
  std::array<uint8_t, 20> header{};
  std::copy(kLgEncryptedSignature.begin(), kLgEncryptedSignature.end(), header.begin());
  std::copy(vector.begin(), vector.end(), header.begin() + 4);
  WriteAll(target, header.data(), header.size());
}

TEncryptStream::TEncryptStream(TLgByteStream* target, TCipher* cipher)
    : target_(target), cipher_(cipher) {
  if (cipher_ != nullptr && cipher_->IsBlockCipher()) {
    int size = cipher_->GetBlockSize();
    if (size <= 0 || static_cast<size_t>(size) > pending_.size()) {
      throw std::invalid_argument("Unsupported cipher block size");
    }
    block_size_ = static_cast<size_t>(size);
  }
}

TEncryptStream::~TEncryptStream() {
  DropPending();
}

void TEncryptStream::DropPending() {
  LgWipe(pending_.data(), pending_.size());
  pending_count_ = 0;
}

void TEncryptStream::Send(uint8_t* chunk, size_t len) {
  try {
    cipher_->Encrypt(chunk, len);
    WriteAll(*target_, chunk, len);
  } catch (...) {
    first_error_ = std::current_exception();
    DropPending();
    LgWipe(chunk, len);
    throw;
  }
}

size_t TEncryptStream::Write(const void* data, size_t count) {
  if (target_ == nullptr) return 0;
  if (first_error_) std::rethrow_exception(first_error_);
  if (finished_) throw std::logic_error("Encrypted stream already finished");
  if (cipher_ == nullptr) return target_->Write(data, count);

  const auto* in = static_cast<const uint8_t*>(data);
  size_t left = count;
  std::array<uint8_t, kChunkSize> chunk;
  if (block_size_ == 0) {
    // A cipher without blocks encrypts each chunk whole.
    while (left > 0) {
      size_t n = std::min(left, kChunkSize);
      std::copy_n(in, n, chunk.data());
      Send(chunk.data(), n);
      in += n;
      left -= n;
    }
    LgWipe(chunk.data(), chunk.size());
    return count;
  }

  while (pending_count_ + left >= block_size_) {
    // The pending bytes first, then new data, up to the chunk size in whole blocks.
    size_t total = std::min(kChunkSize, pending_count_ + left);
    total -= total % block_size_;
    std::copy_n(pending_.data(), pending_count_, chunk.data());
    size_t take = total - pending_count_;
    std::copy_n(in, take, chunk.data() + pending_count_);
    in += take;
    left -= take;
    DropPending();
    Send(chunk.data(), total);
  }
  std::copy_n(in, left, pending_.data() + pending_count_);
  pending_count_ += left;
  LgWipe(chunk.data(), chunk.size());
  return count;
}

int64_t TEncryptStream::Seek(int64_t offset, TLgSeekOrigin origin) {
  return target_ == nullptr ? 0 : target_->Seek(offset, origin);
}

void TEncryptStream::Finish() {
  if (finished_) return;
  finished_ = true;
  if (target_ == nullptr || cipher_ == nullptr || block_size_ == 0 || first_error_) return;
  std::array<uint8_t, 32> block;
  const size_t pad = block_size_ - pending_count_;  // 1 .. block size
  std::copy_n(pending_.data(), pending_count_, block.data());
  std::fill_n(block.data() + pending_count_, pad, static_cast<uint8_t>(pad));
  DropPending();
  Send(block.data(), block_size_);
  LgWipe(block.data(), block.size());
}

}  // namespace parlevo::logging

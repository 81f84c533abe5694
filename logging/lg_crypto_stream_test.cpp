#include "logging/lg_crypto_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace parlevo::logging {
namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

const TLgEncryptionVector kKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                  0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

std::string ToHex(const uint8_t* data, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < len; ++i) {
    s += kDigits[data[i] >> 4];
    s += kDigits[data[i] & 15];
  }
  return s;
}

class MemorySink : public TLgByteStream {
 public:
  size_t Write(const void* data, size_t count) override {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + count);
    return count;
  }
  size_t Read(void*, size_t) override { return 0; }
  int64_t Seek(int64_t, TLgSeekOrigin) override { return static_cast<int64_t>(bytes.size()); }
  Bytes bytes;
};

// Takes limit bytes, then fails: by throwing, or by taking fewer bytes than offered.
class FailingSink : public MemorySink {
 public:
  FailingSink(size_t limit, bool throws) : limit_(limit), throws_(throws) {}
  size_t Write(const void* data, size_t count) override {
    if (bytes.size() + count <= limit_) return MemorySink::Write(data, count);
    if (throws_) throw std::runtime_error("disk full #" + std::to_string(++failures));
    return MemorySink::Write(data, limit_ - bytes.size());
  }
  int failures = 0;

 private:
  size_t limit_;
  bool throws_;
};

class FileSink : public TLgByteStream {
 public:
  explicit FileSink(const fs::path& path) : out_(path, std::ios::binary | std::ios::trunc) {}
  size_t Write(const void* data, size_t count) override {
    out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(count));
    return out_ ? count : 0;
  }
  size_t Read(void*, size_t) override { return 0; }
  int64_t Seek(int64_t, TLgSeekOrigin) override { return out_.tellp(); }

 private:
  std::ofstream out_;
};

class EncryptStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("lg_crypto_stream_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::unique_ptr<TRijndael> CbcCipher(const TLgEncryptionVector& iv) {
    auto cipher = std::make_unique<TRijndael>(kKey);
    cipher->SetMode(TCipherMode::CBC);
    cipher->SetIV(iv.data(), iv.size());
    return cipher;
  }

  static Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  static void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }

  // Runs "openssl enc" with AES-128-CBC and PKCS #7 padding; returns its exit code.
  static int Openssl(bool decrypt, const TLgEncryptionVector& iv, const fs::path& in,
                     const fs::path& out) {
    std::string command = std::string("openssl enc ") + (decrypt ? "-d " : "") +
                          "-aes-128-cbc -K " + ToHex(kKey.data(), kKey.size()) + " -iv " +
                          ToHex(iv.data(), iv.size()) + " -in " + in.string() + " -out " +
                          out.string() + " 2>/dev/null";
    return std::system(command.c_str());
  }

  fs::path dir_;
};

TEST_F(EncryptStreamTest, NothingWrittenFinishesAsOneBlockOfPadding) {
  const TLgEncryptionVector iv = NewEncryptionVector();
  auto cipher = CbcCipher(iv);
  MemorySink sink;
  TEncryptStream stream(&sink, cipher.get());
  EXPECT_EQ(stream.Write("", 0), 0u);
  stream.Finish();
  ASSERT_EQ(sink.bytes.size(), 16u);

  // The block is 16 bytes of value 16, chained with the vector.
  TRijndael plain(kKey);
  uint8_t expected[16];
  for (size_t i = 0; i < 16; ++i) expected[i] = static_cast<uint8_t>(16 ^ iv[i]);
  plain.EncryptBlock(expected);
  EXPECT_EQ(ToHex(sink.bytes.data(), 16), ToHex(expected, 16));
}

TEST_F(EncryptStreamTest, WholeBlocksLeaveAtOnceAndTheRestAtFinish) {
  const TLgEncryptionVector iv{};
  auto cipher = CbcCipher(iv);
  MemorySink sink;
  TEncryptStream stream(&sink, cipher.get());
  const std::string text = "0123456789abcdefghij";
  EXPECT_EQ(stream.Write(text.data(), 10), 10u);
  EXPECT_EQ(sink.bytes.size(), 0u);
  EXPECT_EQ(stream.Write(text.data() + 10, 10), 10u);
  EXPECT_EQ(sink.bytes.size(), 16u);
  stream.Finish();
  ASSERT_EQ(sink.bytes.size(), 32u);

  auto check = CbcCipher(iv);
  Bytes data = sink.bytes;
  check->Decrypt(data.data(), data.size());
  EXPECT_EQ(std::string(data.begin(), data.begin() + 20), text);
  for (size_t i = 20; i < 32; ++i) EXPECT_EQ(data[i], 12) << i;
}

TEST_F(EncryptStreamTest, EncryptedFileDecryptsWithStandardAes128CbcPkcs7) {
  std::mt19937 random(20240501);
  for (size_t length : {0u, 1u, 15u, 16u, 17u, 1023u, 1024u, 1025u, 1040u, 7000u}) {
    SCOPED_TRACE(length);
    Bytes plain(length);
    for (auto& b : plain) b = static_cast<uint8_t>(random());

    const fs::path file = dir_ / ("log" + std::to_string(length) + ".lgf");
    const TLgEncryptionVector iv = NewEncryptionVector();
    {
      FileSink sink(file);
      WriteEncryptedFileHeader(sink, iv);
      auto cipher = CbcCipher(iv);
      TEncryptStream stream(&sink, cipher.get());
      // Writes of uneven sizes, some larger than a chunk.
      size_t pos = 0;
      while (pos < plain.size()) {
        size_t n = std::min<size_t>(plain.size() - pos, random() % 1500 + 1);
        ASSERT_EQ(stream.Write(plain.data() + pos, n), n);
        pos += n;
      }
      stream.Finish();
    }

    Bytes content = ReadFile(file);
    ASSERT_GE(content.size(), 36u);
    EXPECT_EQ(std::string(content.begin(), content.begin() + 4), "LOGE");
    EXPECT_TRUE(std::equal(iv.begin(), iv.end(), content.begin() + 4));
    EXPECT_EQ((content.size() - 20) % 16, 0u);
    EXPECT_EQ(content.size() - 20, (length / 16 + 1) * 16);

    const fs::path body = dir_ / "body.bin";
    const fs::path decrypted = dir_ / "plain.bin";
    WriteFile(body, Bytes(content.begin() + 20, content.end()));
    ASSERT_EQ(Openssl(true, iv, body, decrypted), 0);
    EXPECT_EQ(ReadFile(decrypted), plain);

    // And the cipher text is exactly what the standard produces.
    const fs::path plain_file = dir_ / "plain_in.bin";
    const fs::path reference = dir_ / "reference.bin";
    WriteFile(plain_file, plain);
    ASSERT_EQ(Openssl(false, iv, plain_file, reference), 0);
    EXPECT_EQ(ReadFile(reference), Bytes(content.begin() + 20, content.end()));
  }
}

TEST_F(EncryptStreamTest, EveryFileGetsItsOwnVector) {
  std::vector<TLgEncryptionVector> seen;
  for (int i = 0; i < 50; ++i) {
    MemorySink sink;
    WriteEncryptedFileHeader(sink, NewEncryptionVector());
    ASSERT_EQ(sink.bytes.size(), 20u);
    TLgEncryptionVector iv;
    std::copy(sink.bytes.begin() + 4, sink.bytes.end(), iv.begin());
    for (const auto& earlier : seen) EXPECT_NE(iv, earlier);
    seen.push_back(iv);
  }
}

TEST_F(EncryptStreamTest, FinishRunsOnceAndWritingAfterItIsRefused) {
  auto cipher = CbcCipher(TLgEncryptionVector{});
  MemorySink sink;
  TEncryptStream stream(&sink, cipher.get());
  stream.Write("abc", 3);
  stream.Finish();
  EXPECT_TRUE(stream.Finished());
  EXPECT_NO_THROW(stream.Finish());
  EXPECT_EQ(sink.bytes.size(), 16u);
  EXPECT_THROW(stream.Write("x", 1), std::logic_error);
  EXPECT_EQ(sink.bytes.size(), 16u);
}

TEST_F(EncryptStreamTest, FailedWriteDropsTheRestAndKeepsTheFirstError) {
  auto cipher = CbcCipher(TLgEncryptionVector{});
  FailingSink sink(1024, /*throws=*/true);
  {
    TEncryptStream stream(&sink, cipher.get());
    Bytes data(3000, 'x');
    try {
      stream.Write(data.data(), data.size());
      FAIL() << "the failure did not reach the writer";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "disk full #1");
    }
    EXPECT_TRUE(stream.Failed());
    EXPECT_EQ(sink.bytes.size(), 1024u);

    // Later writes report the same first error and reach the target no more.
    try {
      stream.Write("more", 4);
      FAIL() << "a broken stream took more data";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "disk full #1");
    }
    EXPECT_EQ(sink.failures, 1);
    EXPECT_NO_THROW(stream.Finish());
    EXPECT_EQ(sink.bytes.size(), 1024u);
  }  // destroyed after the failure without throwing
  EXPECT_EQ(sink.failures, 1);
}

TEST_F(EncryptStreamTest, ShortWriteCountsAsAFailure) {
  auto cipher = CbcCipher(TLgEncryptionVector{});
  FailingSink sink(8, /*throws=*/false);
  TEncryptStream stream(&sink, cipher.get());
  stream.Write("0123456789", 10);
  EXPECT_THROW(stream.Write("0123456789", 10), std::runtime_error);
  EXPECT_TRUE(stream.Failed());
  EXPECT_NO_THROW(stream.Finish());
}

TEST_F(EncryptStreamTest, FailingFinishReportsOnce) {
  auto cipher = CbcCipher(TLgEncryptionVector{});
  FailingSink sink(0, /*throws=*/true);
  TEncryptStream stream(&sink, cipher.get());
  stream.Write("abc", 3);
  EXPECT_THROW(stream.Finish(), std::runtime_error);
  EXPECT_NO_THROW(stream.Finish());
  EXPECT_EQ(sink.failures, 1);
}

TEST_F(EncryptStreamTest, MissingTargetOrCipher) {
  auto cipher = CbcCipher(TLgEncryptionVector{});
  TEncryptStream no_target(nullptr, cipher.get());
  EXPECT_EQ(no_target.Write("abc", 3), 0u);
  EXPECT_EQ(no_target.Seek(0, TLgSeekOrigin::End), 0);
  EXPECT_NO_THROW(no_target.Finish());

  MemorySink sink;
  TEncryptStream no_cipher(&sink, nullptr);
  EXPECT_EQ(no_cipher.Write("abc", 3), 3u);
  no_cipher.Finish();
  EXPECT_EQ(std::string(sink.bytes.begin(), sink.bytes.end()), "abc");
  char buffer[4];
  EXPECT_EQ(no_cipher.Read(buffer, sizeof(buffer)), 0u);
  EXPECT_EQ(no_cipher.Seek(0, TLgSeekOrigin::End), 3);
}

}  // namespace
}  // namespace parlevo::logging

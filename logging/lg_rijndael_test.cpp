#include "logging/lg_rijndael.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace parlevo::logging {
namespace {

std::vector<uint8_t> Hex(std::string_view hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const uint8_t* data, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < len; ++i) {
    s += kDigits[data[i] >> 4];
    s += kDigits[data[i] & 15];
  }
  return s;
}

std::string ToHex(const std::vector<uint8_t>& v) {
  return ToHex(v.data(), v.size());
}

// One block under a key, both directions.
void ExpectBlock(std::string_view key, std::string_view plain, std::string_view cipher,
                 int rounds) {
  TRijndael aes(Hex(key));
  EXPECT_EQ(aes.Rounds(), rounds);
  std::vector<uint8_t> block = Hex(plain);
  aes.EncryptBlock(block.data());
  EXPECT_EQ(ToHex(block), cipher);
  aes.DecryptBlock(block.data());
  EXPECT_EQ(ToHex(block), plain);
}

TEST(Rijndael, Fips197KnownAnswersForEveryKeySize) {
  ExpectBlock("2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
              "3925841d02dc09fbdc118597196a0b32", 10);
  ExpectBlock("000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
              "69c4e0d86a7b0430d8cdb78070b4c55a", 10);
  ExpectBlock("000102030405060708090a0b0c0d0e0f1011121314151617",
              "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191", 12);
  ExpectBlock("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
              "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089", 14);
}

TEST(Rijndael, ShortKeysArePaddedWithZeroBytes) {
  const std::vector<uint8_t> plain = Hex("00112233445566778899aabbccddeeff");
  auto encrypt = [&](const std::vector<uint8_t>& key) {
    TRijndael aes(key);
    std::vector<uint8_t> block = plain;
    aes.EncryptBlock(block.data());
    return std::pair(aes.Rounds(), block);
  };
  // 5 bytes act as AES-128 with 11 zero bytes; 20 bytes as AES-192 with 4 zero bytes.
  EXPECT_EQ(encrypt(Hex("0102030405")), encrypt(Hex("01020304050000000000000000000000")));
  EXPECT_EQ(encrypt(Hex("0102030405")).first, 10);
  auto k20 = encrypt(Hex("000102030405060708090a0b0c0d0e0f10111213"));
  EXPECT_EQ(k20.first, 12);
  EXPECT_EQ(k20, encrypt(Hex("000102030405060708090a0b0c0d0e0f1011121300000000")));
  EXPECT_EQ(encrypt(std::vector<uint8_t>(25, 7)).first, 14);
}

TEST(Rijndael, KeySizesOutsideOneToThirtyTwoBytesAreRejected) {
  try {
    TRijndael aes(std::vector<uint8_t>{});
    FAIL() << "empty key accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Rijndael: Invalid key size - 0");
  }
  try {
    TRijndael aes(std::vector<uint8_t>(33, 1));
    FAIL() << "33-byte key accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Rijndael: Invalid key size - 33");
  }
  TRijndael aes(std::vector<uint8_t>(32, 1));
  EXPECT_THROW(aes.SetKey(std::vector<uint8_t>(40, 1)), std::invalid_argument);
  // A failed SetKey leaves no usable key behind.
  uint8_t block[16] = {};
  EXPECT_THROW(aes.EncryptBlock(block), std::logic_error);
}

// NIST SP 800-38A, appendix F, AES-128.
const char kModeKey[] = "2b7e151628aed2a6abf7158809cf4f3c";
const char kModePlain[] =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

struct ModeCase {
  TCipherMode mode;
  int feedback;
  const char* iv;
  const char* cipher;
};

TEST(Rijndael, ChainingModesMatchTheStandardVectors) {
  const ModeCase cases[] = {
      {TCipherMode::ECB, 0, "",
       "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
       "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
      {TCipherMode::CBC, 0, "000102030405060708090a0b0c0d0e0f",
       "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
       "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
      {TCipherMode::CFB, 16, "000102030405060708090a0b0c0d0e0f",
       "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"
       "26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6"},
      {TCipherMode::OFB, 0, "000102030405060708090a0b0c0d0e0f",
       "3b3fd92eb72dad20333449f8e83cfb4a7789508d16918f03f53c52dac54ed825"
       "9740051e9c5fecf64344f7a82260edcc304c6528f659c77866a510d9c1d6ae5e"},
      {TCipherMode::CTR, 0, "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",
       "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff"
       "5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d1792170a0f3009cee"},
  };
  for (const ModeCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    TRijndael aes(Hex(kModeKey));
    aes.SetMode(c.mode);
    aes.SetFeedbackSize(c.feedback);
    std::vector<uint8_t> iv = Hex(c.iv);
    aes.SetIV(iv.data(), iv.size());
    std::vector<uint8_t> data = Hex(kModePlain);
    // Two calls of unequal length continue one chain.
    aes.Encrypt(data.data(), 16);
    aes.Encrypt(data.data() + 16, 48);
    EXPECT_EQ(ToHex(data), c.cipher);

    aes.SetIV(iv.data(), iv.size());
    aes.Decrypt(data.data(), data.size());
    EXPECT_EQ(ToHex(data), kModePlain);
  }
}

TEST(Rijndael, CipherFeedbackInByteSegments) {
  TRijndael aes(Hex(kModeKey));
  aes.SetMode(TCipherMode::CFB);
  aes.SetFeedbackSize(1);
  EXPECT_EQ(aes.FeedbackSize(), 1);
  std::vector<uint8_t> iv = Hex("000102030405060708090a0b0c0d0e0f");
  aes.SetIV(iv.data(), iv.size());
  std::vector<uint8_t> data = Hex("6bc1bee22e409f96e93d7e117393172aae2d");
  aes.Encrypt(data.data(), data.size());
  EXPECT_EQ(ToHex(data), "3b79424c9c0dd436bace9e0ed4586a4f32b9");
  aes.SetIV(iv.data(), iv.size());
  aes.Decrypt(data.data(), data.size());
  EXPECT_EQ(ToHex(data), "6bc1bee22e409f96e93d7e117393172aae2d");

  aes.SetFeedbackSize(0);
  EXPECT_EQ(aes.FeedbackSize(), 16);
  aes.SetFeedbackSize(16);
  EXPECT_EQ(aes.FeedbackSize(), 16);
}

TEST(Rijndael, OutputFeedbackContinuesInsideABlock) {
  TRijndael aes(Hex(kModeKey));
  aes.SetMode(TCipherMode::OFB);
  std::vector<uint8_t> iv = Hex("000102030405060708090a0b0c0d0e0f");
  aes.SetIV(iv.data(), iv.size());
  std::vector<uint8_t> data = Hex(kModePlain);
  aes.Encrypt(data.data(), 5);
  aes.Encrypt(data.data() + 5, 30);
  aes.Encrypt(data.data() + 35, 29);
  EXPECT_EQ(ToHex(data).substr(0, 64),
            "3b3fd92eb72dad20333449f8e83cfb4a7789508d16918f03f53c52dac54ed825");
}

TEST(Rijndael, TwoBlockVectorModeRoundTripsAndPropagatesChanges) {
  TRijndael aes(Hex(kModeKey));
  aes.SetMode(TCipherMode::IGE);
  const std::string iv(32, '\x5a');
  aes.SetIV(iv);
  EXPECT_EQ(aes.GetIV(), iv);
  std::vector<uint8_t> plain = Hex(kModePlain);
  std::vector<uint8_t> data = plain;
  aes.Encrypt(data.data(), data.size());
  EXPECT_NE(data, plain);
  std::vector<uint8_t> cipher = data;

  aes.SetIV(iv);
  aes.Decrypt(data.data(), data.size());
  EXPECT_EQ(data, plain);

  // A change in the first plain block changes every following cipher block.
  std::vector<uint8_t> changed = plain;
  changed[0] ^= 1;
  aes.SetIV(iv);
  aes.Encrypt(changed.data(), changed.size());
  for (size_t block = 0; block < 4; ++block) {
    EXPECT_NE(ToHex(changed.data() + 16 * block, 16), ToHex(cipher.data() + 16 * block, 16));
  }
  uint8_t partial[20] = {};
  EXPECT_THROW(aes.Encrypt(partial, sizeof(partial)), std::invalid_argument);
}

TEST(Rijndael, CbcTrailingPartialBlockRoundTrips) {
  TRijndael aes(Hex(kModeKey));
  aes.SetMode(TCipherMode::CBC);
  const std::string iv(16, '\x01');
  aes.SetIV(iv);
  std::vector<uint8_t> plain = Hex(kModePlain);
  plain.resize(21);
  std::vector<uint8_t> data = plain;
  aes.Encrypt(data.data(), data.size());
  aes.SetIV(iv);
  aes.Decrypt(data.data(), data.size());
  EXPECT_EQ(data, plain);

  aes.SetMode(TCipherMode::ECB);
  EXPECT_THROW(aes.Encrypt(data.data(), 21), std::invalid_argument);
}

TEST(Rijndael, VectorLengthFollowsTheMode) {
  TRijndael aes(Hex(kModeKey));
  EXPECT_EQ(aes.GetBlockSize(), 16);
  EXPECT_TRUE(aes.IsBlockCipher());
  EXPECT_EQ(aes.GetAlgorithmName(), "Rijndael");
  EXPECT_EQ(aes.MaxKeySize(), 32);
  EXPECT_EQ(aes.DefaultKeySize(), 16);
  EXPECT_EQ(aes.Mode(), TCipherMode::ECB);
  EXPECT_EQ(aes.GetIV(), "");

  aes.SetMode(TCipherMode::CBC);
  // Longer vectors are cut, shorter ones filled up with zero bytes.
  aes.SetIV(std::string(20, 'x'));
  EXPECT_EQ(aes.GetIV(), std::string(16, 'x'));
  aes.SetIV("abc");
  EXPECT_EQ(aes.GetIV(), std::string("abc") + std::string(13, '\0'));
  uint8_t out[8] = {};
  EXPECT_EQ(aes.GetIV(out, sizeof(out)), 8u);
  EXPECT_EQ(out[0], 'a');

  aes.Burn();
  EXPECT_EQ(aes.GetIV(), std::string(16, '\0'));
  EXPECT_EQ(aes.Rounds(), 0);
}

TEST(Rijndael, UnknownModeIsAProgrammingError) {
  TRijndael aes(Hex(kModeKey));
  aes.SetMode(static_cast<TCipherMode>(6));
  uint8_t block[16] = {};
  try {
    aes.Encrypt(block, sizeof(block));
    FAIL() << "mode 6 accepted";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Cipher mode not supported");
  }
  EXPECT_THROW(aes.Decrypt(block, sizeof(block)), std::logic_error);
  EXPECT_THROW(aes.GetIV(), std::logic_error);
}

TEST(Rijndael, CopyingFormsLeaveTheSourceAlone) {
  TRijndael aes(Hex(kModeKey));
  const std::vector<uint8_t> plain = Hex(kModePlain);
  std::vector<uint8_t> out(plain.size());
  aes.Encrypt(plain.data(), out.data(), plain.size());
  EXPECT_EQ(ToHex(out).substr(0, 32), "3ad77bb40d7a3660a89ecaf32466ef97");
  std::vector<uint8_t> back(plain.size());
  aes.Decrypt(out.data(), back.data(), out.size());
  EXPECT_EQ(back, plain);
}

}  // namespace
}  // namespace parlevo::logging

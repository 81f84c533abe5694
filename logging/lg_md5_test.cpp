#include "logging/lg_md5.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace parlevo::logging {
namespace {

std::string ToHex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (unsigned char c : bytes) {
    s += kDigits[c >> 4];
    s += kDigits[c & 15];
  }
  return s;
}

std::string Md5Hex(std::string_view text) {
  TMD5 md5(text.data(), text.size());
  return ToHex(md5.GetDigest());
}

// What the openssl command computes for the same bytes.
std::string OpensslMd5Hex(const std::string& text) {
  std::filesystem::path file =
      std::filesystem::temp_directory_path() /
      ("lg_md5_" + std::to_string(getpid()) + "_" + std::to_string(text.size()));
  std::ofstream(file, std::ios::binary) << text;
  std::string command = "openssl dgst -md5 -r " + file.string();
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  char line[256] = {};
  std::string out = pipe != nullptr && fgets(line, sizeof(line), pipe) != nullptr ? line : "";
  if (pipe != nullptr) pclose(pipe);
  std::filesystem::remove(file);
  return out.substr(0, 32);
}

TEST(MD5, Rfc1321TestSuite) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Hex("1234567890123456789012345678901234567890123456789012345678901234567890123456"
                   "7890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(MD5, PaddingBoundariesAgreeWithOpenssl) {
  for (size_t len : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u}) {
    SCOPED_TRACE(len);
    std::string text;
    for (size_t i = 0; i < len; ++i) text += static_cast<char>('!' + (i * 7) % 90);
    EXPECT_EQ(Md5Hex(text), OpensslMd5Hex(text));
  }
}

TEST(MD5, PiecewiseUpdatesEqualOneCall) {
  std::string text(300, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 31);
  const std::string whole = Md5Hex(text);

  TMD5 md5;
  size_t pos = 0;
  for (size_t step : {1u, 62u, 1u, 64u, 100u, 72u}) {
    md5.Update(text.data() + pos, step);
    pos += step;
  }
  ASSERT_EQ(pos, text.size());
  uint8_t digest[16];
  md5.Final(digest);
  EXPECT_EQ(ToHex(std::string_view(reinterpret_cast<char*>(digest), 16)), whole);

  // After Init the object hashes afresh.
  md5.Init();
  md5.Update("abc", 3);
  EXPECT_EQ(ToHex(md5.GetDigest()), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(MD5, SizesAndDigestInfoPrefix) {
  TMD5 md5;
  EXPECT_EQ(md5.DigestSize(), 16);
  EXPECT_EQ(md5.BlockSize(), 64);
  auto prefix = TMD5::DerPrefix();
  EXPECT_EQ(ToHex(std::string_view(reinterpret_cast<const char*>(prefix.data()), prefix.size())),
            "3020300c06082a864886f70d020505000410");
}

}  // namespace
}  // namespace parlevo::logging

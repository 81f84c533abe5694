#include "webservice/base64.h"

#include <gtest/gtest.h>

namespace parlevo {
namespace {

TEST(Base64, EncodesGroupsAndPadding) {
  EXPECT_EQ(Base64Encode("abc"), "YWJj");
  EXPECT_EQ(Base64Encode("ab"), "YWI=");
  EXPECT_EQ(Base64Encode("a"), "YQ==");
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("Konferenzraum 1"), "S29uZmVyZW56cmF1bSAx");
  EXPECT_EQ(Base64EncodedLength(0), 0u);
  EXPECT_EQ(Base64EncodedLength(4), 8u);
  EXPECT_EQ(Base64EncodedLength(6), 8u);
}

TEST(Base64, DecodesAndRejectsInvalidInput) {
  EXPECT_EQ(Base64Decode("YWI="), "ab");
  EXPECT_EQ(Base64Decode("YWJj"), "abc");
  EXPECT_EQ(Base64Decode("YQ=="), "a");
  EXPECT_EQ(Base64Decode("YWI"), "");
  EXPECT_EQ(Base64Decode("YW I="), "");
  EXPECT_EQ(Base64Decode(""), "");
  EXPECT_EQ(Base64Decode("YWJjYW=j"), "abca");
  EXPECT_EQ(Base64Decode("YQ=x"), "a");
  // Padding or a foreign character before the last group spoils everything.
  EXPECT_EQ(Base64Decode("YQ==YWJj"), "");
  EXPECT_EQ(Base64Decode("YWJj\nYWJj"), "");
  EXPECT_EQ(Base64Decode("Y=Jj"), "");
  EXPECT_EQ(Base64DecodedLength("YWI="), 2u);
  EXPECT_EQ(Base64DecodedLength("YQ=="), 1u);
  EXPECT_EQ(Base64DecodedLength("YWI"), 0u);
}

TEST(Base64, TextTravelsAsWindows1252) {
  // "Müller €" as the front end encodes it: one byte per character, the euro sign as 0x80.
  EXPECT_EQ(Base64Encode("M\u00fcller \u20ac"), Base64EncodeBytes("M\xfcller \x80"));
  EXPECT_EQ(Base64Decode(Base64EncodeBytes("M\xfcller \x80")), "M\u00fcller \u20ac");
  EXPECT_EQ(Base64Decode("/A=="), "\u00fc");
  // Characters outside the code page cannot travel and arrive as "?".
  EXPECT_EQ(Base64Decode(Base64Encode("\u4e2d")), "?");
}

TEST(Base64, AllBytesRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (size_t cut = 0; cut < 3; ++cut) {
    const std::string bytes = all.substr(cut);
    const std::string encoded = Base64EncodeBytes(bytes);
    EXPECT_EQ(encoded.size(), Base64EncodedLength(bytes.size()));
    EXPECT_EQ(Base64DecodeBytes(encoded), bytes);
    // Through the text functions the bytes become UTF-8 and come back unchanged.
    EXPECT_EQ(Base64Encode(Base64Decode(encoded)), encoded);
  }
}

}  // namespace
}  // namespace parlevo

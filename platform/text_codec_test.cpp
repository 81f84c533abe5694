#include "platform/text_codec.h"

#include <gtest/gtest.h>

namespace parlevo {
namespace {

TEST(TextCodec, Windows1252RoundTripsEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string utf8 = Windows1252ToUtf8(all);
  EXPECT_EQ(Utf8ToWindows1252(utf8), all);
  // The euro sign and the typographic quotes live in the 0x80..0x9F block.
  EXPECT_EQ(Windows1252ToUtf8("\x80"), "\u20ac");
  EXPECT_EQ(Windows1252ToUtf8("\x93x\x94"), "\u201cx\u201d");
  EXPECT_EQ(Utf8ToWindows1252("M\u00fcller \u20ac"), "M\xfcller \x80");
}

TEST(TextCodec, UnmappableCharactersBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToWindows1252("a\u4e2db\U0001F600c"), "a?b?c");
  EXPECT_EQ(Utf8ToLatin1("\u20ac\u00e9"), "?\xe9");
  // Malformed UTF-8: a lone continuation byte, a truncated sequence, an overlong form.
  EXPECT_EQ(Utf8ToWindows1252("a\x80z"), "a?z");
  EXPECT_EQ(Utf8ToWindows1252("a\xc3"), "a?");
  EXPECT_EQ(Utf8ToWindows1252("\xc0\xaf"), "??");
}

TEST(TextCodec, Latin1IsTheFirst256CodePoints) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(Utf8ToLatin1(Latin1ToUtf8(all)), all);
  EXPECT_EQ(Latin1ToUtf8("\x80"), "\u0080");
  EXPECT_EQ(Latin1ToUtf8("Gr\xfc\xdf"), "Gr\u00fc\u00df");
}

TEST(TextCodec, Utf32Decoding) {
  EXPECT_EQ(Utf8ToUtf32("a\u00e9\u20ac\U0001F600"), U"a\u00e9\u20ac\U0001F600");
  EXPECT_EQ(Utf8ToUtf32("\xed\xa0\x80"), std::u32string(3, 0xFFFD));  // encoded surrogate
  std::string out;
  AppendUtf8(out, 0x1F600);
  EXPECT_EQ(out, "\U0001F600");
}

}  // namespace
}  // namespace parlevo

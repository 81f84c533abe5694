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
  std::string utf8;
  for (int b = 0; b < 256; ++b) {
    all.push_back(static_cast<char>(b));
    AppendUtf8(utf8, static_cast<char32_t>(b));
  }
  EXPECT_EQ(Utf8ToLatin1(utf8), all);
  EXPECT_EQ(Utf8ToLatin1("\u0080"), "\x80");
  EXPECT_EQ(Utf8ToLatin1("Gr\u00fc\u00df"), "Gr\xfc\xdf");
}

TEST(TextCodec, Utf32Decoding) {
  EXPECT_EQ(Utf8ToUtf32("a\u00e9\u20ac\U0001F600"), U"a\u00e9\u20ac\U0001F600");
  EXPECT_EQ(Utf8ToUtf32("\xed\xa0\x80"), std::u32string(3, 0xFFFD));  // encoded surrogate
  std::string out;
  AppendUtf8(out, 0x1F600);
  EXPECT_EQ(out, "\U0001F600");
}

TEST(TextCodec, Utf8SequencesAreCheckedOneAtATime) {
  char32_t c = 0;
  EXPECT_EQ(DecodeUtf8Sequence("x\u20ac", 1, c), 3u);
  EXPECT_EQ(c, U'\u20ac');
  EXPECT_EQ(DecodeUtf8Sequence("\xe2\x82", 0, c), 0u);          // cut short
  EXPECT_EQ(DecodeUtf8Sequence("\xf4\x90\x80\x80", 0, c), 0u);  // beyond U+10FFFF
  EXPECT_TRUE(IsValidUtf8("M\u00fcller \U0001F600"));
  EXPECT_FALSE(IsValidUtf8("M\xfcller"));
}

TEST(TextCodec, Utf16PairsJoinAndLoneSurrogatesAreFound) {
  const std::u16string units = Utf16Units(std::string("a\0\x3d\xd8\x00\xde\x00\xdc", 8), false);
  EXPECT_EQ(units, std::u16string(u"a\U0001F600\xdc00"));
  EXPECT_EQ(Utf16Units(std::string("\0a\xd8", 3), true), u"a");  // odd last byte ignored
  EXPECT_EQ(Utf16ToUtf8(units), "a\U0001F600\uFFFD");
  EXPECT_EQ(FindLoneSurrogate(units), 3u);
  EXPECT_EQ(FindLoneSurrogate(u"\xd800x"), 0u);
  EXPECT_EQ(FindLoneSurrogate(u"a\U0001F600"), std::nullopt);
}

TEST(TextCodec, TextFilesAreReadByTheirByteOrderMark) {
  EXPECT_EQ(DecodeTextFile("\xEF\xBB\xBFk=\u00e4"), "k=\u00e4");
  EXPECT_EQ(DecodeTextFile(std::string("\xFF\xFEk\0=\0\xe4\0", 8)), "k=\u00e4");
  EXPECT_EQ(DecodeTextFile(std::string("\xFE\xFF\0k\0=\0\xe4", 8)), "k=\u00e4");
  // Without a mark: valid UTF-8 as it is, anything else as Windows-1252.
  EXPECT_EQ(DecodeTextFile("k=\u00e4"), "k=\u00e4");
  EXPECT_EQ(DecodeTextFile("k=\xe4\x80"), "k=\u00e4\u20ac");
  // A UTF-16 mark with nothing after it is no mark.
  EXPECT_EQ(DecodeTextFile("\xFF\xFE"), "\u00ff\u00fe");
}

}  // namespace
}  // namespace parlevo

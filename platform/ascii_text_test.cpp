#include "platform/ascii_text.h"

#include <gtest/gtest.h>

namespace parlevo {
namespace {

TEST(AsciiText, CaseFoldsOnlyAsciiLettersAndLeavesUtf8Alone) {
  EXPECT_EQ(ToLowerAscii("KonferenzID Äpfel @[`{"), "konferenzid Äpfel @[`{");
  EXPECT_EQ(ToUpperAscii("getRaeume ß"), "GETRAEUME ß");
  EXPECT_TRUE(EqualsIgnoreCaseAscii("GetRaeume", "GETRAEUME"));
  EXPECT_FALSE(EqualsIgnoreCaseAscii("Ä", "ä"));  // two-byte letters are not folded
  EXPECT_FALSE(EqualsIgnoreCaseAscii("abc", "abcd"));
  EXPECT_FALSE(EqualsIgnoreCaseAscii("@", "`"));  // neighbours of the letter ranges stay apart
  EXPECT_TRUE(StartsWithIgnoreCaseAscii("Content-Type: x", "content-type"));
  EXPECT_FALSE(StartsWithIgnoreCaseAscii("Con", "content"));
}

TEST(AsciiText, TrimsOnlyTheCharactersItIsGiven) {
  EXPECT_EQ(TrimAscii(" \t wert \t"), "wert");
  EXPECT_EQ(TrimAscii("\r\nwert\r\n"), "\r\nwert\r\n");
  EXPECT_EQ(TrimAscii("\r\n wert \v\f", kWhiteSpace), "wert");
  EXPECT_EQ(TrimAscii(" \t "), "");
  EXPECT_EQ(TrimAscii(""), "");
  EXPECT_EQ(TrimLeftAscii("  a b  "), "a b  ");
  EXPECT_EQ(TrimRightAscii("  a b  "), "  a b");
  EXPECT_EQ(TrimAscii("xxaxx", "x"), "a");
  EXPECT_EQ(TrimAscii(std::string_view("\0\x1f w\x7f \x01\x20", 8), kControlsAndBlank), "w\x7f");
  EXPECT_EQ(TrimAscii("\xc3\xa4 \t", kControlsAndBlank), "\xc3\xa4");  // UTF-8 is no padding
}

}  // namespace
}  // namespace parlevo

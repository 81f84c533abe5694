#include "notifications/mail_text.h"

#include <gtest/gtest.h>

namespace parlevo::mail {
namespace {

TEST(MailText, Latin1BytesBecomeUtf8AndValidUtf8Stays) {
  EXPECT_EQ(SanitiseUtf8("M\xFCller"), "M\xC3\xBCller");
  EXPECT_EQ(SanitiseUtf8("M\xC3\xBCller \xE2\x82\xAC"), "M\xC3\xBCller \xE2\x82\xAC");
  EXPECT_EQ(SanitiseUtf8("\xEF\xBB\xBFHallo"), "Hallo");
  // A sequence cut off at the end and an overlong form are bytes, not characters.
  EXPECT_EQ(SanitiseUtf8("a\xC3"), "a\xC3\x83");
  EXPECT_EQ(SanitiseUtf8("\xC0\xAF"), "\xC3\x80\xC2\xAF");
}

TEST(MailText, Utf8ToLatin1MapsWhatFitsAndMarksTheRest) {
  EXPECT_EQ(Utf8ToLatin1("Gr\xC3\xBC\xC3\x9F"
                         "e"),
            "Gr\xFC\xDF"
            "e");
  EXPECT_EQ(Utf8ToLatin1("5 \xE2\x82\xAC"), "5 ?");
  EXPECT_EQ(Utf8ToLatin1("\xF0\x9F\x98\x80!"), "?!");
}

TEST(MailText, ControlCharactersBecomeBlanks) {
  EXPECT_EQ(NeutraliseControls("a\r\nBcc: x\tz\x7F"), "a  Bcc: x z ");
  EXPECT_EQ(NeutraliseControls("M\xC3\xBCller"), "M\xC3\xBCller");
}

TEST(MailText, WildcardsIgnoreCase) {
  EXPECT_TRUE(WildcardMatch("*.invite.*", "Mail.INVITE.html"));
  EXPECT_FALSE(WildcardMatch("*.invite.*", "mail.disinvite.html"));
  EXPECT_TRUE(WildcardMatch("*.disinvite.*", "mail.disinvite.txt"));
  EXPECT_TRUE(WildcardMatch("body.*", "BODY.htm"));
  EXPECT_TRUE(WildcardMatch("b?dy.*", "body.x"));
  EXPECT_FALSE(WildcardMatch("body.*", "body"));
  EXPECT_TRUE(WildcardMatch("*", ""));
}

TEST(MailText, ReplaceAndLineBreaks) {
  EXPECT_EQ(ReplaceAllIgnoreCase("a<BRtxt>b<brtxt>", "<brtxt>", "<br />"), "a<br />b<br />");
  EXPECT_EQ(ToCrLf("a\nb\rc\r\nd"), "a\r\nb\r\nc\r\nd");
  EXPECT_EQ(TrimControls(" \t x y \r\n"), "x y");
  // Every control byte goes at the ends, NUL and escape included; inner ones stay.
  EXPECT_EQ(TrimControls(std::string("\x1B\0a\x01"
                                     "b\x1F",
                                     6)),
            "a\x01"
            "b");
}

TEST(MailText, PositionalCutsNeverFailOnShortTexts) {
  EXPECT_EQ(CalendarDateFromText("24.12.2008"), "20081224");
  EXPECT_EQ(CalendarTimeFromText("09:30:00"), "093000");
  EXPECT_EQ(CalendarTimeFromText("9:30"), "9:0");
  EXPECT_EQ(CalendarDateFromText("1.2.08"), ".01.");
  EXPECT_EQ(CalendarDateFromText(""), "");
  EXPECT_EQ(CopyText("9:30", 1, 5), "9:30");
  EXPECT_EQ(CopyText("09:30:00", 1, 5), "09:30");
  EXPECT_EQ(CopyText("abc", 4, 2), "");
}

}  // namespace
}  // namespace parlevo::mail

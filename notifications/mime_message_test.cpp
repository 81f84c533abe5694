#include "notifications/mime_message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace parlevo {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

TEST(QuotedPrintable, EncodesLatin1AndBreaksLongLines) {
  EXPECT_EQ(EncodeQuotedPrintable("Gr\xFC\xDF"
                                  "e a=b"),
            "Gr=FC=DFe a=3Db");
  EXPECT_EQ(EncodeQuotedPrintable("end \r\nnext\t"), "end=20\r\nnext=09");
  const std::string long_line(200, 'x');
  const std::string encoded = EncodeQuotedPrintable(long_line);
  std::string decoded;
  for (const auto& line : Lines(encoded)) {
    EXPECT_LE(line.size(), 76u);
    decoded += line.back() == '=' ? line.substr(0, line.size() - 1) : line;
  }
  EXPECT_EQ(decoded, long_line);
  // An encoded octet is never split by a soft break.
  for (const auto& line : Lines(EncodeQuotedPrintable(std::string(100, '\xFC')))) {
    EXPECT_EQ(line.size() % 3, line.back() == '=' ? 1u : 0u) << line;
  }
}

TEST(HeaderValue, PlainAsciiStaysAndTheRestIsEncoded) {
  EXPECT_EQ(EncodeHeaderValue("Einladung zur Konferenz"), "Einladung zur Konferenz");
  EXPECT_EQ(EncodeHeaderValue("M\xC3\xBCller"), "=?UTF-8?Q?M=C3=BCller?=");
  EXPECT_EQ(EncodeHeaderValue("a\r\nBcc: x"), "a  Bcc: x");
  const std::string long_value = EncodeHeaderValue(std::string(40, '\xC3') + "x");
  for (const auto& line : Lines(long_value)) EXPECT_LE(line.size(), 76u) << line;
}

TEST(HeaderValue, LongPlainSubjectIsEncodedSoItFolds) {
  const std::string value = EncodeHeaderValue(std::string(1200, 'x'));
  std::string decoded;
  for (const auto& line : Lines(value)) {
    EXPECT_LE(line.size(), 76u) << line;
    const std::string word = line[0] == ' ' ? line.substr(1) : line;
    ASSERT_EQ(word.rfind("=?UTF-8?Q?", 0), 0u) << word;
    decoded += word.substr(10, word.size() - 12);
  }
  EXPECT_EQ(decoded, std::string(1200, 'x'));
}

// The display name as a reader takes it back from the phrase: a quoted string unquoted, encoded
// words left as they are (their characters are all phrase-safe).
std::string ReadPhrase(const std::string& phrase) {
  if (phrase.size() < 2 || phrase.front() != '"') return phrase;
  std::string out;
  for (size_t i = 1; i + 1 < phrase.size(); ++i) {
    if (phrase[i] == '\\') {
      ++i;
    } else if (phrase[i] == '"') {
      ADD_FAILURE() << "unescaped quote in " << phrase;
    }
    out += phrase[i];
  }
  return out;
}

TEST(DisplayName, SpecialsAreQuotedAndNonAsciiEncoded) {
  EXPECT_EQ(EncodeDisplayName("Max Muster"), "Max Muster");
  EXPECT_EQ(EncodeDisplayName("Max Muster, Jr."), "\"Max Muster, Jr.\"");
  for (const std::string name : {"Bei\"spiel, Erika; Anna", "a\\\"b", "<x@y.de>", "R: \"A\", B"}) {
    const std::string phrase = EncodeDisplayName(name);
    EXPECT_EQ(phrase.front(), '"') << phrase;
    EXPECT_EQ(ReadPhrase(phrase), name) << phrase;
  }
  // In an encoded word of a phrase only letters, digits, "!*+-/=_" and "?" of its frame may
  // stand: "," and quote are encoded.
  const std::string encoded = EncodeDisplayName("M\xC3\xBCller, \"J\"");
  EXPECT_EQ(encoded, "=?UTF-8?Q?M=C3=BCller=2C_=22J=22?=");
  EXPECT_EQ(EncodeDisplayName("=?x?="), "=?UTF-8?Q?=3D=3Fx=3F=3D?=");
}

TEST(MessageDate, Rfc5322InLocalTime) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1230107405));
  EXPECT_EQ(FormatMessageDate(when), "Wed, 24 Dec 2008 09:30:05 +0100");
}

TEST(Message, HeadAndPartsAsWritten) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  TMimeMessage m;
  m.sender_address = "max@example.de";
  m.subject = "Einladung";
  m.content_transfer_encoding = "8bit";
  m.extra_headers = {"Content-class: urn:content-classes:calendarmessage"};
  m.content_type = "multipart/alternative";
  TMimePart html;
  html.content_type = "text/html;charset=\"iso-8859-1\"";
  html.text =
      "<p>Gr\xC3\xBC\xC3\x9F"
      "e</p>\n";
  TMimePart calendar;
  calendar.content_type = "text/calendar;method=REQUEST;name=\"invitation.ics\";charset=\"utf-8\"";
  calendar.latin1 = false;
  calendar.extra_headers = {"Content-class: urn:content-classes:calendarmessage"};
  calendar.text =
      "BEGIN:VCALENDAR\r\nSUMMARY:Gr\xC3\xBC\xC3\x9F"
      "e\r\nEND:VCALENDAR";
  m.parts = {html, calendar};
  const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1230107405));
  const std::vector<std::string> lines = Lines(SerialiseMessage(m, "anna@example.de", when));

  ASSERT_GE(lines.size(), 24u);
  EXPECT_EQ(lines[0], "From: max@example.de");
  EXPECT_EQ(lines[1], "Subject: Einladung");
  EXPECT_EQ(lines[2], "To: anna@example.de");
  EXPECT_EQ(lines[3], "Date: Wed, 24 Dec 2008 09:30:05 +0100");
  EXPECT_EQ(lines[4], "MIME-Version: 1.0");
  EXPECT_EQ(lines[5], "Content-Type: multipart/alternative;");
  const std::string boundary_line = lines[6];
  ASSERT_EQ(boundary_line.rfind("\tboundary=\"", 0), 0u);
  const std::string boundary = boundary_line.substr(11, boundary_line.size() - 12);
  EXPECT_EQ(lines[7], "Content-Transfer-Encoding: 8bit");
  EXPECT_EQ(lines[8], "Content-class: urn:content-classes:calendarmessage");
  EXPECT_EQ(lines[9], "");
  EXPECT_EQ(lines[10], "This is a multi-part message in MIME format.");
  EXPECT_EQ(lines[11], "");
  EXPECT_EQ(lines[12], "--" + boundary);
  EXPECT_EQ(lines[13], "Content-Type: text/html;charset=\"iso-8859-1\"");
  EXPECT_EQ(lines[14], "Content-Transfer-Encoding: quoted-printable");
  EXPECT_EQ(lines[15], "");
  EXPECT_EQ(lines[16], "<p>Gr=FC=DFe</p>");
  EXPECT_EQ(lines[17], "");
  EXPECT_EQ(lines[18], "--" + boundary);
  EXPECT_EQ(lines[19],
            "Content-Type: text/calendar;method=REQUEST;name=\"invitation.ics\";charset=\"utf-8\"");
  EXPECT_EQ(lines[20], "Content-Transfer-Encoding: 8bit");
  EXPECT_EQ(lines[21], "Content-class: urn:content-classes:calendarmessage");
  EXPECT_EQ(lines[22], "");
  EXPECT_EQ(lines[23], "BEGIN:VCALENDAR");
  EXPECT_EQ(lines[24],
            "SUMMARY:Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_EQ(lines[25], "END:VCALENDAR");
  EXPECT_EQ(lines[26], "--" + boundary + "--");
}

TEST(Message, BoundaryNeverOccursInAPart) {
  TMimeMessage m;
  m.sender_address = "a@b.de";
  m.content_type = "multipart/alternative";
  m.content_transfer_encoding = "8bit";
  const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1));
  TMimePart plain;
  plain.latin1 = false;
  plain.content_type = "text/plain";
  m.parts = {plain};
  const std::string first = SerialiseMessage(m, "c@d.de", when);
  const size_t at = first.find("boundary=\"") + 10;
  const std::string boundary = first.substr(at, first.find('"', at) - at);
  m.parts[0].text = "--" + boundary + "\r\n";
  const std::string second = SerialiseMessage(m, "c@d.de", when);
  EXPECT_EQ(second.find("boundary=\"" + boundary + "\""), std::string::npos);
}

TEST(Message, SenderNameWithCommaStaysOneAddress) {
  TMimeMessage m;
  m.sender_name = "Muster, Max \"Jr\"";
  m.sender_address = "max@example.de";
  m.content_type = "multipart/alternative";
  m.content_transfer_encoding = "8bit";
  const std::string text = SerialiseMessage(m, "c@d.de", {});
  EXPECT_EQ(Lines(text)[0], "From: \"Muster, Max \\\"Jr\\\"\" <max@example.de>");
}

TEST(Message, HeaderValuesCannotAddHeaderLines) {
  TMimeMessage m;
  m.sender_address = "a@b.de\r\nBcc: evil@x.de";
  m.subject = "Hi\r\nBcc: evil@x.de";
  m.content_type = "multipart/alternative";
  m.content_transfer_encoding = "8bit";
  const std::string text = SerialiseMessage(m, "c@d.de\nBcc: e@x.de", {});
  for (const auto& line : Lines(text)) EXPECT_NE(line.rfind("Bcc:", 0), 0u) << line;
  EXPECT_NE(text.find("Subject: Hi  Bcc: evil@x.de\r\n"), std::string::npos);
}

}  // namespace
}  // namespace parlevo

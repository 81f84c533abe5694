// The MIME message of one send: head, body parts produced from the templates and the calendar
// part, written out for one recipient as the bytes that go over SMTP.
//
// Thread safety: plain values and pure functions.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace parlevo {

struct TMimePart {
  std::string content_type;  // the whole Content-Type value
  // Latin-1 parts: the UTF-8 text is converted to ISO-8859-1 and sent quoted-printable, so no
  // line grows beyond what SMTP carries. Otherwise the text goes as it is, "8bit".
  bool latin1 = true;
  std::vector<std::string> extra_headers;  // whole header lines
  std::string text;                        // UTF-8
};

struct TMimeMessage {
  std::string sender_name;
  std::string sender_address;
  std::string subject;                     // UTF-8
  std::string content_transfer_encoding;   // of the message as a whole
  std::vector<std::string> extra_headers;  // whole header lines
  std::string content_type;                // of the message; multipart types carry the parts
  std::vector<TMimePart> parts;
};

// Quoted-printable of bytes; CR LF stays a hard line break, other lines are broken softly so that
// no encoded line exceeds 76 characters.
std::string EncodeQuotedPrintable(std::string_view bytes);
// An unstructured header value (Subject): plain when it is printable ASCII of a length a header
// line can carry, otherwise RFC 2047 encoded words in UTF-8.
std::string EncodeHeaderValue(std::string_view utf8);
// A display name before an address: plain when it is atoms and blanks, a quoted string when it
// holds other printable ASCII (",", quote, "<"...), otherwise encoded words.
std::string EncodeDisplayName(std::string_view utf8);
// RFC 5322 date in local time, for example "Wed, 24 Dec 2008 09:30:00 +0100".
std::string FormatMessageDate(std::chrono::system_clock::time_point when);

// The message as it goes to recipient, head and body joined with CR LF. Every value that goes
// into a header line has its control characters neutralised.
std::string SerialiseMessage(const TMimeMessage& message, std::string_view recipient,
                             std::chrono::system_clock::time_point date);

}  // namespace parlevo

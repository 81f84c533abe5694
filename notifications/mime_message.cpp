#include "notifications/mime_message.h"

#include <algorithm>
#include <ctime>

#include <fmt/format.h>

#include "notifications/mail_text.h"

namespace parlevo {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool IsPlainHeaderText(std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E) return false;
  }
  // "=?" would make a reader take plain text for an encoded word.
  return text.find("=?") == std::string_view::npos;
}

// Longest plain header value: with its field name the line stays below the 998 octets a line
// may have; a longer value goes as encoded words, which fold.
constexpr size_t kMaxPlainHeaderValue = 900;

// The characters of an atom (RFC 5322 atext).
bool IsAtext(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

// RFC 2047 "Q" encoded words in UTF-8, at most 75 characters each, each holding whole UTF-8
// sequences, separated by a folding blank. Only letters, digits and "!*+-/" stay literal, the set
// that is safe in a display name as well as in unstructured text.
std::string EncodedWords(std::string_view text) {
  std::string out;
  std::string word;
  const auto flush = [&] {
    if (word.empty()) return;
    if (!out.empty()) out += "\r\n ";
    out += "=?UTF-8?Q?" + word + "?=";
    word.clear();
  };
  for (size_t i = 0; i < text.size();) {
    size_t len = 1;
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead >= 0xF0) {
      len = 4;
    } else if (lead >= 0xE0) {
      len = 3;
    } else if (lead >= 0xC0) {
      len = 2;
    }
    std::string encoded;
    for (size_t k = i; k < i + len && k < text.size(); ++k) {
      const auto c = static_cast<unsigned char>(text[k]);
      if (c == ' ') {
        encoded += '_';
      } else if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                 c == '!' || c == '*' || c == '+' || c == '-' || c == '/') {
        encoded += static_cast<char>(c);
      } else {
        encoded += {'=', kHex[c >> 4], kHex[c & 0x0F]};
      }
    }
    if (word.size() + encoded.size() > 75 - 12) flush();
    word += encoded;
    i += len;
  }
  flush();
  return out;
}

std::string PartBody(const TMimePart& part) {
  if (part.latin1) return EncodeQuotedPrintable(mail::Utf8ToLatin1(mail::ToCrLf(part.text)));
  return mail::ToCrLf(part.text);
}

std::string PartHead(const TMimePart& part) {
  std::string head = "Content-Type: " + mail::NeutraliseControls(part.content_type) + "\r\n";
  head += part.latin1 ? "Content-Transfer-Encoding: quoted-printable\r\n"
                      : "Content-Transfer-Encoding: 8bit\r\n";
  for (const auto& line : part.extra_headers) head += mail::NeutraliseControls(line) + "\r\n";
  return head;
}

// A boundary that none of the bodies contains.
std::string ChooseBoundary(const std::vector<std::string>& bodies,
                           std::chrono::system_clock::time_point date) {
  const auto seed = static_cast<unsigned long long>(date.time_since_epoch().count());
  for (unsigned attempt = 0;; ++attempt) {
    std::string boundary = fmt::format("=_ParlevoPart_{:016X}_{}", seed, attempt);
    bool clash = false;
    for (const auto& body : bodies) clash = clash || body.find(boundary) != std::string::npos;
    if (!clash) return boundary;
  }
}

}  // namespace

std::string EncodeQuotedPrintable(std::string_view bytes) {
  std::string out;
  size_t line_length = 0;
  const auto emit = [&](std::string_view piece) {
    if (line_length + piece.size() > 75) {
      out += "=\r\n";
      line_length = 0;
    }
    out.append(piece);
    line_length += piece.size();
  };
  // A blank or tab at the end of a line would be lost in transport: encode it.
  const auto encode_trailing_blank = [&] {
    if (!out.empty() && (out.back() == ' ' || out.back() == '\t') && line_length > 0) {
      const char last = out.back();
      out.pop_back();
      --line_length;
      const char enc[3] = {'=', kHex[last >> 4], kHex[last & 0x0F]};
      emit(std::string_view(enc, 3));
    }
  };
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      encode_trailing_blank();
      out += "\r\n";
      line_length = 0;
      ++i;
      continue;
    }
    // A dot at the start of a line is encoded too, so no relay ever has to stuff it.
    const bool literal = (c >= 33 && c <= 126 && c != '=' && !(c == '.' && line_length == 0)) ||
                         c == ' ' || c == '\t';
    if (literal) {
      const char ch = static_cast<char>(c);
      emit(std::string_view(&ch, 1));
    } else {
      const char enc[3] = {'=', kHex[c >> 4], kHex[c & 0x0F]};
      emit(std::string_view(enc, 3));
    }
  }
  encode_trailing_blank();
  return out;
}

std::string EncodeHeaderValue(std::string_view utf8) {
  const std::string text = mail::NeutraliseControls(mail::SanitiseUtf8(utf8));
  if (IsPlainHeaderText(text) && text.size() <= kMaxPlainHeaderValue) return text;
  return EncodedWords(text);
}

std::string EncodeDisplayName(std::string_view utf8) {
  const std::string text = mail::NeutraliseControls(mail::SanitiseUtf8(utf8));
  if (!IsPlainHeaderText(text) || text.size() > kMaxPlainHeaderValue) return EncodedWords(text);
  if (std::all_of(text.begin(), text.end(), [](char c) { return IsAtext(c) || c == ' '; })) {
    return text;
  }
  // "," would split the address list and "<", ":", "@" and the like would be read as address
  // syntax: the name goes in a quoted string, with quote and backslash escaped.
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string FormatMessageDate(std::chrono::system_clock::time_point when) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  const long offset = local.tm_gmtoff / 60;
  const long abs_offset = offset < 0 ? -offset : offset;
  return fmt::format("{}, {} {} {:04} {:02}:{:02}:{:02} {}{:02}{:02}", kDays[local.tm_wday],
                     local.tm_mday, kMonths[local.tm_mon], local.tm_year + 1900, local.tm_hour,
                     local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', abs_offset / 60,
                     abs_offset % 60);
}

std::string SerialiseMessage(const TMimeMessage& message, std::string_view recipient,
                             std::chrono::system_clock::time_point date) {
  std::vector<std::string> bodies;
  for (const auto& part : message.parts) bodies.push_back(PartBody(part));
  const std::string boundary = ChooseBoundary(bodies, date);

  std::string from = mail::NeutraliseControls(message.sender_address);
  if (!message.sender_name.empty()) {
    from = EncodeDisplayName(message.sender_name) + " <" + from + ">";
  }
  std::string out;
  out += "From: " + from + "\r\n";
  out += "Subject: " + EncodeHeaderValue(message.subject) + "\r\n";
  out += "To: " + mail::NeutraliseControls(recipient) + "\r\n";
  out += "Date: " + FormatMessageDate(date) + "\r\n";
  out += "MIME-Version: 1.0\r\n";
  out += "Content-Type: " + mail::NeutraliseControls(message.content_type) + ";\r\n\tboundary=\"" +
         boundary + "\"\r\n";
  out +=
      "Content-Transfer-Encoding: " + mail::NeutraliseControls(message.content_transfer_encoding) +
      "\r\n";
  for (const auto& line : message.extra_headers) out += mail::NeutraliseControls(line) + "\r\n";
  out += "\r\nThis is a multi-part message in MIME format.\r\n";
  for (size_t i = 0; i < message.parts.size(); ++i) {
    out += "\r\n--" + boundary + "\r\n";
    out += PartHead(message.parts[i]);
    out += "\r\n";
    out += bodies[i];
  }
  out += "\r\n--" + boundary + "--\r\n";
  return out;
}

}  // namespace parlevo

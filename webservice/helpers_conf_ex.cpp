#include "webservice/helpers_conf_ex.h"

#include <stdexcept>

#include "logging/lg_auto.h"
#include "platform/ascii_text.h"
#include "platform/random.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

using logging::MainSession;
using logging::TLgLevel;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Host names end up in links of mails and SMS; anything but a plain name or address is refused.
bool IsPlainHostName(std::string_view host) {
  if (host.empty()) return false;
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    for (char c : host.substr(1, host.size() - 2)) {
      const bool hex = IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
      if (!hex && c != ':' && c != '.') return false;
    }
    return true;
  }
  for (char c : host) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && !IsDigit(c) && c != '.' && c != '-' && c != '_') return false;
  }
  return true;
}

}  // namespace

void LoadRequestDocument(pugi::xml_document& doc, std::string_view request_text) {
  const std::string text = ConvertTagNameCase(request_text, kCaseLower);
  const pugi::xml_parse_result result =
      doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!result) {
    throw std::runtime_error(std::string("Request is not well-formed XML: ") +
                             result.description() + " at offset " + std::to_string(result.offset));
  }
}

std::string CreateResultXML(int code, std::string_view description, std::string_view add_tag) {
  logging::TLgMethodScope scope(MainSession(), "CreateResultXML");
  MainSession().LogIntegerLevel(TLgLevel::Debug, "code", code);
  MainSession().LogString(TLgLevel::Debug, "description", description);
  MainSession().LogString(TLgLevel::Debug, "addTag", add_tag);
  std::string result = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><response><result><code>";
  result += std::to_string(code);
  result += "</code><description>";
  result += EscapeXml(description);
  result += "</description></result>";
  result += add_tag;
  result += "</response>";
  MainSession().LogString(TLgLevel::Debug, "Result", result);
  return result;
}

void GetQueryResultText(pugi::xml_document& doc, std::string_view text) {
  pugi::xml_node result = FindXMLNode(doc.document_element(), "result", true);
  if (!result) return;
  result.text().set(text.empty() ? "Fehler" : std::string(text).c_str());
}

std::string GenerateRandomPin() {
  std::string pin;
  for (int i = 0; i < 5; ++i) pin.push_back(static_cast<char>('0' + RandomInt(0, 9)));
  return pin;
}

std::string ParticipantExistsText(int code) {
  return code == -1 ? "Teilnehmer exisitert in der Konferenz bereits" : "";
}

std::vector<std::string> SplitString(std::string_view s, char separator, bool trim_fields,
                                     bool quote_aware) {
  std::vector<std::string> fields;
  std::string buffer;
  bool outside_quotes = true;
  auto end_field = [&] {
    std::string field(trim_fields ? TrimAscii(buffer, kControlsAndBlank)
                                  : std::string_view(buffer));
    if (!field.empty() && field.front() == separator) field.erase(0, 1);
    fields.push_back(std::move(field));
    buffer.clear();
  };
  for (char c : s) {
    if (c == separator && (!quote_aware || outside_quotes)) end_field();
    if (!quote_aware) {
      if (c != separator) buffer.push_back(c);
    } else if (c == '"') {
      outside_quotes = !outside_quotes;
    } else if (c != separator || !outside_quotes) {
      buffer.push_back(c);
    }
  }
  if (!buffer.empty())
    fields.emplace_back(trim_fields ? TrimAscii(buffer, kControlsAndBlank)
                                    : std::string_view(buffer));
  return fields;
}

std::string StripPort(std::string_view host) {
  for (size_t p = 0; p + 1 < host.size(); ++p) {
    if (host[p] != ':' || !IsDigit(host[p + 1])) continue;
    size_t e = p + 1;
    while (e < host.size() && IsDigit(host[e])) ++e;
    std::string result(host.substr(0, p));
    if (e < host.size()) result += host.substr(e);
    return result;
  }
  return {};
}

std::string RequestHostName(std::string_view host_header) {
  const std::string_view host = TrimAscii(host_header, kControlsAndBlank);
  std::string name;
  if (host.starts_with("[")) {
    const size_t close = host.find(']');
    if (close != std::string_view::npos) name = host.substr(0, close + 1);
  } else if (host.find(':') == std::string_view::npos) {
    name = host;
  } else {
    name = StripPort(host);
  }
  return IsPlainHostName(name) ? name : std::string();
}

void GetRequestHost(std::string_view host_header, const THostValueAccess& values) {
  logging::TLgMethodScope scope(MainSession(), "GetRequestHost");
  const std::string host = RequestHostName(host_header);
  MainSession().LogString(TLgLevel::Debug, "Host", host);
  if (host.empty()) return;
  for (const char* name : {"MailHost", "SMSHost"}) {
    if (TrimAscii(values.read(name), kControlsAndBlank).empty()) {
      values.write(name, host);
      MainSession().LogString(TLgLevel::Debug, name, host);
    }
  }
}

}  // namespace parlevo

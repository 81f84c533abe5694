#include "conferences/recurrence_requests.h"

#include "conferences/recurrence_dates.h"
#include "webservice/base64.h"

namespace parlevo {
namespace {

constexpr std::string_view kDeclaration = R"(<?xml version="1.0" encoding="utf-8"?>)";
constexpr std::string_view kLineBreak = "\r\n";

std::string Element(std::string_view name, std::string_view text) {
  std::string out = "<";
  out += name;
  out += ">";
  out += XmlEscapedText(text);
  out += "</";
  out += name;
  out += ">";
  return out;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += kLineBreak;
    out += lines[i];
  }
  return out;
}

}  // namespace

std::string XmlEscapedText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string ConferenceRequestText(const TConferenceRequest& r, int utc_offset_minutes) {
  const auto when = [&](TDateTime value) { return XmlDateTimeText(value, utc_offset_minutes); };
  std::vector<std::string> lines;
  lines.push_back(std::string(kDeclaration) + "<request>");
  lines.push_back(Element("Name", Base64Encode(r.Name)));
  lines.push_back(Element("Datum", when(r.Date)));
  if (r.EndDate) lines.push_back(Element("EndDatum", when(*r.EndDate)));
  lines.push_back(Element("Startzeit", when(r.StartTime)));
  lines.push_back(Element("Endzeit", when(r.EndTime)));
  lines.push_back(Element("Durchwahl", r.Room));
  lines.push_back(Element("PinHost", r.PinHost));
  lines.push_back(Element("PinMember", r.PinMember));
  lines.push_back(Element("PinListenOnly", r.PinListenOnly));
  if (r.RecurrenceId) lines.push_back(Element("RecurrenceId", std::to_string(*r.RecurrenceId)));
  lines.push_back("</request>");
  return Joined(lines);
}

std::string InviteRequestText(std::string_view conference_id, std::string_view room,
                              TDateTime min_time, TDateTime max_time,
                              const std::vector<std::string>& source_conference_ids) {
  std::vector<std::string> lines;
  lines.push_back(std::string(kDeclaration) + "<request><action>InviteKonfTeilnehmer</action>");
  lines.push_back(Element("KonferenzID", conference_id));
  lines.push_back(Element("durchwahl", room));
  lines.push_back(Element("minzeit", FormatISODateTime(min_time)));
  lines.push_back(Element("maxzeit", FormatISODateTime(max_time)));
  for (const std::string& id : source_conference_ids) {
    lines.push_back(Element("KonferenzIDVon", id));
  }
  lines.push_back("</request>");
  return Joined(lines);
}

std::string DeleteConferenceRequestText(std::string_view conference_id) {
  return std::string(kDeclaration) + "<request><action>deleteKonferenz</action>" +
         Element("konferenzid", conference_id) + "</request>";
}

}  // namespace parlevo

// The request texts the series engine hands to the conference and membership actions, in the
// same XML form as the front end sends them: one element per line, lines joined with CR LF.
// Values are escaped as XML text, so that no value can add or end an element.
//
// Thread safety: pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/datetime.h"

namespace parlevo {

// What an "addKonferenz" request of the series engine carries.
struct TConferenceRequest {
  std::string Name;  // plain text; the request carries it Base64-encoded
  TDateTime Date = 0;
  std::optional<TDateTime> EndDate;  // monthly series only
  TDateTime StartTime = 0;
  TDateTime EndTime = 0;
  std::string Room;
  std::string PinHost;
  std::string PinMember;
  std::string PinListenOnly;
  std::optional<int32_t> RecurrenceId;  // none: the conference belongs to no series
};

// The dates are written as XML Schema dateTime texts with the given offset east of UTC (the
// local offset in force when the request is built).
std::string ConferenceRequestText(const TConferenceRequest& request, int utc_offset_minutes);

// "InviteKonfTeilnehmer": copies the members of the source conferences into conference_id; the
// times are written "yyyy-mm-dd hh:nn:ss".
std::string InviteRequestText(std::string_view conference_id, std::string_view room,
                              TDateTime min_time, TDateTime max_time,
                              const std::vector<std::string>& source_conference_ids);

// "deleteKonferenz" of one conference, on one line.
std::string DeleteConferenceRequestText(std::string_view conference_id);

// Text escaped for an XML element's content: only & < > become entities, every other byte stays.
// Deliberately not EscapeXml (webservice/helpers_xml.h): that one also writes quotes and CR as
// references and replaces characters XML cannot carry, which would change the request texts the
// series engine writes into the debug log and the CR a stored room name hands on to the action.
std::string XmlEscapedText(std::string_view text);

}  // namespace parlevo

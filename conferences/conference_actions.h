// The conference actions of DoKonferenzAction ("addKonferenz", "UpdateKonferenz",
// "GetKonferenzen", "DeleteKonferenz"). Each handler reads its request document, may write into
// the answer document (root "RESPONSE") and sets the answer text. The series engine calls
// AddKonferenz and DeleteKonferenz directly with requests of its own.
//
// Thread safety: every handler may run in several threads at once; each call opens its own
// queries and uses only the documents it is given.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "participants/teilnehmer.h"
#include "platform/datetime.h"

namespace parlevo {

// DeleteKonferenz cancels each membership through a TSendMailHelper (participants/teilnehmer.h),
// SendMailHelper unless one is given; on failure it may write its reason into the answer
// document's "result" element.
// It then deletes each conference with its memberships in a transaction of its own; a conference
// whose delete fails keeps its rows, and the answer is -1 with the first such message, while the
// other conferences of the request are still handled.

void AddKonferenz(pugi::xml_document& request, pugi::xml_document& response, std::string& result);
void Conferences_Update(pugi::xml_document& request, pugi::xml_document& response,
                        std::string& result);
void Conferences_Get(pugi::xml_document& request, pugi::xml_document& response,
                     std::string& result);
void DeleteKonferenz(pugi::xml_document& request, pugi::xml_document& response,
                     std::string& result);

// The handlers above with the moment they treat as "now" (local time) and the mail routine
// given, so that their outcome does not depend on the clock or on the installed routine.
void AddKonferenzAt(pugi::xml_document& request, pugi::xml_document& response, std::string& result,
                    TDateTime now);
void Conferences_GetAt(pugi::xml_document& request, pugi::xml_document& response,
                       std::string& result, TDateTime now);
void DeleteKonferenzWith(pugi::xml_document& request, pugi::xml_document& response,
                         std::string& result, const TSendMailHelper& send_mail_helper);

// An XML Schema dateTime text ("2009-05-12T10:00:00", optionally with a fraction and "Z" or
// "+hh:mm"/"-hh:mm"; a date alone counts as midnight) as local time: the time is moved from its
// offset (none counts as UTC) to the local offset in force at `now`. nullopt when the text is
// no such date-time.
std::optional<TDateTime> XMLTimeToLocalDateTime(std::string_view text, TDateTime now);

// XMLTimeToLocalDateTime for the date-times of requests, which must also fall within the years
// 1900 to 2100; nullopt otherwise.
std::optional<TDateTime> RequestDateTimeToLocal(std::string_view text, TDateTime now);

// Whether a date-time text of a request that is stored as sent (UpdateKonferenz, the series
// actions) names a day: every form RequestDateTimeToLocal takes, and the default date-time text
// that the lists and getRecurrence answer ("dd.mm.yyyy", optionally followed by " hh:nn:ss" and
// ".zzz"), so that what a front end read can be sent back. Within the years 1900 to 2100.
bool IsStorableRequestDateTime(std::string_view text, TDateTime now);

}  // namespace parlevo

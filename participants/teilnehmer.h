// Memberships of members in conferences (table "conferenceMembers"): the actions "inviteOne",
// "InviteKonfTeilnehmer" and "DeleteKonfTeilnehmer" of the action dispatcher. The series engine
// calls InviteKonfTeilnehmer directly with a request document it built.
//
// Member PINs are unique over all memberships: every PIN draw and its insert, and the duplicate
// tests of "inviteOne", run under the process-wide membership write lock.
//
// Thread safety: the actions may run on any number of threads at once.
#pragma once

#include <functional>
#include <string>

#include <pugixml.hpp>

namespace parlevo {

// Sends the invitation (invite true) or cancellation of one membership. On failure it writes the
// reason into the element "Result" of the response document and returns false.
using TSendMailHelper =
    std::function<bool(const std::string& conference_id, const std::string& participant_id,
                       bool invite, pugi::xml_document& response)>;

// The service's own mail path, SendMailHelper.
TSendMailHelper ServiceSendMailHelper();

// "inviteOne": finds or creates one member and adds him to a conference with a new PIN.
void Participant_AddToConference(pugi::xml_document& request, pugi::xml_document& response,
                                 std::string& result);
// "InviteKonfTeilnehmer": copies the memberships of the "KonferenzIDVon" conferences into the
// conference "KonferenzID".
void InviteKonfTeilnehmer(pugi::xml_document& request, pugi::xml_document& response,
                          std::string& result);
// "DeleteKonfTeilnehmer": sends each listed member his cancellation, then removes his membership.
void DeleteKonfTeilnehmer(pugi::xml_document& request, pugi::xml_document& response,
                          std::string& result);
// DeleteKonfTeilnehmer with the routine that sends the cancellations given (DeleteKonfTeilnehmer
// uses SendMailHelper, the service's mail path); an empty routine sends none and counts as failed.
void DeleteKonfTeilnehmerWith(pugi::xml_document& request, pugi::xml_document& response,
                              std::string& result, const TSendMailHelper& send_mail);

}  // namespace parlevo

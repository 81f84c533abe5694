// The member address book (table "members"): the actions "AddTeilnehmer", "GetTeilnehmer",
// "updateTeilnehmer" and "DeleteTeilnehmer" of the action dispatcher, and the duplicate test that
// "inviteOne" shares.
//
// Thread safety: the actions may run on any number of threads at once. Participants_Add holds
// the process-wide membership write lock around its duplicate test and insert; Participants_Exists
// takes no lock, so a caller that inserts after it must hold that lock itself.
#pragma once

#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace parlevo {

// True when a member has this surname, first name and e-mail address (ASCII letter case
// ignored); `id` then holds his ID. A failing read counts as "not found".
bool Participants_Exists(std::string_view name, std::string_view firstname, std::string_view email,
                         std::string& id);

// "AddTeilnehmer": adds a member unless an equal one exists.
void Participants_Add(pugi::xml_document& request, pugi::xml_document& response,
                      std::string& result);
// "GetTeilnehmer": lists every member.
void Participants_Get(pugi::xml_document& request, pugi::xml_document& response,
                      std::string& result);
// "updateTeilnehmer": overwrites one member's data.
void Participants_UpdateAddressbook(pugi::xml_document& request, pugi::xml_document& response,
                                    std::string& result);
// "DeleteTeilnehmer": removes a member with his memberships and attendance log, in one
// transaction.
void Participants_Delete(pugi::xml_document& request, pugi::xml_document& response,
                         std::string& result);

}  // namespace parlevo

// The invitation actions of the dispatcher: "SendInviteMail" (checks the member limit, then
// invites each listed member) and "SendInviteMailAll" (invites every member of a conference who
// has not been mailed yet). The messages themselves go out through SendMailHelper.
//
// Thread safety: the handlers may run on several connection threads at once; each works on its
// own request and response documents. The limit test and the sending are not atomic: two requests
// for one conference can together exceed the limit.
#pragma once

#include <cstdint>
#include <string>

#include <pugixml.hpp>

namespace parlevo {

// "MaxMembers": the largest number of invited memberships of a conference. Throws when the value
// is missing.
int32_t ReadMaxMembers();

// Action "SendInviteMail".
void SendInviteMail(pugi::xml_document& request, pugi::xml_document& response, std::string& result);

// Action "SendInviteMailAll".
void SendInviteMailAll(pugi::xml_document& request, pugi::xml_document& response,
                       std::string& result);

}  // namespace parlevo

// The room actions of DoKonferenzAction ("addRaum", "UpdateRaum", "GetRaeume", "DeleteRaum").
// Each handler reads its request document, may write into the answer document (root "RESPONSE")
// and sets the answer text. Deleting a room deletes the conferences held in it as well.
//
// Thread safety: every handler may run in several threads at once; each call opens its own
// queries and uses only the documents it is given.
#pragma once

#include <string>

#include <pugixml.hpp>

#include "platform/datetime.h"

namespace parlevo {

void AddRaum(pugi::xml_document& request, pugi::xml_document& response, std::string& result);
void UpdateRaum(pugi::xml_document& request, pugi::xml_document& response, std::string& result);
void GetRaeume(pugi::xml_document& request, pugi::xml_document& response, std::string& result);
void DeleteRaum(pugi::xml_document& request, pugi::xml_document& response, std::string& result);

// GetRaeume with the moment it treats as "now" (local time), so that its outcome does not depend
// on the clock.
void GetRaeumeAt(pugi::xml_document& request, pugi::xml_document& response, std::string& result,
                 TDateTime now);

}  // namespace parlevo

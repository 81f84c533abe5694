// The participant lists of one conference with their attendance: "GetKonfTeilnehmer" (every
// membership with all member data, one entry per attendance row) and "GetKonfTeilnehmerMobile"
// (at most fifteen short entries: never joined, present now, then left, latest first). Both only
// read; the attendance rows come from the conference side.
//
// Thread safety: both may run on any number of threads at once.
#pragma once

#include <string>

#include <pugixml.hpp>

namespace parlevo {

// How many entries the mobile list holds at most.
inline constexpr int kMobileListLimit = 15;

void GetKonfTeilnehmer(pugi::xml_document& request, pugi::xml_document& response,
                       std::string& result);
void GetKonfTeilnehmerMobile(pugi::xml_document& request, pugi::xml_document& response,
                             std::string& result);

}  // namespace parlevo

// Changes to single memberships and the small read actions beside them: "updateKonfTeilnehmer",
// "kickTeilnehmer", "GetTeilnehmerLog" (the attendance log the conference side writes) and
// "getSalutation", plus the display name of a language code in the service's configured language.
//
// Thread safety: every function may be called from any thread at once.
#pragma once

#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace parlevo {

// "updateKonfTeilnehmer": changes host flag, times, flags and language of one membership.
void Participants_UpdateConferenceData(pugi::xml_document& request, pugi::xml_document& response,
                                       std::string& result);
// "kickTeilnehmer": sets the kick flag of each listed membership.
void Participants_Kick(pugi::xml_document& request, pugi::xml_document& response,
                       std::string& result);
// "GetTeilnehmerLog": the join and leave times of a conference's members.
void Participants_GetLog(pugi::xml_document& request, pugi::xml_document& response,
                         std::string& result);
// "getSalutation": the male and female salutation words of a template language. A language
// without a readable language file throws std::runtime_error (the dispatcher's "error").
void GetSalutation(pugi::xml_document& request, pugi::xml_document& response, std::string& result);

// The configuration value "Language"; empty when it is missing.
std::string ReadRegistryLanguage();
// The display name of a language code in the configured language. Throws std::runtime_error when
// that language's file cannot be read.
std::string TranslateRegistryLanguage(std::string_view code);

}  // namespace parlevo

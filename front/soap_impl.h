// TZYNTConferenceService, the implementation of the SOAP interface IZYNTConferenceService: the
// language files and template languages, the conference of a member PIN, the database's schema
// version, the clock mode, and the action dispatcher. Every answer is a text, most of them small
// XML texts.
//
// Thread safety: the service holds no state; a new instance serves every call, and any number
// of calls run at once on the connection threads.
#pragma once

#include <string>

#include "webservice/soap.h"

namespace parlevo {

class TZYNTConferenceService {
 public:
  // The language file of the code (the configured "Language" when empty) with its line breaks
  // dropped. Throws std::runtime_error when there is no such file.
  std::string GetLanguage(const std::string& languageCode);
  std::string DoKonferenzAction(const std::string& Request);
  // The name of languageCode in the language translatedLanguage; throws when that language has
  // no file.
  std::string TranslateLanguageCode(const std::string& languageCode,
                                    const std::string& translatedLanguage);
  // Every template folder but "global" as <language> with its name in the service's language,
  // in the database's default language, and its code; sorted by folder name.
  std::string GetTemplateLanguages();
  // The conference, host flag and conference name of the membership with that PIN; "-1" when
  // there is none, the PIN is not all digits, or the database fails.
  std::string GetConferenceIDFromMemberPIN(const std::string& strMemberPIN);
  // The greatest schema version of the database, or a code-1 answer with the database's error.
  std::string getLatestVersion();
  // Whether the front end shows times with am/pm ("TimeShowMode" other than 24).
  std::string getAmPm();
};

// The interface's callables, each call on a new TZYNTConferenceService.
soap::TConferenceServiceMethods ConferenceServiceMethods();

}  // namespace parlevo

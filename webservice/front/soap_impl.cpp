#include "webservice/front/soap_impl.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "logging/lg_auto.h"
#include "service/helpers.h"
#include "webservice/base64.h"
#include "webservice/front/configuration.h"
#include "webservice/front/konferenz_action.h"
#include "webservice/helpers_xml.h"
#include "webservice/language_files.h"

namespace parlevo {
namespace {

namespace fs = std::filesystem;
using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

std::string WithoutLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r' && c != '\n') out.push_back(c);
  }
  return out;
}

}  // namespace

std::string TZYNTConferenceService::GetLanguage(const std::string& languageCode) {
  TLgMethodScope scope(MainSession(), "TZYNTConferenceService::GetLanguage");
  std::string result = "error";
  std::string code = languageCode;
  if (code.empty()) code = ReadConfigString("Language");
  result = WithoutLineBreaks(ReadLanguageFileText(ExeFolder(), code));
  WriteDebugLog(result);
  return result;
}

std::string TZYNTConferenceService::DoKonferenzAction(const std::string& Request) {
  return parlevo::DoKonferenzAction(Request);
}

std::string TZYNTConferenceService::TranslateLanguageCode(const std::string& languageCode,
                                                          const std::string& translatedLanguage) {
  TLgMethodScope scope(MainSession(), "TZYNTConferenceService::TranslateLanguageCode");
  const std::optional<fs::path> file = LanguageFilePath(ExeFolder(), translatedLanguage);
  WriteDebugLog(file ? file->string()
                     : ExeFolder() + "Templates/" + translatedLanguage + "/language/language.xml");
  return parlevo::TranslateLanguageCode(ExeFolder(), languageCode, translatedLanguage);
}

std::string TZYNTConferenceService::getAmPm() {
  TLgMethodScope scope(MainSession(), "TZYNTConferenceService::getAmPm");
  try {
    const std::string use_am_pm = ReadConfigInteger("TimeShowMode") == 24 ? "false" : "true";
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><response><type>getAmPm</type><useAmPm>" +
           use_am_pm + "</useAmPm><result><code>0</code></result></response>";
  } catch (const std::exception& e) {
    MainSession().LogException(e, "TimeShowMode");
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><response><type>getAmPm</type>"
           "<useAmPm>false</useAmPm><result><code>1</code><description>TimeShowMode missing in "
           "Registry. Start Config tool to fix this error.</description></result></response>";
  }
}

soap::TConferenceServiceMethods ConferenceServiceMethods() {
  soap::TConferenceServiceMethods m;
  m.GetLanguage = [](const std::string& code) {
    return TZYNTConferenceService().GetLanguage(code);
  };
  m.DoKonferenzAction = [](const std::string& request) {
    return TZYNTConferenceService().DoKonferenzAction(request);
  };
  m.TranslateLanguageCode = [](const std::string& code, const std::string& language) {
    return TZYNTConferenceService().TranslateLanguageCode(code, language);
  };
  m.getAmPm = [] { return TZYNTConferenceService().getAmPm(); };
  return m;
}

}  // namespace parlevo

#include "front/soap_impl.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "front/configuration.h"
#include "front/konferenz_action.h"
#include "logging/lg_auto.h"
#include "service/action_statement.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/sql_values.h"
#include "webservice/base64.h"
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

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The connection text of this call, also made the process-wide current one for the logs.
std::string CallConnectionString() {
  std::string connection = GetConnectionString();
  SetCurrentConnectionString(connection);
  return connection;
}

// The template folders that are languages, sorted by their codes (the lowered names).
std::vector<std::string> TemplateLanguageFolders() {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(ExeFolder()) / "Templates", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code type_ec;
    if (!it->is_directory(type_ec)) continue;
    const std::string name = it->path().filename().string();
    if (name.starts_with('.') || ApplyCaseMode(name, kCaseLower) == "global") continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return ApplyCaseMode(a, kCaseLower) < ApplyCaseMode(b, kCaseLower);
  });
  return names;
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

std::string TZYNTConferenceService::GetTemplateLanguages() {
  TLgMethodScope scope(MainSession(), "TZYNTConferenceService::GetTemplateLanguages");
  const std::string connection = CallConnectionString();
  const std::string service_language = ReadConfigString("Language");

  std::string default_language;
  {
    TActionStatement statement(connection);
    if (const auto status =
            statement.Run("SELECT name FROM [languageid] WHERE default=true", true)) {
      if (!statement.Rows().Eof())
        default_language = statement.Rows().FieldByName("name").AsString();
    } else {
      MainSession().LogString(TLgLevel::Warning, "languageid", status.message());
    }
  }

  std::string languages;
  for (const std::string& folder : TemplateLanguageFolders()) {
    const std::string code = ApplyCaseMode(folder, kCaseLower);
    const std::string translation =
        parlevo::TranslateLanguageCode(ExeFolder(), code, service_language);
    // Without a default language (or its file) the list is still worth having.
    std::string in_default;
    if (!default_language.empty()) {
      try {
        in_default = parlevo::TranslateLanguageCode(ExeFolder(), code, default_language);
      } catch (const std::exception& e) {
        MainSession().LogException(e, "default language " + default_language);
      }
    }
    languages += "<language><translation>" + EscapeXml(translation) + "</translation><def>" +
                 EscapeXml(in_default) + "</def><code>" + EscapeXml(code) + "</code></language>";
  }
  return "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?><templatelanguages><type>"
         "GetTemplateLanguages</type>" +
         languages + "</templatelanguages>";
}

std::string TZYNTConferenceService::GetConferenceIDFromMemberPIN(const std::string& strMemberPIN) {
  TLgMethodScope scope(MainSession(), "TZYNTConferenceService::GetConferenceIDFromMemberPIN");
  std::string result = "-1";
  // The PBX passes what a caller keyed in; only a PIN of digits may reach the statement.
  if (!AllDigits(strMemberPIN)) {
    MainSession().LogString(TLgLevel::Warning, "Refused member PIN", strMemberPIN);
    return result;
  }
  const std::string connection = CallConnectionString();
  const std::string sql =
      "SELECT [conferenceMembers].conferenceID, [conferenceMembers].host, [conferences].name as "
      "conferenceName   FROM [conferenceMembers], [conferences]  WHERE [conferenceMembers].pin=" +
      SqlText(strMemberPIN) + " AND [conferenceMembers].conferenceID=[conferences].ID";
  TActionStatement statement(connection);
  if (const auto status = statement.Run(sql, true)) {
    TADOQuery& rows = statement.Rows();
    if (!rows.Eof()) {
      if (rows.RecordCount() > 1) {
        MainSession().LogWarning("Member PIN " + strMemberPIN + " belongs to " +
                                 std::to_string(rows.RecordCount()) +
                                 " memberships; the first is answered");
      }
      result = "<?xml version=\"1.0\" encoding=\"utf-8\"?><response><id>" +
               rows.FieldByName("conferenceID").AsString() + "</id><host>" +
               (rows.FieldByName("host").AsBoolean() ? "1</host>" : "0</host>") +
               "<conferenceName>" + Base64Encode(rows.FieldByName("conferenceName").AsString()) +
               "</conferenceName></response>";
    }
  } else {
    MainSession().LogString(TLgLevel::Error, "Error with DB", status.message());
  }
  return result;
}

std::string TZYNTConferenceService::getLatestVersion() {
  TLgMethodScope scope(MainSession(), "TZYNTConferenceService::getLatestVersion");
  std::string result = "-1";
  const std::string connection = CallConnectionString();
  TActionStatement statement(connection);
  const auto status =
      statement.Run("SELECT MAX(version) as latestVersion FROM SchemaVersion", true);
  if (status) {
    if (!statement.Rows().Eof()) {
      result =
          "<?xml version=\"1.0\" encoding=\"utf-8\"?><response><type>version</type>"
          "<latestVersion>" +
          EscapeXml(statement.Rows().FieldByName("latestVersion").AsString()) +
          "</latestVersion></response>";
    }
  } else {
    MainSession().LogError("Error with DB" + status.message());
    result =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><response><type>version</type><result>"
        "<code>1</code><description>" +
        EscapeXml(status.message()) + "</description></result></response>";
  }
  return result;
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
  m.GetTemplateLanguages = [] { return TZYNTConferenceService().GetTemplateLanguages(); };
  m.GetConferenceIDFromMemberPIN = [](const std::string& pin) {
    return TZYNTConferenceService().GetConferenceIDFromMemberPIN(pin);
  };
  m.getLatestVersion = [] { return TZYNTConferenceService().getLatestVersion(); };
  m.getAmPm = [] { return TZYNTConferenceService().getAmPm(); };
  return m;
}

}  // namespace parlevo

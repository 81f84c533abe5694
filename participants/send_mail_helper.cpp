#include "participants/send_mail_helper.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "logging/lg_auto.h"
#include "notifications/send_mail.h"
#include "notifications/send_mail_module.h"
#include "platform/registry.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/sql_values.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/language_files.h"

namespace parlevo {

using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

namespace {

constexpr std::string_view kLog = "Teilnehmer::SendMailHelper";

std::string Title(std::string_view text) {
  return std::string(kLog) + ": " + std::string(text);
}

// Runs one statement; on failure the error goes into "result" of the response.
bool Run(std::unique_ptr<TADOQuery>& query, const std::string& connect_str, const std::string& sql,
         bool is_select, pugi::xml_document& response) {
  auto& log = MainSession();
  log.LogSql(TLgLevel::Debug, Title("string_Query"), sql);
  std::string error;
  if (ConnectToADODB(query, connect_str, sql, is_select, error)) return true;
  log.LogError(Title(error));
  GetQueryResultText(response, error);
  return false;
}

// A key of a language file; nullopt when the file cannot be loaded.
std::optional<std::string> LanguageText(std::string_view code, std::string_view key) {
  try {
    pugi::xml_document doc;
    LoadLanguageFile(doc, ExeFolder(), code);
    return LookupLanguageKey(doc, key);
  } catch (const std::exception& e) {
    MainSession().LogException(e, kLog);
    return std::nullopt;
  }
}

}  // namespace

TMailSettings ReadMailSettings() {
  TMailSettings s;
  TRegistry registry;
  registry.OpenKey(kParlevoRegistryKey, true);
  s.MailActivate = registry.ReadInteger("MailActivate") != 0;
  s.MailOutlookActivate = registry.ReadInteger("MailOutlookActivate") != 0;
  s.MailOutlookAlarmActivate = registry.ReadInteger("MailOutlookAlarmActivate") != 0;
  s.MailOutlookAlarmMinutes = registry.ReadInteger("MailOutlookAlarmMinutes");
  s.MailOutlookAlarmHours = registry.ReadInteger("MailOutlookAlarmHours");
  s.SMSActivate = registry.ReadInteger("SMSActivate") != 0;
  return s;
}

bool SendMailHelper(std::string_view conference_id, std::string_view participant_id, bool invite,
                    pugi::xml_document& response) {
  auto& log = MainSession();
  TLgMethodScope scope(log, kLog);
  log.LogString(TLgLevel::Debug, Title("ConferenceID"), conference_id);
  log.LogString(TLgLevel::Debug, Title("ParticipantID"), participant_id);
  log.LogBoolean(TLgLevel::Debug, Title("Invite"), invite);

  const auto conference = SqlInt(conference_id);
  const auto participant = SqlInt(participant_id);
  if (!conference || !participant) {
    const std::string error = !conference ? SqlIntError("ConferenceID", conference_id)
                                          : SqlIntError("ParticipantID", participant_id);
    log.LogError(Title(error));
    GetQueryResultText(response, error);
    return false;
  }
  const std::string connect_str = UseConnectionString();
  std::unique_ptr<TADOQuery> query;

  // The host of the conference.
  if (!Run(query, connect_str,
           "SELECT name, firstname from [members], [conferenceMembers] where host=true AND "
           "memberID=ID AND conferenceID=" +
               *conference,
           true, response)) {
    return false;
  }
  std::string host;
  if (!query->Eof()) {
    host = query->FieldByName("firstname").AsString() + " " + query->FieldByName("name").AsString();
  }
  FreeADOQuery(query);

  // The membership: an invitation goes to one not mailed yet, a cancellation to one that was.
  const std::string membership_sql =
      "SELECT [rooms].name, [conferences].name, [members].*, [conferenceMembers].languagecode, "
      "[conferenceMembers].membersvisible,[conferenceMembers].min, [conferenceMembers].max, "
      "[conferenceMembers].directdial, [conferenceMembers].pin FROM [rooms], [conferences], "
      "[conferenceMembers], [members] WHERE [rooms].directdial=[conferences].room AND "
      "[conferences].ID= [conferenceMembers].conferenceID AND "
      "[members].ID=[conferenceMembers].memberID" +
      std::string(invite ? " AND [conferenceMembers].email=false"
                         : " AND [conferenceMembers].email=true") +
      " AND [conferences].ID=" + *conference + " AND [members].ID=" + *participant;
  if (!Run(query, connect_str, membership_sql, true, response)) return false;
  if (query->Eof()) {
    log.LogError(Title("Keine Teilnehmer gefunden"));
    GetQueryResultText(response, "Keine Teilnehmer gefunden");
    return false;
  }
  const std::string room_name = query->FieldByName("rooms.name").AsString();
  const std::string conference_name = query->FieldByName("conferences.name").AsString();
  const std::string sex = query->FieldByName("sex").AsString();
  std::string title = query->FieldByName("title").AsString();
  const std::string name = query->FieldByName("members.name").AsString();
  const std::string firstname = query->FieldByName("firstname").AsString();
  const std::string email = query->FieldByName("email").AsString();
  const std::string sms = query->FieldByName("sms").AsString();
  const TDateTimeWords start = SplitDateTimeText(query->FieldByName("min").AsString());
  const TDateTimeWords end = SplitDateTimeText(query->FieldByName("max").AsString());
  const std::string direct_dial = query->FieldByName("directdial").AsString();
  const std::string pin = query->FieldByName("pin").AsString();
  const std::string language_code = query->FieldByName("languagecode").AsString();
  std::string language = query->FieldByName("language").AsString();
  const bool members_visible = query->FieldByName("membersvisible").AsBoolean();
  FreeADOQuery(query);
  log.LogString(TLgLevel::Debug, Title("name"), name);
  log.LogString(TLgLevel::Debug, Title("email"), email);
  log.LogString(TLgLevel::Debug, Title("languagecode"), language_code);

  // A member without a language gets "ger"; other members with his address keep theirs.
  if (language.empty()) {
    log.LogMessage(Title("Member has no language, \"ger\" is used"));
    language = "ger";
    if (!Run(query, connect_str,
             "UPDATE [members] SET [language]=\"ger\" WHERE ([ID]=" + *participant +
                 " OR [email]=" + SqlText(email) + ") AND ([language] IS NULL OR [language]=\"\")",
             false, response)) {
      return false;
    }
    FreeADOQuery(query);
  }

  // The gender: the member's salutation compared with the male salutation of his language.
  std::string gender;
  if (const auto male = LanguageText(language, "localSettings.salutation.male")) {
    gender = sex == *male ? "male" : "female";
  } else {
    log.LogWarning(
        Title("Fehler beim Auslesen der language.xml. Geschlecht wird auf male gesetzt."));
    gender = "male";
  }
  std::string salutation;
  if (const auto word = LanguageText(language_code, "localSettings.salutation." + gender)) {
    salutation = *word;
  } else {
    log.LogWarning(Title("Fehler beim Auslesen der language.xml. Anrede wird auf Herr gesetzt."));
    salutation = "Herr";
  }
  if (!title.empty()) title = " " + title;
  const std::string sms_text = sms.empty() ? "-" : sms;

  const TMailSettings settings = ReadMailSettings();
  bool sent = false;

  std::string default_language;
  {
    std::string error;
    const std::string sql = "SELECT name FROM [languageid] WHERE default=true";
    log.LogSql(TLgLevel::Debug, Title("string_Query"), sql);
    if (ConnectToADODB(query, connect_str, sql, true, error)) {
      if (!query->Eof()) default_language = query->FieldByName("name").AsString();
      FreeADOQuery(query);
    } else {
      log.LogError(Title(error));
    }
  }

  std::vector<TMemberListEntry> member_list;
  {
    std::string error;
    const std::string sql =
        "SELECT name, firstname, [members].email, company, host from [members], "
        "[conferenceMembers] where memberID=ID AND conferenceID=" +
        *conference;
    log.LogSql(TLgLevel::Debug, Title("string_Query"), sql);
    if (ConnectToADODB(query, connect_str, sql, true, error)) {
      try {
        for (; !query->Eof(); query->Next()) {
          TMemberListEntry entry;
          entry.Name = query->FieldByName("firstname").AsString() + " " +
                       query->FieldByName("name").AsString();
          entry.EMail = query->FieldByName("email").AsString();
          entry.Company = query->FieldByName("company").AsString();
          entry.Host = query->FieldByName("host").AsString();
          log.LogString(TLgLevel::Debug, Title("MemberList"), entry.Text());
          member_list.push_back(std::move(entry));
        }
      } catch (const std::exception& e) {
        log.LogException(e, kLog);
      }
      FreeADOQuery(query);
    } else {
      log.LogError(Title(error));
    }
  }

  TSendMail mail;
  mail.Salutation = salutation;
  mail.Title = title;
  mail.Firstname = firstname;
  mail.Name = name;
  mail.Host = host;
  mail.ConferenceName = "\"" + conference_name + "\"";
  mail.Date = start.Date;
  mail.Time = start.Time;
  mail.DateEnd = end.Date;
  mail.TimeEnd = end.Time;
  mail.RoomName = "\"" + room_name + "\"";
  mail.DirectDial = direct_dial;
  mail.PIN = pin;
  mail.SMSText = sms_text;
  mail.Invite = invite;
  mail.LanguageCode = language_code;
  mail.MemberList = std::move(member_list);
  mail.defaultLanguage = default_language;
  mail.MembersVisible = members_visible;
  mail.ConferenceID = *conference;
  mail.Outlook_Alarm_Enabled = settings.MailOutlookAlarmActivate;
  mail.Outlook_Alarm_Minutes = settings.MailOutlookAlarmMinutes;
  mail.Outlook_Alarm_Hours = settings.MailOutlookAlarmHours;

  if (settings.MailActivate) {
    mail.EMail = email;
    mail.IsEMail = true;
    mail.Outlook_Invitation_Enabled = settings.MailOutlookActivate;
    sent = SendMail(mail);
  }
  // Invitations never go out by SMS here; the reminder thread sends those.
  if (settings.SMSActivate && !invite && !sms.empty()) {
    mail.EMail = sms;
    mail.IsEMail = false;
    mail.Outlook_Invitation_Enabled = false;
    sent = SendMail(mail);
  }

  if (!invite) return true;
  if (!sent) {
    log.LogError(settings.MailActivate
                     ? Title("MailSend failed for " + name + " " + firstname + ", " + email)
                     : Title("Send disabled"));
    return false;
  }
  if (!Run(query, connect_str,
           "UPDATE [conferenceMembers] SET email=true WHERE memberID=" + *participant +
               " AND conferenceID=" + *conference,
           false, response)) {
    return false;
  }
  FreeADOQuery(query);
  return true;
}

}  // namespace parlevo

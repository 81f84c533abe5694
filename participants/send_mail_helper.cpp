#include "participants/send_mail_helper.h"

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "logging/lg_auto.h"
#include "notifications/mail_path.h"
#include "notifications/membership_claims.h"
#include "notifications/send_mail.h"
#include "notifications/send_mail_module.h"
#include "platform/registry.h"
#include "service/action_statement.h"
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
// The answer of a request that finds the invitation being sent by another one: it sent nothing.
constexpr std::string_view kInvitationUnderWay = "Einladung wird bereits versendet";

std::string Title(std::string_view text) {
  return std::string(kLog) + ": " + std::string(text);
}

TActionStatement Statement(const std::string& connect_str) {
  return TActionStatement(connect_str, [](std::string_view sql) {
    MainSession().LogSql(TLgLevel::Debug, Title("string_Query"), sql);
  });
}

// The reason goes into "result" of the response as well as into the log.
bool Reject(pugi::xml_document& response, const std::string& reason) {
  MainSession().LogError(Title(reason));
  GetQueryResultText(response, reason);
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

// The membership a message is about, with its member, room and conference.
struct TMembership {
  std::string room_name;
  std::string conference_name;
  std::string sex;
  std::string title;
  std::string name;
  std::string firstname;
  std::string email;
  std::string sms;
  TDateTimeWords start;
  TDateTimeWords end;
  std::string direct_dial;
  std::string pin;
  std::string language_code;
  std::string language;
  bool members_visible = false;
};

// An invitation goes to a membership not mailed yet, a cancellation to one that was.
TStatementValue<TMembership> LoadMembership(TActionStatement& statement,
                                            const std::string& conference,
                                            const std::string& participant, bool invite) {
  const TStatementStatus status = statement.Run(
      "SELECT [rooms].name, [conferences].name, [members].*, [conferenceMembers].languagecode, "
      "[conferenceMembers].membersvisible,[conferenceMembers].min, [conferenceMembers].max, "
      "[conferenceMembers].directdial, [conferenceMembers].pin FROM [rooms], [conferences], "
      "[conferenceMembers], [members] WHERE [rooms].directdial=[conferences].room AND "
      "[conferences].ID= [conferenceMembers].conferenceID AND "
      "[members].ID=[conferenceMembers].memberID" +
          std::string(invite ? " AND [conferenceMembers].email=false"
                             : " AND [conferenceMembers].email=true") +
          " AND [conferences].ID=" + conference + " AND [members].ID=" + participant,
      true);
  if (!status) return status;
  TADOQuery& rows = statement.Rows();
  if (rows.Eof()) return TStatementStatus::Failed("Keine Teilnehmer gefunden");
  TMembership m;
  m.room_name = rows.FieldByName("rooms.name").AsString();
  m.conference_name = rows.FieldByName("conferences.name").AsString();
  m.sex = rows.FieldByName("sex").AsString();
  m.title = rows.FieldByName("title").AsString();
  m.name = rows.FieldByName("members.name").AsString();
  m.firstname = rows.FieldByName("firstname").AsString();
  m.email = rows.FieldByName("email").AsString();
  m.sms = rows.FieldByName("sms").AsString();
  m.start = SplitDateTimeText(rows.FieldByName("min").AsString());
  m.end = SplitDateTimeText(rows.FieldByName("max").AsString());
  m.direct_dial = rows.FieldByName("directdial").AsString();
  m.pin = rows.FieldByName("pin").AsString();
  m.language_code = rows.FieldByName("languagecode").AsString();
  m.language = rows.FieldByName("language").AsString();
  m.members_visible = rows.FieldByName("membersvisible").AsBoolean();
  statement.Release();
  return m;
}

// A member without a language gets "ger"; other members with his address keep theirs.
TStatementStatus SettleLanguage(TActionStatement& statement, TMembership& membership,
                                const std::string& participant) {
  if (!membership.language.empty()) return TStatementStatus::Ok();
  MainSession().LogMessage(Title("Member has no language, \"ger\" is used"));
  membership.language = "ger";
  return statement.Run("UPDATE [members] SET [language]=\"ger\" WHERE ([ID]=" + participant +
                           " OR [email]=" + SqlText(membership.email) +
                           ") AND ([language] IS NULL OR [language]=\"\")",
                       false);
}

// The gender is the member's salutation compared with the male salutation of his language; the
// words come from the language of the membership.
std::string SettleSalutation(const TMembership& membership) {
  auto& log = MainSession();
  std::string gender;
  if (const auto male = LanguageText(membership.language, "localSettings.salutation.male")) {
    gender = membership.sex == *male ? "male" : "female";
  } else {
    log.LogWarning(
        Title("Fehler beim Auslesen der language.xml. Geschlecht wird auf male gesetzt."));
    gender = "male";
  }
  if (const auto word =
          LanguageText(membership.language_code, "localSettings.salutation." + gender)) {
    return *word;
  }
  log.LogWarning(Title("Fehler beim Auslesen der language.xml. Anrede wird auf Herr gesetzt."));
  return "Herr";
}

// Empty when it cannot be read: the message then goes out in the membership's language.
std::string LoadDefaultLanguage(TActionStatement& statement) {
  const TStatementStatus status =
      statement.Run("SELECT name FROM [languageid] WHERE default=true", true);
  if (!status) {
    MainSession().LogError(Title(status.message()));
    return {};
  }
  std::string name;
  if (!statement.Rows().Eof()) name = statement.Rows().FieldByName("name").AsString();
  statement.Release();
  return name;
}

// The members as far as they can be read: the message lists whom it can.
std::vector<TMemberListEntry> LoadMemberList(TActionStatement& statement,
                                             const std::string& conference) {
  auto& log = MainSession();
  std::vector<TMemberListEntry> list;
  const TStatementStatus status = statement.Run(
      "SELECT name, firstname, [members].email, company, host from [members], "
      "[conferenceMembers] where memberID=ID AND conferenceID=" +
          conference,
      true);
  if (!status) {
    log.LogError(Title(status.message()));
    return list;
  }
  try {
    for (TADOQuery& rows = statement.Rows(); !rows.Eof(); rows.Next()) {
      TMemberListEntry entry;
      entry.Name =
          rows.FieldByName("firstname").AsString() + " " + rows.FieldByName("name").AsString();
      entry.EMail = rows.FieldByName("email").AsString();
      entry.Company = rows.FieldByName("company").AsString();
      entry.Host = rows.FieldByName("host").AsString();
      log.LogString(TLgLevel::Debug, Title("MemberList"), entry.Text());
      list.push_back(std::move(entry));
    }
  } catch (const std::exception& e) {
    log.LogException(e, kLog);
  }
  statement.Release();
  return list;
}

TSendMail Compose(const TMembership& m, const std::string& host, const std::string& salutation,
                  const std::string& conference, bool invite, const TMailSettings& settings) {
  TSendMail mail;
  mail.Salutation = salutation;
  mail.Title = m.title.empty() ? m.title : " " + m.title;
  mail.Firstname = m.firstname;
  mail.Name = m.name;
  mail.Host = host;
  mail.ConferenceName = "\"" + m.conference_name + "\"";
  mail.Date = m.start.Date;
  mail.Time = m.start.Time;
  mail.DateEnd = m.end.Date;
  mail.TimeEnd = m.end.Time;
  mail.RoomName = "\"" + m.room_name + "\"";
  mail.DirectDial = m.direct_dial;
  mail.PIN = m.pin;
  mail.SMSText = m.sms.empty() ? "-" : m.sms;
  mail.Invite = invite;
  mail.LanguageCode = m.language_code;
  mail.MembersVisible = m.members_visible;
  mail.ConferenceID = conference;
  mail.Outlook_Alarm_Enabled = settings.MailOutlookAlarmActivate;
  mail.Outlook_Alarm_Minutes = settings.MailOutlookAlarmMinutes;
  mail.Outlook_Alarm_Hours = settings.MailOutlookAlarmHours;
  return mail;
}

// The e-mail, and for a cancellation the SMS; true when the last message sent went out.
bool DeliverBoth(const TMailSend& send, TSendMail& mail, const TMembership& m,
                 const TMailSettings& settings) {
  bool sent = false;
  if (settings.MailActivate) {
    mail.EMail = m.email;
    mail.IsEMail = true;
    mail.Outlook_Invitation_Enabled = settings.MailOutlookActivate;
    sent = Deliver(send, mail);
  }
  // Invitations never go out by SMS here; the reminder thread sends those.
  if (settings.SMSActivate && !mail.Invite && !m.sms.empty()) {
    mail.EMail = m.sms;
    mail.IsEMail = false;
    mail.Outlook_Invitation_Enabled = false;
    sent = Deliver(send, mail);
  }
  return sent;
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
                    pugi::xml_document& response, const TMailSend& send) {
  auto& log = MainSession();
  TLgMethodScope scope(log, kLog);
  log.LogString(TLgLevel::Debug, Title("ConferenceID"), conference_id);
  log.LogString(TLgLevel::Debug, Title("ParticipantID"), participant_id);
  log.LogBoolean(TLgLevel::Debug, Title("Invite"), invite);

  const auto conference = SqlInt(conference_id);
  const auto participant = SqlInt(participant_id);
  if (!conference || !participant) {
    return Reject(response, !conference ? SqlIntError("ConferenceID", conference_id)
                                        : SqlIntError("ParticipantID", participant_id));
  }
  // Claimed before "not mailed yet" is read and kept until the mark is written, so that no other
  // request sends this invitation meanwhile.
  TMembershipClaims::TClaim claim;
  if (invite) {
    claim = MembershipClaims().Claim(*participant, *conference, TMessageKind::Invitation);
    if (!claim) return Reject(response, std::string(kInvitationUnderWay));
  }
  TActionStatement statement = Statement(UseConnectionString());
  const auto host = LoadHost(statement, *conference);
  if (!host) return Reject(response, host.message());
  auto loaded = LoadMembership(statement, *conference, *participant, invite);
  if (!loaded) return Reject(response, loaded.message());
  TMembership membership = *loaded;
  log.LogString(TLgLevel::Debug, Title("name"), membership.name);
  log.LogString(TLgLevel::Debug, Title("email"), membership.email);
  log.LogString(TLgLevel::Debug, Title("languagecode"), membership.language_code);

  if (const auto status = SettleLanguage(statement, membership, *participant); !status) {
    return Reject(response, status.message());
  }
  const std::string salutation = SettleSalutation(membership);
  const TMailSettings settings = ReadMailSettings();
  TSendMail mail = Compose(membership, *host, salutation, *conference, invite, settings);
  mail.defaultLanguage = LoadDefaultLanguage(statement);
  mail.MemberList = LoadMemberList(statement, *conference);
  const bool sent = DeliverBoth(send, mail, membership, settings);

  if (!invite) return true;
  if (!sent) {
    log.LogError(settings.MailActivate ? Title("MailSend failed for " + membership.name + " " +
                                               membership.firstname + ", " + membership.email)
                                       : Title("Send disabled"));
    return false;
  }
  if (const auto status = MarkMembership(statement, "email", *participant, *conference); !status) {
    return Reject(response, status.message());
  }
  return true;
}

}  // namespace parlevo

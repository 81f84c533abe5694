// The mail request builder: the one entry through which the service sends an invitation, a
// cancellation or a reminder to one person, by e-mail or by SMS (an e-mail to a gateway address).
// The caller fills a TSendMail; SendMail adds the registry settings and the texts of the language
// file, writes the mail request (lines name=value) and hands it to the process's e-mail module.
//
// Thread safety: SendMail may be called from any thread at once; the e-mail module serialises the
// sends themselves (one send holds the module at a time). The other functions are pure or read
// only the registry and the file system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "notifications/smtp_client.h"

namespace parlevo {

// One member of the conference, as the message lists him. Kept as fields rather than as one
// comma-joined text, so that a company such as "Acme, Inc." cannot shift the fields.
struct TMemberListEntry {
  std::string Name;  // first name and surname joined by a blank
  std::string EMail;
  std::string Company;
  std::string Host;  // the host flag as the database renders it ("Wahr"/"Falsch", "True"...)

  // The fields joined by ",", the form the trace shows.
  std::string Text() const;
};

struct TSendMail {
  std::string EMail;  // the e-mail address, or for an SMS the mobile number
  std::string Salutation;
  std::string Title;
  std::string Firstname;
  std::string Name;
  std::string Host;            // display name of the conference's host
  std::string ConferenceName;  // in double quotes
  std::string Date;            // "dd.mm.yyyy"
  std::string Time;            // "hh:nn:ss"
  std::string DateEnd;
  std::string TimeEnd;
  std::string RoomName;  // in double quotes
  std::string DirectDial;
  std::string PIN;
  std::string SMSText;   // appended to the language file's SMS text block
  bool Invite = false;   // true: invitation; false: cancellation
  bool IsEMail = false;  // true: e-mail; false: SMS
  std::string LanguageCode;
  std::vector<TMemberListEntry> MemberList;
  std::string defaultLanguage;
  bool MembersVisible = false;
  std::string ConferenceID;
  bool Outlook_Invitation_Enabled = false;
  bool Outlook_Alarm_Enabled = false;
  int32_t Outlook_Alarm_Minutes = 0;
  int32_t Outlook_Alarm_Hours = 0;
};

// The registry values a mail request takes, for an e-mail or for an SMS.
struct TMailRequestSettings {
  int32_t UseRoomName = 0;  // "MailSenderUseRoomName"
  int32_t SMSActivate = 0;  // "SMSActivate" (e-mails only; an SMS counts it as 0)
  std::string LinkHost;     // "MailHost" / "SMSHost"
  std::string Server;       // "MailServer" / "SMSServer"
  std::string Login;        // "MailServerLogin" / "SMSServerLogin"
  std::string Password;     // "MailServerPass" / "SMSServerPass"
  std::string Sender;       // "MailSender" / "SMSSender"
  std::string SMSSubject;   // "SMSSubject" (SMS only)
  std::string ToExt;        // "SMSToExt" (SMS only)
  std::string ExtServerURL;
};

// Reads the values in the order the e-mail or SMS column lists them. A missing flag or integer
// value ends the reading there: it is logged and every later value stays empty.
TMailRequestSettings ReadMailRequestSettings(bool is_email);

// "ger\mail\*.invite.*" and the like: the template mask below "Templates" for a language.
std::string TemplateMid(std::string_view language, bool is_email, bool invite);

// The template language: LanguageCode when a template file matches its mask below
// install_path's "Templates" folder, else defaultLanguage (unchecked).
std::string ChooseTemplateLanguage(const TSendMail& mail, const std::string& install_path);

// The mail request lines. language is the language file of the requested language (a key it
// lacks gives the empty text).
std::vector<std::string> BuildMailRequest(const TSendMail& mail,
                                          const TMailRequestSettings& settings,
                                          std::string_view template_language,
                                          const pugi::xml_document& language);

// The date and the time words of a date-time column's text ("dd.mm.yyyy hh:nn:ss.zzz"). The
// database writes midnight as the date alone; its time is then "00:00:00", not the date again.
struct TDateTimeWords {
  std::string Date;
  std::string Time;
};
TDateTimeWords SplitDateTimeText(std::string_view text);

// Sends one message: true when the e-mail module reports it delivered; false on a delivery
// failure and on any error while building (the error is logged). Without limits, those of a
// request (kRequestSmtpLimits).
bool SendMail(const TSendMail& settings);
bool SendMail(const TSendMail& settings, const TSmtpLimits& limits);

}  // namespace parlevo

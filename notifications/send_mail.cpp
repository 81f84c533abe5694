#include "notifications/send_mail.h"

#include <exception>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "logging/lg_auto.h"
#include "notifications/email.h"
#include "notifications/mail_templates.h"
#include "notifications/mail_text.h"
#include "notifications/send_mail_module.h"
#include "platform/ascii_text.h"
#include "platform/registry.h"
#include "service/helpers.h"
#include "webservice/language_files.h"

namespace parlevo {

using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

namespace {

constexpr std::string_view kLog = "helpersConfEx::SendMail";

std::string LogTitle(std::string_view text) {
  return std::string(kLog) + ": " + std::string(text);
}

// The host flag of a member line: "wahr" or "true" in any letter case; "1" and "-1" do not count.
bool IsHostFlag(std::string_view flag) {
  const std::string lower = ToLowerAscii(flag);
  return lower == "wahr" || lower == "true";
}

// The language file as the SOAP method GetLanguage delivers it: its lines joined without line
// breaks, then parsed.
void LoadLanguageDocument(pugi::xml_document& doc, std::string_view code) {
  std::string text = ReadLanguageFileText(ExeFolder(), code);
  std::string joined;
  joined.reserve(text.size());
  for (char c : text) {
    if (c != '\r' && c != '\n') joined += c;
  }
  const pugi::xml_parse_result parsed =
      doc.load_buffer(joined.data(), joined.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) {
    throw std::runtime_error("language file of '" + std::string(code) +
                             "' is not well-formed: " + parsed.description());
  }
}

std::string ReadLanguageRegistryValue() {
  TRegistry registry;
  registry.OpenKey(kParlevoRegistryKey, true);
  return registry.ReadString("Language");
}

}  // namespace

std::string TMemberListEntry::Text() const {
  return Name + "," + EMail + "," + Company + "," + Host;
}

TDateTimeWords SplitDateTimeText(std::string_view text) {
  TDateTimeWords words;
  words.Date = GetToken(text, " ", 1);
  if (text.find(' ') != std::string_view::npos) {
    words.Time = GetToken(text, " ", 2);
  } else if (!words.Date.empty()) {
    words.Time = "00:00:00";
  }
  return words;
}

TMailRequestSettings ReadMailRequestSettings(bool is_email) {
  TMailRequestSettings s;
  try {
    TRegistry registry;
    registry.OpenKey(kParlevoRegistryKey, true);
    s.UseRoomName = registry.ReadInteger("MailSenderUseRoomName");
    if (is_email) {
      s.SMSActivate = registry.ReadInteger("SMSActivate");
      s.LinkHost = registry.ReadString("MailHost");
      s.Server = registry.ReadString("MailServer");
      s.Login = registry.ReadString("MailServerLogin");
      s.Password = registry.ReadString("MailServerPass");
      s.Sender = registry.ReadString("MailSender");
    } else {
      s.LinkHost = registry.ReadString("SMSHost");
      s.Server = registry.ReadString("SMSServer");
      s.Login = registry.ReadString("SMSServerLogin");
      s.Password = registry.ReadString("SMSServerPass");
      s.Sender = registry.ReadString("SMSSender");
      s.SMSSubject = registry.ReadString("SMSSubject");
      s.ToExt = registry.ReadString("SMSToExt");
    }
    s.ExtServerURL = registry.ReadString("ExtServerURL");
  } catch (const std::exception& e) {
    MainSession().LogException(e, LogTitle("reading the registry"));
  }
  return s;
}

std::string TemplateMid(std::string_view language, bool is_email, bool invite) {
  return std::string(language) + (is_email ? "\\mail\\" : "\\sms\\") +
         (invite ? "*.invite.*" : "*.disinvite.*");
}

std::string ChooseTemplateLanguage(const TSendMail& mail, const std::string& install_path) {
  auto& log = MainSession();
  log.LogMessage(LogTitle("Check if templates exists for the selected language"));
  bool found = false;
  try {
    const auto files = FindTemplateFiles(std::filesystem::path(install_path) / "Templates",
                                         TemplateMid(mail.LanguageCode, mail.IsEMail, mail.Invite));
    found = files.use_mask && !files.files.empty();
  } catch (const std::invalid_argument&) {
    // A language code that may not stand in a path has no templates.
    found = false;
  }
  if (found) return mail.LanguageCode;
  log.LogWarning(LogTitle("No template found -> use default language"));
  return mail.defaultLanguage;
}

namespace {

using TLanguageText = std::function<std::string(std::string_view)>;

// The subject of an e-mail comes from the language file with the conference filled in; an SMS
// has the registry's fixed subject.
std::string Subject(const TSendMail& mail, const TMailRequestSettings& settings,
                    const TLanguageText& text) {
  if (!mail.IsEMail) return settings.SMSSubject;
  std::string subject =
      text(mail.Invite ? "general.mail.subjectInvite" : "general.mail.subjectDisinvite");
  subject = mail::ReplaceAllIgnoreCase(subject, "<#roomName>", mail.RoomName);
  subject = mail::ReplaceAllIgnoreCase(subject, "<#conferenceName>", mail.ConferenceName);
  subject = mail::ReplaceAllIgnoreCase(subject, "<#conferenceDate>", mail.Date);
  subject =
      mail::ReplaceAllIgnoreCase(subject, "<#conferenceTime>", mail::CopyText(mail.Time, 1, 5));
  return mail::ReplaceAllIgnoreCase(subject, "<#directDial>", mail.DirectDial);
}

// The organiser the message names: the last host of the member list, unless the registry wants
// the room name (then found stays false).
struct TOrganiser {
  bool found = false;
  std::string name;
  std::string address;
};

TOrganiser FindOrganiser(const TSendMail& mail, const TMailRequestSettings& settings) {
  TOrganiser organiser;
  for (const auto& member : mail.MemberList) {
    if (IsHostFlag(member.Host)) {
      organiser.found = true;
      organiser.name = member.Name;
      organiser.address = member.EMail;
    }
  }
  organiser.found = organiser.found && settings.UseRoomName == 0;
  return organiser;
}

struct TRequestLines {
  std::vector<std::string> lines;
  void Add(std::string_view name, std::string_view value) {
    lines.push_back(std::string(name) + "=" + std::string(value));
  }
};

// The member list and the web link, when the members may see each other.
void AddMemberList(TRequestLines& out, const TSendMail& mail, const TMailRequestSettings& settings,
                   const TLanguageText& text) {
  std::string member_list;
  std::string url;
  if (mail.MembersVisible) {
    member_list = text("general.mail.invitedmembers") + "<brtxt>";
    for (const auto& member : mail.MemberList) {
      member_list += member.Name;
      if (!member.Company.empty()) member_list += " (" + member.Company + ")";
      member_list += ", " + member.EMail + "<brtxt>";
    }
    const std::string link =
        settings.ExtServerURL + "/default.html?RoomID=" + mail.DirectDial + "&UserPIN=" + mail.PIN;
    url = "<a href=\"" + link + "\">" + text("general.mail.url") + ": " + link + "</a>";
  }
  out.Add("memberlist", member_list);
  out.Add("url", url);
}

void AddCalendarLines(TRequestLines& out, const TSendMail& mail,
                      const TMailRequestSettings& settings, const TOrganiser& organiser) {
  MainSession().LogMessage(LogTitle("Collect data for outlook invitation"));
  out.Add("OutlookInvite", mail.Invite ? "true" : "false");
  out.Add("OutlookDateBegin", mail::CalendarDateFromText(mail.Date));
  out.Add("OutlookTimeBegin", mail::CalendarTimeFromText(mail.Time));
  out.Add("OutlookDateEnd", mail::CalendarDateFromText(mail.DateEnd));
  out.Add("OutlookTimeEnd", mail::CalendarTimeFromText(mail.TimeEnd));
  if (mail.Outlook_Alarm_Enabled) {
    out.Add("OutlookAlarm", "true");
    out.Add("OutlookAlarmHours", std::to_string(mail.Outlook_Alarm_Hours));
    out.Add("OutlookAlarmMinutes", std::to_string(mail.Outlook_Alarm_Minutes));
  } else {
    out.Add("OutlookAlarm", "false");
  }
  out.Add("OutlookHost", organiser.found ? organiser.name + ";" + organiser.address
                                         : settings.Sender + ";" + settings.Sender);
}

}  // namespace

std::vector<std::string> BuildMailRequest(const TSendMail& mail,
                                          const TMailRequestSettings& settings,
                                          std::string_view template_language,
                                          const pugi::xml_document& language) {
  auto& log = MainSession();
  const TLanguageText text = [&](std::string_view key) { return LookupLanguageKey(language, key); };

  log.LogMessage(LogTitle("Set subject"));
  const std::string subject = Subject(mail, settings, text);
  log.LogMessage(LogTitle("Search host of this conference"));
  const TOrganiser organiser = FindOrganiser(mail, settings);

  TRequestLines out;
  out.Add("mid", TemplateMid(template_language, mail.IsEMail, mail.Invite));
  log.LogMessage(LogTitle("Set mail settings"));
  out.Add("NoDB", "1");
  out.Add("MailServer", settings.Server);
  out.Add("MailServerLogin", settings.Login);
  out.Add("MailServerPass", settings.Password);
  out.Add("MailSenderAdress", organiser.found ? organiser.address : settings.Sender);
  out.Add("MailSubject", subject);
  out.Add("MailHost", settings.LinkHost);
  out.Add("SupportMailAdress", "");
  out.Add("fixemail", mail.IsEMail ? mail.EMail : mail.EMail + settings.ToExt);
  out.Add("Logging", "2");
  log.LogMessage(LogTitle("Set conference information"));
  out.Add("host", mail.Host);
  out.Add("firstname", mail.Firstname);
  out.Add("address", mail.Salutation);
  out.Add("title", mail.Title);
  out.Add("name", mail.Name);
  out.Add("conferenceName", mail.ConferenceName);
  out.Add("conferenceOrganiser", organiser.found ? organiser.name : mail.ConferenceName);
  out.Add("conferenceDate", mail.Date);
  out.Add("conferenceTime", mail::CopyText(mail.Time, 1, 5));
  out.Add("conferenceTimeEnd", mail::CopyText(mail.TimeEnd, 1, 5));
  out.Add("conferenceID", mail.ConferenceID);
  out.Add("RoomName", mail.RoomName);
  out.Add("directDial", mail.DirectDial);
  out.lines.push_back(mail.IsEMail ? "isEMail=1" : "isEMail=2");
  out.Add("PIN", mail.Invite ? mail.PIN : "");
  const bool sms_text = mail.IsEMail && mail.Invite && settings.SMSActivate == 1;
  out.Add("smstext", sms_text ? text("general.mail.smstext") + mail.SMSText : "");
  AddMemberList(out, mail, settings, text);
  if (mail.Outlook_Invitation_Enabled) AddCalendarLines(out, mail, settings, organiser);
  return std::move(out.lines);
}

bool SendMail(const TSendMail& settings) {
  return SendMail(settings, kRequestSmtpLimits);
}

bool SendMail(const TSendMail& settings, const TSmtpLimits& limits) {
  auto& log = MainSession();
  TLgMethodScope scope(log, kLog);
  bool result = false;
  try {
    const TMailRequestSettings registry = ReadMailRequestSettings(settings.IsEMail);
    const std::string template_language = ChooseTemplateLanguage(settings, ExeFolder());

    log.LogMessage(LogTitle("Loading Language"));
    const std::string code =
        settings.LanguageCode.empty() ? ReadLanguageRegistryValue() : settings.LanguageCode;
    pugi::xml_document language;
    LoadLanguageDocument(language, code);

    std::vector<std::string> lines =
        BuildMailRequest(settings, registry, template_language, language);
    // The password stays out of the log.
    std::vector<std::string> logged = lines;
    for (auto& line : logged) {
      if (mail::FindIgnoreCase(line, "MailServerPass=") == 0 && line.size() > 15) {
        line = "MailServerPass=***";
      }
    }
    log.LogStringList(TLgLevel::Debug, LogTitle("stringList_Var"), logged);

    const auto module = EMailDataModule();
    if (!module) throw std::runtime_error("the e-mail module has not been created");
    log.LogMessage(LogTitle("Call mail server"));
    result = module->SendEMailExt(lines, limits);
    if (result) {
      log.LogMessage(LogTitle("-> OK"));
    } else {
      log.LogError(LogTitle("-> ERROR"));
    }
  } catch (const std::exception& e) {
    log.LogException(e, std::string(kLog));
    result = false;
  }
  return result;
}

}  // namespace parlevo

#include "notifications/sms_reminder.h"

#include <exception>
#include <limits>

#include "logging/lg_auto.h"
#include "notifications/mail_text.h"
#include "notifications/send_mail_module.h"
#include "platform/registry.h"
#include "platform/thread_name.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/sql_values.h"

namespace parlevo {

using logging::MainSession;
using logging::TLgLevel;

namespace {

constexpr std::string_view kPass = "SMSReminder::TimerExecute: ";

std::string PassTitle(std::string_view text) {
  return std::string(kPass) + std::string(text);
}

int32_t ReadRegistryInteger(std::string_view name) {
  TRegistry registry;
  registry.OpenKey(kParlevoRegistryKey, true);
  return registry.ReadInteger(name);
}

void TraceField(std::string_view name, std::string_view value) {
  std::string label = "mailSettings." + std::string(name);
  if (label.size() < 35) label.append(35 - label.size(), ' ');
  WriteDebugLog("[SMSReminder][SendMail] " + label + ": " + std::string(value));
}

}  // namespace

int64_t ReminderWaitSeconds(int64_t reminder_interval) {
  return reminder_interval <= 0 ? 1 : reminder_interval;
}

TSMSReminder::TSMSReminder() : TSMSReminder(TSMSReminderOptions{}, true) {}

TSMSReminder::TSMSReminder(TSMSReminderOptions options, bool start) : options_(std::move(options)) {
  if (start) thread_ = std::jthread([this](std::stop_token stop) { Execute(stop); });
}

TSMSReminder::~TSMSReminder() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
}

int32_t TSMSReminder::GetRemindTime() {
  try {
    return ReadRegistryInteger("ReminderTime");
  } catch (const std::exception& e) {
    WriteDebugLog(std::string("[SMSReminder][Execute][GetRemindTime] Exception: ") + e.what());
    return 60;
  }
}

void TSMSReminder::ReadSettings() {
  remind_time_ = GetRemindTime();
  sms_activate_ = ReadRegistryInteger("SMSActivate") != 0;
  settings_read_ = true;
  WriteDebugLog(sms_activate_ ? "[SMSReminder][Execute] SMS-Notification enabled"
                              : "[SMSReminder][Execute] SMS-Notification disabled");
}

void TSMSReminder::Execute(std::stop_token stop) {
  SetCurrentThreadName("SMSReminder");
  try {
    ReadSettings();
    while (!stop.stop_requested()) {
      const int64_t seconds = ReminderWaitSeconds(ReadRegistryInteger("ReminderInterval"));
      {
        std::unique_lock lock(wait_mutex_);
        wake_.wait_for(lock, stop, std::chrono::seconds(seconds), [] { return false; });
      }
      if (stop.stop_requested()) {
        WriteDebugLog("[SMSReminder][Execute] CleanUp and terminate...");
        break;
      }
      TimerExecute();
      if (options_.after_pass) options_.after_pass();
    }
  } catch (const std::exception& e) {
    // A setting that cannot be read ends the reminders until the service is started again.
    MainSession().LogException(e, "SMSReminder::Execute");
    WriteDebugLog(std::string("[SMSReminder][Execute] Exception: ") + e.what());
  }
  WriteDebugLog("[SMSReminder][Execute] ...OK");
}

void TSMSReminder::TimerExecute() {
  auto& log = MainSession();
  if (!settings_read_) {
    try {
      ReadSettings();
    } catch (const std::exception& e) {
      log.LogException(e, PassTitle("reading the settings"));
      return;
    }
  }
  const TDateTime from = options_.clock ? options_.clock() : Now();
  const TDateTime to = from + static_cast<double>(remind_time_) / 60.0 / 24.0;
  const std::string from_text = DayNumberToText(from);
  const std::string to_text = DayNumberToText(to);

  const std::string connect_str = GetConnectionString();
  const std::string sql =
      "SELECT [conferences].name, [members].sex, [members].title, [members].name, "
      "[members].firstname, [members].email, [members].sms, [conferenceMembers].min, "
      "[conferenceMembers].directdial, [conferenceMembers].languagecode, "
      "[conferenceMembers].pin, [conferenceMembers].memberID, [conferenceMembers].conferenceID "
      "FROM [conferences], [conferenceMembers], [members] WHERE [conferences].ID= "
      "[conferenceMembers].conferenceID AND [members].ID=[conferenceMembers].memberID AND "
      "[conferenceMembers].sms=false AND [conferenceMembers].email=true AND ((min>=" +
      from_text + " and min<" + to_text + ") or (min<" + from_text + " and max>" + from_text + "))";
  log.LogSql(TLgLevel::Debug, PassTitle("string_Query"), sql);
  std::unique_ptr<TADOQuery> query;
  std::string error;
  if (!ConnectToADODB(query, connect_str, sql, true, error)) {
    log.LogError(PassTitle(error));
    return;
  }
  if (query->Eof()) {
    log.LogMessage(PassTitle("There are no invitation mails to send"));
  } else {
    log.LogMessage(PassTitle("There are invitation mails to send"));
  }
  for (; !query->Eof(); query->Next()) {
    const std::string conference_name = query->FieldByName("conferences.name").AsString();
    const std::string sex = query->FieldByName("members.sex").AsString();
    const std::string title = query->FieldByName("members.title").AsString();
    const std::string name = query->FieldByName("members.name").AsString();
    const std::string firstname = query->FieldByName("members.firstname").AsString();
    const std::string mobile = query->FieldByName("members.sms").AsString();
    const TDateTimeWords start = SplitDateTimeText(query->FieldByName("min").AsString());
    const std::string direct_dial = query->FieldByName("directdial").AsString();
    const std::string language_code = query->FieldByName("languagecode").AsString();
    const std::string pin = query->FieldByName("pin").AsString();
    const std::string member_id = query->FieldByName("memberID").AsString();
    const std::string conference_id = query->FieldByName("conferenceID").AsString();

    const auto member_slot = SqlInt(member_id);
    const auto conference_slot = SqlInt(conference_id);
    if (!member_slot || !conference_slot) {
      log.LogError(PassTitle(SqlIntError("conferenceID", conference_id)));
      return;
    }

    std::unique_ptr<TADOQuery> host_query;
    const std::string host_sql =
        "SELECT name, firstname from [members], [conferenceMembers] where host=true AND "
        "memberID=ID AND conferenceID=" +
        *conference_slot;
    log.LogSql(TLgLevel::Debug, PassTitle("string_Query"), host_sql);
    if (!ConnectToADODB(host_query, connect_str, host_sql, true, error)) {
      log.LogError(PassTitle(error));
      return;
    }
    std::string host;
    if (!host_query->Eof()) {
      host = host_query->FieldByName("firstname").AsString() + " " +
             host_query->FieldByName("name").AsString();
    }
    FreeADOQuery(host_query);

    const std::string salutation =
        mail::EqualsIgnoreCase(sex, "Frau") ? "Sehr geehrte Frau" : "Sehr geehrter Herr";
    const std::string title_text = title.empty() ? "" : " " + title;
    if (mobile.empty()) continue;

    std::string result = "1";
    if (sms_activate_) {
      log.LogMessage(PassTitle("Trying to send SMS to: " + firstname + " " + name + ", " + mobile));
      result = SendMail(mobile, salutation, title_text, firstname, name, host,
                        "\"" + conference_name + "\"", start.Date, start.Time, direct_dial, pin,
                        language_code);
    }
    if (result == "0") {
      std::unique_ptr<TADOQuery> update;
      const std::string update_sql =
          "UPDATE [conferenceMembers] SET sms=true WHERE memberID=" + *member_slot +
          " AND conferenceID=" + *conference_slot;
      log.LogSql(TLgLevel::Debug, PassTitle("string_Query"), update_sql);
      if (!ConnectToADODB(update, connect_str, update_sql, false, error)) {
        log.LogError(PassTitle(error.empty() ? "the reminder could not be marked" : error));
        return;
      }
      FreeADOQuery(update);
    } else if (sms_activate_) {
      log.LogError(PassTitle("SMS send failed: " + firstname + " " + name + ", " + mobile));
    } else {
      log.LogMessage(PassTitle("SMS send disabled"));
    }
  }
  FreeADOQuery(query);
  log.LogMessage(PassTitle("Database closed"));
}

std::string TSMSReminder::SendMail(const std::string& mobile, const std::string& salutation,
                                   const std::string& title, const std::string& firstname,
                                   const std::string& name, const std::string& host,
                                   const std::string& conference_name, const std::string& date,
                                   const std::string& time, const std::string& direct_dial,
                                   const std::string& pin, const std::string& language_code) {
  std::string result = "1";
  try {
    TSendMail mail;
    mail.EMail = mobile;
    mail.IsEMail = false;
    mail.Salutation = salutation;
    mail.Title = title;
    mail.Firstname = firstname;
    mail.Name = name;
    mail.Host = host;
    mail.ConferenceName = conference_name;
    mail.Date = date;
    mail.Time = time;
    mail.DirectDial = direct_dial;
    mail.PIN = pin;
    mail.LanguageCode = language_code;
    mail.Invite = true;
    mail.Outlook_Invitation_Enabled = false;
    TraceField("email", mail.EMail);
    TraceField("isEmail", mail.IsEMail ? "True" : "False");
    TraceField("anrede", mail.Salutation);
    TraceField("titel", mail.Title);
    TraceField("firstname", mail.Firstname);
    TraceField("name", mail.Name);
    TraceField("gastgeber", mail.Host);
    TraceField("confName", mail.ConferenceName);
    TraceField("datum", mail.Date);
    TraceField("zeit", mail.Time);
    TraceField("durchwahl", mail.DirectDial);
    TraceField("sendoutlookinvitation", mail.Outlook_Invitation_Enabled ? "True" : "False");
    TraceField("invite", mail.Invite ? "True" : "False");
    const bool sent = options_.send ? options_.send(mail) : parlevo::SendMail(mail);
    result = sent ? "0" : "-1";
  } catch (const std::exception& e) {
    WriteDebugLog(std::string("[SMSReminder][SendMail] Exception: ") + e.what());
  }
  return result;
}

}  // namespace parlevo

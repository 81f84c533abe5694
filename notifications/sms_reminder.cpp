#include "notifications/sms_reminder.h"

#include <exception>
#include <limits>
#include <vector>

#include "logging/lg_auto.h"
#include "notifications/mail_path.h"
#include "notifications/send_mail_module.h"
#include "platform/ascii_text.h"
#include "platform/registry.h"
#include "platform/thread_name.h"
#include "service/action_statement.h"
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

void TracePass(std::string_view sql) {
  MainSession().LogSql(TLgLevel::Debug, PassTitle("string_Query"), sql);
}

// Every membership whose invitation went out by e-mail, not yet by SMS, and whose window begins
// between from and to or has begun at from and not ended.
TStatementValue<std::vector<TDueReminder>> LoadDueReminders(TActionStatement& statement,
                                                            const std::string& from,
                                                            const std::string& to) {
  const TStatementStatus status = statement.Run(
      "SELECT [conferences].name, [members].sex, [members].title, [members].name, "
      "[members].firstname, [members].email, [members].sms, [conferenceMembers].min, "
      "[conferenceMembers].directdial, [conferenceMembers].languagecode, "
      "[conferenceMembers].pin, [conferenceMembers].memberID, [conferenceMembers].conferenceID "
      "FROM [conferences], [conferenceMembers], [members] WHERE [conferences].ID= "
      "[conferenceMembers].conferenceID AND [members].ID=[conferenceMembers].memberID AND "
      "[conferenceMembers].sms=false AND [conferenceMembers].email=true AND ((min>=" +
          from + " and min<" + to + ") or (min<" + from + " and max>" + from + "))",
      true);
  if (!status) return status;
  // Read apart from an invitation's membership on purpose: this statement names its columns by
  // table, and the reminder needs neither the room nor the language nor the end.
  std::vector<TDueReminder> due;
  for (TADOQuery& rows = statement.Rows(); !rows.Eof(); rows.Next()) {
    TDueReminder r;
    r.conference_name = rows.FieldByName("conferences.name").AsString();
    r.sex = rows.FieldByName("members.sex").AsString();
    r.title = rows.FieldByName("members.title").AsString();
    r.name = rows.FieldByName("members.name").AsString();
    r.firstname = rows.FieldByName("members.firstname").AsString();
    r.mobile = rows.FieldByName("members.sms").AsString();
    r.start = SplitDateTimeText(rows.FieldByName("min").AsString());
    r.direct_dial = rows.FieldByName("directdial").AsString();
    r.language_code = rows.FieldByName("languagecode").AsString();
    r.pin = rows.FieldByName("pin").AsString();
    r.member_id = rows.FieldByName("memberID").AsString();
    r.conference_id = rows.FieldByName("conferenceID").AsString();
    due.push_back(std::move(r));
  }
  statement.Release();
  return due;
}

// The reminder speaks German whatever the member's language: its salutation is fixed.
TSendMail ComposeReminder(const TDueReminder& r, const std::string& host) {
  TSendMail mail;
  mail.EMail = r.mobile;
  mail.IsEMail = false;
  mail.Salutation =
      EqualsIgnoreCaseAscii(r.sex, "Frau") ? "Sehr geehrte Frau" : "Sehr geehrter Herr";
  mail.Title = r.title.empty() ? "" : " " + r.title;
  mail.Firstname = r.firstname;
  mail.Name = r.name;
  mail.Host = host;
  mail.ConferenceName = "\"" + r.conference_name + "\"";
  mail.Date = r.start.Date;
  mail.Time = r.start.Time;
  mail.DirectDial = r.direct_dial;
  mail.PIN = r.pin;
  mail.LanguageCode = r.language_code;
  mail.Invite = true;
  mail.Outlook_Invitation_Enabled = false;
  return mail;
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
      // Whatever a pass throws ends that pass only: the members it left are due again at the next.
      try {
        TimerExecute();
      } catch (const std::exception& e) {
        MainSession().LogException(e, "SMSReminder::TimerExecute");
        WriteDebugLog(std::string("[SMSReminder][Execute] Exception in a pass: ") + e.what());
      } catch (...) {
        MainSession().LogException("SMSReminder::TimerExecute");
        WriteDebugLog("[SMSReminder][Execute] Exception in a pass: not a standard exception");
      }
      if (options_.after_pass) options_.after_pass();
    }
  } catch (const std::exception& e) {
    // A setting that cannot be read ends the reminders until the service is started again.
    MainSession().LogException(e, "SMSReminder::Execute");
    WriteDebugLog(std::string("[SMSReminder][Execute] Exception: ") + e.what());
  } catch (...) {
    // Escaping the thread would end the process.
    MainSession().LogException("SMSReminder::Execute");
    WriteDebugLog("[SMSReminder][Execute] Exception: not a standard exception");
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
  TActionStatement statement(GetConnectionString(), TracePass);
  const auto due = LoadDueReminders(statement, DayNumberToText(from), DayNumberToText(to));
  if (!due) {
    log.LogError(PassTitle(due.message()));
    return;
  }
  log.LogMessage(PassTitle((*due).empty() ? "There are no invitation mails to send"
                                          : "There are invitation mails to send"));
  for (const TDueReminder& reminder : *due) {
    if (!Remind(statement, reminder)) return;
  }
  log.LogMessage(PassTitle("Database closed"));
}

bool TSMSReminder::Remind(TActionStatement& statement, const TDueReminder& reminder) {
  auto& log = MainSession();
  const auto member = SqlInt(reminder.member_id);
  const auto conference = SqlInt(reminder.conference_id);
  if (!member || !conference) {
    log.LogError(PassTitle(SqlIntError("conferenceID", reminder.conference_id)));
    return false;
  }
  const auto host = LoadHost(statement, *conference);
  if (!host) {
    log.LogError(PassTitle(host.message()));
    return false;
  }
  if (reminder.mobile.empty()) return true;

  const TSendMail mail = ComposeReminder(reminder, *host);
  bool sent = false;
  if (sms_activate_) {
    log.LogMessage(PassTitle("Trying to send SMS to: " + reminder.firstname + " " + reminder.name +
                             ", " + reminder.mobile));
    sent = SendMail(mail);
  }
  if (sent) {
    const auto marked = MarkMembership(statement, "sms", *member, *conference);
    if (!marked) {
      log.LogError(PassTitle(marked.message().empty() ? "the reminder could not be marked"
                                                      : marked.message()));
      return false;
    }
  } else if (sms_activate_) {
    log.LogError(PassTitle("SMS send failed: " + reminder.firstname + " " + reminder.name + ", " +
                           reminder.mobile));
  } else {
    log.LogMessage(PassTitle("SMS send disabled"));
  }
  return true;
}

bool TSMSReminder::SendMail(const TSendMail& mail) {
  try {
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
    return Deliver(options_.send, mail);
  } catch (const std::exception& e) {
    WriteDebugLog(std::string("[SMSReminder][SendMail] Exception: ") + e.what());
    return false;
  }
}

}  // namespace parlevo

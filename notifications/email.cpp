#include "notifications/email.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>

#include "logging/lg_auto.h"
#include "notifications/icalendar.h"
#include "notifications/mail_address.h"
#include "notifications/mail_templates.h"
#include "notifications/mail_text.h"
#include "notifications/smtp_client.h"

namespace parlevo {

namespace fs = std::filesystem;
using logging::MainSession;
using logging::TLgLevel;
using logging::TLgMethodScope;

namespace {

// The whole MX lookup, every attempt and the TCP fallback of a truncated answer included.
constexpr std::chrono::milliseconds kDnsWait{5000};
constexpr std::string_view kCalendarClass = "Content-class: urn:content-classes:calendarmessage";

std::string ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open template file '" + path.string() + "'");
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) throw std::runtime_error("cannot read template file '" + path.string() + "'");
  return bytes.str();
}

bool IsDecimal(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Adds entry to the sorted server list unless it is there already (letter case ignored).
void AddSorted(std::vector<std::string>& list, std::string entry) {
  const auto less = [](const std::string& a, const std::string& b) {
    return ToLowerAscii(a) < ToLowerAscii(b);
  };
  const auto at = std::lower_bound(list.begin(), list.end(), entry, less);
  if (at != list.end() && EqualsIgnoreCaseAscii(*at, entry)) return;
  list.insert(at, std::move(entry));
}

// A password never reaches a log.
std::string Masked(const std::string& secret) {
  return secret.empty() ? "" : "***";
}

// Files of a folder below the templates, for the attachment lists.
void AddFolderFiles(const fs::path& folder, std::vector<std::string>& list) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    std::error_code type_ec;
    if (entry.is_regular_file(type_ec)) names.push_back(entry.path().string());
  }
  std::sort(names.begin(), names.end());
  for (auto& name : names) {
    MainSession().LogString(TLgLevel::Debug, "TEMailDataModule: attachment", name);
    list.push_back(std::move(name));
  }
}

// The template name as a path below the templates folder, or nothing when it could leave it.
std::optional<fs::path> SafeTemplatePath(std::string_view mid) {
  if (mid.empty()) return std::nullopt;
  fs::path path;
  std::string part;
  const auto take = [&] {
    if (part.empty() || part == "." || part == "..") return false;
    path /= part;
    part.clear();
    return true;
  };
  for (char c : mid) {
    if (c == '\\' || c == '/') {
      if (!take()) return std::nullopt;
    } else {
      part += c;
    }
  }
  if (!take()) return std::nullopt;
  return path;
}

}  // namespace

// --- one send -----------------------------------------------------------------------------------

namespace {

// The state of one send, from the settings list to the last recipient; lives for one
// SendEMailExt call on the calling thread.
class TEMailSend {
 public:
  TEMailSend(const TEMailModuleOptions& options, TMailCancel& cancel, const TSmtpLimits& limits)
      : options_(options), cancel_(cancel), limits_(limits) {}

  bool SendEMailExt(const std::vector<std::string>& settings_list);

 private:
  void Initialize();
  void GetParseAttachmentList();
  void GetStaticAttachmentList();
  void GetRemoteAttachmentList();
  void SendEMail();
  void SendTo(const std::string& address);
  void SetBodyText();
  void AddCalendarPart();
  std::optional<std::vector<std::string>> getAllRecipients(const std::string& conference_id);
  bool GetMailServerList(const std::string& address);
  bool PutMail();
  void SMTPHandlerStatus(std::string_view status_text);
  void DebugLog(std::string_view line) const;
  std::string TemplateFolder() const;
  TMimeMessage CurrentMessage() const;

  const TEMailModuleOptions& options_;
  TMailCancel& cancel_;
  const TSmtpLimits limits_;

  bool support_retry_ = false;
  bool result_ = false;
  std::vector<std::string> attachment_list_;
  std::vector<std::string> static_attachment_list_;
  std::vector<std::string> remote_attachment_list_;
  TEMailSettings settings_;
  TSettingsList settings_list_;
  std::vector<TMimePart> body_parts_;
  std::optional<TMimePart> calendar_part_;
  std::string current_recipient_;
  std::vector<std::string> mx_server_list_;  // sorted, letter case ignored, no duplicates
  std::chrono::system_clock::time_point compose_time_;
};

}  // namespace

// --- the module ---------------------------------------------------------------------------------

TEMailDataModule::TEMailDataModule(TEMailModuleOptions options) : options_(std::move(options)) {}

bool TEMailDataModule::SendEMailExt(const std::vector<std::string>& settings_list,
                                    const TSmtpLimits& limits) {
  TEMailSend send(options_, cancel_, limits);
  return send.SendEMailExt(settings_list);
}

void TEMailDataModule::CancelSends() {
  cancel_.Cancel();
}

bool TEMailSend::SendEMailExt(const std::vector<std::string>& settings_list) {
  TLgMethodScope scope(MainSession(), "TEMailDataModule.SendEMailExt");
  std::vector<std::string> lines;
  lines.reserve(settings_list.size());
  for (const auto& line : settings_list) {
    lines.push_back(mail::NeutraliseControls(mail::SanitiseUtf8(line)));
  }
  settings_list_ = TSettingsList(std::move(lines));
  result_ = false;
  Initialize();
  // The lists belong to one send only.
  attachment_list_.clear();
  static_attachment_list_.clear();
  remote_attachment_list_.clear();
  GetParseAttachmentList();
  GetStaticAttachmentList();
  GetRemoteAttachmentList();
  SendEMail();
  MainSession().LogBoolean(TLgLevel::Message, "TEMailDataModule.SendEMailExt: Result", result_);
  return result_;
}

void TEMailSend::Initialize() {
  auto& log = MainSession();
  TLgMethodScope scope(log, "TEMailDataModule.Initialize");
  log.LogMessage("Basic settings");
  settings_ = ReadEMailSettings(settings_list_, options_.app_path);
  const auto field = [&](std::string_view name, std::string_view value) {
    log.LogString(TLgLevel::Debug, "TEMailDataModule.Initialize: " + std::string(name), value);
  };
  field("MID", settings_.MID);
  field("MailServer", settings_.MailServer);
  field("MailServerLogin", settings_.MailServerLogin);
  field("MailServerPass", Masked(settings_.MailServerPass));
  field("MailSenderAdress", settings_.MailSenderAdress);
  field("MailSubject", settings_.MailSubject);
  field("RequestHost", settings_.RequestHost);
  field("SupportMailAdress", settings_.SupportMailAdress);
  field("FixEMail", settings_.FixEMail);
  field("FixEmailDyn", settings_.FixEmailDyn);
  log.LogMessage("Outlook settings");
  const TOutlookCalendarSettings& o = settings_.OutlookCalendarSettings;
  const std::string prefix = "TEMailDataModule.Initialize: OutlookCalendarSettings";
  log.LogBoolean(TLgLevel::Debug, prefix + ".Invite", o.Invite);
  log.LogString(TLgLevel::Debug, prefix + ".DateBegin", o.DateBegin);
  log.LogString(TLgLevel::Debug, prefix + ".DateEnd", o.DateEnd);
  log.LogString(TLgLevel::Debug, prefix + ".TimeBegin", o.TimeBegin);
  log.LogString(TLgLevel::Debug, prefix + ".TimeEnd", o.TimeEnd);
  log.LogBoolean(TLgLevel::Debug, prefix + ".Alarm", o.Alarm);
  log.LogInteger(prefix + ".AlarmHours", o.AlarmHours);
  log.LogInteger(prefix + ".AlarmMinutes", o.AlarmMinutes);
}

std::string TEMailSend::TemplateFolder() const {
  return settings_.AppPath + "Templates" + settings_.PathDelimiter;
}

void TEMailSend::GetParseAttachmentList() {
  if (auto mid = SafeTemplatePath(settings_.MID)) {
    AddFolderFiles(fs::path(TemplateFolder()) / *mid / "attachment", attachment_list_);
  }
}

void TEMailSend::GetStaticAttachmentList() {
  if (auto mid = SafeTemplatePath(settings_.MID)) {
    AddFolderFiles(fs::path(TemplateFolder()) / *mid / "constattachment", static_attachment_list_);
  }
}

void TEMailSend::GetRemoteAttachmentList() {
  for (const auto& line : settings_list_.Lines()) {
    if (line.find("mailanhang") == std::string::npos) continue;
    const size_t eq = line.find('=');
    std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    std::error_code ec;
    if (value.find("https/") != std::string::npos) {
      value = "https://" + (value.size() > 6 ? value.substr(6) : std::string());
    } else if (value.find("http/") != std::string::npos) {
      value = "http://" + (value.size() > 5 ? value.substr(5) : std::string());
    } else if (!fs::exists(value, ec)) {
      value = "http://" + value;
    }
    MainSession().LogString(TLgLevel::Debug, "TEMailDataModule: remote attachment", value);
    remote_attachment_list_.push_back(std::move(value));
  }
}

TMimeMessage TEMailSend::CurrentMessage() const {
  TMimeMessage message;
  message.sender_name = settings_.SenderName;
  message.sender_address = settings_.MailSenderAdress;
  message.subject = settings_.MailSubject;
  message.content_transfer_encoding = "8bit";
  message.extra_headers.emplace_back(kCalendarClass);
  message.content_type = "multipart/alternative";
  message.parts = body_parts_;
  if (calendar_part_) message.parts.push_back(*calendar_part_);
  if (message.parts.empty()) {
    // A multipart message needs a part: with neither template nor calendar data an empty text
    // stands in.
    TMimePart empty;
    empty.content_type = "text/plain;charset=\"iso-8859-1\"";
    message.parts.push_back(std::move(empty));
  }
  return message;
}

void TEMailSend::SendEMail() {
  auto& log = MainSession();
  TLgMethodScope scope(log, "TEMailDataModule.SendEMail");
  result_ = false;
  support_retry_ = false;
  mx_server_list_.clear();

  log.LogMessage("TEMailDataModule.SendEMail: Initializing");
  body_parts_.clear();
  calendar_part_.reset();
  current_recipient_.clear();
  compose_time_ = options_.clock ? options_.clock() : std::chrono::system_clock::now();

  if (settings_.AttachmentsEnabled) {
    // Nothing turns attachments on; the lists are gathered for the trace only.
    log.LogMessage("TEMailDataModule.SendEMail: Generating Attachments");
  }
  log.LogMessage("TEMailDataModule.SendEMail: Generate body");
  SetBodyText();

  const TOutlookCalendarSettings& o = settings_.OutlookCalendarSettings;
  if (!o.DateBegin.empty() && !o.DateEnd.empty() && !o.TimeBegin.empty() && !o.TimeEnd.empty() &&
      !o.Host.empty()) {
    log.LogMessage("TEMailDataModule.SendEMail: Generate outlook invitation");
    AddCalendarPart();
  }

  // Delivery.
  log.LogMessage("TEMailDataModule.SendEMail: Sending Mail to receipients");
  std::string recipients = settings_.FixEMail;
  log.LogString(TLgLevel::Debug, "TEMailDataModule.SendEMail: string_AllRecipients", recipients);
  support_retry_ = false;
  while (!recipients.empty()) {
    if (support_retry_) {
      support_retry_ = false;
      SetBodyText();
    }
    if (cancel_.Cancelled()) {
      // Stopping: the remaining recipients would only fail one by one after their lookups.
      log.LogError("TEMailDataModule.SendEMail: the service is stopping, sending ends");
      result_ = false;
      break;
    }
    SendTo(ExtractNextRecipient(recipients));
  }
  // The statistics request has no address to go to: its base address is a setting nothing sets.
  mx_server_list_.clear();
}

// One recipient: its mail servers, then the transaction; a failed one goes to the support
// address when there is one.
void TEMailSend::SendTo(const std::string& address) {
  auto& log = MainSession();
  log.LogString(TLgLevel::Debug, "TEMailDataModule.SendEMail: string_CurRecipient", address);
  if (!IsValidEmail(address)) {
    log.LogError("TEMailDataModule.SendEMail: This is not a valid email address");
    return;
  }
  current_recipient_ = address;
  log.LogMessage("TEMailDataModule.SendEMail: -> Sender Name: " + settings_.SenderName);
  log.LogMessage("TEMailDataModule.SendEMail: -> Sender Mail: " + settings_.MailSenderAdress);
  log.LogMessage("TEMailDataModule.SendEMail: -> Subject: " + settings_.MailSubject);
  log.LogMessage("TEMailDataModule.SendEMail: -> Recipient: " + address);

  result_ = GetMailServerList(address);
  if (result_) {
    log.LogMessage("TEMailDataModule.SendEMail: GetMailServerList OK");
    result_ = PutMail();
  } else {
    log.LogError("TEMailDataModule.SendEMail: GetMailServerList ERROR");
  }
  if (result_) {
    log.LogMessage("TEMailDataModule.SendEMail: PutMail OK");
  } else {
    log.LogError("TEMailDataModule.SendEMail: PutMail ERROR");
  }

  if (!result_ && !settings_.SupportMailAdress.empty()) {
    current_recipient_ = settings_.SupportMailAdress;
    support_retry_ = true;
    SetBodyText();
    mx_server_list_.clear();
    AddSorted(mx_server_list_, "localhost");
    if (!options_.fallback_mail_server.empty()) {
      AddSorted(mx_server_list_, options_.fallback_mail_server);
    }
    result_ = PutMail();
  }
}

void TEMailSend::SetBodyText() {
  auto& log = MainSession();
  TLgMethodScope scope(log, "TEMailDataModule.SendEMail.SetBodyText");
  // A retry rebuilds the parts instead of adding a second set.
  body_parts_.clear();
  const std::string mdir = TemplateFolder() + settings_.MID;
  log.LogString(TLgLevel::Debug, "TEMailDataModule.SendEMail.SetBodyText: MDir", mdir);

  TTemplateFiles templates;
  if (settings_.MID.empty()) {
    log.LogWarning("TEMailDataModule.SendEMail.SetBodyText: no template name");
  } else {
    try {
      templates = FindTemplateFiles(fs::path(TemplateFolder()), settings_.MID);
    } catch (const std::invalid_argument& e) {
      // A template name that names no language (the fallback to an empty default language) or
      // that could leave the templates folder has no templates; the message goes without body.
      log.LogWarning(std::string("TEMailDataModule.SendEMail.SetBodyText: ") + e.what());
    }
  }
  log.LogMessage(templates.use_mask ? "TEMailDataModule.SendEMail.SetBodyText: MDir is mask"
                                    : "TEMailDataModule.SendEMail.SetBodyText: MDir is folder");
  log.LogString(TLgLevel::Debug, "TEMailDataModule.SendEMail.SetBodyText: string_Mask",
                templates.mask);
  log.LogBoolean(TLgLevel::Debug, "TEMailDataModule.SendEMail.SetBodyText: boolean_UseMask",
                 templates.use_mask);
  log.LogMessage("TEMailDataModule.SendEMail.SetBodyText: Sending all files as multipart");

  for (const auto& file : templates.files) {
    const std::string text = mail::SanitiseUtf8(ReadFileBytes(file));
    log.LogText(TLgLevel::Debug, "TEMailDataModule.SendEMail.SetBodyText: string_FoundFile", text);
    const std::string extension = file.extension().string();
    log.LogString(TLgLevel::Debug, "TEMailDataModule.SendEMail.SetBodyText: Extension", extension);
    const int lotus_notes = options_.read_is_lotus_notes ? options_.read_is_lotus_notes() : 0;
    if (lotus_notes == 0 && extension == ".txt") break;

    const bool html = extension == ".html" || extension == ".htm";
    TMimePart part;
    part.content_type = std::string(html ? "text/html" : "text/plain") + ";charset=\"iso-8859-1\"";
    log.LogMessage("TEMailDataModule.SendEMail.SetBodyText: E-Mail");
    part.text = ProduceTemplate(text, settings_list_);
    if (html) {
      log.LogMessage("TEMailDataModule.SendEMail.SetBodyText: Replacing <brtxt> with <br />");
      part.text = mail::ReplaceAllIgnoreCase(part.text, "<brtxt>", "<br />");
    } else {
      log.LogMessage("TEMailDataModule.SendEMail.SetBodyText: Replacing <brtxt> with #13#10");
      part.text = mail::ReplaceAllIgnoreCase(part.text, "<brtxt>", "\r\n");
    }
    log.LogText(TLgLevel::Debug, "TEMailDataModule.SendEMail.SetBodyText: Body", part.text);
    body_parts_.push_back(std::move(part));
  }
  if (body_parts_.empty()) {
    log.LogWarning("TEMailDataModule.SendEMail.SetBodyText: no template found");
  }
}

void TEMailSend::AddCalendarPart() {
  auto& log = MainSession();
  const TOutlookCalendarSettings& o = settings_.OutlookCalendarSettings;
  TMimePart part;
  part.content_type = std::string("text/calendar;method=") + (o.Invite ? "REQUEST" : "CANCEL") +
                      ";name=\"invitation.ics\";charset=\"utf-8\"";
  part.latin1 = false;
  part.extra_headers.emplace_back(kCalendarClass);

  if (settings_list_.Value("conferenceOrganiser").empty()) {
    const std::string sender = options_.read_mail_sender ? options_.read_mail_sender() : "";
    settings_list_.SetValue("conferenceOrganiser", mail::NeutraliseControls(sender));
  }
  TCalendarEvent event;
  event.invite = o.Invite;
  event.alarm = o.Alarm;
  event.alarm_hours = o.AlarmHours;
  event.alarm_minutes = o.AlarmMinutes;
  event.date_begin = o.DateBegin;
  event.time_begin = o.TimeBegin;
  event.date_end = o.DateEnd;
  event.time_end = o.TimeEnd;
  event.subject = settings_.MailSubject;
  event.conference_id = settings_list_.Value("conferenceID");
  event.organiser = settings_list_.Value("conferenceOrganiser");
  event.sender_address = settings_.MailSenderAdress;
  event.stamp = FormatCalendarStamp(compose_time_);
  if (auto attendees = getAllRecipients(event.conference_id)) {
    event.attendees = std::move(*attendees);
  } else {
    log.LogWarning("TEMailDataModule.SendEMail: no attendee list, the invitation lists none");
  }

  std::optional<size_t> found;
  for (size_t i = 0; i <= body_parts_.size(); ++i) {
    const std::string& type =
        i < body_parts_.size() ? body_parts_[i].content_type : part.content_type;
    DebugLog("[EMail][SendMail] MessagePart: " + type);
    if (!found && type.find("text/html") != std::string::npos) found = i;
  }
  if (found) {
    DebugLog("[EMail][SendMail] Text-MessagePart found: " + std::to_string(*found));
    event.description = body_parts_[*found].text;
  }

  const std::vector<std::string> lines = BuildCalendarLines(event);
  log.LogStringList(TLgLevel::Debug, "TEMailDataModule.SendEMail: stringList_OutlookPart", lines);
  part.text = JoinCalendarLines(lines);
  log.LogText(TLgLevel::Debug, "TEMailDataModule.SendEMail: Outlook Body", part.text);
  calendar_part_ = std::move(part);
}

std::optional<std::vector<std::string>> TEMailSend::getAllRecipients(
    const std::string& conference_id) {
  auto& log = MainSession();
  TLgMethodScope scope(log, "getAllRecipients");
  // The ID goes into the attendee query; anything but a number is refused before it gets there.
  if (!IsDecimal(conference_id)) {
    log.LogError("getAllRecipients: invalid conference ID '" + conference_id + "'");
    return std::nullopt;
  }
  if (!options_.read_attendees) return std::vector<std::string>{};
  auto attendees = options_.read_attendees(conference_id);
  if (attendees) {
    for (const auto& line : *attendees) log.LogString(TLgLevel::Debug, "strBuffer", line);
  }
  return attendees;
}

bool TEMailSend::GetMailServerList(const std::string& address) {
  if (!settings_.MailServer.empty()) {
    mx_server_list_ = {settings_.MailServer};
    return true;
  }
  mx_server_list_.clear();
  const size_t at = address.find('@');
  if (at == std::string::npos) return false;
  try {
    const auto records = LookupMx(address.substr(at + 1), options_.dns_server, kDnsWait, &cancel_);
    mx_server_list_.clear();
    for (const auto& record : records) {
      if (!record.exchange.empty()) {
        AddSorted(mx_server_list_, fmt::format("{:05}/{}", record.preference, record.exchange));
      }
    }
  } catch (const std::exception& e) {
    // A failed lookup only means there is no server for this address.
    MainSession().LogWarning(std::string("TEMailDataModule.SendEMail.GetMailServerList: ") +
                             e.what());
  }
  return !mx_server_list_.empty();
}

bool TEMailSend::PutMail() {
  auto& log = MainSession();
  TLgMethodScope scope(log, "TEMailDataModule.SendEMail.PutMail");
  if (mx_server_list_.empty()) return false;
  // Checked before any connection: curl would send an empty sender as MAIL FROM:<>.
  if (!IsValidEnvelopeAddress(settings_.MailSenderAdress)) {
    log.LogError("TEMailDataModule.SendEMail.PutMail: invalid sender address '" +
                 settings_.MailSenderAdress + "'");
    return false;
  }
  if (!IsValidEnvelopeAddress(current_recipient_)) {
    log.LogError("TEMailDataModule.SendEMail.PutMail: invalid recipient address '" +
                 current_recipient_ + "'");
    return false;
  }
  const std::string message = SerialiseMessage(CurrentMessage(), current_recipient_, compose_time_);
  const size_t colon = settings_.RequestHost.find(':');
  const std::string greeting = settings_.RequestHost.substr(0, colon);

  for (const auto& entry : mx_server_list_) {
    try {
      const size_t slash = entry.find('/');
      TSmtpTransaction transaction;
      transaction.host = slash == std::string::npos ? entry : entry.substr(slash + 1);
      transaction.greeting_name = greeting;
      transaction.sender = settings_.MailSenderAdress;
      transaction.recipient = current_recipient_;
      transaction.message = message;
      transaction.limits = limits_;
      transaction.cancel = &cancel_;

      log.LogMessage("TEMailDataModule.SendEMail.PutMail: Sending mail to " + current_recipient_);
      log.LogMessage("TEMailDataModule.SendEMail.PutMail: -> AuthType: atSASL");
      if (!settings_.MailServer.empty()) {
        // The login is not used: the server is spoken to without authentication.
        log.LogMessage("TEMailDataModule.SendEMail.PutMail: -> MailServer: " +
                       settings_.MailServer);
        log.LogMessage("TEMailDataModule.SendEMail.PutMail: -> MailServer Username: " +
                       settings_.MailServerLogin);
        log.LogMessage("TEMailDataModule.SendEMail.PutMail: -> MailServer Password: " +
                       Masked(settings_.MailServerPass));
      }
      log.LogMessage("TEMailDataModule.SendEMail.PutMail: -> MailServer Recipient: " +
                     transaction.host);
      log.LogMessage("TEMailDataModule.SendEMail.PutMail: -> MailServer HeloName: " + greeting);
      log.LogMessage("TEMailDataModule.SendEMail.PutMail: Connect to MailServer");
      log.LogMessage("TEMailDataModule.SendEMail.PutMail: Sending message");
      SendSmtpMessage(transaction, [this](std::string_view text) { SMTPHandlerStatus(text); });
      log.LogMessage("TEMailDataModule.SendEMail.PutMail: Disconnect from MailServer");
      return true;
    } catch (const std::exception& e) {
      log.LogException(e, "TEMailDataModule.SendEMail.PutMail");
    }
  }
  return false;
}

void TEMailSend::SMTPHandlerStatus(std::string_view status_text) {
  MainSession().LogMessage("TEMailDataModule.SMTPHandlerStatus: " + std::string(status_text));
}

void TEMailSend::DebugLog(std::string_view line) const {
  if (options_.write_debug_log) options_.write_debug_log(line);
}

}  // namespace parlevo

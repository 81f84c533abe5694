// The e-mail module's input and settings: the settings list (the mail request, lines name=value)
// and the settings record read from it before every send.
//
// Thread safety: plain values; a TSettingsList may be read from several threads at once but not
// read and written at the same time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace parlevo {

// Lines "name=value", looked up by name with letter case ignored; the first matching line wins.
class TSettingsList {
 public:
  TSettingsList() = default;
  explicit TSettingsList(std::vector<std::string> lines) : lines_(std::move(lines)) {}

  // The text after the first "=" of the first line named name; empty when there is none.
  std::string Value(std::string_view name) const;
  // Replaces the value of the first line named name, or appends such a line.
  void SetValue(std::string_view name, std::string_view value);
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

struct TOutlookCalendarSettings {
  bool Alarm = false;
  bool Invite = false;
  std::string DateBegin;
  std::string DateEnd;
  std::string TimeBegin;
  std::string TimeEnd;
  std::string Host;
  int32_t AlarmHours = 0;
  int32_t AlarmMinutes = 0;
};

struct TEMailSettings {
  bool AttachmentsEnabled = false;
  std::string PathDelimiter;
  std::string AppPath;
  std::string RequestHost;
  std::string MID;
  std::string StatID;
  std::string FixEmailDyn;
  std::string MailServer;
  std::string MailServerLogin;
  std::string MailServerPass;
  std::string SenderName;
  std::string MailSenderAdress;
  std::string MailSubject;
  std::string SupportMailAdress;
  std::string FixEMail;
  TOutlookCalendarSettings OutlookCalendarSettings;
};

// Builds the settings record from the settings list. app_path is the install folder with a
// trailing "/". Throws std::invalid_argument when the alarm is on and "OutlookAlarmHours" or
// "OutlookAlarmMinutes" is not a decimal number.
TEMailSettings ReadEMailSettings(const TSettingsList& list, std::string_view app_path);

// Decimal text (optional sign, blanks around allowed) to a 32-bit integer; throws
// std::invalid_argument naming the text otherwise.
int32_t StrToInt(std::string_view text);

}  // namespace parlevo

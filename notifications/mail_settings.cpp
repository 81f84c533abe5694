#include "notifications/mail_settings.h"

#include <charconv>
#include <stdexcept>

#include "notifications/mail_text.h"

namespace parlevo {

namespace {

// Index of the first line named name, or -1.
int IndexOfName(const std::vector<std::string>& lines, std::string_view name) {
  for (size_t i = 0; i < lines.size(); ++i) {
    const size_t eq = lines[i].find('=');
    if (eq != std::string::npos &&
        EqualsIgnoreCaseAscii(std::string_view(lines[i]).substr(0, eq), name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace

std::string TSettingsList::Value(std::string_view name) const {
  const int i = IndexOfName(lines_, name);
  if (i < 0) return {};
  const std::string& line = lines_[static_cast<size_t>(i)];
  return line.substr(line.find('=') + 1);
}

void TSettingsList::SetValue(std::string_view name, std::string_view value) {
  std::string line = std::string(name) + "=" + std::string(value);
  const int i = IndexOfName(lines_, name);
  if (i < 0) {
    lines_.push_back(std::move(line));
  } else {
    lines_[static_cast<size_t>(i)] = std::move(line);
  }
}

int32_t StrToInt(std::string_view text) {
  const std::string trimmed = mail::TrimControls(text);
  std::string_view digits = trimmed;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int32_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
    throw std::invalid_argument("'" + std::string(text) + "' is not a valid integer value");
  }
  return value;
}

TEMailSettings ReadEMailSettings(const TSettingsList& list, std::string_view app_path) {
  TEMailSettings s;
  s.AppPath = std::string(app_path);
  s.PathDelimiter = "/";

  const auto store = [&](std::string_view key, std::string& field) {
    std::string value = list.Value(key);
    if (!value.empty()) field = std::move(value);
  };
  store("mid", s.MID);
  store("MailServer", s.MailServer);
  store("MailServerLogin", s.MailServerLogin);
  store("MailServerPass", s.MailServerPass);
  store("MailSenderAdress", s.MailSenderAdress);
  store("MailSubject", s.MailSubject);
  store("MailHost", s.RequestHost);
  store("SupportMailAdress", s.SupportMailAdress);
  store("fixemail", s.FixEMail);
  store("fixemail", s.FixEmailDyn);

  TOutlookCalendarSettings& o = s.OutlookCalendarSettings;
  const std::string invite = list.Value("OutlookInvite");
  o.Invite = ToLowerAscii(invite) != "false" && !invite.empty();
  store("OutlookDateBegin", o.DateBegin);
  store("OutlookDateEnd", o.DateEnd);
  store("OutlookTimeBegin", o.TimeBegin);
  store("OutlookTimeEnd", o.TimeEnd);
  store("OutlookHost", o.Host);
  o.Alarm = ToLowerAscii(list.Value("OutlookAlarm")) != "false";
  if (o.Alarm) {
    const std::string hours = list.Value("OutlookAlarmHours");
    const std::string minutes = list.Value("OutlookAlarmMinutes");
    if (!hours.empty()) o.AlarmHours = StrToInt(hours);
    if (!minutes.empty()) o.AlarmMinutes = StrToInt(minutes);
  }
  return s;
}

}  // namespace parlevo

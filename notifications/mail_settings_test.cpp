#include "notifications/mail_settings.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace parlevo {
namespace {

TEMailSettings Read(std::vector<std::string> lines) {
  return ReadEMailSettings(TSettingsList(std::move(lines)), "/opt/zyntparlevo/");
}

TEST(SettingsList, NamesIgnoreCaseAndTheFirstLineWins) {
  TSettingsList list({"PIN=12345", "pin=99999", "url=<a href=\"x?a=b\">", "noequals"});
  EXPECT_EQ(list.Value("Pin"), "12345");
  EXPECT_EQ(list.Value("URL"), "<a href=\"x?a=b\">");
  EXPECT_EQ(list.Value("company"), "");
  EXPECT_EQ(list.Value("noequals"), "");
  list.SetValue("conferenceOrganiser", "Max");
  list.SetValue("PIN", "00001");
  EXPECT_EQ(list.Value("conferenceorganiser"), "Max");
  EXPECT_EQ(list.Value("pin"), "00001");
}

TEST(EMailSettings, MailFieldsComeFromTheirKeys) {
  const TEMailSettings s = Read({"mid=ger\\mail\\*.invite.*", "MailServer=", "MailServerLogin=u",
                                 "MailServerPass=p", "MailSenderAdress=a@b.de", "MailSubject=Hallo",
                                 "MailHost=conf.example.de:81", "fixemail=x@y.de;z@y.de"});
  EXPECT_EQ(s.MID, "ger\\mail\\*.invite.*");
  EXPECT_EQ(s.MailServer, "");
  EXPECT_EQ(s.MailServerLogin, "u");
  EXPECT_EQ(s.MailServerPass, "p");
  EXPECT_EQ(s.MailSenderAdress, "a@b.de");
  EXPECT_EQ(s.MailSubject, "Hallo");
  EXPECT_EQ(s.RequestHost, "conf.example.de:81");
  EXPECT_EQ(s.FixEMail, "x@y.de;z@y.de");
  EXPECT_EQ(s.FixEmailDyn, "x@y.de;z@y.de");
  EXPECT_EQ(s.AppPath, "/opt/zyntparlevo/");
  EXPECT_FALSE(s.AttachmentsEnabled);
  EXPECT_EQ(s.SenderName, "");
}

TEST(EMailSettings, InviteFlag) {
  EXPECT_FALSE(Read({"OutlookInvite=False"}).OutlookCalendarSettings.Invite);
  EXPECT_TRUE(Read({"OutlookInvite=yes"}).OutlookCalendarSettings.Invite);
  EXPECT_TRUE(Read({"OutlookInvite=true"}).OutlookCalendarSettings.Invite);
  EXPECT_FALSE(Read({}).OutlookCalendarSettings.Invite);
  EXPECT_FALSE(Read({"OutlookInvite="}).OutlookCalendarSettings.Invite);
}

TEST(EMailSettings, AlarmIsOnUnlessSwitchedOff) {
  const TOutlookCalendarSettings none = Read({}).OutlookCalendarSettings;
  EXPECT_TRUE(none.Alarm);
  EXPECT_EQ(none.AlarmHours, 0);
  EXPECT_EQ(none.AlarmMinutes, 0);
  const TOutlookCalendarSettings on =
      Read({"OutlookAlarm=true", "OutlookAlarmHours=1", "OutlookAlarmMinutes=30"})
          .OutlookCalendarSettings;
  EXPECT_TRUE(on.Alarm);
  EXPECT_EQ(on.AlarmHours, 1);
  EXPECT_EQ(on.AlarmMinutes, 30);
  const TOutlookCalendarSettings off =
      Read({"OutlookAlarm=FALSE", "OutlookAlarmHours=x", "OutlookAlarmMinutes=5"})
          .OutlookCalendarSettings;
  EXPECT_FALSE(off.Alarm);
  EXPECT_EQ(off.AlarmMinutes, 0);
}

TEST(EMailSettings, NonNumericAlarmValueFailsTheSend) {
  EXPECT_THROW(Read({"OutlookAlarm=true", "OutlookAlarmHours=eins"}), std::invalid_argument);
  EXPECT_THROW(Read({"OutlookAlarmMinutes=5x"}), std::invalid_argument);
  EXPECT_EQ(StrToInt(" -7 "), -7);
  EXPECT_THROW(StrToInt("99999999999"), std::invalid_argument);
}

TEST(EMailSettings, CalendarTexts) {
  const TOutlookCalendarSettings o =
      Read({"OutlookDateBegin=20081224", "OutlookTimeBegin=093000", "OutlookDateEnd=20081224",
            "OutlookTimeEnd=103000", "OutlookHost=Max;max@b.de"})
          .OutlookCalendarSettings;
  EXPECT_EQ(o.DateBegin, "20081224");
  EXPECT_EQ(o.TimeBegin, "093000");
  EXPECT_EQ(o.DateEnd, "20081224");
  EXPECT_EQ(o.TimeEnd, "103000");
  EXPECT_EQ(o.Host, "Max;max@b.de");
}

}  // namespace
}  // namespace parlevo

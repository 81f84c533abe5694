#include "notifications/send_mail.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/notify_test_support.h"

namespace parlevo {
namespace {

using testing_support::TInstallFolder;
using testing_support::TMailPeers;

pugi::xml_document GermanLanguage() {
  pugi::xml_document doc;
  const std::string_view text = testing_support::kGermanLanguageFile;
  doc.load_buffer(text.data(), text.size());
  return doc;
}

TSendMail Invitation() {
  TSendMail m;
  m.EMail = "anna@example.test";
  m.Salutation = "Frau";
  m.Title = " Dr.";
  m.Firstname = "Anna";
  m.Name = "Meier";
  m.Host = "Max Host";
  m.ConferenceName = "\"Weekly\"";
  m.Date = "24.12.2008";
  m.Time = "09:30:00.000";
  m.DateEnd = "24.12.2008";
  m.TimeEnd = "10:45:00.000";
  m.RoomName = "\"Room 1\"";
  m.DirectDial = "4711";
  m.PIN = "04711";
  m.SMSText = "0170123";
  m.Invite = true;
  m.IsEMail = true;
  m.LanguageCode = "ger";
  m.MemberList = {{"Max Host", "max@example.test", "Acme, Inc.", "Wahr"},
                  {"Anna Meier", "anna@example.test", "", "Falsch"}};
  m.defaultLanguage = "eng";
  m.MembersVisible = true;
  m.ConferenceID = "42";
  m.Outlook_Invitation_Enabled = true;
  m.Outlook_Alarm_Enabled = true;
  m.Outlook_Alarm_Minutes = 30;
  m.Outlook_Alarm_Hours = 1;
  return m;
}

TMailRequestSettings MailSettings() {
  TMailRequestSettings s;
  s.SMSActivate = 1;
  s.LinkHost = "pbx01";
  s.Server = "";
  s.Login = "login";
  s.Password = "secret";
  s.Sender = "sender@example.de";
  s.ExtServerURL = "http://pbx01:81";
  return s;
}

std::string Value(const std::vector<std::string>& lines, std::string_view name) {
  for (const auto& line : lines) {
    if (line.rfind(std::string(name) + "=", 0) == 0) return line.substr(name.size() + 1);
  }
  ADD_FAILURE() << "no line " << name;
  return {};
}

bool HasLinePrefix(const std::vector<std::string>& lines, std::string_view prefix) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

TEST(BuildMailRequest, InvitationByMailHasEveryLineInOrder) {
  const auto language = GermanLanguage();
  const auto lines = BuildMailRequest(Invitation(), MailSettings(), "ger", language);
  const std::string link = "http://pbx01:81/default.html?RoomID=4711&UserPIN=04711";
  const std::vector<std::string> expected = {
      "mid=ger\\mail\\*.invite.*",
      "NoDB=1",
      "MailServer=",
      "MailServerLogin=login",
      "MailServerPass=secret",
      "MailSenderAdress=max@example.test",
      "MailSubject=Einladung: \"Weekly\" am 24.12.2008 um 09:30 Uhr, Raum \"Room 1\" (4711)",
      "MailHost=pbx01",
      "SupportMailAdress=",
      "fixemail=anna@example.test",
      "Logging=2",
      "host=Max Host",
      "firstname=Anna",
      "address=Frau",
      "title= Dr.",
      "name=Meier",
      "conferenceName=\"Weekly\"",
      "conferenceOrganiser=Max Host",
      "conferenceDate=24.12.2008",
      "conferenceTime=09:30",
      "conferenceTimeEnd=10:45",
      "conferenceID=42",
      "RoomName=\"Room 1\"",
      "directDial=4711",
      "isEMail=1",
      "PIN=04711",
      "smstext=Ihre Mobilnummer: 0170123",
      "memberlist=Eingeladen sind:<brtxt>Max Host (Acme, Inc.), max@example.test<brtxt>Anna "
      "Meier, anna@example.test<brtxt>",
      "url=<a href=\"" + link + "\">Zur Konferenz: " + link + "</a>",
      "OutlookInvite=true",
      "OutlookDateBegin=20081224",
      "OutlookTimeBegin=093000",
      "OutlookDateEnd=20081224",
      "OutlookTimeEnd=104500",
      "OutlookAlarm=true",
      "OutlookAlarmHours=1",
      "OutlookAlarmMinutes=30",
      "OutlookHost=Max Host;max@example.test",
  };
  EXPECT_EQ(lines, expected);
}

TEST(BuildMailRequest, SmsInvitationGoesToTheGatewayWithTheRegistrySubject) {
  const auto language = GermanLanguage();
  TSendMail m = Invitation();
  m.IsEMail = false;
  m.EMail = "0170123";
  m.Outlook_Invitation_Enabled = false;
  TMailRequestSettings s = MailSettings();
  s.SMSActivate = 0;  // an SMS does not read the switch
  s.SMSSubject = "Erinnerung <#conferenceName>";
  s.ToExt = "@sms.example.test";
  const auto lines = BuildMailRequest(m, s, "ger", language);
  EXPECT_EQ(lines.front(), "mid=ger\\sms\\*.invite.*");
  EXPECT_EQ(Value(lines, "isEMail"), "2");
  EXPECT_EQ(Value(lines, "fixemail"), "0170123@sms.example.test");
  EXPECT_EQ(Value(lines, "MailSubject"), "Erinnerung <#conferenceName>");
  EXPECT_EQ(Value(lines, "smstext"), "");
  EXPECT_FALSE(HasLinePrefix(lines, "Outlook"));
}

TEST(BuildMailRequest, HostSearchAndRoomNameSender) {
  const auto language = GermanLanguage();
  TSendMail m = Invitation();
  m.MemberList = {{"First Host", "first@example.test", "", "true"},
                  {"Not Host", "one@example.test", "", "1"},
                  {"Minus", "minus@example.test", "", "-1"},
                  {"Second Host", "second@example.test", "", "WAHR"}};
  auto lines = BuildMailRequest(m, MailSettings(), "ger", language);
  EXPECT_EQ(Value(lines, "MailSenderAdress"), "second@example.test");
  EXPECT_EQ(Value(lines, "conferenceOrganiser"), "Second Host");
  EXPECT_EQ(Value(lines, "OutlookHost"), "Second Host;second@example.test");

  TMailRequestSettings s = MailSettings();
  s.UseRoomName = 1;
  lines = BuildMailRequest(m, s, "ger", language);
  EXPECT_EQ(Value(lines, "MailSenderAdress"), "sender@example.de");
  EXPECT_EQ(Value(lines, "conferenceOrganiser"), "\"Weekly\"");
  EXPECT_EQ(Value(lines, "OutlookHost"), "sender@example.de;sender@example.de");

  m.MemberList = {{"Only", "only@example.test", "", "1"}};
  lines = BuildMailRequest(m, MailSettings(), "ger", language);
  EXPECT_EQ(Value(lines, "MailSenderAdress"), "sender@example.de");
}

TEST(BuildMailRequest, HiddenMembersCancellationAndShortTimes) {
  pugi::xml_document empty_language;
  empty_language.load_string("<language/>");
  TSendMail m = Invitation();
  m.MembersVisible = false;
  m.Invite = false;
  m.Time = "9:30";
  m.TimeEnd = "1";
  m.Date = "1.1";
  auto lines = BuildMailRequest(m, MailSettings(), "ger", empty_language);
  EXPECT_EQ(lines.front(), "mid=ger\\mail\\*.disinvite.*");
  EXPECT_EQ(Value(lines, "memberlist"), "");
  EXPECT_EQ(Value(lines, "url"), "");
  EXPECT_EQ(Value(lines, "PIN"), "");
  EXPECT_EQ(Value(lines, "smstext"), "");
  EXPECT_EQ(Value(lines, "MailSubject"), "");  // the file lacks the key
  EXPECT_EQ(Value(lines, "conferenceTime"), "9:30");
  EXPECT_EQ(Value(lines, "conferenceTimeEnd"), "1");
  EXPECT_EQ(Value(lines, "OutlookInvite"), "false");
  EXPECT_EQ(Value(lines, "OutlookTimeBegin"), "9:0");
  EXPECT_EQ(Value(lines, "OutlookTimeEnd"), "1");
  EXPECT_EQ(Value(lines, "OutlookDateBegin"), "1.");

  m.Outlook_Invitation_Enabled = true;
  m.Outlook_Alarm_Enabled = false;
  lines = BuildMailRequest(m, MailSettings(), "ger", empty_language);
  EXPECT_EQ(Value(lines, "OutlookAlarm"), "false");
  EXPECT_FALSE(HasLinePrefix(lines, "OutlookAlarmHours"));
}

TEST(SplitDateTimeText, DateAndTimeWords) {
  EXPECT_EQ(SplitDateTimeText("24.12.2008 09:30:00.000").Date, "24.12.2008");
  EXPECT_EQ(SplitDateTimeText("24.12.2008 09:30:00.000").Time, "09:30:00.000");
  // Midnight is rendered as the date alone.
  EXPECT_EQ(SplitDateTimeText("24.12.2008").Date, "24.12.2008");
  EXPECT_EQ(SplitDateTimeText("24.12.2008").Time, "00:00:00");
  EXPECT_EQ(SplitDateTimeText("").Time, "");
}

class SendMailWithInstall : public ::testing::Test {
 protected:
  TInstallFolder install_;
};

TEST_F(SendMailWithInstall, TemplateLanguageFallsBackToTheDefault) {
  TSendMail m = Invitation();
  EXPECT_EQ(ChooseTemplateLanguage(m, install_.home()), "ger");
  m.LanguageCode = "GER";  // folder names match without regard to case
  EXPECT_EQ(ChooseTemplateLanguage(m, install_.home()), "GER");
  m.LanguageCode = "fra";
  EXPECT_EQ(ChooseTemplateLanguage(m, install_.home()), "eng");
  m.LanguageCode = "../ger";
  EXPECT_EQ(ChooseTemplateLanguage(m, install_.home()), "eng");
  m.LanguageCode = "";
  EXPECT_EQ(ChooseTemplateLanguage(m, install_.home()), "eng");
  // A folder without a matching file does not count.
  install_.Write("Templates/fra/mail/readme.md", "nothing");
  m.LanguageCode = "fra";
  EXPECT_EQ(ChooseTemplateLanguage(m, install_.home()), "eng");
}

TEST_F(SendMailWithInstall, RegistryValuesByKindAndAMissingIntegerEndsTheReading) {
  install_.SetString("MailServer", "mail.example.test");
  install_.SetString("SMSServer", "sms.example.test");
  install_.SetString("SMStoExt", "@gw.example.test");
  install_.SetString("ExtServerURL", "http://pbx");
  install_.SetInteger("SMSActivate", 1);
  auto mail = ReadMailRequestSettings(true);
  EXPECT_EQ(mail.Server, "mail.example.test");
  EXPECT_EQ(mail.SMSActivate, 1);
  EXPECT_EQ(mail.ExtServerURL, "http://pbx");
  auto sms = ReadMailRequestSettings(false);
  EXPECT_EQ(sms.Server, "sms.example.test");
  EXPECT_EQ(sms.ToExt, "@gw.example.test");
  EXPECT_EQ(sms.SMSActivate, 0);

  install_.DeleteValue("SMSActivate");
  mail = ReadMailRequestSettings(true);
  EXPECT_EQ(mail.Server, "");
  EXPECT_EQ(mail.ExtServerURL, "");
  sms = ReadMailRequestSettings(false);  // the SMS column does not read it
  EXPECT_EQ(sms.Server, "sms.example.test");
}

TEST_F(SendMailWithInstall, FailsWithoutLanguageFileOrModule) {
  TMailPeers peers({"--smtp", "a:ok", "--mx", "example.test=10:a"});
  install_.SetString("MailSender", "sender@example.de");
  TSendMail m = Invitation();
  // No module yet.
  EXPECT_FALSE(SendMail(m));
  install_.UseMailPeers(peers);
  m.LanguageCode = "fra";  // no language file: the message is not built
  EXPECT_FALSE(SendMail(m));
  EXPECT_TRUE(peers.Messages().empty());
  m.LanguageCode = "ger";
  EXPECT_TRUE(SendMail(m));
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rcpt, (std::vector<std::string>{"TO:<anna@example.test>"}));
  EXPECT_EQ(messages[0].subject,
            "Einladung: \"Weekly\" am 24.12.2008 um 09:30 Uhr, Raum \"Room 1\" (4711)");
}

TEST_F(SendMailWithInstall, SmsGoesToTheGatewayAddress) {
  TMailPeers peers({"--smtp", "gw:ok", "--mx", "gw.example.test=5:gw"});
  install_.UseMailPeers(peers);
  install_.SetString("SMSSender", "sms@example.de");
  install_.SetString("SMSSubject", "Konferenz");
  install_.SetString("SMStoExt", "@gw.example.test");
  TSendMail m = Invitation();
  m.IsEMail = false;
  m.EMail = "0170123";
  m.Outlook_Invitation_Enabled = false;
  m.MemberList.clear();  // no host: the registry's SMS sender sends
  EXPECT_TRUE(SendMail(m));
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rcpt, (std::vector<std::string>{"TO:<0170123@gw.example.test>"}));
  EXPECT_EQ(messages[0].mail_from, "FROM:<sms@example.de>");
  EXPECT_EQ(messages[0].subject, "Konferenz");
  ASSERT_EQ(messages[0].parts.size(), 1u);
  EXPECT_EQ(messages[0].parts[0].text,
            "Erinnerung: Telefonkonferenz \"Weekly\" am 24.12.2008 um 09:30 Uhr. Einwahl: 4711, "
            "PIN: 04711. Gastgeber: Max Host\r\n");
}

}  // namespace
}  // namespace parlevo

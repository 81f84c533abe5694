#include "notifications/sms_reminder.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "tests/deadline.h"
#include "tests/notify_test_support.h"

namespace parlevo {
namespace {

using testing_support::Contains;
using testing_support::kWaitLimit;
using testing_support::TInstallFolder;
using testing_support::TMailPeers;
using testing_support::TWatchdog;

// 1 June 2030, 10:00 local time: the clock of every pass below.
const TDateTime kNow = EncodeDateTime({2030, 6, 1, 10, 0, 0, 0});

std::string At(int minutes_from_now) {
  return FormatDateTime("dd.mm.yyyy hh:nn:ss", kNow + minutes_from_now / 1440.0);
}

class SmsReminder : public ::testing::Test {
 protected:
  void SetUp() override {
    install_.SetInteger("SMSActivate", 1);
    install_.SetInteger("ReminderTime", 60);
    install_.SetString("SMSSender", "sms@example.de");
    install_.SetString("SMSSubject", "Erinnerung");
    install_.SetString("SMStoExt", "@gw.example.test");
    install_.Exec(
        "INSERT INTO [rooms] (name, directdial, pin) VALUES (\"Room 1\", \"4711\", \"\")");
    install_.Exec(
        "INSERT INTO [conferences] (room, name, starttime, endtime) VALUES (\"4711\", \"Daily\", "
        "\"01.06.2030 10:30:00\", \"01.06.2030 11:30:00\")");
    install_.Exec(
        "INSERT INTO [members] ([sex],[title],[name],[firstname],[email],[sms],[company],"
        "[project],[language]) VALUES(\"Herr\", \"\", \"Host\", \"Max\", \"max@example.test\", "
        "\"\", \"\", \"\", \"ger\")");
    install_.Exec(
        "INSERT INTO [conferenceMembers] VALUES (1, 1, true, true, \"ger\", \"11111\", "
        "\"4711\", \"" +
        At(30) + "\", \"" + At(90) +
        "\", false, false, false, false, "
        "true)");
  }

  // A member of conference 1 with an invitation mail sent (or not) and the given window.
  int AddMember(const std::string& sex, const std::string& title, const std::string& mobile,
                const std::string& min, const std::string& max, bool mailed = true) {
    install_.Exec(
        "INSERT INTO [members] ([sex],[title],[name],[firstname],[email],[sms],[company],"
        "[project],[language]) VALUES(\"" +
        sex + "\", \"" + title +
        "\", \"Meier\", \"Anna\", "
        "\"anna@example.test\", \"" +
        mobile + "\", \"\", \"\", \"ger\")");
    const int id = static_cast<int>(install_.Count("SELECT MAX(ID) FROM [members]"));
    install_.Exec("INSERT INTO [conferenceMembers] VALUES (" + std::to_string(id) + ", 1, false, " +
                  (mailed ? "true" : "false") + ", \"ger\", \"22222\", \"4711\", \"" + min +
                  "\", \"" + max + "\", false, false, false, false, true)");
    return id;
  }
  std::string Reminded(int member) {
    return install_
        .Row("SELECT sms FROM [conferenceMembers] WHERE memberID=" + std::to_string(member),
             {"sms"})
        .at(0);
  }
  TSMSReminderOptions Options(TDateTime now = kNow) {
    TSMSReminderOptions o;
    o.clock = [now] { return now; };
    o.send = [this](const TSendMail& mail) {
      sent_.push_back(mail);
      return send_result_;
    };
    return o;
  }

  TInstallFolder install_;
  std::vector<TSendMail> sent_;
  bool send_result_ = true;
};

TEST_F(SmsReminder, RemindsOnceWithinTheLookAhead) {
  const int anna = AddMember("Frau", "Dr.", "0170111", At(30), At(90));
  const int later = AddMember("Herr", "", "0170222", At(120), At(180));
  TSMSReminder reminder(Options(), false);
  reminder.TimerExecute();
  ASSERT_EQ(sent_.size(), 1u);
  const TSendMail& m = sent_[0];
  EXPECT_EQ(m.EMail, "0170111");
  EXPECT_FALSE(m.IsEMail);
  EXPECT_TRUE(m.Invite);
  EXPECT_FALSE(m.Outlook_Invitation_Enabled);
  EXPECT_EQ(m.Salutation, "Sehr geehrte Frau");
  EXPECT_EQ(m.Title, " Dr.");
  EXPECT_EQ(m.Firstname, "Anna");
  EXPECT_EQ(m.Name, "Meier");
  EXPECT_EQ(m.Host, "Max Host");
  EXPECT_EQ(m.ConferenceName, "\"Daily\"");
  EXPECT_EQ(m.Date, "01.06.2030");
  EXPECT_EQ(m.Time.substr(0, 8), "10:30:00");
  EXPECT_EQ(m.DirectDial, "4711");
  EXPECT_EQ(m.PIN, "22222");
  EXPECT_EQ(m.LanguageCode, "ger");
  EXPECT_EQ(Reminded(anna), "Wahr");
  EXPECT_EQ(Reminded(later), "Falsch");

  reminder.TimerExecute();
  EXPECT_EQ(sent_.size(), 1u);

  // An hour and a bit later the second member is due.
  TSMSReminder next(Options(kNow + 65 / 1440.0), false);
  next.TimerExecute();
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[1].EMail, "0170222");
  EXPECT_EQ(sent_[1].Salutation, "Sehr geehrter Herr");
  EXPECT_EQ(Reminded(later), "Wahr");
}

TEST_F(SmsReminder, LateJoinersNotMailedAndEmptyNumbers) {
  const int late = AddMember("frau", "", "0170111", At(-30), At(30));
  const int over = AddMember("Frau", "", "0170333", At(-90), At(-10));
  const int unmailed = AddMember("Frau", "", "0170444", At(10), At(50), false);
  const int no_number = AddMember("", "", "", At(10), At(50));
  TSMSReminder reminder(Options(), false);
  reminder.TimerExecute();
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].EMail, "0170111");
  EXPECT_EQ(sent_[0].Salutation, "Sehr geehrte Frau");
  EXPECT_EQ(Reminded(late), "Wahr");
  EXPECT_EQ(Reminded(over), "Falsch");
  EXPECT_EQ(Reminded(unmailed), "Falsch");
  EXPECT_EQ(Reminded(no_number), "Falsch");
}

TEST_F(SmsReminder, FailedOrDisabledSendsStayDue) {
  const int anna = AddMember("Frau", "", "0170111", At(30), At(90));
  send_result_ = false;
  TSMSReminder failing(Options(), false);
  failing.TimerExecute();
  EXPECT_EQ(sent_.size(), 1u);
  EXPECT_EQ(Reminded(anna), "Falsch");

  install_.SetInteger("SMSActivate", 0);
  send_result_ = true;
  TSMSReminder disabled(Options(), false);
  disabled.TimerExecute();
  EXPECT_FALSE(disabled.SMSActivate());
  EXPECT_EQ(sent_.size(), 1u);
  EXPECT_EQ(Reminded(anna), "Falsch");
}

TEST_F(SmsReminder, MidnightStartHasAMidnightTime) {
  AddMember("Frau", "", "0170111", "02.06.2030", "02.06.2030 01:00:00");
  TSMSReminder reminder(Options(EncodeDateTime({2030, 6, 1, 23, 30, 0, 0})), false);
  reminder.TimerExecute();
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].Date, "02.06.2030");
  EXPECT_EQ(sent_[0].Time, "00:00:00");
}

TEST_F(SmsReminder, SettingsReadAtStart) {
  install_.DeleteValue("ReminderTime");
  TSMSReminder reminder(Options(), false);
  reminder.TimerExecute();
  EXPECT_EQ(reminder.RemindTime(), 60);
  // "Logging" is not among the values the reminder reads: its absence changes nothing.
  install_.DeleteValue("Logging");
  AddMember("Frau", "", "0170111", At(30), At(90));
  reminder.TimerExecute();
  EXPECT_EQ(sent_.size(), 1u);
}

TEST_F(SmsReminder, EndToEndToTheGatewayAddress) {
  TMailPeers peers({"--smtp", "gw:ok", "--mx", "gw.example.test=10:gw"});
  install_.UseMailPeers(peers);
  const int anna = AddMember("Frau", "", "0170111", At(30), At(90));
  TSMSReminderOptions options;
  options.clock = [] { return kNow; };
  TSMSReminder reminder(options, false);
  reminder.TimerExecute();
  const auto messages = peers.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rcpt, (std::vector<std::string>{"TO:<0170111@gw.example.test>"}));
  EXPECT_EQ(messages[0].mail_from, "FROM:<sms@example.de>");
  EXPECT_EQ(messages[0].subject, "Erinnerung");
  ASSERT_EQ(messages[0].parts.size(), 1u);
  EXPECT_TRUE(Contains(messages[0].parts[0].text,
                       "Erinnerung: Telefonkonferenz \"Daily\" am 01.06.2030 um 10:30 Uhr. "
                       "Einwahl: 4711, PIN: 22222. Gastgeber: Max Host"));
  EXPECT_EQ(Reminded(anna), "Wahr");
  reminder.TimerExecute();
  EXPECT_EQ(peers.Messages().size(), 1u);
}

TEST_F(SmsReminder, ThreadRunsPassesAndStopsOnRequest) {
  AddMember("Frau", "", "0170111", At(30), At(90));
  install_.SetInteger("ReminderInterval", 0);  // one second
  std::mutex mutex;
  std::condition_variable passed;
  int passes = 0;
  TSMSReminderOptions options = Options();
  options.after_pass = [&] {
    std::lock_guard lock(mutex);
    ++passes;
    passed.notify_all();
  };
  {
    TWatchdog dog("stopping the reminder thread");
    TSMSReminder reminder(options, true);
    std::unique_lock lock(mutex);
    ASSERT_TRUE(passed.wait_for(lock, kWaitLimit, [&] { return passes >= 1; }))
        << "the reminder thread ran no pass";
  }
  EXPECT_EQ(sent_.size(), 1u);

  // A long interval: the destructor's stop request ends the wait.
  install_.SetInteger("ReminderInterval", 3600);
  {
    TWatchdog dog("stopping a reminder thread that waits an hour");
    TSMSReminder idle(Options(), true);
  }
  EXPECT_EQ(sent_.size(), 1u);
}

TEST_F(SmsReminder, APassThatThrowsAnythingIsLoggedAndTheNextPassRuns) {
  AddMember("Frau", "", "0170111", At(30), At(90));
  install_.SetInteger("ReminderInterval", 0);  // one second
  struct NotAStandardException {};
  std::mutex mutex;
  std::condition_variable passed;
  int passes = 0;
  int clock_reads = 0;
  TSMSReminderOptions options = Options();
  // The first pass fails at its first step with something no handler for std::exception catches.
  options.clock = [&] {
    if (++clock_reads == 1) throw NotAStandardException{};
    return kNow;
  };
  options.after_pass = [&] {
    std::lock_guard lock(mutex);
    ++passes;
    passed.notify_all();
  };
  {
    TWatchdog dog("stopping the reminder thread after a failed pass");
    TSMSReminder reminder(options, true);
    std::unique_lock lock(mutex);
    ASSERT_TRUE(passed.wait_for(lock, kWaitLimit, [&] { return passes >= 2; }))
        << "no pass ran after the one that threw";
  }
  EXPECT_EQ(sent_.size(), 1u);
  std::ifstream log(install_.path() / "debug" / "log.txt");
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(
      Contains(text, "[SMSReminder][Execute] Exception in a pass: not a standard exception"));
  EXPECT_TRUE(Contains(text, "[SMSReminder][Execute] ...OK"));
}

TEST_F(SmsReminder, MissingSwitchEndsTheThread) {
  install_.DeleteValue("SMSActivate");
  install_.SetInteger("ReminderInterval", 0);
  {
    TWatchdog dog("a reminder thread without its switch");
    TSMSReminder reminder(Options(), true);
  }
  std::ifstream log(install_.path() / "debug" / "log.txt");
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(Contains(text, "[SMSReminder][Execute] ...OK"));
  EXPECT_FALSE(Contains(text, "SMS-Notification"));
}

TEST(ReminderWaitSeconds, ZeroOrLessIsOneSecond) {
  EXPECT_EQ(ReminderWaitSeconds(0), 1);
  EXPECT_EQ(ReminderWaitSeconds(-5), 1);
  EXPECT_EQ(ReminderWaitSeconds(60), 60);
  EXPECT_EQ(ReminderWaitSeconds(int64_t{3000000} * 1000), int64_t{3000000000});
}

}  // namespace
}  // namespace parlevo

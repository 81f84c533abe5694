// The SMS reminder: a thread of its own that, at the interval "ReminderInterval", sends one SMS to
// every conference member who got his invitation e-mail but no SMS yet and whose time window in
// the conference begins within "ReminderTime" minutes (or has begun and not ended), and marks the
// membership as reminded.
//
// Thread safety: the object is created and destroyed by one thread (the service); TimerExecute
// runs on the reminder's own thread, or on the caller's when the object was made without one.
// The database is the only thing it shares with other threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "notifications/send_mail.h"
#include "platform/datetime.h"

namespace parlevo {

// A membership due for its reminder, as the pass reads it.
struct TDueReminder {
  std::string conference_name;
  std::string sex;
  std::string title;
  std::string name;
  std::string firstname;
  std::string mobile;
  TDateTimeWords start;
  std::string direct_dial;
  std::string language_code;
  std::string pin;
  std::string member_id;
  std::string conference_id;
};

class TActionStatement;

struct TSMSReminderOptions {
  // The local date-time of a pass. Empty: the system clock.
  std::function<TDateTime()> clock;
  // The send step. Empty: SendMail with kBackgroundSmtpLimits (the end of the message data may
  // take its gateway 10 minutes; a stop ends the wait).
  std::function<bool(const TSendMail&)> send;
  // Told after every pass the thread ran (not after passes called directly). Empty: nothing.
  std::function<void()> after_pass;
};

class TSMSReminder {
 public:
  // Starts the thread with the system clock and SendMail, as the service does at its start.
  TSMSReminder();
  // start false: no thread; passes are run by calling TimerExecute.
  explicit TSMSReminder(TSMSReminderOptions options, bool start = true);
  // Asks the thread to stop and waits for it; a pass under way is finished first.
  ~TSMSReminder();
  TSMSReminder(const TSMSReminder&) = delete;
  TSMSReminder& operator=(const TSMSReminder&) = delete;

  // One reminder pass. Reads "ReminderTime" and "SMSActivate" first when the thread has not done
  // so (a pass called without a thread).
  void TimerExecute();

  // The look-ahead and switch the thread read at its start.
  int32_t RemindTime() const { return remind_time_; }
  bool SMSActivate() const { return sms_activate_; }

 private:
  void Execute(std::stop_token stop);
  // "ReminderTime" in minutes; 60 when it cannot be read.
  int32_t GetRemindTime();
  // Throws when "SMSActivate" cannot be read.
  void ReadSettings();
  // Sends the reminder of one membership and marks it; false when the pass must end.
  bool Remind(TActionStatement& statement, const TDueReminder& reminder);
  // The send step, traced; true when the message went out (an error is logged).
  bool SendMail(const TSendMail& mail);

  const TSMSReminderOptions options_;
  int32_t remind_time_ = 60;
  bool sms_activate_ = false;
  bool settings_read_ = false;
  std::mutex wait_mutex_;
  std::condition_variable_any wake_;
  std::jthread thread_;  // last: it starts after every other member is ready
};

// The seconds to wait for a "ReminderInterval" value: at least one.
int64_t ReminderWaitSeconds(int64_t reminder_interval);

}  // namespace parlevo

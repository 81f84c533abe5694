// The e-mail module: takes a mail request (the settings list, lines name=value), composes the
// message from the template files with an iCalendar part for invitations and cancellations, and
// delivers it over SMTP to each recipient, through the configured mail server or the mail
// exchangers of the recipient's domain.
//
// Thread safety: SendEMailExt and CancelSends may be called from any thread. Each send keeps its
// settings, PIN, address lists and message in a state of its own, so sends run side by side
// (one silent mail server holds only the request that sends to it) and never see each other's
// data. The functions beside the class are pure.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "notifications/mail_settings.h"
#include "notifications/mime_message.h"
#include "notifications/mx_lookup.h"
#include "notifications/smtp_client.h"

namespace parlevo {

// What the module needs from the rest of the service. Every function may be left empty (see
// each); a function may throw, which ends the send as failed.
struct TEMailModuleOptions {
  // The install folder with a trailing "/"; the templates lie in its folder "Templates".
  std::string app_path;
  // The registry integer "isLotusNotes", read for every template file. Empty: 0.
  std::function<int()> read_is_lotus_notes;
  // The registry text "MailSender", read when a request names no conference organiser. Empty:
  // no sender.
  std::function<std::string()> read_mail_sender;
  // The attendees of a conference: "name|firstname|email" for every member who is not a host,
  // from the database; nullopt when a query failed. conference_id is always a decimal number.
  // Empty: no attendees.
  std::function<std::optional<std::vector<std::string>>(std::string_view conference_id)>
      read_attendees;
  // The debug log file (one line per call). Empty: no debug lines.
  std::function<void(std::string_view)> write_debug_log;
  // The clock of the calendar time stamps and the Date header. Empty: the system clock.
  std::function<std::chrono::system_clock::time_point()> clock;
  // The DNS server asked for MX records; an empty address uses the system's resolver setup.
  TDnsServer dns_server;
  // The external mail server tried after "localhost" when a message is retried to the support
  // address; empty: "localhost" alone.
  std::string fallback_mail_server;
};

class TEMailDataModule {
 public:
  explicit TEMailDataModule(TEMailModuleOptions options);
  TEMailDataModule(const TEMailDataModule&) = delete;
  TEMailDataModule& operator=(const TEMailDataModule&) = delete;

  // Replaces the settings list by settings_list and sends: true when the message was delivered
  // to the last recipient handled. Control characters in the lines become blanks. Throws when a
  // registry read, the attendee read, a template file or an alarm value fails; the caller reports
  // such a send as failed. limits bound each SMTP transaction.
  bool SendEMailExt(const std::vector<std::string>& settings_list,
                    const TSmtpLimits& limits = kRequestSmtpLimits);

  // The program is stopping: every MX lookup and transaction under way ends as failed at once,
  // and every later one fails before it begins.
  void CancelSends();

 private:
  const TEMailModuleOptions options_;
  TMailCancel cancel_;
};

}  // namespace parlevo

// The invitation and cancellation of one membership: gathers the member, the conference, its host
// and its member list from the database, picks the salutation from the language files and sends
// the message by e-mail and, for a cancellation, by SMS through the mail request builder.
//
// Thread safety: SendMailHelper may be called from any thread at once (each statement has its own
// connection; the e-mail module keeps the sends apart, and an invitation is claimed while it is
// on its way). The response document belongs to the caller's thread.
#pragma once

#include <cstdint>
#include <string_view>

#include <pugixml.hpp>

#include "notifications/mail_path.h"

namespace parlevo {

// The mail and SMS switches of the registry.
struct TMailSettings {
  bool MailActivate = true;
  bool MailOutlookActivate = false;
  bool MailOutlookAlarmActivate = false;
  int32_t MailOutlookAlarmMinutes = 0;
  int32_t MailOutlookAlarmHours = 0;
  bool SMSActivate = true;
};

// Throws when a value is missing (the service writes all of them at its start).
TMailSettings ReadMailSettings();

// Sends the invitation (invite true) or the cancellation (invite false) of the membership of
// member participant_id in conference conference_id. An invitation goes only to a membership not
// mailed yet and marks it mailed; a cancellation only to one that was mailed. An invitation that
// another thread is sending at the moment is not sent again: the answer is false with the reason
// "Einladung wird bereits versendet". On failure the reason is written into the element "result"
// of response (see GetQueryResultText) and the answer is false; a failed invitation send writes
// no reason. A cancellation answers true whether or not a message went out. Throws when a
// registry value is missing. send: the send step (empty: SendMail, the service's mail module).
bool SendMailHelper(std::string_view conference_id, std::string_view participant_id, bool invite,
                    pugi::xml_document& response, const TMailSend& send = {});

}  // namespace parlevo

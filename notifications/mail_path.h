// The steps an invitation, a cancellation and an SMS reminder share on their way out: the host
// of the conference, the send itself (injectable) and the mark on the membership once it went.
// Each step takes the caller's statement runner, so its trace and its failure reporting stay the
// caller's.
//
// Thread safety: the functions may be called from any thread at once; a statement runner belongs
// to the thread that made it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "notifications/send_mail.h"
#include "service/action_statement.h"

namespace parlevo {

// The send step: true when the message went out. Empty: SendMail.
using TMailSend = std::function<bool(const TSendMail&)>;

// The host's display name ("firstname name") of conference `conference` (a decimal number);
// empty when the conference has no host.
TStatementValue<std::string> LoadHost(TActionStatement& statement, std::string_view conference);

// Hands the message to send, or to SendMail when send is empty.
bool Deliver(const TMailSend& send, const TSendMail& mail);

// Marks the membership of member in conference as reached through `column` ("email" or "sms").
// Fails when no membership changed.
TStatementStatus MarkMembership(TActionStatement& statement, std::string_view column,
                                std::string_view member, std::string_view conference);

}  // namespace parlevo

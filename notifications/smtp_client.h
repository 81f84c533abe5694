// One SMTP transaction over libcurl: connect to a mail server on port 25, greet it (EHLO, HELO
// when it refuses EHLO), send one message from one sender to one recipient, quit. Plain SMTP
// without authentication: no credentials are ever handed to curl.
//
// Thread safety: SendSmtpMessage may be called from several threads at once; each call uses its
// own curl handle.
#pragma once

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "notifications/mail_cancel.h"

namespace parlevo {

// The time limits of one transaction. A reply is awaited from the moment its command went out
// (the greeting from the start of the connection, the reply to the end of the message data from
// the server's 354), however its bytes come: a server that dribbles a reply cannot stretch it.
struct TSmtpLimits {
  // The connection up to the server's greeting.
  std::chrono::milliseconds connect{5000};
  // Each later reply (EHLO, HELO, MAIL, RCPT, DATA, QUIT).
  std::chrono::milliseconds reply{30000};
  // The reply to the end of the message data (RFC 5321 allows a server 10 minutes).
  std::chrono::milliseconds end_of_data_reply{30000};
  // The whole transaction, QUIT included.
  std::chrono::milliseconds transaction{60000};
};

// A request that sends mail waits for it: every reply and the whole transaction are bounded so
// that a slow server fails the send in time for the administration front.
inline constexpr TSmtpLimits kRequestSmtpLimits{};
// A thread of the service's own (the SMS reminder) can wait for the end of the message data as
// long as RFC 5321 section 4.5.3.2 allows; its other replies keep their limits.
inline constexpr TSmtpLimits kBackgroundSmtpLimits{.end_of_data_reply = std::chrono::minutes(10),
                                                   .transaction = std::chrono::minutes(15)};

struct TSmtpTransaction {
  std::string host;           // host name or IPv4 address; port 25
  std::string greeting_name;  // the domain of EHLO/HELO
  std::string sender;         // envelope sender, a bare address
  std::string recipient;      // envelope recipient, a bare address
  std::string message;        // the whole message, lines ending in CR LF
  TSmtpLimits limits;
  // When set, cancelling it ends the transaction as failed; it must outlive the call.
  TMailCancel* cancel = nullptr;
};

class TSmtpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An address that may go into MAIL FROM or RCPT TO: exactly one "@" with text on both sides,
// printable ASCII only, no blank and no angle brackets.
bool IsValidEnvelopeAddress(std::string_view address);

// Sends the message. Returns when the server accepted it at the end of DATA (a failing or late
// QUIT afterwards does not matter: the message is delivered). Throws TSmtpError with the client's
// description otherwise (a limit of transaction.limits that was passed is named); the envelope
// addresses are checked before any connection is made. status receives the client's own status
// lines (resolving, connecting, closing and so on).
void SendSmtpMessage(const TSmtpTransaction& transaction,
                     const std::function<void(std::string_view)>& status);

}  // namespace parlevo

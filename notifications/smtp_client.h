// One SMTP transaction over libcurl: connect to a mail server on port 25, greet it (EHLO, HELO
// when it refuses EHLO), send one message from one sender to one recipient, quit. Plain SMTP
// without authentication: no credentials are ever handed to curl.
//
// Thread safety: SendSmtpMessage may be called from several threads at once; each call uses its
// own curl handle.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace parlevo {

// Lets another thread end the transactions that use it: their sockets are shut down, which wakes
// a client waiting on a silent server at once, and later transactions fail before they connect.
// Once cancelled it stays cancelled (the program is stopping).
//
// Thread safety: every method may be called from any thread.
class TSmtpCancel {
 public:
  TSmtpCancel() = default;
  TSmtpCancel(const TSmtpCancel&) = delete;
  TSmtpCancel& operator=(const TSmtpCancel&) = delete;

  void Cancel();
  bool Cancelled() const;

  // For the client: registers a new socket; false (socket not registered) when cancelled.
  bool Watch(int fd);
  // For the client: forgets the socket and closes it, so Cancel never reaches a reused number.
  void ForgetAndClose(int fd);

 private:
  mutable std::mutex lock_;
  bool cancelled_ = false;
  std::vector<int> sockets_;
};

struct TSmtpTransaction {
  std::string host;           // host name or IPv4 address; port 25
  std::string greeting_name;  // the domain of EHLO/HELO
  std::string sender;         // envelope sender, a bare address
  std::string recipient;      // envelope recipient, a bare address
  std::string message;        // the whole message, lines ending in CR LF
  // The connection up to the server's greeting.
  std::chrono::milliseconds connect_timeout{5000};
  // Each reply of the server; rounded up to whole seconds.
  std::chrono::milliseconds reply_timeout{30000};
  // Bound on the whole transaction, so that a server that answers slowly cannot hold the sending
  // request for ever.
  std::chrono::milliseconds transaction_timeout{60000};
  // When set, cancelling it ends the transaction as failed; it must outlive the call.
  TSmtpCancel* cancel = nullptr;
};

class TSmtpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An address that may go into MAIL FROM or RCPT TO: exactly one "@" with text on both sides,
// printable ASCII only, no blank and no angle brackets.
bool IsValidEnvelopeAddress(std::string_view address);

// Sends the message. Returns when the server accepted it at the end of DATA (a failing QUIT
// afterwards does not matter: the message is delivered). Throws TSmtpError with the client's
// description otherwise; the envelope addresses are checked before any connection is made.
// status receives the client's own status lines (resolving, connecting, closing and so on).
void SendSmtpMessage(const TSmtpTransaction& transaction,
                     const std::function<void(std::string_view)>& status);

}  // namespace parlevo

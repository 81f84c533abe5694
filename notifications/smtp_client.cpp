#include "notifications/smtp_client.h"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace parlevo {

namespace {

void EnsureCurlInitialised() {
  // curl_global_init is not thread-safe in the curl of our platform; run it exactly once.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct TCurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

struct TUpload {
  std::string_view data;
  size_t offset = 0;
};

size_t ReadUpload(char* buffer, size_t size, size_t count, void* user) {
  auto* upload = static_cast<TUpload*>(user);
  const size_t n = std::min(size * count, upload->data.size() - upload->offset);
  std::memcpy(buffer, upload->data.data() + upload->offset, n);
  upload->offset += n;
  return n;
}

using Clock = std::chrono::steady_clock;

std::string Millis(std::chrono::milliseconds limit) {
  return std::to_string(limit.count()) + " ms";
}

// The limits of one transaction as it goes: which reply is awaited and since when. curl's
// protocol trace feeds it (commands out, reply lines in); curl's progress callback asks it about
// once a second, also while curl waits inside a step of its own such as the reply to the end of
// the data or to QUIT, so that no reply pattern escapes the limits.
class TTransactionClock {
 public:
  TTransactionClock(const TSmtpLimits& limits, const TMailCancel* cancel)
      : limits_(limits),
        cancel_(cancel),
        begun_(Clock::now()),
        awaited_("greeting"),
        since_(begun_),
        limit_(limits.connect) {}

  void CommandSent(std::string_view line) {
    // The end of the message data is no command: its reply keeps the limit the 354 gave it.
    if (line.empty() || !std::isalpha(static_cast<unsigned char>(line.front()))) return;
    const std::string_view verb = line.substr(0, line.find_first_of(" \r\n"));
    awaited_ = "reply to " + std::string(verb);
    since_ = Clock::now();
    limit_ = limits_.reply;
  }

  void ReplyLine(std::string_view line) {
    // "250-..." continues a reply; the line with a blank (or nothing) after the code ends it.
    if (line.size() >= 4 && line[3] == '-') return;
    const bool end_of_data = awaited_ == kEndOfData;
    if (line.rfind("354", 0) == 0) {
      awaited_ = kEndOfData;
      since_ = Clock::now();
      limit_ = limits_.end_of_data_reply;
      return;
    }
    if (end_of_data && !line.empty() && line.front() == '2') delivered_ = true;
    awaited_.clear();
  }

  // Whether the transaction must end now; why() says which limit ended it.
  bool MustEnd() {
    if (cancel_ != nullptr && cancel_->Cancelled()) return true;
    const Clock::time_point now = Clock::now();
    if (now - begun_ >= limits_.transaction) {
      why_ = "transaction not done within " + Millis(limits_.transaction);
      return true;
    }
    if (!awaited_.empty() && now - since_ >= limit_) {
      why_ = "no " + awaited_ + " within " + Millis(limit_);
      return true;
    }
    return false;
  }

  const std::string& why() const { return why_; }
  // The server accepted the message at the end of its data.
  bool delivered() const { return delivered_; }

 private:
  static constexpr std::string_view kEndOfData = "reply to the end of the message data";

  const TSmtpLimits limits_;
  const TMailCancel* const cancel_;
  const Clock::time_point begun_;
  std::string awaited_;  // empty: no reply is awaited
  Clock::time_point since_;
  std::chrono::milliseconds limit_;
  std::string why_;
  bool delivered_ = false;
};

struct TTrace {
  TTransactionClock& clock;
  const std::function<void(std::string_view)>& status;
};

// Each call carries one line (curl traces the protocol line by line), with its line end.
int TraceProtocol(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  auto& trace = *static_cast<TTrace*>(user);
  std::string_view text(data, size);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  switch (type) {
    case CURLINFO_TEXT:
      if (trace.status && !text.empty()) trace.status(text);
      break;
    case CURLINFO_HEADER_OUT:
      trace.clock.CommandSent(text);
      break;
    case CURLINFO_HEADER_IN:
      trace.clock.ReplyLine(text);
      break;
    default:
      break;
  }
  return 0;
}

curl_socket_t OpenWatchedSocket(void* user, curlsocktype, curl_sockaddr* address) {
  auto* cancel = static_cast<TMailCancel*>(user);
  const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd < 0) return CURL_SOCKET_BAD;
  if (!cancel->Watch(fd)) {
    ::close(fd);
    return CURL_SOCKET_BAD;
  }
  return fd;
}

int CloseWatchedSocket(void* user, curl_socket_t fd) {
  static_cast<TMailCancel*>(user)->ForgetAndClose(fd);
  return 0;
}

// Also the backstop for a cancel that comes between two socket calls.
int EndWhenDue(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<TTransactionClock*>(user)->MustEnd() ? 1 : 0;
}

void Check(CURLcode code, const char* what) {
  if (code != CURLE_OK) throw TSmtpError(std::string(what) + ": " + curl_easy_strerror(code));
}

void CheckUrl(CURLUcode code, const char* what) {
  if (code != CURLUE_OK) throw TSmtpError(std::string("invalid ") + what);
}

}  // namespace

bool IsValidEnvelopeAddress(std::string_view address) {
  const size_t at = address.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == address.size()) return false;
  if (address.find('@', at + 1) != std::string_view::npos) return false;
  return std::all_of(address.begin(), address.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7F && c != '<' && c != '>';
  });
}

void SendSmtpMessage(const TSmtpTransaction& t,
                     const std::function<void(std::string_view)>& status) {
  if (!IsValidEnvelopeAddress(t.sender)) {
    throw TSmtpError("invalid sender address '" + t.sender + "'");
  }
  if (!IsValidEnvelopeAddress(t.recipient)) {
    throw TSmtpError("invalid recipient address '" + t.recipient + "'");
  }
  if (t.cancel != nullptr && t.cancel->Cancelled()) {
    throw TSmtpError("SMTP to " + t.host + ": not sent, the service is stopping");
  }
  EnsureCurlInitialised();

  // The URL is built part by part so that a host or greeting name can never add a user, a port
  // or a second command; curl sends the path as the domain of EHLO/HELO.
  std::unique_ptr<CURLU, TCurlDeleter> url(curl_url());
  if (!url) throw TSmtpError("out of memory");
  CheckUrl(curl_url_set(url.get(), CURLUPART_SCHEME, "smtp", 0), "scheme");
  CheckUrl(curl_url_set(url.get(), CURLUPART_HOST, t.host.c_str(), 0),
           ("mail server name '" + t.host + "'").c_str());
  CheckUrl(curl_url_set(url.get(), CURLUPART_PORT, "25", 0), "port");
  const std::string path = "/" + t.greeting_name;
  CheckUrl(curl_url_set(url.get(), CURLUPART_PATH, path.c_str(), CURLU_URLENCODE),
           ("greeting name '" + t.greeting_name + "'").c_str());

  std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
  if (!curl) throw TSmtpError("out of memory");
  CURL* c = curl.get();
  const std::string from = "<" + t.sender + ">";
  std::unique_ptr<curl_slist, TCurlDeleter> recipients(
      curl_slist_append(nullptr, ("<" + t.recipient + ">").c_str()));
  if (!recipients) throw TSmtpError("out of memory");
  TUpload upload{t.message, 0};
  TTransactionClock clock(t.limits, t.cancel);
  TTrace trace{clock, status};

  Check(curl_easy_setopt(c, CURLOPT_CURLU, url.get()), "URL");
  Check(curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp"), "protocol");
  Check(curl_easy_setopt(c, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4), "IPv4");
  Check(curl_easy_setopt(c, CURLOPT_USE_SSL, CURLUSESSL_NONE), "TLS");
  Check(curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str()), "sender");
  Check(curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.get()), "recipient");
  Check(curl_easy_setopt(c, CURLOPT_UPLOAD, 1L), "upload");
  Check(curl_easy_setopt(c, CURLOPT_READFUNCTION, &ReadUpload), "upload");
  Check(curl_easy_setopt(c, CURLOPT_READDATA, &upload), "upload");
  Check(curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(t.message.size())),
        "upload");
  // curl's own limits are backstops only: its connect phase runs to the end of EHLO, and its
  // response limit is one for every reply. The clock holds the limits as they are meant.
  const long transaction_ms = static_cast<long>(t.limits.transaction.count());
  Check(curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, transaction_ms), "connect timeout");
  Check(curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, transaction_ms), "timeout");
  const auto longest_reply = std::max(t.limits.reply, t.limits.end_of_data_reply);
  Check(curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                         static_cast<long>((longest_reply.count() + 999) / 1000)),
        "response timeout");
  Check(curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &EndWhenDue), "limits");
  Check(curl_easy_setopt(c, CURLOPT_XFERINFODATA, &clock), "limits");
  Check(curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L), "limits");
  if (t.cancel != nullptr) {
    Check(curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &OpenWatchedSocket), "cancel");
    Check(curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, t.cancel), "cancel");
    Check(curl_easy_setopt(c, CURLOPT_CLOSESOCKETFUNCTION, &CloseWatchedSocket), "cancel");
    Check(curl_easy_setopt(c, CURLOPT_CLOSESOCKETDATA, t.cancel), "cancel");
  }
  // The connection ends with the transfer (QUIT inside this call, its outcome ignored by curl),
  // rather than lingering in a cache until the handle goes.
  Check(curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L), "reuse");
  Check(curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L), "signals");
  Check(curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &TraceProtocol), "status");
  Check(curl_easy_setopt(c, CURLOPT_DEBUGDATA, &trace), "status");
  Check(curl_easy_setopt(c, CURLOPT_VERBOSE, 1L), "status");

  const CURLcode result = curl_easy_perform(c);
  // Accepted at the end of its data, the message is delivered, whatever became of QUIT.
  if (result == CURLE_OK || clock.delivered()) return;
  if (t.cancel != nullptr && t.cancel->Cancelled()) {
    throw TSmtpError("SMTP to " + t.host + ": cancelled, the service is stopping");
  }
  if (result == CURLE_ABORTED_BY_CALLBACK || result == CURLE_OPERATION_TIMEDOUT) {
    // curl's own backstop may have come first; the clock names the limit that was passed.
    clock.MustEnd();
    if (!clock.why().empty()) throw TSmtpError("SMTP to " + t.host + ": " + clock.why());
  }
  throw TSmtpError("SMTP to " + t.host + ": " + curl_easy_strerror(result));
}

}  // namespace parlevo

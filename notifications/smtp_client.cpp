#include "notifications/smtp_client.h"

#include <curl/curl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

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

int ReportStatus(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  if (type != CURLINFO_TEXT || user == nullptr) return 0;
  std::string_view text(data, size);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  const auto& status = *static_cast<const std::function<void(std::string_view)>*>(user);
  if (status && !text.empty()) status(text);
  return 0;
}

curl_socket_t OpenWatchedSocket(void* user, curlsocktype, curl_sockaddr* address) {
  auto* cancel = static_cast<TSmtpCancel*>(user);
  const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd < 0) return CURL_SOCKET_BAD;
  if (!cancel->Watch(fd)) {
    ::close(fd);
    return CURL_SOCKET_BAD;
  }
  return fd;
}

int CloseWatchedSocket(void* user, curl_socket_t fd) {
  static_cast<TSmtpCancel*>(user)->ForgetAndClose(fd);
  return 0;
}

// A backstop for a cancel that comes between two socket calls: curl asks at least once a second.
int AbortWhenCancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<TSmtpCancel*>(user)->Cancelled() ? 1 : 0;
}

void Check(CURLcode code, const char* what) {
  if (code != CURLE_OK) throw TSmtpError(std::string(what) + ": " + curl_easy_strerror(code));
}

void CheckUrl(CURLUcode code, const char* what) {
  if (code != CURLUE_OK) throw TSmtpError(std::string("invalid ") + what);
}

}  // namespace

void TSmtpCancel::Cancel() {
  std::lock_guard lock(lock_);
  cancelled_ = true;
  for (int fd : sockets_) ::shutdown(fd, SHUT_RDWR);
}

bool TSmtpCancel::Cancelled() const {
  std::lock_guard lock(lock_);
  return cancelled_;
}

bool TSmtpCancel::Watch(int fd) {
  std::lock_guard lock(lock_);
  if (cancelled_) return false;
  sockets_.push_back(fd);
  return true;
}

void TSmtpCancel::ForgetAndClose(int fd) {
  std::lock_guard lock(lock_);
  std::erase(sockets_, fd);
  ::close(fd);
}

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
  const std::function<void(std::string_view)>* status_ptr = &status;

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
  Check(
      curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(t.connect_timeout.count())),
      "connect timeout");
  Check(curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(t.transaction_timeout.count())),
        "timeout");
  Check(curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                         static_cast<long>((t.reply_timeout.count() + 999) / 1000)),
        "response timeout");
  if (t.cancel != nullptr) {
    Check(curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &OpenWatchedSocket), "cancel");
    Check(curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, t.cancel), "cancel");
    Check(curl_easy_setopt(c, CURLOPT_CLOSESOCKETFUNCTION, &CloseWatchedSocket), "cancel");
    Check(curl_easy_setopt(c, CURLOPT_CLOSESOCKETDATA, t.cancel), "cancel");
    Check(curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &AbortWhenCancelled), "cancel");
    Check(curl_easy_setopt(c, CURLOPT_XFERINFODATA, t.cancel), "cancel");
    Check(curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L), "cancel");
  }
  // The connection ends with the transfer (QUIT inside this call, its outcome ignored by curl),
  // rather than lingering in a cache until the handle goes.
  Check(curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L), "reuse");
  Check(curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L), "signals");
  Check(curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &ReportStatus), "status");
  Check(curl_easy_setopt(c, CURLOPT_DEBUGDATA, status_ptr), "status");
  Check(curl_easy_setopt(c, CURLOPT_VERBOSE, 1L), "status");

  const CURLcode result = curl_easy_perform(c);
  if (result != CURLE_OK && t.cancel != nullptr && t.cancel->Cancelled()) {
    throw TSmtpError("SMTP to " + t.host + ": cancelled, the service is stopping");
  }
  if (result != CURLE_OK) {
    throw TSmtpError("SMTP to " + t.host + ": " + curl_easy_strerror(result));
  }
}

}  // namespace parlevo
